// The names in a local folder, for tests that check what was written there.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The names without "." and "..", in the order the file system lists them;
// empty when the folder cannot be read.
std::vector<std::string> FolderEntries(const std::string& dir);

}  // namespace testsupport

// Small file chores of tests: a file's bytes, writing a fixture, listing a
// folder.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes the bytes (replacing the file); mode >= 0 sets its permission bits.
// Raises std::runtime_error when the file cannot be written.
void WriteFile(const std::string& path, const std::string& bytes, int mode = -1);
// Moves the file's last write by `seconds`. Raises std::runtime_error when
// it cannot.
void ShiftMtime(const std::string& path, int seconds);
// The names in a folder, sorted, without "." and ".."; empty for none.
std::vector<std::string> FolderEntries(const std::string& dir);
// The same in the order the file system lists them.
std::vector<std::string> FolderEntriesInListingOrder(const std::string& dir);

}  // namespace testsupport

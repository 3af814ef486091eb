// Running a piece of a test as a user without root's rights: the tests run
// as root, who may write into any folder, so what a folder's permissions
// refuse is only seen by another user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The user and group the body runs as when the test runs as root.
inline constexpr uid_t kOtherUid = 65534;
inline constexpr gid_t kOtherGid = 65534;

// Runs body in a child process, as kOtherUid and kOtherGid with no other
// groups than `groups` (a team's shared group beside the user's own) when
// the test runs as root (else as the test's own user), and gives back the
// text it returns. An exception or the child's death comes back as a text
// in angle brackets saying so.
std::string AsOtherUser(const std::function<std::string()>& body, const std::vector<gid_t>& groups = {});

// Gives the file or folder to that user when the test runs as root (else
// it stays the test's, which is the body's user then). False when chown
// fails.
bool GiveToOtherUser(const std::string& path);

}  // namespace testsupport

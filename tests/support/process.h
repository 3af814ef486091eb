// Programs a test starts as programs of their own, the way a desktop starts
// them: the test's environment with some names set anew, and no child that
// outlives the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Starts argv with the calling environment plus `extra` ("NAME=value", an
// entry replacing one of the same name); the child dies with the test, its
// stdout goes to /dev/null, its stderr stays the test's. fdForChild, when
// >= 0, becomes the child's descriptor 3. -1 when no child could be made.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra, int fdForChild = -1);

// The exit status once the child ends within the time (128 + the signal
// when a signal ended it), else nullopt.
std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds limit);

// Asks the child to end (SIGTERM), then kills it when it does not within
// five seconds; reaps it either way. Does nothing for pid <= 0.
void StopProcess(pid_t pid);

}  // namespace testsupport

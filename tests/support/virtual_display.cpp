#include "tests/support/virtual_display.h"

#include <poll.h>
#include <unistd.h>

#include "tests/support/process.h"

namespace testsupport {

bool VirtualDisplay::Start(std::string& why) {
  int fds[2];
  if (::pipe(fds) != 0) return why = "pipe", false;
  // The server picks a free display itself and names it on descriptor 3.
  pid_ = Spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {}, fds[1]);
  ::close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (::poll(&p, 1, 15000) > 0) {
    char c;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (number.empty()) return why = "Xvfb did not start", false;
  Name_ = ":" + number;
  return true;
}

VirtualDisplay::~VirtualDisplay() { StopProcess(pid_); }

}  // namespace testsupport

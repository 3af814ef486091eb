// A virtual X server of the test's own, on the first free display: the
// offscreen platform shows nothing outside the process, so a real display
// server is the one way to look at a program's windows from outside.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class VirtualDisplay {
 public:
  VirtualDisplay() = default;
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // False with `why` set when the server did not come up.
  bool Start(std::string& why);
  // ":N", for DISPLAY.
  const std::string& Name() const { return Name_; }

 private:
  pid_t pid_ = -1;
  std::string Name_;
};

}  // namespace testsupport

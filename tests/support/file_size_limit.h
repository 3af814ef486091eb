// Caps the size of the files this process writes for one scope, with the
// signal a write past the cap would raise ignored: the write then fails
// with EFBIG part-way, which no permission can bypass (root included).
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace testsupport {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    if (::getrlimit(RLIMIT_FSIZE, &saved_) != 0) return;
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    active_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~FileSizeLimit() {
    if (oldHandler_ == SIG_ERR) return;
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  // The cap is in force.
  bool Active() const { return active_; }

 private:
  rlimit saved_{};
  sighandler_t oldHandler_ = SIG_ERR;
  bool active_ = false;
};

}  // namespace testsupport

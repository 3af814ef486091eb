#include "tests/support/small_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

SmallDisk::SmallDisk(const std::string& at, std::size_t bytes) : Top_(at), Filler_(at + "/.filler") {
  if (::geteuid() != 0) {
    Why_ = "a small file system of the test's own can be mounted by root only";
    return;
  }
  if (::mkdir(at.c_str(), 0755) != 0 && errno != EEXIST) {
    Why_ = "cannot make " + at + ": " + std::strerror(errno);
    return;
  }
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    Why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    return;
  }
  Mounted_ = true;
}

SmallDisk::~SmallDisk() {
  if (Mounted_) ::umount2(Top_.c_str(), MNT_DETACH);
}

bool SmallDisk::Fill() {
  int fd = ::open(Filler_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return errno == ENOSPC;
  static const char block[4096] = {};
  // Whole pages first, then single bytes for what a page no longer fits.
  for (std::size_t size = sizeof block; size > 0; size = size > 1 ? size / 2 : 0) {
    for (;;) {
      ssize_t n = ::write(fd, block, size);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) continue;
      if (n < 0 && errno != ENOSPC) {
        ::close(fd);
        return false;
      }
      break;
    }
  }
  ::close(fd);
  return true;
}

void SmallDisk::Unfill() { ::unlink(Filler_.c_str()); }

}  // namespace testsupport

#include "sitepublishing/LocalFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int TLocalFolder::Read(const std::string& path, bool withStat) {
  Entries.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat self {};
  if (::fstat(fd, &self) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  Dev = self.st_dev;
  Ino = self.st_ino;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    int err = errno;
    ::close(fd);
    return err;
  }
  int err = 0;
  for (;;) {
    errno = 0;
    dirent* d = ::readdir(dir);
    if (!d) {
      err = errno;
      break;
    }
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    TLocalEntry e;
    e.Name = std::move(name);
    if (withStat) {
      e.StatOk = ::fstatat(::dirfd(dir), e.Name.c_str(), &e.St, 0) == 0;
      if (!e.StatOk) {
        e.StatError = errno;
        struct stat own {};
        e.BrokenLink = ::fstatat(::dirfd(dir), e.Name.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode);
      }
    }
    Entries.push_back(std::move(e));
  }
  ::closedir(dir);
  return err;
}

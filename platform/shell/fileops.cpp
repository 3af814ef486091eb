#include "platform/shell/fileops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace plat {

bool ForceDirectories(const std::string& dir, mode_t mode) {
  if (dir.empty()) return false;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!ForceDirectories(path.substr(0, slash), mode)) return false;
  }
  if (::mkdir(path.c_str(), mode) == 0) return true;
  // Another process may have made it in the meantime.
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  std::string folder = FolderOf(path);
  std::string base = folder.empty() ? std::string() : (folder == "/" ? "/" : folder + "/");
  std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  std::vector<char> tmpl(base.begin(), base.end());
  std::string tail = "." + name + ".XXXXXX";
  tmpl.insert(tmpl.end(), tail.begin(), tail.end());
  tmpl.push_back('\0');
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) {
    throw EFCreateError(Format("Cannot create file %s: %s", path.c_str(), std::strerror(errno)));
  }
  std::string tmp(tmpl.data());
  auto fail = [&](const char* what) {
    int err = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    throw EWriteError(Format("Cannot %s file %s: %s", what, path.c_str(), std::strerror(err)));
  };
  if (::fchmod(fd, mode) != 0) fail("write");
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      fail("write");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("write");
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw EWriteError(Format("Cannot write file %s: %s", path.c_str(), std::strerror(err)));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw EWriteError(Format("Cannot replace file %s: %s", path.c_str(), std::strerror(err)));
  }
}

}  // namespace plat

#include "platform/fs/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/classes/classes.h"
#include "platform/sysutils/sysutils.h"

namespace plat {

namespace {

std::string AbsoluteEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] == '/' ? std::string(v) : std::string();
}

// The value of XDG_DESKTOP_DIR in user-dirs.dirs: a quoted path, absolute or
// starting with $HOME; anything else is ignored.
std::string DesktopFromUserDirs(const std::string& home) {
  // The desktop writes a few lines; anything far larger is not that file.
  TFileText file = ReadWholeFile(ConfigFolder() + "/user-dirs.dirs", 1 << 20);
  if (!file.Ok()) return std::string();
  const std::string key = "XDG_DESKTOP_DIR=";
  std::size_t pos = 0;
  while (pos < file.Text.size()) {
    std::size_t nl = file.Text.find('\n', pos);
    if (nl == std::string::npos) nl = file.Text.size();
    std::string line = file.Text.substr(pos, nl - pos);
    pos = nl + 1;
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string v = line.substr(start + key.size());
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.pop_back();
    if (v.size() < 2 || v.front() != '"' || v.back() != '"') continue;
    std::string path;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
      if (v[i] == '\\' && i + 2 < v.size()) ++i;
      path += v[i];
    }
    if (path.compare(0, 5, "$HOME") == 0 && (path.size() == 5 || path[5] == '/')) {
      path = home + path.substr(5);
    }
    if (!path.empty() && path[0] == '/') return path;
  }
  return std::string();
}

// Makes the new name reach the disk as well as the new bytes.
void SyncFolder(const std::string& folder) {
  int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace

// ---- the user's folders ----------------------------------------------------------

std::string HomeFolder() {
  std::string home = AbsoluteEnv("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
  return "/";
}

std::string ConfigFolder() {
  std::string dir = AbsoluteEnv("XDG_CONFIG_HOME");
  return dir.empty() ? HomeFolder() + "/.config" : dir;
}

std::string DataFolder() {
  std::string dir = AbsoluteEnv("XDG_DATA_HOME");
  return dir.empty() ? HomeFolder() + "/.local/share" : dir;
}

std::string DesktopFolder() {
  std::string home = HomeFolder();
  std::string dir = DesktopFromUserDirs(home);
  return dir.empty() ? home + "/Desktop" : dir;
}

// ---- paths and folders -------------------------------------------------------------

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string AbsolutePath(const std::string& path) {
  std::string full = path;
  if (path.empty() || path[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd) return path;
    full = std::string(cwd) + "/" + path;
    std::free(cwd);
  }
  std::string out;
  std::size_t start = 0;
  while (start <= full.size()) {
    std::size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    const std::string part = full.substr(start, end - start);
    if (!part.empty() && part != ".") out += "/" + part;
    start = end + 1;
  }
  return out.empty() ? "/" : out;
}

bool ForceDirectories(const std::string& dir, mode_t mode) {
  if (dir.empty()) {
    errno = ENOENT;
    return false;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!ForceDirectories(path.substr(0, slash), mode)) return false;
  }
  if (::mkdir(path.c_str(), mode) == 0) return true;
  // Another process may have made it in the meantime.
  if (errno == EEXIST) {
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
  }
  return false;
}

// ---- reading -------------------------------------------------------------------------

TFileText ReadWholeFile(const std::string& path, std::int64_t maxBytes) {
  TFileText r;
  auto fail = [&r](TReadStep step, int code) {
    r.Failed = step;
    r.Code = code;
    r.Text.clear();
    return std::move(r);
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(rsOpen, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return fail(rsOpen, err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(rsNotFile, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  r.Dev = st.st_dev;
  r.Ino = st.st_ino;
  if (maxBytes >= 0 && st.st_size > maxBytes) {
    ::close(fd);
    return fail(rsTooLarge, EFBIG);
  }
  if (st.st_size > 0) r.Text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return fail(rsRead, err);
    }
    if (n == 0) break;
    // The file may grow while it is read.
    if (maxBytes >= 0 && static_cast<std::int64_t>(r.Text.size()) + n > maxBytes) {
      ::close(fd);
      return fail(rsTooLarge, EFBIG);
    }
    r.Text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return r;
}

// ---- replacing -----------------------------------------------------------------------

namespace {

// Where a chain of symbolic links ends: the first name that is no link,
// even one that does not exist (a link that leads nowhere names the file
// to be made). Empty with errno set when the chain cannot be followed.
std::string EndOfLinks(const std::string& path) {
  std::string cur = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(cur.c_str(), &st) != 0) return errno == ENOENT ? cur : std::string();
    if (!S_ISLNK(st.st_mode)) return cur;
    std::string to(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = ::readlink(cur.c_str(), to.data(), to.size());
    if (n < 0) return std::string();
    to.resize(static_cast<std::size_t>(n));
    if (to.empty()) {
      errno = ENOENT;
      return std::string();
    }
    if (to[0] != '/') {
      std::string folder = FolderOf(cur);
      if (!folder.empty()) to = (folder == "/" ? folder : folder + "/") + to;
    }
    cur = to;
  }
  errno = ELOOP;
  return std::string();
}

// Writes all of [data, data + size) at offset; false with errno set.
bool WriteAllAt(int fd, const char* data, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The old length back, and the room reserved past it given back.
void CutBackTo(int fd, off_t length, std::size_t reserved) {
  int err = errno;
  (void)::ftruncate(fd, length);
  if (reserved > static_cast<std::size_t>(length))
    (void)::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, length,
                      static_cast<off_t>(reserved) - length);
  errno = err;
}

}  // namespace

TReplacingFile::~TReplacingFile() { Discard(); }

bool TReplacingFile::Fail(TWriteStep step, int code) {
  Discard();
  Fault_.Step = step;
  Fault_.Code = code;
  return false;
}

void TReplacingFile::DropTemp() {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
  if (!Temp_.empty()) ::unlink(Temp_.c_str());
  Temp_.clear();
}

void TReplacingFile::Discard() {
  DropTemp();
  InPlace_ = false;
  Pending_.clear();
}

bool TReplacingFile::Open(const std::string& path, const TReplaceOptions& options) {
  Discard();
  Fault_ = TWriteFault{};
  Target_ = path;
  SetBits_ = false;
  Mode_ = options.Mode;
  InPlaceAllowed_ = options.InPlaceWhereNeeded;
  if (options.ThroughLinks) {
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
      if (char* real = ::realpath(path.c_str(), nullptr)) {
        Target_ = real;
        ::free(real);
      } else {
        Target_ = EndOfLinks(path);
        if (Target_.empty()) return Fail(wsReplace, errno);
      }
    }
  }
  if (Target_.empty()) return Fail(wsReplace, ENOENT);
  struct stat& old = Old_;
  old = {};
  Exists_ = ::stat(Target_.c_str(), &old) == 0;
  const bool exists = Exists_;
  // The rename would put a file in a folder's place (or fail on it).
  if (exists && S_ISDIR(old.st_mode)) return Fail(wsReplace, EISDIR);
  if (exists && options.RespectReadOnly && ::access(Target_.c_str(), W_OK) != 0) return Fail(wsReplace, errno);
  InPlaceAllowed_ = InPlaceAllowed_ && exists && S_ISREG(old.st_mode);

  std::string folder = FolderOf(Target_);
  if (options.MakeFolder && !folder.empty() && !ForceDirectories(folder, options.FolderMode)) {
    return Fail(wsFolder, errno);
  }
  if (options.Mode >= 0) {
    SetBits_ = true;
    Bits_ = static_cast<mode_t>(options.Mode);
  } else if (exists) {
    SetBits_ = true;
    Bits_ = old.st_mode & 07777;
  }
  // Another name of the same file would keep the old bytes after a rename.
  if (InPlaceAllowed_ && old.st_nlink > 1 && OpenInPlace()) return true;

  // Named after the file and this process, so leftovers of a crash are easy
  // to tell; O_EXCL steps over any that are still there.
  static std::atomic<unsigned> counter{0};
  std::string prefix = (folder.empty() ? std::string() : folder == "/" ? folder : folder + "/") + "." +
                       ExtractFileName(Target_) + "." + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 100 && Fd_ < 0; ++attempt) {
    Temp_ = prefix + std::to_string(counter++) + ".tmp";
    // A new file gets NewMode less the umask; fixed bits are set on commit.
    Fd_ = ::open(Temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, SetBits_ ? 0600 : options.NewMode);
    if (Fd_ < 0 && errno != EEXIST) {
      int err = errno;
      Temp_.clear();
      // Only the folder's permissions: a full disk or a read-only file
      // system would fail the write in place as well.
      if ((err == EACCES || err == EPERM) && InPlaceAllowed_ && OpenInPlace()) return true;
      return Fail(wsCreate, err);
    }
  }
  if (Fd_ < 0) {
    Temp_.clear();
    return Fail(wsCreate, EEXIST);
  }
  // A file the group shares must stay the group's.
  if (exists && !TakeOwners() && InPlaceAllowed_) {
    const int tempFd = Fd_;
    Fd_ = -1;
    if (OpenInPlace()) {
      ::close(tempFd);
      ::unlink(Temp_.c_str());
      Temp_.clear();
      return true;
    }
    Fd_ = tempFd;
  }
  return true;
}

bool TReplacingFile::TakeOwners() {
  struct stat now {};
  if (::fstat(Fd_, &now) != 0) return false;
  if (now.st_uid == Old_.st_uid && now.st_gid == Old_.st_gid) return true;
  if (::fchown(Fd_, Old_.st_uid, Old_.st_gid) == 0) return true;
  // Giving the file away is for root; keeping its group is enough.
  if (now.st_gid == Old_.st_gid) return true;
  return ::fchown(Fd_, static_cast<uid_t>(-1), Old_.st_gid) == 0;
}

bool TReplacingFile::OpenInPlace() {
  // Nothing is changed yet: a replacement dropped before its commit leaves
  // the file as it was.
  int fd = ::open(Target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat now {};
  // The file looked at above, still a regular file.
  if (::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != Old_.st_dev || now.st_ino != Old_.st_ino) {
    ::close(fd);
    return false;
  }
  Fd_ = fd;
  InPlace_ = true;
  ForceBits_ = Mode_ >= 0 && (now.st_mode & 07777) != static_cast<mode_t>(Mode_);
  return true;
}

bool TReplacingFile::CommitInPlace() {
  // Fixed bits first (a file holding a password is made private before the
  // password goes in); one that cannot get them is not written.
  if (ForceBits_ && ::fchmod(Fd_, Bits_) != 0) return Fail(wsWrite, errno);
  struct stat st {};
  if (::fstat(Fd_, &st) != 0) return Fail(wsWrite, errno);
  const off_t oldLength = st.st_size;
  const std::size_t length = Pending_.size();
  // A write past the file-size limit fails where the limit lies, which may
  // be inside the old bytes.
  rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && length > limit.rlim_cur)
    return Fail(wsWrite, EFBIG);
  // Room for every new byte, holes of the old file included, before any
  // old byte goes; the file keeps its length meanwhile. A file system
  // without reservations gets its room from the write past the old end.
  if (length > 0 && ::fallocate(Fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
    CutBackTo(Fd_, oldLength, length);
    return Fail(wsWrite, errno);
  }
  // What lies past the old end first: a failure there is cut off again.
  if (static_cast<off_t>(length) > oldLength &&
      !WriteAllAt(Fd_, Pending_.data() + oldLength, length - static_cast<std::size_t>(oldLength), oldLength)) {
    CutBackTo(Fd_, oldLength, length);
    return Fail(wsWrite, errno);
  }
  // Then over the old bytes, whose room is there already.
  const std::size_t over = std::min(length, static_cast<std::size_t>(oldLength));
  if (!WriteAllAt(Fd_, Pending_.data(), over, 0)) return Fail(wsWrite, errno);
  if (static_cast<off_t>(length) < oldLength && ::ftruncate(Fd_, static_cast<off_t>(length)) != 0)
    return Fail(wsWrite, errno);
  if (::fsync(Fd_) != 0) return Fail(wsWrite, errno);
  int fd = Fd_;
  Fd_ = -1;
  if (::close(fd) != 0) return Fail(wsWrite, errno);
  Pending_.clear();
  InPlace_ = false;
  return true;
}

bool TReplacingFile::Write(const void* data, std::size_t size) {
  if (Fd_ < 0) return false;
  if (InPlace_) {
    Pending_.append(static_cast<const char*>(data), size);
    return true;
  }
  const char* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(Fd_, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(wsWrite, errno);
    if (n == 0) return Fail(wsWrite, ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool TReplacingFile::Commit() {
  if (Fd_ < 0) return false;
  if (InPlace_) return CommitInPlace();
  if (SetBits_ && ::fchmod(Fd_, Bits_) != 0) return Fail(wsWrite, errno);
  if (::fsync(Fd_) != 0) return Fail(wsWrite, errno);
  int fd = Fd_;
  Fd_ = -1;
  if (::close(fd) != 0) return Fail(wsWrite, errno);
  if (::rename(Temp_.c_str(), Target_.c_str()) != 0) {
    int err = errno;
    // A sticky folder keeps another user's file from being replaced, not
    // from being written.
    if ((err == EPERM || err == EACCES) && InPlaceAllowed_) {
      TFileText copy = ReadWholeFile(Temp_);
      DropTemp();
      if (copy.Ok() && OpenInPlace()) {
        Pending_ = std::move(copy.Text);
        return CommitInPlace();
      }
    }
    return Fail(wsReplace, err);
  }
  Temp_.clear();
  SyncFolder(FolderOf(Target_));
  return true;
}

TWriteFault ReplaceFile(const std::string& path, const std::string& content, const TReplaceOptions& options) {
  TReplacingFile file;
  if (file.Open(path, options) && file.Write(content)) file.Commit();
  return file.Fault();
}

void WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  TReplaceOptions options;
  options.Mode = static_cast<int>(mode);
  TWriteFault f = ReplaceFile(path, content, options);
  const char* reason = std::strerror(f.Code);
  switch (f.Step) {
    case wsNone: return;
    case wsFolder:
    case wsCreate: throw EFCreateError(Format("Cannot create file %s: %s", path.c_str(), reason));
    case wsWrite: throw EWriteError(Format("Cannot write file %s: %s", path.c_str(), reason));
    case wsReplace: throw EWriteError(Format("Cannot replace file %s: %s", path.c_str(), reason));
  }
}

bool IsReplacementName(const std::string& fileName) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  const std::size_t n = fileName.size();
  if (n < 8 || fileName[0] != '.') return false;
  std::string tail = fileName.substr(n - 4);
  for (char& c : tail) c = lower(c);
  if (tail != ".tmp") return false;
  // Back over the count, the "-", the process id and their ".".
  std::size_t at = n - 4;
  auto digitsBack = [&] {
    std::size_t end = at;
    while (at > 0 && fileName[at - 1] >= '0' && fileName[at - 1] <= '9') --at;
    return at < end;
  };
  if (!digitsBack() || at == 0 || fileName[--at] != '-') return false;
  if (!digitsBack() || at == 0 || fileName[--at] != '.') return false;
  return at > 1;  // a name between the two dots
}

void IgnoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

std::size_t OpenDescriptorCount() {
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return 0;
  std::size_t n = 0;
  while (const dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n > 0 ? n - 1 : 0;  // less the list's own
}

bool FileSystemNow(const std::string& folder, struct timespec& now) {
  std::string name = folder + "/.zvclock-XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0;
  const int err = errno;
  ::close(fd);
  ::unlink(name.c_str());
  if (!ok) {
    errno = err;
    return false;
  }
  now = st.st_mtim;
  return true;
}

}  // namespace plat

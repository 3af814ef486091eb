#include "ftpcomponents/korvlib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/classes/classes.h"
#include "platform/registry/registry.h"
#include "platform/shell/fileops.h"
#include "platform/shell/shell.h"

using plat::Format;

namespace {

const char kCurrentVersionKey[] = "\\Software\\MicroSoft\\Windows\\CurrentVersion\\";
const char kShellFoldersKey[] = "\\Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUninstallKey[] = "\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall";

std::string ReadFolderValue(plat::HKEY root, const std::string& key, const std::string& name) {
  plat::TRegistry reg;
  reg.SetRootKey(root);
  if (!reg.OpenKey(key, false) && !reg.OpenKeyReadOnly(key)) return std::string();
  std::string value = reg.ReadString(name);
  reg.CloseKey();
  return value;
}

// Lays the text out line by line; line(text, y) gets each line and its top.
template <class Line>
int WrapText(TTextCanvas& canvas, const TRect& rect, const std::string& text, Line line) {
  const std::int64_t width = static_cast<std::int64_t>(rect.Right) - rect.Left;
  std::string rest = text + ' ';
  std::int64_t y = rect.Top;
  while (!rest.empty()) {
    std::size_t i = 1, lastBlank = 0;
    for (;;) {
      if (canvas.TextWidth(rest.substr(0, i)) >= width || i > rest.size()) break;
      if (rest[i - 1] == ' ') lastBlank = i;
      ++i;
    }
    std::size_t len = lastBlank != 0 ? lastBlank : i;
    std::string part = rest.substr(0, len);
    line(part, static_cast<int>(std::max<std::int64_t>(INT_MIN, std::min<std::int64_t>(INT_MAX, y))));
    y += canvas.TextHeight(part);
    rest.erase(0, std::min(len, rest.size()));
  }
  return static_cast<int>(std::max<std::int64_t>(INT_MIN, std::min<std::int64_t>(INT_MAX, y - rect.Top)));
}

}  // namespace

std::string GetProgramFilesDir() {
  return ReadFolderValue(plat::HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir");
}

std::string GetShellFolder(const std::string& Name) {
  return ReadFolderValue(plat::HKEY_CURRENT_USER, kShellFoldersKey, Name);
}

std::string GetDesktopDir() { return GetShellFolder("Desktop"); }

std::string GetProgramsDir() { return GetShellFolder("Programs"); }

void CreateShortcut(const std::string& LinkFile, const std::string& TargetFile) {
  plat::TShellLink link;
  link.SetPath(TargetFile);
  std::size_t slash = LinkFile.find_last_of('/');
  std::string folder = slash == std::string::npos ? std::string() : LinkFile.substr(0, slash + 1);
  if (!plat::ForceDirectories(folder)) {
    throw plat::EShellError(Format("Unable to create the folder of %s", LinkFile.c_str()));
  }
  // A shortcut that could not be written is an error, not a silent success.
  link.Save(LinkFile);
}

void RegisterUninstall(const std::string& Name, const std::string& Command) {
  plat::TRegistry reg;
  reg.SetRootKey(plat::HKEY_LOCAL_MACHINE);
  if (reg.OpenKey(std::string(kUninstallKey) + "\\" + Name, true)) {
    reg.WriteString("DisplayName", Name);
    reg.WriteString("UninstallString", Command);
    reg.CloseKey();
  }
}

void UnregisterUninstall(const std::string& Name) {
  // An empty name would take the whole list, a '\' some other key.
  if (Name.empty() || Name.find('\\') != std::string::npos) {
    throw plat::ERegistryException(Format("Invalid uninstall entry name \"%s\"", Name.c_str()));
  }
  plat::TRegistry reg;
  reg.SetRootKey(plat::HKEY_LOCAL_MACHINE);
  if (reg.OpenKey(kUninstallKey, true)) {
    reg.DeleteKey(Name);
    reg.CloseKey();
  }
}

void CopyFileByStreams(const std::string& Source, const std::string& Dest) {
  int in = ::open(Source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    throw plat::EFOpenError(Format("Cannot open file %s: %s", Source.c_str(), std::strerror(errno)));
  }
  struct stat src {};
  if (::fstat(in, &src) != 0 || !S_ISREG(src.st_mode)) {
    int err = errno;
    ::close(in);
    throw plat::EFOpenError(Format("Cannot open file %s: %s", Source.c_str(),
                                   S_ISREG(src.st_mode) ? std::strerror(err) : "not a regular file"));
  }
  struct stat dst {};
  if (::stat(Dest.c_str(), &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    ::close(in);
    throw plat::EFCreateError(Format("Cannot copy %s onto itself", Source.c_str()));
  }

  std::size_t slash = Dest.find_last_of('/');
  std::string tmpName = (slash == std::string::npos ? std::string() : Dest.substr(0, slash + 1)) + "." +
                        (slash == std::string::npos ? Dest : Dest.substr(slash + 1)) + ".XXXXXX";
  std::vector<char> tmpl(tmpName.begin(), tmpName.end());
  tmpl.push_back('\0');
  int out = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (out < 0) {
    int err = errno;
    ::close(in);
    throw plat::EFCreateError(Format("Cannot create file %s: %s", Dest.c_str(), std::strerror(err)));
  }
  std::string tmp(tmpl.data());
  auto fail = [&](bool reading, int err) {
    ::close(in);
    ::close(out);
    ::unlink(tmp.c_str());
    if (reading) throw plat::EReadError(Format("Cannot read file %s: %s", Source.c_str(), std::strerror(err)));
    throw plat::EWriteError(Format("Cannot write file %s: %s", Dest.c_str(), std::strerror(err)));
  };

  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(true, errno);
    if (n == 0) break;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(out, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) fail(false, w < 0 ? errno : EIO);
      done += w;
    }
  }
  if (::fchmod(out, src.st_mode & 0777) != 0 || ::fsync(out) != 0) fail(false, errno);
  ::close(in);
  if (::close(out) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw plat::EWriteError(Format("Cannot write file %s: %s", Dest.c_str(), std::strerror(err)));
  }
  if (::rename(tmp.c_str(), Dest.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw plat::EFCreateError(Format("Cannot create file %s: %s", Dest.c_str(), std::strerror(err)));
  }
}

int WrappedTextHeight(TTextCanvas& Canvas, const TRect& Rect, const std::string& Text) {
  return WrapText(Canvas, Rect, Text, [](const std::string&, int) {});
}

void DrawWrappedText(TTextCanvas& Canvas, const TRect& Rect, const std::string& Text) {
  WrapText(Canvas, Rect, Text, [&](const std::string& line, int y) { Canvas.TextOut(Rect.Left, y, line); });
}

#include "ftpcomponents/korvlib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/classes/classes.h"
#include "platform/registry/registry.h"
#include "platform/fs/fs.h"
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

  plat::TReplaceOptions options;
  options.Mode = static_cast<int>(src.st_mode & 0777);
  plat::TReplacingFile out;
  auto failed = [&]() {
    ::close(in);
    const plat::TWriteFault& f = out.Fault();
    const char* reason = std::strerror(f.Code);
    if (f.Step == plat::wsWrite) throw plat::EWriteError(Format("Cannot write file %s: %s", Dest.c_str(), reason));
    throw plat::EFCreateError(Format("Cannot create file %s: %s", Dest.c_str(), reason));
  };
  if (!out.Open(Dest, options)) failed();

  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(in);
      throw plat::EReadError(Format("Cannot read file %s: %s", Source.c_str(), std::strerror(err)));
    }
    if (n == 0) break;
    if (!out.Write(buf, static_cast<std::size_t>(n))) failed();
  }
  if (!out.Commit()) failed();
  ::close(in);
}

int WrappedTextHeight(TTextCanvas& Canvas, const TRect& Rect, const std::string& Text) {
  return WrapText(Canvas, Rect, Text, [](const std::string&, int) {});
}

void DrawWrappedText(TTextCanvas& Canvas, const TRect& Rect, const std::string& Text) {
  WrapText(Canvas, Rect, Text, [&](const std::string& line, int y) { Canvas.TextOut(Rect.Left, y, line); });
}

#include "sitepublishing/ProjectText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sitepublishing/PrjCls.h"

namespace prjtext {

std::string ExtractFileName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileDir(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ExtractExt(const std::string& path) {
  std::string name = ExtractFileName(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool IsSectionLine(const std::string& line) {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']' && line.find('=') == std::string::npos;
}

int ReadAllFromFd(int fd, std::string& out, std::int64_t limit) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (limit >= 0 && static_cast<std::int64_t>(out.size()) + n > limit) return EFBIG;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

std::string ReadProjectText(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw EInOutError(errno);
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    ::close(fd);
    throw EInOutError(err);
  }
  std::string text;
  int err = ReadAllFromFd(fd, text, -1);
  ::close(fd);
  if (err != 0) throw EInOutError(err);
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void AppendLine(std::string& text, const std::string& line) {
  text += line;
  text += "\r\n";
}

}  // namespace prjtext

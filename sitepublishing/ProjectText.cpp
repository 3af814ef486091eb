#include "sitepublishing/ProjectText.h"

#include <cerrno>

#include "platform/fs/fs.h"
#include "platform/sysutils/sysutils.h"
#include "sitepublishing/PrjCls.h"

namespace prjtext {

std::string ExtractExt(const std::string& path) {
  std::string name = plat::ExtractFileName(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool IsSectionLine(const std::string& line) {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']' && line.find('=') == std::string::npos;
}

std::string ReadProjectText(const std::string& fileName) {
  plat::TFileText file = plat::ReadWholeFile(fileName);
  if (file.Ok()) return std::move(file.Text);
  // Whatever is not a file or a folder cannot be read as a project.
  if (file.Failed == plat::rsNotFile && file.Code != EISDIR) throw EInOutError(EACCES);
  throw EInOutError(file.Code);
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

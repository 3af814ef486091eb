#include "platform/shell/shell.h"

#include <cstring>

namespace plat {

namespace {

std::string BaseNameWithoutExtension(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// Escapes for a desktop entry's string values.
std::string EscapeEntryString(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
    }
  }
  if (!out.empty() && out[0] == ' ') out.replace(0, 1, "\\s");
  return out;
}

}  // namespace

std::string ProgramFilesFolder() { return HomeFolder() + "/.local/opt"; }

std::string ProgramsFolder() { return DataFolder() + "/applications"; }

std::string CommandLineArgument(const std::string& arg) {
  static const char reserved[] = " \t\n\"'\\><~|&;$*?#()`";
  bool quote = arg.empty();
  std::string body;
  for (char c : arg) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      throw EShellError("A command line cannot hold control characters");
    }
    if (std::strchr(reserved, c)) quote = true;
    if (c == '"' || c == '`' || c == '$' || c == '\\') body += '\\';
    body += c;
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string DesktopExecArgument(const std::string& arg) {
  // The field-code rule ('%' doubled) and the file's string rules (a
  // backslash doubled) apply on top of the quoting.
  std::string escaped;
  for (char c : CommandLineArgument(arg)) {
    if (c == '%' || c == '\\') escaped += c;
    escaped += c;
  }
  return escaped;
}

std::string TShellLink::DesktopEntry(const std::string& linkFile) const {
  std::string text = "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Name=" + EscapeEntryString(BaseNameWithoutExtension(linkFile)) + "\n";
  text += "Exec=" + DesktopExecArgument(Path_) + "\n";
  return text;
}

void TShellLink::Save(const std::string& linkFile) const {
  if (linkFile.empty() || linkFile.back() == '/') {
    throw EShellError(Format("Cannot save a shortcut as \"%s\"", linkFile.c_str()));
  }
  WriteFileAtomically(linkFile, DesktopEntry(linkFile), 0755);
}

}  // namespace plat

#include "platform/shell/shell.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/registry/registry.h"
#include "platform/shell/fileops.h"

namespace plat {

namespace {

std::string AbsoluteEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] == '/' ? std::string(v) : std::string();
}

// The value of XDG_DESKTOP_DIR in user-dirs.dirs: a quoted path, absolute or
// starting with $HOME; anything else is ignored.
std::string DesktopFromUserDirs(const std::string& home) {
  std::string config = AbsoluteEnv("XDG_CONFIG_HOME");
  if (config.empty()) config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DESKTOP_DIR=";
  while (std::getline(in, line)) {
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

std::string HomeFolder() {
  std::string home = AbsoluteEnv("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string ProgramFilesFolder() { return HomeFolder() + "/.local/opt"; }

std::string DesktopFolder() {
  std::string home = HomeFolder();
  std::string dir = DesktopFromUserDirs(home);
  return dir.empty() ? home + "/Desktop" : dir;
}

std::string ProgramsFolder() {
  std::string data = AbsoluteEnv("XDG_DATA_HOME");
  if (data.empty()) data = HomeFolder() + "/.local/share";
  return data + "/applications";
}

std::vector<TSystemRegistryValue> SystemRegistryValues(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) {
    return {{"Software\\MicroSoft\\Windows\\CurrentVersion", "ProgramFilesDir", ProgramFilesFolder()}};
  }
  if (root == HKEY_CURRENT_USER) {
    const char* key = "Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    return {{key, "Desktop", DesktopFolder()}, {key, "Programs", ProgramsFolder()}};
  }
  return {};
}

std::string DesktopExecArgument(const std::string& arg) {
  static const char reserved[] = " \t\n\"'\\><~|&;$*?#()`";
  bool quote = arg.empty();
  std::string body;
  for (char c : arg) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      throw EShellError("A shortcut target cannot hold control characters");
    }
    if (std::strchr(reserved, c)) quote = true;
    if (c == '%') {
      body += "%%";
    } else if (c == '"' || c == '`' || c == '$' || c == '\\') {
      body += '\\';
      body += c;
    } else {
      body += c;
    }
  }
  std::string out = quote ? "\"" + body + "\"" : body;
  // The string rules of the file apply on top of the quoting rules.
  std::string escaped;
  for (char c : out) {
    if (c == '\\') escaped += '\\';
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

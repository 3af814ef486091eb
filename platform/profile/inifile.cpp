#include "platform/profile/inifile.h"

#include <cerrno>
#include <vector>

#include "platform/fs/fs.h"

namespace plat {

namespace {

std::string TrimBlanks(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

// One file as lines, each classified once.
struct Line {
  std::string text;  // without its line end
  enum Kind { Other, Section, Key } kind = Other;
  std::string name;  // section or key name, trimmed
  std::string value;  // key lines only, trimmed
};

struct Profile {
  std::vector<Line> lines;
  std::string eol = "\n";
};

Line Classify(std::string text) {
  Line l;
  l.text = std::move(text);
  std::string t = TrimBlanks(l.text);
  if (t.empty() || t[0] == ';') return l;
  if (t[0] == '[') {
    std::size_t close = t.find(']');
    if (close != std::string::npos) {
      l.kind = Line::Section;
      l.name = TrimBlanks(t.substr(1, close - 1));
    }
    return l;
  }
  std::size_t eq = t.find('=');
  if (eq != std::string::npos) {
    l.kind = Line::Key;
    l.name = TrimBlanks(t.substr(0, eq));
    l.value = TrimBlanks(t.substr(eq + 1));
  }
  return l;
}

// False only when the file exists but cannot be read.
bool Load(const std::string& path, Profile& p) {
  TFileText file = ReadWholeFile(path);
  if (!file.Ok()) {
    errno = file.Code;
    return file.Failed == rsOpen && (file.Code == ENOENT || file.Code == ENOTDIR);
  }
  const std::string& data = file.Text;
  if (data.find("\r\n") != std::string::npos) p.eol = "\r\n";
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t nl = data.find('\n', start);
    std::string text = data.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    p.lines.push_back(Classify(std::move(text)));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return true;
}

// Index of the first key line `key` inside any section `section`, or -1.
int FindKey(const Profile& p, const std::string& section, const std::string& key) {
  bool inside = false;
  for (std::size_t i = 0; i < p.lines.size(); ++i) {
    const Line& l = p.lines[i];
    if (l.kind == Line::Section) {
      inside = SameText(l.name, section);
    } else if (inside && l.kind == Line::Key && SameText(l.name, key)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Replaces the file as a whole: a crash or a full disk leaves the old file.
// A new file is for the user only; an old one keeps its bits.
bool Save(const std::string& path, const Profile& p) {
  std::string data;
  for (const Line& l : p.lines) {
    data += l.text;
    data += p.eol;
  }
  TReplaceOptions options;
  options.NewMode = 0600;
  options.MakeFolder = true;
  options.FolderMode = 0700;
  if (TWriteFault f = ReplaceFile(path, data, options)) {
    errno = f.Code;
    return false;
  }
  return true;
}

std::string OneLine(const std::string& s) {
  std::string r = s;
  for (char& c : r) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return r;
}

}  // namespace

std::string ProfilePath(const std::string& fileName) {
  if (fileName.find('/') != std::string::npos) return fileName;
  return ConfigFolder() + "/" + fileName;
}

bool ParseProfileInt(const std::string& text, std::int64_t& value) {
  std::string t = TrimBlanks(text);
  if (t.empty()) return false;
  std::size_t i = 0;
  bool neg = false;
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    i = 2;
  } else if (t[0] == '-' || t[0] == '+') {
    neg = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return false;
  std::uint64_t v = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    // Too long to be any stored setting: treat as not a number.
    if (v > (UINT64_MAX - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  if (base == 16) {
    value = static_cast<std::int64_t>(v);  // 0xFFFFFFFFFFFFFFFF reads as -1
    return true;
  }
  if (neg) {
    if (v > static_cast<std::uint64_t>(INT64_MAX) + 1) return false;
    value = static_cast<std::int64_t>(0 - v);
  } else {
    if (v > static_cast<std::uint64_t>(INT64_MAX)) return false;
    value = static_cast<std::int64_t>(v);
  }
  return true;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName) {
  Profile p;
  if (!Load(ProfilePath(fileName), p)) return def.substr(0, kMaxProfileValue);
  int i = FindKey(p, section, key);
  const std::string& v = i < 0 ? def : p.lines[static_cast<std::size_t>(i)].value;
  return v.substr(0, kMaxProfileValue);
}

std::int64_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                  std::int64_t def, const std::string& fileName) {
  Profile p;
  if (!Load(ProfilePath(fileName), p)) return def;
  int i = FindKey(p, section, key);
  if (i < 0) return def;
  std::int64_t v = 0;
  return ParseProfileInt(p.lines[static_cast<std::size_t>(i)].value.substr(0, kMaxProfileValue), v)
             ? v
             : def;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName) {
  std::string path = ProfilePath(fileName);
  Profile p;
  // An unreadable file is not overwritten with a copy that lost its content.
  if (!Load(path, p)) return false;
  std::string k = OneLine(key);
  std::string line = k + "=" + OneLine(value);
  int i = FindKey(p, section, k);
  if (i >= 0) {
    p.lines[static_cast<std::size_t>(i)] = Classify(line);
    return Save(path, p);
  }
  // Append to the first section of that name, after its last non-blank line.
  int sec = -1;
  for (std::size_t j = 0; j < p.lines.size(); ++j) {
    if (p.lines[j].kind == Line::Section && SameText(p.lines[j].name, section)) {
      sec = static_cast<int>(j);
      break;
    }
  }
  if (sec < 0) {
    std::string header(1, '[');
    header += OneLine(section);
    header += ']';
    p.lines.push_back(Classify(header));
    p.lines.push_back(Classify(line));
    return Save(path, p);
  }
  std::size_t at = static_cast<std::size_t>(sec) + 1;
  std::size_t last = static_cast<std::size_t>(sec);
  for (; at < p.lines.size() && p.lines[at].kind != Line::Section; ++at) {
    if (!TrimBlanks(p.lines[at].text).empty()) last = at;
  }
  p.lines.insert(p.lines.begin() + static_cast<std::ptrdiff_t>(last + 1), Classify(line));
  return Save(path, p);
}

// ---- TIniFile -----------------------------------------------------------------

TIniFile::TIniFile(const std::string& fileName) : FileName_(fileName), Path_(ProfilePath(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  return GetPrivateProfileString(section, key, def, Path_);
}

std::int64_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int64_t def) const {
  return GetPrivateProfileInt(section, key, def, Path_);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  if (!WritePrivateProfileString(section, key, value, Path_)) {
    throw EIniFileException(Format("Unable to write to %s", Path_.c_str()));
  }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, std::int64_t value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace plat

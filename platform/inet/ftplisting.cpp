// The listing parser: LIST lines in the Unix and the DOS form, and DOS name
// masks.
#include "platform/inet/ftpproto.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace plat::ftpproto {

namespace {

bool IsDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int MonthIndex(const std::string& s) {
  static const char* const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                      "jul", "aug", "sep", "oct", "nov", "dec"};
  if (s.size() != 3) return -1;
  for (int i = 0; i < 12; ++i)
    if (Lower(s[0]) == names[i][0] && Lower(s[1]) == names[i][1] && Lower(s[2]) == names[i][2]) return i;
  return -1;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t UnixTime(int year, int month0, int day, int hour, int minute) {
  return DaysFromCivil(year, static_cast<unsigned>(month0 + 1), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
         minute * 60;
}

int YearOf(std::int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  ::gmtime_r(&tt, &tm);
  return tm.tm_year + 1900;
}

bool ParseClock(const std::string& s, int& h, int& m) {
  // H:MM or HH:MM
  std::size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 2 || s.size() != colon + 3) return false;
  std::string hs = s.substr(0, colon), ms = s.substr(colon + 1);
  if (!IsDigits(hs) || !IsDigits(ms)) return false;
  h = std::stoi(hs);
  m = std::stoi(ms);
  return h < 24 && m < 60;
}

bool AcceptableName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/') return false;
  }
  return true;
}

struct Token {
  std::size_t begin, end;
};

std::vector<Token> Tokens(const std::string& line, std::size_t maxTokens) {
  std::vector<Token> t;
  std::size_t i = 0;
  while (i < line.size() && t.size() < maxTokens) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::size_t b = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    t.push_back({b, i});
  }
  return t;
}

bool ParseUnixLine(const std::string& line, std::int64_t now, ListEntry& out) {
  if (line.size() < 10) return false;
  const char type = line[0];
  if (type != '-' && type != 'd' && type != 'l') return false;
  for (int i = 1; i < 10; ++i)
    if (line[static_cast<std::size_t>(i)] == '\0' || !std::strchr("-rwxsStTlL", line[static_cast<std::size_t>(i)]))
      return false;
  std::vector<Token> t = Tokens(line, 12);
  auto text = [&](std::size_t i) { return line.substr(t[i].begin, t[i].end - t[i].begin); };
  for (std::size_t i = 2; i + 2 < t.size(); ++i) {
    int month = MonthIndex(text(i));
    if (month < 0 || !IsDigits(text(i - 1))) continue;
    std::string dayText = text(i + 1), last = text(i + 2);
    if (!IsDigits(dayText) || dayText.size() > 2) continue;
    int day = std::stoi(dayText);
    if (day < 1 || day > 31) continue;
    int hour = 0, minute = 0, year = 0;
    bool hasClock = ParseClock(last, hour, minute);
    if (!hasClock) {
      if (!IsDigits(last) || last.size() != 4) continue;
      year = std::stoi(last);
    }
    std::size_t nameStart = t[i + 2].end + 1;
    if (nameStart >= line.size()) return false;
    std::string name = line.substr(nameStart);
    const std::string sizeText = text(i - 1);
    if (sizeText.size() > 19) return false;
    const std::uint64_t size = std::stoull(sizeText);
    std::string target;
    if (type == 'l') {
      // A link's size is the length of its target: where " -> " stands
      // that far from the end, the name ends there, whatever arrows the
      // name itself holds. Otherwise the first arrow splits.
      std::size_t arrow = name.find(" -> ");
      if (size > 0 && size < name.size() && name.size() - size >= 5 &&
          name.compare(name.size() - size - 4, 4, " -> ") == 0)
        arrow = name.size() - size - 4;
      if (arrow != std::string::npos) {
        target = name.substr(arrow + 4);
        name.resize(arrow);
      }
      // A target that could not be a path is not shown at all.
      for (char c : target) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) target.clear();
      }
    }
    if (!AcceptableName(name)) return false;
    out.name = name;
    out.directory = type == 'd';
    out.link = type == 'l';
    out.target = std::move(target);
    out.size = size;
    out.permissions = 0;
    for (int bit = 0; bit < 9; ++bit) {
      const char c = line[static_cast<std::size_t>(1 + bit)];
      const bool set = bit % 3 == 0 ? c == 'r' : bit % 3 == 1 ? c == 'w' : c == 'x' || c == 's' || c == 't';
      if (set) out.permissions |= 1 << (8 - bit);
    }
    if (hasClock) {
      // Dates without a year are within the last half year.
      year = YearOf(now);
      out.mtime = UnixTime(year, month, day, hour, minute);
      if (out.mtime > now + 86400) out.mtime = UnixTime(year - 1, month, day, hour, minute);
    } else {
      out.mtime = UnixTime(year, month, day, 0, 0);
    }
    return true;
  }
  return false;
}

bool ParseDosLine(const std::string& line, ListEntry& out) {
  std::vector<Token> t = Tokens(line, 3);
  if (t.size() < 3) return false;
  auto text = [&](std::size_t i) { return line.substr(t[i].begin, t[i].end - t[i].begin); };
  std::string date = text(0), clock = text(1), third = text(2);
  // MM-DD-YY or MM-DD-YYYY
  if (date.size() != 8 && date.size() != 10) return false;
  if (date[2] != '-' || date[5] != '-') return false;
  std::string ms = date.substr(0, 2), ds = date.substr(3, 2), ys = date.substr(6);
  if (!IsDigits(ms) || !IsDigits(ds) || !IsDigits(ys)) return false;
  int month = std::stoi(ms), day = std::stoi(ds), year = std::stoi(ys);
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  if (ys.size() == 2) year += year < 70 ? 2000 : 1900;
  int hour = 0, minute = 0;
  std::string hm = clock;
  int pm = -1;
  if (hm.size() > 2) {
    std::string suffix = hm.substr(hm.size() - 2);
    if (Lower(suffix[0]) == 'a' && Lower(suffix[1]) == 'm') pm = 0;
    if (Lower(suffix[0]) == 'p' && Lower(suffix[1]) == 'm') pm = 1;
    if (pm >= 0) hm.resize(hm.size() - 2);
  }
  if (!ParseClock(hm, hour, minute)) return false;
  if (pm >= 0) {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (pm ? 12 : 0);
  }
  bool dir;
  std::uint64_t size = 0;
  if (third == "<DIR>") {
    dir = true;
  } else if (IsDigits(third) && third.size() <= 19) {
    dir = false;
    size = std::stoull(third);
  } else {
    return false;
  }
  std::size_t nameStart = t[2].end;
  while (nameStart < line.size() && (line[nameStart] == ' ' || line[nameStart] == '\t')) ++nameStart;
  std::string name = line.substr(std::min(nameStart, line.size()));
  if (!AcceptableName(name)) return false;
  out.name = name;
  out.directory = dir;
  out.link = false;
  out.target.clear();
  out.size = size;
  out.permissions = -1;
  out.mtime = UnixTime(year, month - 1, day, hour, minute);
  return true;
}

bool GlobMatch(const std::string& name, const std::string& mask) {
  std::size_t n = 0, m = 0, starM = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Lower(mask[m]) == Lower(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}
}  // namespace

bool ParseListLine(const std::string& raw, std::int64_t now, ListEntry& out) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.empty()) return false;
  if (ParseUnixLine(line, now, out)) return true;
  return ParseDosLine(line, out);
}

std::vector<ListEntry> ParseListing(const std::string& text, std::int64_t now) {
  std::vector<ListEntry> entries;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    std::size_t end = lf == std::string::npos ? text.size() : lf;
    ListEntry e;
    if (ParseListLine(text.substr(pos, end - pos), now, e)) entries.push_back(std::move(e));
    pos = end + 1;
  }
  return entries;
}

bool MatchesDosMask(const std::string& name, const std::string& mask) {
  if (mask.empty() || mask == "*" || mask == "*.*") return true;
  const bool hasDot = name.find('.') != std::string::npos;
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) {
    if (!hasDot) return GlobMatch(name, mask.substr(0, mask.size() - 2));
    return GlobMatch(name, mask);
  }
  if (mask.back() == '.') return !hasDot && GlobMatch(name, mask.substr(0, mask.size() - 1));
  return GlobMatch(name, mask);
}

}  // namespace plat::ftpproto

#include "loadtester/RunText.h"

#include <cmath>
#include <ctime>
#include <fstream>
#include <iterator>

#include "platform/classes/classes.h"

namespace runtext {

std::string replacestr(const std::string& source, const std::string& pattern, const std::string& replacement) {
  if (pattern.empty()) return source;
  std::string out;
  out.reserve(source.size());
  std::size_t from = 0;
  for (std::size_t at; (at = source.find(pattern, from)) != std::string::npos; from = at + pattern.size()) {
    out.append(source, from, at - from);
    out += replacement;
  }
  out.append(source, from, std::string::npos);
  return out;
}

std::int64_t Nearest(long double v) {
  if (!std::isfinite(v)) return 0;
  // Beyond this the value is no meaningful figure any more.
  if (v >= 9.2e18L || v <= -9.2e18L) return 0;
  // Round half to even regardless of the caller's rounding mode.
  long double f = std::floor(v);
  long double diff = v - f;
  auto i = static_cast<std::int64_t>(f);
  if (diff > 0.5L) return i + 1;
  if (diff < 0.5L) return i;
  return (i % 2 == 0) ? i : i + 1;
}

std::string NearestStr(long double v) { return std::to_string(Nearest(v)); }

long double SafeDiv(long double a, long double b) {
  if (b == 0) return 0;
  long double q = a / b;
  return std::isfinite(q) ? q : 0;
}

std::string TitleUrl(const std::string& url) {
  if (url.size() < 60) return url;
  return url.substr(0, 60) + "...";
}

std::string SettingsText(const TestSettings& s) {
  std::string t = std::to_string(s.users) + " simultaneous users";
  if (s.ramp) t = "ramp test with up to " + std::to_string(s.users) + " simultaneous users";
  if (s.useusername) t += " Username=\"" + s.username + "\" ";
  if (s.runs > 1) t += " - " + std::to_string(s.runs) + " runs";
  if (s.wait > 1) t += " - wait for " + std::to_string(s.wait) + "s";
  return t;
}

std::int32_t RampUsers(std::int64_t users, std::int64_t runs, std::int32_t runindex) {
  long double per = SafeDiv(static_cast<long double>(users), static_cast<long double>(runs));
  std::int64_t n = Nearest(per * (static_cast<long double>(runindex) + 1));
  if (n < 1) n = 1;
  return static_cast<std::int32_t>(n);
}

void StatusTable::Reset() {
  codes.assign(1, 200);
  counts.assign(1, 0);
}

void StatusTable::Add(std::int32_t code) {
  if (codes.empty()) Reset();
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] == code) {
      ++counts[i];
      return;
    }
  }
  codes.push_back(code);
  counts.push_back(1);
}

std::int64_t StatusTable::CountOf(std::int32_t code) const {
  for (std::size_t i = 0; i < codes.size(); ++i)
    if (codes[i] == code) return counts[i];
  return 0;
}

std::int64_t StatusTable::Errors() const {
  std::int64_t n = 0;
  for (std::size_t i = 0; i < codes.size(); ++i)
    if (codes[i] != 200) n += counts[i];
  return n;
}

std::string StatusTable::FooterLine() const {
  std::string s = "Statuscodes: ";
  for (std::size_t i = 0; i < codes.size(); ++i) s += std::to_string(codes[i]) + ":" + std::to_string(counts[i]) + "  ";
  return s;
}

std::string CookieLine(const plat::TStringList& header) {
  std::string c;
  for (int i = 0; i < header.Count(); ++i) {
    const std::string& line = header[i];
    if (line.size() >= 11 && plat::UpperCase(line.substr(0, 11)) == "SET-COOKIE:") {
      if (line.size() > 12) c.append(line, 12, 5000);
      c += "@@";
    }
  }
  if (c.size() > 2) c.resize(c.size() - 2);
  return c;
}

std::string CookieHeader(const std::string& line) { return replacestr(line, "@@", "\r\nCookie: "); }

std::string ReadTextLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw plat::EFOpenError("Cannot open file " + path);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t nul = raw.find('\0');
  if (nul != std::string::npos) raw.resize(nul);
  std::string t;
  t.reserve(raw.size() + raw.size() / 16);
  std::size_t i = 0;
  while (i < raw.size()) {
    std::size_t e = raw.find_first_of("\r\n", i);
    if (e == std::string::npos) {
      t.append(raw, i, std::string::npos);
      t += "\r\n";
      break;
    }
    t.append(raw, i, e - i);
    t += "\r\n";
    i = (raw[e] == '\r' && e + 1 < raw.size() && raw[e + 1] == '\n') ? e + 2 : e + 1;
  }
  return t;
}

std::string SourceViewText(const std::string& t) {
  const std::size_t n = t.size();
  const std::string rule(44, '-');
  if (n <= 64000) return "HTML Source (" + std::to_string(n) + " Bytes)\r\n" + rule + "\r\n" + t.substr(0, 60000);
  return "HTML Source (" + std::to_string(n) + " Bytes) truncated to 60kb by Brontavel\r\n" + rule + "\r\n" +
         t.substr(0, 60000) + "\r\ntruncated by Brontavel";
}

std::vector<std::string> RunSummaryLines(long double ms, std::int32_t users, std::int64_t bytes) {
  const long double days = ms / (24.0L * 60 * 60 * 1000);
  std::vector<std::string> l;
  l.push_back(" ");
  l.push_back("Average Results of this Run:");
  l.push_back("  Overall Time: " + NearestStr(ms) + " msec");
  l.push_back("  Average Request Time: " + NearestStr(SafeDiv(ms, users)) + " msec (equals ~" +
              NearestStr(SafeDiv(SafeDiv(users, days), 24)) + " Requests/h)");
  l.push_back("  Total Bytes: " + std::to_string(bytes) + " Bytes (" + std::to_string(bytes / 1000) +
              " KB) (Throughput ~" + NearestStr(SafeDiv(static_cast<long double>(bytes) / 1000, ms) * 1000) +
              " kb/sec)");
  return l;
}

std::string AverageLine(bool ramp, std::int32_t runusers, long double runsaveraged, long double A) {
  std::string tail = ": " + NearestStr(A) + " msec (equals ~" + NearestStr(SafeDiv(60.0L * 60 * 1000, A)) +
                     " Requests/h)";
  if (ramp) return "  Average Request Time for " + std::to_string(runusers) + " simultaneous users" + tail;
  return "  Average Request Time after " + NearestStr(runsaveraged) + " runs" + tail;
}

long double RampErrorPercent(std::int64_t errors, std::int64_t preverrors, std::int32_t runusers) {
  return SafeDiv(static_cast<long double>(errors - preverrors), runusers) * 100;
}

std::string NowText() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[128];
  std::size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
  return std::string(buf, n);
}

}  // namespace runtext

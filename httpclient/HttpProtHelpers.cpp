// The free helpers of the HTTP client: URL splitting, the HTTP date,
// Base64 and the two small string helpers.
#include "httpclient/HttpProt.h"

#include <algorithm>
#include <cmath>

void ParseURL(const std::string& URL, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path) {
  Proto.clear();
  User.clear();
  Pass.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  if (URL.empty()) return;

  std::string rest;
  std::size_t p = URL.find("://");
  if (p != std::string::npos) {
    Proto = URL.substr(0, p);
    rest = URL.substr(p + 3);
  } else if (URL[0] == '/') {
    Proto = "http";
    if (URL.size() > 1 && URL[1] != '/') {
      Path = URL;
      return;
    }
    rest = URL.substr(1);
  } else if (plat::LowerCase(URL.substr(0, 5)) == "http:") {
    Proto = "http";
    if (URL.size() > 6 && URL[6] != '/') {
      Path = URL.substr(5);
      return;
    }
    rest = URL.size() > 6 ? URL.substr(6) : std::string();
  } else if (plat::LowerCase(URL.substr(0, 7)) == "mailto:") {
    Proto = "mailto";
    rest = URL.substr(URL.find(':') + 1);
  } else {
    rest = URL;
  }

  std::string authority = rest;
  std::size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    Path = rest.substr(slash);
    authority = rest.substr(0, slash);
  }

  std::size_t colon = authority.rfind(':');
  std::size_t at = authority.rfind('@');
  std::string userPart;
  if (colon == std::string::npos && at == std::string::npos) {
    Host = authority;
  } else if (colon != std::string::npos && (at == std::string::npos || colon > at)) {
    Port = authority.substr(colon + 1);
    std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
    Host = authority.substr(hostStart, colon - hostStart);
    if (at != std::string::npos) userPart = authority.substr(0, at);
  } else {
    Host = authority.substr(at + 1);
    userPart = authority.substr(0, at);
  }
  if (!userPart.empty()) {
    std::size_t c = userPart.find(':');
    if (c == std::string::npos) {
      User = userPart;
    } else {
      User = userPart.substr(0, c);
      Pass = userPart.substr(c + 1);
    }
  }
}

std::string FormatHttpDate(TDateTime Value) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (!std::isfinite(Value) || Value < 2.0 || Value > 2958466.0)  // 1900-01-01 .. 9999-12-31
    throw plat::ERangeError("Range check error");
  long long days = static_cast<long long>(std::floor(Value));
  long long ms = std::llround((Value - static_cast<double>(days)) * 86400000.0);
  if (ms >= 86400000) {  // rounding reached the next midnight
    ms -= 86400000;
    ++days;
  }
  int weekday = static_cast<int>((days - 2) % 7);

  // Civil date from the day count (day 0 = 1899-12-30).
  long long z = days - 25569 + 719468;  // days since 0000-03-01 via the Unix epoch
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;

  int secs = static_cast<int>(ms / 1000);
  std::string mon(kMonths + (m - 1) * 3, 3);
  return std::string(kDays + weekday * 3, 3) + ", " +
         plat::Format("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", d, mon.c_str(), static_cast<int>(y), secs / 3600,
                      (secs / 60) % 60, secs % 60);
}

std::string EncodeBytes(std::uint8_t Mode, const void* Data, int Len) {
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (Mode > 2) throw plat::ERangeError("Range check error");
  const auto* b = static_cast<const unsigned char*>(Data);
  if (Len < 0) Len = 0;
  std::string r;
  if (Mode == 0) {
    auto ch = [](unsigned v) { return v == 0 ? '`' : static_cast<char>(32 + v); };
    r += ch(static_cast<unsigned>(Len % 64));
    for (int i = 0; i < Len; i += 3) {
      unsigned v = (static_cast<unsigned>(b[i]) << 16) | (i + 1 < Len ? static_cast<unsigned>(b[i + 1]) << 8 : 0u) |
                   (i + 2 < Len ? b[i + 2] : 0u);
      r += ch((v >> 18) & 63);
      r += ch((v >> 12) & 63);
      r += ch((v >> 6) & 63);
      r += ch(v & 63);
    }
    return r;
  }
  r.reserve(static_cast<std::size_t>((Len + 2) / 3 * 4));
  for (int i = 0; i < Len; i += 3) {
    int n = std::min(3, Len - i);
    unsigned v = static_cast<unsigned>(b[i]) << 16;
    if (n > 1) v |= static_cast<unsigned>(b[i + 1]) << 8;
    if (n > 2) v |= b[i + 2];
    r += kBase64[(v >> 18) & 63];
    r += kBase64[(v >> 12) & 63];
    r += n > 1 ? kBase64[(v >> 6) & 63] : '=';
    r += n > 2 ? kBase64[v & 63] : '=';
  }
  return r;
}

std::string Base64Encode(const std::string& S) { return EncodeBytes(1, S.data(), static_cast<int>(S.size())); }

int NthPos(const std::string& Sub, const std::string& S, int N) {
  if (N == -1) {
    if (Sub.empty() || Sub.size() > S.size()) return 0;
    std::size_t p = S.rfind(Sub);
    return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
  }
  if (N <= 0) return 0;
  int found = 0;
  std::size_t from = 0;
  int last = 0;
  while (found < N && !Sub.empty()) {
    std::size_t p = S.find(Sub, from);
    if (p == std::string::npos) break;
    ++found;
    last = static_cast<int>(p) + 1;
    from = p + 1;
  }
  if (found == N) return last;
  return static_cast<int>(S.size()) + (N - found);
}

void ReplaceExt(std::string& Name, const std::string& Ext) {
  int p = NthPos(".", Name, -1);
  if (p > 0)
    Name = Name.substr(0, static_cast<std::size_t>(p)) + Ext;
  else
    Name = Name + "." + Ext;
}

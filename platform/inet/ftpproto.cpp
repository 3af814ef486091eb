#include "platform/inet/ftpproto.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/messaging/messaging.h"

namespace plat::ftpproto {

using namespace plat::inet;

namespace {

// How often a waiting call lets its caller pump.
constexpr int kWaitTickMs = 50;
constexpr std::size_t kBlockSize = 64 * 1024;
// A listing larger than this is not a listing we can use.
constexpr std::size_t kMaxListing = 64 * 1024 * 1024;

enum class WaitResult { Ready, Cancelled, TimedOut };

// Waits until one of `fds` gets an event, the call is cancelled or the
// deadline passes, telling the caller every tick that it still waits.
WaitResult WaitAny(CallSink& sink, pollfd* fds, int n, std::int64_t deadline) {
  std::int64_t lastTick = TickMs();
  for (;;) {
    if (sink.Cancelled()) return WaitResult::Cancelled;
    std::int64_t now = TickMs();
    if (now >= deadline) return WaitResult::TimedOut;
    int slice = static_cast<int>(std::min<std::int64_t>(kWaitTickMs, deadline - now));
    pollfd p[4];
    for (int i = 0; i < n; ++i) {
      p[i] = fds[i];
      p[i].revents = 0;
    }
    p[n] = pollfd{sink.WakeFd(), POLLIN, 0};
    int r = ::poll(p, static_cast<nfds_t>(n + 1), slice);
    if (r < 0 && errno != EINTR) return WaitResult::TimedOut;
    if (r > 0) {
      if (p[n].revents) return WaitResult::Cancelled;
      bool any = false;
      for (int i = 0; i < n; ++i) {
        fds[i].revents = p[i].revents;
        any = any || p[i].revents != 0;
      }
      if (any) return WaitResult::Ready;
    }
    now = TickMs();
    if (now - lastTick >= kWaitTickMs) {
      lastTick = now;
      if (!sink.Emit(INTERNET_STATUS_WAITING, nullptr, 0)) return WaitResult::Cancelled;
    }
  }
}

WaitResult WaitOne(CallSink& sink, int fd, short events, std::int64_t deadline) {
  pollfd p{fd, events, 0};
  return WaitAny(sink, &p, 1, deadline);
}

std::int64_t Deadline(int ms) { return TickMs() + (ms > 0 ? ms : 60000); }

DWORD WaitError(WaitResult w) {
  return w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_INTERNET_TIMEOUT;
}

// Sends all of it on a non-blocking socket. 0, or an error code.
DWORD SendAll(CallSink& sink, int fd, const char* data, std::size_t len, int timeoutMs) {
  std::int64_t deadline = Deadline(timeoutMs);
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitResult w = WaitOne(sink, fd, POLLOUT, deadline);
      if (w != WaitResult::Ready) return WaitError(w);
      continue;
    }
    return ERROR_INTERNET_CONNECTION_ABORTED;
  }
  return 0;
}

std::string AddressText(const sockaddr* a) {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (a->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, buf, sizeof buf);
  else if (a->sa_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, buf, sizeof buf);
  return buf;
}

void SetPort(sockaddr_storage& a, int port) {
  if (a.ss_family == AF_INET)
    reinterpret_cast<sockaddr_in&>(a).sin_port = htons(static_cast<std::uint16_t>(port));
  else
    reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(static_cast<std::uint16_t>(port));
}

int GetPort(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
}

bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
}

socklen_t LenOf(const sockaddr_storage& a) {
  return a.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// Non-blocking connect bounded by `timeoutMs`. 0, ERROR_INTERNET_CANNOT_CONNECT,
// ERROR_INTERNET_TIMEOUT or ERROR_INTERNET_OPERATION_CANCELLED.
DWORD ConnectTo(CallSink& sink, const sockaddr_storage& addr, int timeoutMs, int& fdOut) {
  fdOut = -1;
  int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return ERROR_INTERNET_CANNOT_CONNECT;
  int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), LenOf(addr));
  if (r != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return ERROR_INTERNET_CANNOT_CONNECT;
  }
  if (r != 0) {
    WaitResult w = WaitOne(sink, fd, POLLOUT, Deadline(timeoutMs));
    if (w != WaitResult::Ready) {
      ::close(fd);
      return WaitError(w);
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      ::close(fd);
      return ERROR_INTERNET_CANNOT_CONNECT;
    }
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fdOut = fd;
  return 0;
}

// A host name we would hand to the resolver: letters, digits, '-', '_' and
// dots between non-empty labels (or an address literal).
bool PlausibleHostName(const std::string& h) {
  if (h.empty() || h.size() > 253) return false;
  std::size_t label = 0;
  for (char c : h) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok || ++label > 63) return false;
  }
  return true;
}

// getaddrinfo runs on a helper thread so that the wait can be cancelled and
// bounded; a helper that outlives the wait cleans up after itself.
struct Resolution {
  std::mutex mutex;
  bool done = false;
  int rc = 0;
  addrinfo* result = nullptr;
  int eventFd = -1;
  ~Resolution() {
    if (result) ::freeaddrinfo(result);
    if (eventFd >= 0) ::close(eventFd);
  }
};

DWORD Resolve(CallSink& sink, const std::string& host, int timeoutMs, std::vector<sockaddr_storage>& out) {
  out.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  auto collect = [&out](addrinfo* res) {
    for (addrinfo* a = res; a; a = a->ai_next) {
      if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
      sockaddr_storage s{};
      std::memcpy(&s, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof s));
      out.push_back(s);
    }
  };
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  {
    addrinfo numeric = hints;
    numeric.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &numeric, &res) == 0) {
      collect(res);
      ::freeaddrinfo(res);
      return out.empty() ? ERROR_INTERNET_NAME_NOT_RESOLVED : 0;
    }
  }
  if (!PlausibleHostName(name)) return ERROR_INTERNET_NAME_NOT_RESOLVED;
  auto r = std::make_shared<Resolution>();
  r->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (r->eventFd < 0) return ERROR_INTERNET_INTERNAL_ERROR;
  try {
    std::thread([r, name, hints] {
      addrinfo* res = nullptr;
      int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
      std::lock_guard<std::mutex> lock(r->mutex);
      r->rc = rc;
      r->result = res;
      r->done = true;
      std::uint64_t one = 1;
      ssize_t w = ::write(r->eventFd, &one, sizeof one);
      (void)w;
    }).detach();
  } catch (const std::exception&) {
    return ERROR_INTERNET_INTERNAL_ERROR;
  }
  WaitResult w = WaitOne(sink, r->eventFd, POLLIN, Deadline(timeoutMs));
  if (w != WaitResult::Ready) return WaitError(w);
  std::lock_guard<std::mutex> lock(r->mutex);
  if (!r->done || r->rc != 0) return ERROR_INTERNET_NAME_NOT_RESOLVED;
  collect(r->result);
  return out.empty() ? ERROR_INTERNET_NAME_NOT_RESOLVED : 0;
}

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
    if (type == 'l') {
      std::size_t arrow = name.find(" -> ");
      if (arrow != std::string::npos) name.resize(arrow);
    }
    if (!AcceptableName(name)) return false;
    const std::string sizeText = text(i - 1);
    if (sizeText.size() > 19) return false;
    out.name = name;
    out.directory = type == 'd';
    out.size = std::stoull(sizeText);
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
  out.size = size;
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

// ---- replies ------------------------------------------------------------------------

std::string Reply::Text() const {
  std::string s;
  for (const auto& l : lines) {
    s += l;
    s += "\r\n";
  }
  return s;
}

ReplyReader::Result ReplyReader::Take(Reply& out) {
  for (;;) {
    std::size_t lf = buf_.find('\n');
    if (lf == std::string::npos) return buf_.size() > kMaxLine ? Result::Bad : Result::NeedMore;
    if (lf > kMaxLine) return Result::Bad;
    std::string line = buf_.substr(0, lf);
    buf_.erase(0, lf + 1);
    partial_.wireBytes += lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto isCode = [](const std::string& l) {
      return l.size() >= 3 && l[0] >= '1' && l[0] <= '5' && l[1] >= '0' && l[1] <= '9' && l[2] >= '0' && l[2] <= '9';
    };
    if (!inMulti_) {
      if (!isCode(line)) return Result::Bad;
      partial_.code = std::stoi(line.substr(0, 3));
      partial_.lines.push_back(line);
      if (line.size() > 3 && line[3] == '-') {
        inMulti_ = true;
        continue;
      }
    } else {
      partial_.lines.push_back(line);
      if (partial_.lines.size() > kMaxReplyLines) return Result::Bad;
      bool last = isCode(line) && std::stoi(line.substr(0, 3)) == partial_.code && (line.size() == 3 || line[3] == ' ');
      if (!last) continue;
    }
    out = std::move(partial_);
    partial_ = Reply{};
    inMulti_ = false;
    return Result::Done;
  }
}

// ---- listings ------------------------------------------------------------------------

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

std::string ParsePwdReply(const Reply& r) {
  if (r.lines.empty()) return "";
  const std::string& l = r.lines.front();
  std::string text = l.size() > 4 ? l.substr(4) : "";
  std::size_t q = text.find('"');
  if (q == std::string::npos) {
    std::size_t b = text.find_first_not_of(' ');
    std::size_t e = text.find(' ', b == std::string::npos ? 0 : b);
    return b == std::string::npos ? "" : text.substr(b, e == std::string::npos ? std::string::npos : e - b);
  }
  std::string path;
  for (std::size_t i = q + 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      if (i + 1 < text.size() && text[i + 1] == '"') {
        path += '"';
        ++i;
        continue;
      }
      break;
    }
    path += text[i];
  }
  return path;
}

bool ParsePasvPort(const std::string& text, int& port) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] >= '0' && text[i] <= '9') || (i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9')) continue;
    int v[6];
    std::size_t p = i;
    int k = 0;
    for (; k < 6; ++k) {
      std::size_t b = p;
      int num = 0;
      while (p < text.size() && text[p] >= '0' && text[p] <= '9' && p - b < 3) num = num * 10 + (text[p++] - '0');
      if (p == b || num > 255) break;
      v[k] = num;
      if (k < 5) {
        if (p >= text.size() || text[p] != ',') break;
        ++p;
      }
    }
    if (k == 6) {
      port = v[4] * 256 + v[5];
      return port > 0;
    }
  }
  return false;
}

bool ParseEpsvPort(const std::string& text, int& port) {
  std::size_t open = text.find('(');
  if (open == std::string::npos || open + 5 > text.size()) return false;
  char d = text[open + 1];
  if (text[open + 2] != d || text[open + 3] != d) return false;
  std::size_t p = open + 4;
  long num = 0;
  std::size_t b = p;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9' && p - b < 5) num = num * 10 + (text[p++] - '0');
  if (p == b || p >= text.size() || text[p] != d || num < 1 || num > 65535) return false;
  port = static_cast<int>(num);
  return true;
}

// ---- the control connection ---------------------------------------------------------

struct FtpControl::DataConn {
  int listenFd = -1;
  int fd = -1;
  ~DataConn() {
    if (listenFd >= 0) ::close(listenFd);
    if (fd >= 0) ::close(fd);
  }
  // Resets the connection, so that the server takes the transfer as failed.
  void Abort() {
    if (fd >= 0) {
      linger l{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(fd);
      fd = -1;
    }
  }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

FtpControl::~FtpControl() {
  if (fd_ >= 0) ::close(fd_);
}

void FtpControl::MarkDead(CallSink& sink, DWORD error) {
  if (deadError_ != 0) return;
  deadError_ = error;
  // A connection that lost its place in the reply stream (or its peer) can
  // carry no further command: it is closed now and, unless the caller
  // cancelled, said so, so that no one goes on taking it for connected.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (error != ERROR_INTERNET_OPERATION_CANCELLED) sink.Emit(INTERNET_STATUS_CONNECTION_CLOSED, nullptr, 0);
}

void FtpControl::CloseQuietly() {
  if (fd_ < 0) return;
  if (deadError_ == 0) {
    static const char quit[] = "QUIT\r\n";
    ssize_t n = ::send(fd_, quit, sizeof quit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
  }
  ::close(fd_);
  fd_ = -1;
  if (deadError_ == 0) deadError_ = ERROR_INVALID_HANDLE;
}

DWORD FtpControl::SendLine(CallSink& sink, const std::string& line, const Options& opt) {
  if (!Usable()) return DeadError();
  if (line.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  std::string wire = line + "\r\n";
  DWORD rc = SendAll(sink, fd_, wire.data(), wire.size(), opt.sendTimeoutMs);
  if (rc == ERROR_INTERNET_CONNECTION_ABORTED) {
    MarkDead(sink, rc);
    return rc;
  }
  if (rc != 0) {
    MarkDead(sink, rc == ERROR_INTERNET_OPERATION_CANCELLED ? rc : ERROR_FTP_DROPPED);
    return rc;
  }
  DWORD count = static_cast<DWORD>(wire.size());
  if (!sink.Emit(INTERNET_STATUS_REQUEST_SENT, &count, sizeof count)) {
    MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
    return ERROR_INTERNET_OPERATION_CANCELLED;
  }
  return 0;
}

DWORD FtpControl::ReadReply(CallSink& sink, Reply& reply, const Options& opt) {
  if (fd_ < 0) return DeadError();
  std::int64_t deadline = Deadline(opt.receiveTimeoutMs);
  char buf[16384];
  for (;;) {
    ReplyReader::Result res = reader_.Take(reply);
    if (res == ReplyReader::Result::Done) {
      DWORD count = static_cast<DWORD>(reply.wireBytes);
      if (!sink.Emit(INTERNET_STATUS_RESPONSE_RECEIVED, &count, sizeof count)) {
        MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
        return ERROR_INTERNET_OPERATION_CANCELLED;
      }
      // 421: the server is closing the connection; the caller still gets the reply.
      if (reply.code == 421) MarkDead(sink, ERROR_INTERNET_CONNECTION_ABORTED);
      return 0;
    }
    if (res == ReplyReader::Result::Bad) {
      MarkDead(sink, ERROR_FTP_DROPPED);
      return ERROR_FTP_DROPPED;
    }
    WaitResult w = WaitOne(sink, fd_, POLLIN, deadline);
    if (w != WaitResult::Ready) {
      MarkDead(sink, w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_DROPPED);
      return WaitError(w);
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      reader_.Feed(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    MarkDead(sink, ERROR_INTERNET_CONNECTION_ABORTED);
    return ERROR_INTERNET_CONNECTION_ABORTED;
  }
}

DWORD FtpControl::Command(CallSink& sink, const std::string& line, Reply& reply, const Options& opt) {
  DWORD rc = SendLine(sink, line, opt);
  if (rc) return rc;
  return ReadReply(sink, reply, opt);
}

DWORD FtpControl::Simple(CallSink& sink, const std::string& line, Reply& reply, const Options& opt) {
  DWORD rc = Command(sink, line, reply, opt);
  // A preliminary reply is followed by the real one.
  for (int i = 0; rc == 0 && reply.Kind() == 1 && i < 8; ++i) rc = ReadReply(sink, reply, opt);
  if (rc) return rc;
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

DWORD FtpControl::Open(CallSink& sink, const std::string& host, int port, const std::string& user,
                       const std::string& password, bool passive, const Options& opt, std::string& banner) {
  passive_ = passive;
  banner.clear();
  const int attempts = std::max(1, opt.connectRetries);
  DWORD error = ERROR_INTERNET_CANNOT_CONNECT;
  for (int attempt = 0; attempt < attempts && fd_ < 0; ++attempt) {
    if (!sink.Emit(INTERNET_STATUS_RESOLVING_NAME, host.c_str(), static_cast<DWORD>(host.size() + 1)))
      return ERROR_INTERNET_OPERATION_CANCELLED;
    std::vector<sockaddr_storage> addrs;
    DWORD rc = Resolve(sink, host, opt.connectTimeoutMs, addrs);
    if (rc) return rc;
    std::string first = AddressText(reinterpret_cast<sockaddr*>(&addrs[0]));
    if (!sink.Emit(INTERNET_STATUS_NAME_RESOLVED, first.c_str(), static_cast<DWORD>(first.size() + 1)))
      return ERROR_INTERNET_OPERATION_CANCELLED;
    for (auto& a : addrs) {
      SetPort(a, port);
      std::string text = AddressText(reinterpret_cast<sockaddr*>(&a));
      if (!sink.Emit(INTERNET_STATUS_CONNECTING_TO_SERVER, text.c_str(), static_cast<DWORD>(text.size() + 1)))
        return ERROR_INTERNET_OPERATION_CANCELLED;
      int fd = -1;
      rc = ConnectTo(sink, a, opt.connectTimeoutMs, fd);
      if (rc == ERROR_INTERNET_OPERATION_CANCELLED) return rc;
      if (rc) {
        error = rc;
        continue;
      }
      fd_ = fd;
      if (!sink.Emit(INTERNET_STATUS_CONNECTED_TO_SERVER, text.c_str(), static_cast<DWORD>(text.size() + 1)))
        return ERROR_INTERNET_OPERATION_CANCELLED;
      break;
    }
  }
  if (fd_ < 0) return error;
  peerLen_ = sizeof peer_;
  localLen_ = sizeof local_;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer_), &peerLen_) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local_), &localLen_) != 0)
    return ERROR_INTERNET_CANNOT_CONNECT;
  DWORD rc = Login(sink, user, password, opt, banner);
  switch (rc) {
    case 0:
    case ERROR_INTERNET_OPERATION_CANCELLED:
    case ERROR_INTERNET_TIMEOUT:
    case ERROR_INTERNET_INCORRECT_USER_NAME:
    case ERROR_INTERNET_INCORRECT_PASSWORD:
    case ERROR_INVALID_PARAMETER:
      return rc;
    default:
      return ERROR_INTERNET_LOGIN_FAILURE;
  }
}

DWORD FtpControl::Login(CallSink& sink, const std::string& user, const std::string& password, const Options& opt,
                        std::string& banner) {
  Reply r;
  DWORD rc = ReadReply(sink, r, opt);
  // "120 ready in n minutes" comes before the 220.
  for (int i = 0; rc == 0 && r.Kind() == 1 && i < 8; ++i) {
    banner += r.Text();
    rc = ReadReply(sink, r, opt);
  }
  if (rc) return rc;
  banner += r.Text();
  if (r.code != 220) return ERROR_INTERNET_LOGIN_FAILURE;
  rc = Command(sink, "USER " + (user.empty() ? std::string("anonymous") : user), r, opt);
  if (rc) return rc;
  if (r.code == 331 || r.code == 332) {
    std::string pass = password;
    if (pass.empty() && user.empty()) pass = "anonymous@";
    rc = Command(sink, "PASS " + pass, r, opt);
    if (rc) return rc;
    banner += r.Text();
    if (r.Kind() == 2) return 0;
    return r.code == 530 ? ERROR_INTERNET_INCORRECT_PASSWORD : ERROR_INTERNET_LOGIN_FAILURE;
  }
  banner += r.Text();
  if (r.Kind() == 2) return 0;
  return r.code == 530 ? ERROR_INTERNET_INCORRECT_USER_NAME : ERROR_INTERNET_LOGIN_FAILURE;
}

DWORD FtpControl::PrepareData(CallSink& sink, DataConn& dc, Reply& reply, const Options& opt) {
  if (passive_) {
    int port = 0;
    DWORD rc;
    bool v4 = peer_.ss_family == AF_INET;
    if (v4) {
      rc = Command(sink, "PASV", reply, opt);
      if (rc) return rc;
      if (reply.code == 227 && ParsePasvPort(reply.lines.front().substr(3), port)) {
        // Found.
      } else if (reply.Kind() != 5) {
        return ERROR_INTERNET_EXTENDED_ERROR;
      }
    }
    if (port == 0) {
      rc = Command(sink, "EPSV", reply, opt);
      if (rc) return rc;
      if (reply.code != 229 || !ParseEpsvPort(reply.lines.front(), port)) return ERROR_INTERNET_EXTENDED_ERROR;
    }
    // The address in the reply is ignored: data goes to the host we talk to.
    sockaddr_storage a = peer_;
    SetPort(a, port);
    rc = ConnectTo(sink, a, opt.connectTimeoutMs, dc.fd);
    if (rc == ERROR_INTERNET_OPERATION_CANCELLED) MarkDead(sink, rc);
    return rc;
  }
  sockaddr_storage a = local_;
  SetPort(a, 0);
  dc.listenFd = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  socklen_t len = LenOf(a);
  if (dc.listenFd < 0 || ::bind(dc.listenFd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::listen(dc.listenFd, 1) != 0 || ::getsockname(dc.listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return ERROR_INTERNET_INTERNAL_ERROR;
  int port = GetPort(a);
  std::string line;
  if (a.ss_family == AF_INET) {
    auto ip = ntohl(reinterpret_cast<sockaddr_in&>(a).sin_addr.s_addr);
    line = "PORT " + std::to_string(ip >> 24) + "," + std::to_string((ip >> 16) & 255) + "," +
           std::to_string((ip >> 8) & 255) + "," + std::to_string(ip & 255) + "," + std::to_string(port >> 8) + "," +
           std::to_string(port & 255);
  } else {
    line = "EPRT |2|" + AddressText(reinterpret_cast<sockaddr*>(&a)) + "|" + std::to_string(port) + "|";
  }
  DWORD rc = Command(sink, line, reply, opt);
  if (rc) return rc;
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

DWORD FtpControl::OpenDataAfterCommand(CallSink& sink, DataConn& dc, Reply& reply, const Options& opt) {
  if (dc.fd >= 0) return 0;
  std::int64_t deadline = Deadline(opt.receiveTimeoutMs);
  for (;;) {
    pollfd p[2] = {{dc.listenFd, POLLIN, 0}, {fd_, POLLIN, 0}};
    WaitResult w = WaitAny(sink, p, 2, deadline);
    if (w != WaitResult::Ready) {
      MarkDead(sink, w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_DROPPED);
      return WaitError(w);
    }
    if (p[1].revents && !p[0].revents) {
      // The server answers instead of connecting: it gave up. (A server that
      // connected and already reported the end is accepted first.)
      DWORD rc = ReadReply(sink, reply, opt);
      if (rc) return rc;
      if (reply.Kind() != 1) return ERROR_INTERNET_EXTENDED_ERROR;
      continue;
    }
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    int fd = ::accept4(dc.listenFd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (!SameHost(from, peer_)) {
      // Only the server we talk to may connect.
      ::close(fd);
      continue;
    }
    dc.fd = fd;
    ::close(dc.listenFd);
    dc.listenFd = -1;
    return 0;
  }
}

DWORD FtpControl::SetType(CallSink& sink, char type, Reply& reply, const Options& opt) {
  // The type holds for the connection: a site of small files would
  // otherwise pay a round trip per file for it.
  if (type_ == type) return 0;
  DWORD rc = Simple(sink, std::string("TYPE ") + type, reply, opt);
  type_ = rc == 0 ? type : 0;
  return rc;
}

DWORD FtpControl::Store(CallSink& sink, int localFd, const std::string& remote, bool ascii, Reply& reply,
                        const Options& opt) {
  if (remote.empty() || remote.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  DWORD rc = SetType(sink, ascii ? 'A' : 'I', reply, opt);
  if (rc) return rc;
  DataConn dc;
  rc = PrepareData(sink, dc, reply, opt);
  if (rc) return rc;
  rc = Command(sink, "STOR " + remote, reply, opt);
  if (rc) return rc;
  if (reply.Kind() != 1) return ERROR_INTERNET_EXTENDED_ERROR;
  rc = OpenDataAfterCommand(sink, dc, reply, opt);
  if (rc) return rc;
  std::vector<char> in(kBlockSize);
  std::string out;
  bool lastWasCr = false;
  for (;;) {
    ssize_t n = ::read(localFd, in.data(), in.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      dc.Abort();
      Reply ignored;
      ReadReply(sink, ignored, opt);
      return ERROR_READ_FAULT;
    }
    if (n == 0) break;
    const char* data = in.data();
    std::size_t len = static_cast<std::size_t>(n);
    if (ascii) {
      out.clear();
      for (std::size_t i = 0; i < len; ++i) {
        if (in[i] == '\n' && !lastWasCr) out += '\r';
        out += in[i];
        lastWasCr = in[i] == '\r';
      }
      data = out.data();
      len = out.size();
    }
    rc = SendAll(sink, dc.fd, data, len, opt.sendTimeoutMs);
    if (rc == ERROR_INTERNET_OPERATION_CANCELLED) {
      dc.Abort();
      MarkDead(sink, rc);
      return rc;
    }
    if (rc) {
      // The server stopped taking data; its reply says why.
      dc.Abort();
      DWORD rr = ReadReply(sink, reply, opt);
      if (rr) return rr;
      return reply.Kind() == 2 ? ERROR_INTERNET_CONNECTION_ABORTED : ERROR_INTERNET_EXTENDED_ERROR;
    }
    DWORD count = static_cast<DWORD>(len);
    if (!sink.Emit(INTERNET_STATUS_REQUEST_SENT, &count, sizeof count)) {
      dc.Abort();
      MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
      return ERROR_INTERNET_OPERATION_CANCELLED;
    }
  }
  dc.Close();
  rc = ReadReply(sink, reply, opt);
  if (rc) return rc;
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

DWORD FtpControl::List(CallSink& sink, const std::string& dir, std::string& text, Reply& reply, const Options& opt) {
  text.clear();
  if (dir.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  if (dir.empty()) return ListHere(sink, text, reply, opt);
  // Some servers split LIST's argument at blanks, and list another folder
  // or nothing for a path with one; every server takes CWD's whole. So the
  // folder is entered, listed without an argument, and left again.
  DWORD rc = Simple(sink, "PWD", reply, opt);
  if (rc == 0 && reply.code != 257) rc = ERROR_INTERNET_EXTENDED_ERROR;
  if (rc) return rc;
  const std::string back = ParsePwdReply(reply);
  if (back == dir) return ListHere(sink, text, reply, opt);
  rc = Simple(sink, "CWD " + dir, reply, opt);
  if (rc) return rc;
  rc = ListHere(sink, text, reply, opt);
  if (!Usable()) return rc;
  Reply returned;
  DWORD rcBack = Simple(sink, "CWD " + back, returned, opt);
  if (rcBack == 0 || rc != 0) return rc;
  // Listed, but left in the wrong folder: the caller must not go on as if not.
  text.clear();
  reply = returned;
  return rcBack;
}

DWORD FtpControl::ListHere(CallSink& sink, std::string& text, Reply& reply, const Options& opt) {
  text.clear();
  DWORD rc = SetType(sink, 'A', reply, opt);
  if (rc) return rc;
  DataConn dc;
  rc = PrepareData(sink, dc, reply, opt);
  if (rc) return rc;
  rc = Command(sink, "LIST", reply, opt);
  if (rc) return rc;
  bool finalSeen = false;
  if (reply.Kind() == 2) {
    finalSeen = true;  // nothing to send; some servers skip the 150
  } else if (reply.Kind() != 1) {
    return ERROR_INTERNET_EXTENDED_ERROR;
  }
  if (!finalSeen || dc.fd >= 0) {
    if (!finalSeen) {
      rc = OpenDataAfterCommand(sink, dc, reply, opt);
      if (rc) return rc;
    }
    std::int64_t deadline = Deadline(opt.receiveTimeoutMs);
    char buf[65536];
    while (dc.fd >= 0) {
      ssize_t n = ::recv(dc.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        if (text.size() + static_cast<std::size_t>(n) > kMaxListing) {
          dc.Abort();
          MarkDead(sink, ERROR_FTP_DROPPED);
          return ERROR_FTP_DROPPED;
        }
        text.append(buf, static_cast<std::size_t>(n));
        DWORD count = static_cast<DWORD>(n);
        if (!sink.Emit(INTERNET_STATUS_RESPONSE_RECEIVED, &count, sizeof count)) {
          dc.Abort();
          MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
          return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        deadline = Deadline(opt.receiveTimeoutMs);
        continue;
      }
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        WaitResult w = WaitOne(sink, dc.fd, POLLIN, deadline);
        if (w != WaitResult::Ready) {
          dc.Abort();
          MarkDead(sink, w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_DROPPED);
          return WaitError(w);
        }
        continue;
      }
      break;  // reset by the server: its reply tells
    }
    dc.Close();
  }
  if (!finalSeen) {
    rc = ReadReply(sink, reply, opt);
    if (rc) return rc;
  }
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

}  // namespace plat::ftpproto

#include "platform/inet/ftpnet.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/messaging/messaging.h"

namespace plat::ftpproto::net {

using namespace plat::inet;

namespace {

// How often a waiting call lets its caller pump.
constexpr int kWaitTickMs = 50;

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace plat::ftpproto::net

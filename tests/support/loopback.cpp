#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/messaging/messaging.h"

namespace testsupport {

namespace {

// A TCP socket bound to 127.0.0.1, or to ::1, at a port the system picks.
int BoundLoopbackSocket(int& port, bool ipv6 = false) {
  const char* where = ipv6 ? "::1" : "127.0.0.1";
  int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_storage a{};
  socklen_t len;
  if (ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    len = sizeof *a6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a4;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    int err = errno;
    ::close(fd);
    throw std::runtime_error(std::string("bind to ") + where + ": " + std::strerror(err));
  }
  port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  return fd;
}

}  // namespace

LoopbackListener::LoopbackListener(int backlog, bool ipv6) {
  Fd_ = BoundLoopbackSocket(Port_, ipv6);
  if (::listen(Fd_, backlog) != 0) {
    int err = errno;
    ::close(Fd_);
    throw std::runtime_error(std::string("listen: ") + std::strerror(err));
  }
}

LoopbackListener::~LoopbackListener() { ::close(Fd_); }

int LoopbackListener::Accept(int timeoutMs) {
  pollfd p{Fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0 || !(p.revents & POLLIN)) return -1;
  return ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

void LoopbackListener::SetReceiveBuffer(int bytes) {
  if (::setsockopt(Fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
    throw std::runtime_error(std::string("SO_RCVBUF: ") + std::strerror(errno));
}

void LoopbackListener::Close() {
  // shutdown wakes a poll in another thread; close alone would not.
  ::shutdown(Fd_, SHUT_RDWR);
}

// In the body: Port_'s own initialiser would run after Fd_'s and undo
// what the binding wrote.
RefusingPort::RefusingPort() { Fd_ = BoundLoopbackSocket(Port_); }

RefusingPort::~RefusingPort() { ::close(Fd_); }

bool Ipv6LoopbackAvailable() {
  try {
    int port = 0;
    ::close(BoundLoopbackSocket(port, true));
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}


// ---- our own servers' ports and clients ----------------------------------------

namespace {

bool MakeAddress(const std::string& address, int port, sockaddr_storage& out, socklen_t& len) {
  std::memset(&out, 0, sizeof out);
  auto* a4 = reinterpret_cast<sockaddr_in*>(&out);
  if (::inet_pton(AF_INET, address.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof *a4;
    return true;
  }
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (::inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof *a6;
    return true;
  }
  return false;
}

// A listening socket on address:port; -1 with errno on failure.
int Listen(const std::string& address, int port) {
  sockaddr_storage a;
  socklen_t len;
  if (!MakeAddress(address, port, a, len)) return -1;
  int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (a.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 16) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int FreeLoopbackPort() {
  static std::mt19937 rng(static_cast<unsigned>(::getpid()) * 2654435761u ^ static_cast<unsigned>(NowMs()));
  for (;;) {
    int port = 20000 + static_cast<int>(rng() % 12000);
    int v4 = Listen("127.0.0.1", port);
    if (v4 < 0) continue;
    int v6 = Listen("::1", port);
    bool v6ok = v6 >= 0 || errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT;
    ::close(v4);
    if (v6 >= 0) ::close(v6);
    if (v6ok) return port;
  }
}

PortHolder::PortHolder(int port, const std::string& address) : Fd_(Listen(address, port)) {}

PortHolder::~PortHolder() {
  if (Fd_ >= 0) ::close(Fd_);
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(const std::string& address, int port, int timeoutMs) {
  Close();
  sockaddr_storage a;
  socklen_t len;
  if (!MakeAddress(address, port, a, len)) return false;
  Fd_ = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Fd_ < 0) return false;
  if (ReceiveBuffer > 0) ::setsockopt(Fd_, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
  int r = ::connect(Fd_, reinterpret_cast<sockaddr*>(&a), len);
  if (r != 0 && errno == EINPROGRESS) {
    pollfd p{Fd_, POLLOUT, 0};
    int err = 0;
    socklen_t elen = sizeof err;
    if (::poll(&p, 1, timeoutMs) == 1 && ::getsockopt(Fd_, SOL_SOCKET, SO_ERROR, &err, &elen) == 0 && err == 0)
      r = 0;
  }
  if (r != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::Send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(Fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      pollfd p{Fd_, POLLOUT, 0};
      if (::poll(&p, 1, 5000) == 1) continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

std::string RawClient::ReadAll(int timeoutMs, bool* closed) {
  std::string out;
  std::int64_t deadline = NowMs() + timeoutMs;
  if (closed) *closed = false;
  char buf[65536];
  for (;;) {
    std::int64_t left = deadline - NowMs();
    if (left <= 0) return out;
    pollfd p{Fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) != 1) continue;
    ssize_t n = ::recv(Fd_, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (closed) *closed = true;
    return out;
  }
}

std::string RawClient::ReadSome(std::size_t n, int timeoutMs) {
  std::string out(n, '\0');
  pollfd p{Fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return std::string();
  ssize_t got = ::recv(Fd_, out.data(), n, 0);
  out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return out;
}

void RawClient::Reset() {
  if (Fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(Fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void RawClient::Close() {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
}

void PumpWhile(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done.store(true);
  });
  while (!done.load()) {
    plat::DrainMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  t.join();
  plat::DrainMessages();
}

}  // namespace testsupport

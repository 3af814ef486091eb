#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace testsupport {

namespace {

// A TCP socket bound to 127.0.0.1 at a port the system picks.
int BoundLoopbackSocket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    int err = errno;
    ::close(fd);
    throw std::runtime_error(std::string("bind to 127.0.0.1: ") + std::strerror(err));
  }
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

LoopbackListener::LoopbackListener(int backlog) {
  Fd_ = BoundLoopbackSocket(Port_);
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

void LoopbackListener::Close() {
  // shutdown wakes a poll in another thread; close alone would not.
  ::shutdown(Fd_, SHUT_RDWR);
}

int UnusedLoopbackPort() {
  int port = 0;
  ::close(BoundLoopbackSocket(port));
  return port;
}

}  // namespace testsupport

#include "tests/support/ftp_passive_listener.h"

#include "tests/support/loopback.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace testsupport {

namespace {

// Waits for `fd` to become readable; false on time-out.
bool Readable(int fd, std::int64_t deadline) {
  std::int64_t left = deadline - NowMs();
  if (left <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(left)) > 0;
}

}  // namespace

PassiveListener::~PassiveListener() { CloseData(); }

std::string PassiveListener::PasvReply(const std::string& address) const {
  std::string h = address;
  std::replace(h.begin(), h.end(), '.', ',');
  const int port = Port();
  return "227 Entering Passive Mode (" + h + "," + std::to_string(port >> 8) + "," + std::to_string(port & 255) +
         ")\r\n";
}

std::string PassiveListener::EpsvReply() const {
  return "229 Entering Extended Passive Mode (|||" + std::to_string(Port()) + "|)\r\n";
}

bool PassiveListener::Accept(int timeoutMs) {
  CloseData();
  dataFd_ = listener_.Accept(timeoutMs);
  return dataFd_ >= 0;
}

void PassiveListener::Send(const std::string& data) {
  std::size_t done = 0;
  while (dataFd_ >= 0 && done < data.size()) {
    ssize_t n = ::send(dataFd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string PassiveListener::ReadAll(int timeoutMs) {
  std::string out;
  const std::int64_t deadline = NowMs() + timeoutMs;
  char buf[65536];
  while (dataFd_ >= 0 && Readable(dataFd_, deadline)) {
    ssize_t n = ::recv(dataFd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

void PassiveListener::CloseData() {
  if (dataFd_ >= 0) ::close(dataFd_);
  dataFd_ = -1;
}

}  // namespace testsupport

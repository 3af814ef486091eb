#include "tests/support/trickling_clients.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "platform/fs/fs.h"
#include "tests/support/loopback.h"

namespace testsupport {

TricklingClients::TricklingClients(int port, int count, int everyMs, std::string head, bool keepEnded)
    : Port_(port),
      EveryMs_(everyMs),
      Head_(std::move(head)),
      KeepEnded_(keepEnded),
      Slots_(static_cast<std::size_t>(count)) {
  if (::pipe2(Wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  Thread_ = std::thread([this] { Run(); });
}

TricklingClients::~TricklingClients() {
  ssize_t w = ::write(Wake_[1], "x", 1);
  (void)w;
  Thread_.join();
  for (Slot& s : Slots_)
    if (s.Fd >= 0) ::close(s.Fd);
  for (int fd : Kept_) ::close(fd);
  ::close(Wake_[0]);
  ::close(Wake_[1]);
}

TricklingClients::Counts TricklingClients::Now() {
  std::lock_guard<std::mutex> lock(M_);
  return Counts_;
}

bool TricklingClients::WaitFor(const std::function<bool(const Counts&)>& done, int timeoutMs) {
  std::unique_lock<std::mutex> lock(M_);
  return Cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(Counts_); });
}

void TricklingClients::Update(const std::function<void(Counts&)>& change) {
  {
    std::lock_guard<std::mutex> lock(M_);
    change(Counts_);
  }
  Cv_.notify_all();
}

void TricklingClients::Open(Slot& s, std::int64_t now) {
  s.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(Port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  s.Sent = 0;
  s.Answered = false;
  s.Connecting = true;
  s.Due = now;
  if (s.Fd < 0 || (::connect(s.Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS))
    Drop(s, now, false);
}

void TricklingClients::Drop(Slot& s, std::int64_t now, bool wasOpen) {
  if (s.Fd >= 0 && wasOpen && KeepEnded_)
    Kept_.push_back(s.Fd);
  else if (s.Fd >= 0)
    ::close(s.Fd);
  s.Fd = -1;
  s.Connecting = false;
  s.Due = now + (wasOpen ? 0 : 100);
  Update([&](Counts& c) {
    if (wasOpen) {
      --c.Connected;
      ++c.Ended;
    } else {
      ++c.Refused;
    }
  });
}

void TricklingClients::Run() {
  std::vector<pollfd> fds;
  std::vector<Slot*> polled;
  for (;;) {
    std::int64_t now = NowMs();
    std::int64_t next = now + 1000;
    fds.assign(1, pollfd{Wake_[0], POLLIN, 0});
    polled.clear();
    for (Slot& s : Slots_) {
      if (s.Fd < 0 && s.Due <= now) Open(s, now);
      if (s.Fd < 0) {
        next = std::min(next, s.Due);
        continue;
      }
      if (!s.Connecting && s.Due <= now) {
        char b = s.Sent < Head_.size() ? Head_[s.Sent] : 'a';
        if (::send(s.Fd, &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++s.Sent;
        s.Due = now + EveryMs_;
      }
      if (!s.Connecting) next = std::min(next, s.Due);
      fds.push_back(pollfd{s.Fd, static_cast<short>(s.Connecting ? POLLOUT : POLLIN), 0});
      polled.push_back(&s);
    }
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(0, next - NowMs())));
    if (fds[0].revents) return;
    now = NowMs();
    for (std::size_t i = 0; i < polled.size(); ++i) {
      Slot& s = *polled[i];
      short ev = fds[i + 1].revents;
      if (!ev) continue;
      if (s.Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(s.Fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
          Drop(s, now, false);
          continue;
        }
        s.Connecting = false;
        bool first = !s.Ever;
        s.Ever = true;
        Update([&](Counts& c) {
          ++c.Connected;
          if (first) ++c.EverConnected;
        });
        continue;
      }
      char buf[4096];
      ssize_t n = ::recv(s.Fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0 && !s.Answered) {
        s.Answered = true;
        Update([](Counts& c) { ++c.Answered; });
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) Drop(s, now, true);
    }
  }
}

void AllowDescriptors(std::size_t more) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return;
  rlim_t want = plat::OpenDescriptorCount() + more;
  if (r.rlim_cur < want) {
    r.rlim_cur = std::min(want, r.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
}

}  // namespace testsupport

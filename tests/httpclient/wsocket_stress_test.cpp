// Many simultaneous connections through one thread's message loop: every
// connection connects, sends, gets its own bytes back and closes, and
// every event is accounted for. A check of correctness, not of speed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <unordered_map>

#include "tests/httpclient/wsocket_helpers.h"

using namespace wstest;

namespace {

// An echo server on its own thread, on plain epoll.
class EchoServer {
 public:
  EchoServer() {
    // Accepted until none is left, so the listener must not block.
    ::fcntl(lfd_, F_SETFL, ::fcntl(lfd_, F_GETFL) | O_NONBLOCK);
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd_;
    ::epoll_ctl(ep_, EPOLL_CTL_ADD, lfd_, &ev);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
    for (auto& [fd, pending] : conns_) ::close(fd);
    ::close(ep_);
  }
  std::string Port() const { return std::to_string(listener_.Port()); }
  std::atomic<int> accepted{0};

 private:
  void Run() {
    epoll_event evs[512];
    char buf[4096];
    while (!stop_) {
      int n = ::epoll_wait(ep_, evs, 512, 50);
      for (int i = 0; i < n; ++i) {
        int fd = evs[i].data.fd;
        if (fd == lfd_) {
          for (;;) {
            int c = ::accept4(lfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) break;
            accepted++;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = c;
            ::epoll_ctl(ep_, EPOLL_CTL_ADD, c, &ev);
            conns_[c];
          }
          continue;
        }
        for (;;) {
          ssize_t r = ::recv(fd, buf, sizeof buf, 0);
          if (r > 0) {
            ::send(fd, buf, static_cast<std::size_t>(r), MSG_NOSIGNAL);  // small: always taken
            continue;
          }
          if (r < 0 && errno == EAGAIN) break;
          ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
          ::close(fd);
          conns_.erase(fd);
          break;
        }
      }
    }
  }
  testsupport::LoopbackListener listener_{4096};
  const int lfd_ = listener_.Fd();
  int ep_ = -1;
  std::atomic<bool> stop_{false};
  std::unordered_map<int, int> conns_;
  std::thread thread_;
};

struct Conn {
  std::unique_ptr<TWSocket> sock;
  std::string expect, got;
  int connected = 0, sentEvents = 0, closedStates = 0, errors = 0;
};

TEST(SocketStress, FiveThousandSimultaneousConnections) {
  // Both ends live in this process: two descriptors per connection.
  rlimit rl{};
  ::getrlimit(RLIMIT_NOFILE, &rl);
  const int kConns = static_cast<int>(std::min<rlim_t>(5000, (rl.rlim_max - 256) / 2));
  if (kConns < 5000) std::printf("open-file limit %lu: %d connections\n", (unsigned long)rl.rlim_max, kConns);
  EchoServer server;
  std::vector<Conn> conns(kConns);
  int finished = 0, connectedTotal = 0;
  for (int i = 0; i < kConns; ++i) {
    Conn& c = conns[static_cast<std::size_t>(i)];
    c.sock = std::make_unique<TWSocket>(nullptr);
    TWSocket* s = c.sock.get();
    c.expect = "message " + std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 200), '*') + "\n";
    s->SetAddr("127.0.0.1");
    s->SetPort(server.Port());
    s->OnSessionConnected = [&c, s, &connectedTotal](plat::TObject*, std::uint16_t e) {
      c.connected++;
      if (e != 0) {
        c.errors++;
        return;
      }
      connectedTotal++;
      s->SendString(c.expect);
    };
    s->OnDataSent = [&c](plat::TObject*, std::uint16_t) { c.sentEvents++; };
    s->OnDataAvailable = [&c, s](plat::TObject*, std::uint16_t) {
      char buf[512];
      int n = s->Receive(buf, sizeof buf);
      if (n > 0) c.got.append(buf, static_cast<std::size_t>(n));
      if (c.got.size() >= c.expect.size() && s->State() == wsConnected) s->Close();
    };
    s->OnChangeState = [&c, &finished](plat::TObject*, TSocketState, TSocketState n) {
      if (n == wsClosed) {
        c.closedStates++;
        finished++;
      }
    };
    s->Connect();
  }
  ASSERT_TRUE(PumpUntil([&] { return finished == kConns; }, 90000))
      << "finished " << finished << " connected " << connectedTotal << " accepted " << server.accepted;
  PumpFor(200);  // nothing more may arrive
  for (int i = 0; i < kConns; ++i) {
    Conn& c = conns[static_cast<std::size_t>(i)];
    ASSERT_EQ(c.connected, 1) << i;
    ASSERT_EQ(c.errors, 0) << i;
    ASSERT_EQ(c.got, c.expect) << i;
    ASSERT_EQ(c.closedStates, 1) << i;
    ASSERT_GE(c.sentEvents, 1) << i;
  }
  conns.clear();
  EXPECT_EQ(plat::winsock_testing::Stats().OpenSockets, 0);
}

}  // namespace

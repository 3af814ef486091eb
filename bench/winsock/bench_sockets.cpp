// Throughput of the socket component: N simultaneous connections to an
// echo server on another thread, each keeping one small message in
// flight; every round trip is one read and one write notification on the
// client's message loop.
//   bench_sockets [connections=2000] [seconds=5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "httpclient/WSocket.h"

namespace {

std::atomic<bool> g_stop{false};

int StartEchoServer(int& port, std::thread& th) {
  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  ::listen(lfd, 4096);
  th = std::thread([lfd] {
    int ep = ::epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    epoll_event evs[1024];
    char buf[4096];
    while (!g_stop) {
      int n = ::epoll_wait(ep, evs, 1024, 50);
      for (int i = 0; i < n; ++i) {
        int fd = evs[i].data.fd;
        if (fd == lfd) {
          int c;
          while ((c = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = c;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
          }
          continue;
        }
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r > 0)
          ::send(fd, buf, static_cast<std::size_t>(r), MSG_NOSIGNAL);
        else if (r == 0 || errno != EAGAIN)
          ::close(fd);
      }
    }
    ::close(ep);
  });
  return lfd;
}

}  // namespace

int main(int argc, char** argv) {
  int conns = argc > 1 ? std::atoi(argv[1]) : 2000;
  int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  int port = 0;
  std::thread server;
  int lfd = StartEchoServer(port, server);

  long roundTrips = 0, messages = 0;
  int connected = 0;
  bool measuring = false;
  std::vector<std::unique_ptr<TWSocket>> socks;
  const char msg[] = "0123456789abcdef0123456789abcdef";
  for (int i = 0; i < conns; ++i) {
    socks.push_back(std::make_unique<TWSocket>(nullptr));
    TWSocket* s = socks.back().get();
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(port));
    s->OnSessionConnected = [&, s](plat::TObject*, std::uint16_t e) {
      if (e == 0) ++connected;
    };
    s->OnDataSent = [&](plat::TObject*, std::uint16_t) { ++messages; };
    s->OnDataAvailable = [&, s](plat::TObject*, std::uint16_t) {
      ++messages;
      char buf[256];
      int n = s->Receive(buf, sizeof buf);
      if (n <= 0) return;
      if (measuring) ++roundTrips;
      s->Send(msg, n);
    };
    s->Connect();
  }
  std::int64_t until = plat::TickMs() + 20000;
  while (connected < conns && plat::TickMs() < until) plat::DrainMessages();
  std::printf("%d of %d connections up\n", connected, conns);
  for (auto& s : socks)
    if (s->State() == wsConnected) s->Send(msg, sizeof msg - 1);
  measuring = true;
  messages = 0;
  std::int64_t t0 = plat::TickMs();
  plat::MSG m;
  while (plat::TickMs() - t0 < seconds * 1000) {
    if (plat::GetMessage(m)) plat::DispatchMessage(m);
  }
  double secs = static_cast<double>(plat::TickMs() - t0) / 1000.0;
  std::printf("%ld round trips in %.2f s = %.0f/s; %.0f socket messages/s\n", roundTrips, secs, roundTrips / secs,
              messages / secs);
  socks.clear();
  g_stop = true;
  server.join();
  ::close(lfd);
  return 0;
}

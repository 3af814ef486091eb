// Line delivery of the socket component: a peer on another thread sends
// MiB mebibytes of "abc\n" lines and closes; the component, in line mode
// with "\n" as the line end, takes one line per event with a read of 4096
// bytes. Prints the wall and processor time to the close for each limit.
//   bench_lines [MiB=8] [limit...]     limits: default, a number of bytes, none
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "httpclient/WSocket.h"

namespace {

std::int64_t CpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Listen(int& port) {
  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  ::listen(lfd, 1);
  return lfd;
}

struct TResult {
  long lines = 0;
  long long bytes = 0;
  double wall = 0, cpu = 0;
};

TResult Run(const std::string& data, int limit) {
  int port = 0;
  int lfd = Listen(port);
  std::thread peer([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    std::size_t off = 0;
    while (off < data.size()) {
      ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  TResult r;
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.SetLineEnd("\n");
  if (limit >= 0) s.SetLineLimit(limit);
  s.SetLineMode(true);
  bool closed = false;
  s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    char buf[4096];
    int n = s.Receive(buf, sizeof buf);
    if (n <= 0) return;
    ++r.lines;
    r.bytes += n;
  };
  s.OnSessionClosed = [&](plat::TObject*, std::uint16_t) { closed = true; };
  std::int64_t t0 = plat::TickMs(), c0 = CpuMs();
  s.Connect();
  plat::MSG m;
  while (!closed && plat::TickMs() - t0 < 600000)
    if (plat::GetMessage(m)) plat::DispatchMessage(m);
  r.wall = static_cast<double>(plat::TickMs() - t0) / 1000.0;
  r.cpu = static_cast<double>(CpuMs() - c0) / 1000.0;
  peer.join();
  ::close(lfd);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int mib = argc > 1 ? std::atoi(argv[1]) : 8;
  std::vector<std::string> limits;
  for (int i = 2; i < argc; ++i) limits.push_back(argv[i]);
  if (limits.empty()) limits = {"default", "1048576", "none"};
  std::string data;
  data.reserve(static_cast<std::size_t>(mib) << 20);
  while (data.size() < (static_cast<std::size_t>(mib) << 20)) data += "abc\n";
  std::printf("| limit | lines | bytes | wall s | cpu s |\n|---|---|---|---|---|\n");
  for (const std::string& l : limits) {
    int limit = l == "default" ? -1 : l == "none" ? 0 : std::atoi(l.c_str());
    TResult r = Run(data, limit);
    std::printf("| %s | %ld | %lld | %.2f | %.2f |\n", l.c_str(), r.lines, r.bytes, r.wall, r.cpu);
    std::fflush(stdout);
  }
  return 0;
}

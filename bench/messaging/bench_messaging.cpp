// Throughput of the message queue: posts from the owning thread and from
// other threads, dispatched by a plain get/dispatch loop; and readiness of
// many descriptors turned into messages.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/messaging/messaging.h"

using namespace plat;

namespace {
long g_count = 0;
LRESULT Proc(HWND, UINT m, WPARAM, LPARAM) {
  if (m == WM_USER) ++g_count;
  return 0;
}

double Seconds(std::int64_t from) { return static_cast<double>(TickMs() - from) / 1000.0; }

struct Reader : IoWatcher {
  int fd = -1;
  HWND hwnd = 0;
  void OnIoReady(std::uint32_t) override {
    char buf[16];
    if (read(fd, buf, sizeof buf) > 0) PostMessage(hwnd, WM_USER, 0, 0);
  }
};
}  // namespace

int main() {
  RegisterClass("BenchClass", Proc);
  HWND h = CreateWindow("BenchClass");

  const long n = 2000000;
  std::int64_t t0 = TickMs();
  for (long i = 0; i < n; ++i) PostMessage(h, WM_USER, 0, 0);
  DrainMessages();
  while (g_count < n) DrainMessages();
  std::printf("same thread: %ld messages in %.3f s = %.0f msg/s\n", n, Seconds(t0), n / Seconds(t0));

  g_count = 0;
  t0 = TickMs();
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([h, n] {
      for (long i = 0; i < n / 4; ++i) PostMessage(h, WM_USER, 0, 0);
    });
  MSG msg;
  while (g_count < n && GetMessage(msg)) DispatchMessage(msg);
  for (auto& p : posters) p.join();
  std::printf("4 posting threads: %ld messages in %.3f s = %.0f msg/s\n", n, Seconds(t0), n / Seconds(t0));

  // Many descriptors, each becoming ready once.
  const int pairs = 10000;
  std::vector<int> ends;
  std::vector<Reader> readers(pairs);
  for (int i = 0; i < pairs; ++i) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
      std::printf("socketpair failed after %d pairs (open-file limit)\n", i);
      readers.resize(i);
      break;
    }
    readers[i].fd = sv[0];
    readers[i].hwnd = h;
    WatchFd(sv[0], 0x001, &readers[i]);
    ends.push_back(sv[1]);
  }
  g_count = 0;
  t0 = TickMs();
  for (int fd : ends) {
    ssize_t r = write(fd, "x", 1);
    (void)r;
  }
  while (g_count < static_cast<long>(readers.size()) && GetMessage(msg)) DispatchMessage(msg);
  std::printf("%zu ready descriptors dispatched in %.3f s\n", readers.size(), Seconds(t0));
  for (auto& r : readers) {
    UnwatchFd(r.fd);
    close(r.fd);
  }
  for (int fd : ends) close(fd);
  DestroyWindow(h);
  return 0;
}

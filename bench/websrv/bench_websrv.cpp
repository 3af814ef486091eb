// Runs the preview web server the way the publishing program does: on the
// thread of a Qt event loop (which drives our message queue through the
// bridge), serving a folder with one variable defined. While it serves, it
// measures how late the loop answers: a 10 ms Qt timer, and a hand-over
// from another thread every 10 ms (the road the page steps take).
//
//   bench_websrv FOLDER PORT
//
// Prints "port=N" once listening. SIGUSR1 prints the figures since the last
// SIGUSR1 ("loop_max_ms=... handover_max_ms=... ticks=...") and starts
// afresh; SIGTERM ends it.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

#include "platform/messaging/messaging.h"
#include "platform/qt/qtbridge.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/websrv.h"

namespace {

int g_pipe[2];

void OnSignal(int sig) {
  char c = sig == SIGUSR1 ? 'r' : 'q';
  ssize_t w = ::write(g_pipe[1], &c, 1);
  (void)w;
}

std::int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_websrv FOLDER PORT\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  plat::InstallQtBridge();
  if (::pipe(g_pipe) != 0) return 1;
  std::signal(SIGUSR1, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);

  std::string folder = argv[1];
  Project->Fields().SetFieldText(pfPath, folder);
  VarList->AddVar("title", "Benchmark page", "1");

  TWebServer server(nullptr);
  server.SetPort(std::atoi(argv[2]));
  server.Start(folder);
  if (!server.Active()) {
    std::fprintf(stderr, "bench_websrv: cannot listen on port %s\n", argv[2]);
    return 1;
  }
  std::printf("port=%d\n", server.Port());
  std::fflush(stdout);

  // The loop's lateness, seen from a timer of its own.
  std::int64_t loopMaxUs = 0, last = NowUs();
  long ticks = 0;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    std::int64_t now = NowUs();
    loopMaxUs = std::max(loopMaxUs, now - last - 10000);
    last = now;
    ++ticks;
  });
  tick.start(10);

  // ... and from a hand-over of another thread, as the connections' steps.
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> handoverMaxUs{0};
  plat::ThreadQueueId gui = plat::CurrentThreadQueue();
  std::thread pinger([&] {
    while (!stop.load()) {
      std::int64_t sent = NowUs();
      plat::RunOnThread(gui, [&, sent] {
        std::int64_t d = NowUs() - sent;
        if (d > handoverMaxUs.load()) handoverMaxUs.store(d);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  QSocketNotifier signalNotifier(g_pipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
    char c = 0;
    if (::read(g_pipe[0], &c, 1) != 1) return;
    if (c == 'r') {
      std::printf("loop_max_ms=%.1f handover_max_ms=%.1f ticks=%ld\n", loopMaxUs / 1000.0,
                  handoverMaxUs.load() / 1000.0, ticks);
      std::fflush(stdout);
      loopMaxUs = 0;
      handoverMaxUs.store(0);
      ticks = 0;
      last = NowUs();
    } else {
      app.quit();
    }
  });

  int rc = app.exec();
  stop.store(true);
  pinger.join();
  server.Close();
  plat::DrainMessages();
  plat::RemoveQtBridge();
  return rc;
}

// The upload log with many lines: appending them one by one as a walk does,
// narrowing and widening the window (every row wrapped again), painting,
// and scrolling through, with the peak memory. For comparison, the same with
// every row measured again on each line.
//   QT_QPA_PLATFORM=offscreen build/release/bench/logwindow/bench_logwindow [lines...]
#include <stdlib.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/qt/drawgrid.h"
#include "platform/qt/qtbridge.h"
#include "sitepublishing/LogView.h"
#include "sitepublishing/gui/UploadLog.h"

namespace {

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long PeakKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// What an upload writes: mostly short lines, a long error now and then.
void AddLine(TfrmUploadLog& w, int i) {
  switch (i % 10) {
    case 0:
      w.AddLog(lkPlain, "uploading dir /home/user/site/section" + std::to_string(i) + " to /www/section" +
                            std::to_string(i));
      break;
    case 7:
      w.AddLog(lkError, "Error uploading file /home/user/site/section/page" + std::to_string(i) +
                            ".htm: the server refused the transfer (550 Permission denied), the file stays as it "
                            "was and is sent again by the next run");
      break;
    default:
      w.AddLog(lkPlain, "uploading file page" + std::to_string(i) + ".htm");
  }
}

template <class F>
double Time(F f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return Ms(std::chrono::steady_clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  // The windows read and write their placement: in a registry of our own.
  char registry[] = "/tmp/bench-logwindow-XXXXXX";
  if (!mkdtemp(registry)) return 1;
  setenv("SITETOOLS_REGISTRY_DIR", registry, 1);
  QApplication app(argc, argv);
  plat::InstallQtBridge();
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {2000, 20000, 100000};

  std::printf("| lines | append all, ms | per line, us | narrow, ms | widen, ms | paint, ms | scroll 100 pages, ms | "
              "peak memory, MB |\n|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (int n : counts) {
    TfrmUploadLog w;
    w.resize(461, 400);
    w.BeginUpload();
    app.processEvents();
    double append = Time([&] {
      for (int i = 0; i < n; ++i) AddLine(w, i);
    });
    app.processEvents();
    double narrow = Time([&] {
      w.resize(300, 400);
      app.processEvents();
    });
    double widen = Time([&] {
      w.resize(461, 400);
      app.processEvents();
    });
    double paint = Time([&] { w.dgLog->RepaintNow(); });
    double scroll = Time([&] {
      QScrollBar* bar = w.dgLog->verticalScrollBar();
      for (int p = 0; p < 100; ++p) {
        bar->setValue(bar->maximum() / 100 * p);
        w.dgLog->RepaintNow();
      }
    });
    std::printf("| %d | %.0f | %.1f | %.1f | %.1f | %.2f | %.1f | %.0f |\n", n, append, append * 1000 / n, narrow,
                widen, paint, scroll, PeakKb() / 1024.0);
    w.EndUpload();
  }

  // Every row measured again on each line: the cost grows with the square.
  std::printf("\n| lines | every row re-measured on each line: append all, ms |\n|---:|---:|\n");
  for (int n : {1000, 2000, 4000}) {
    TfrmUploadLog w;
    w.resize(461, 400);
    w.BeginUpload();
    app.processEvents();
    double append = Time([&] {
      for (int i = 0; i < n; ++i) {
        AddLine(w, i);
        w.UpdateRowHeights();
      }
    });
    std::printf("| %d | %.0f |\n", n, append);
    w.EndUpload();
  }
  std::error_code ec;
  std::filesystem::remove_all(registry, ec);
  return 0;
}

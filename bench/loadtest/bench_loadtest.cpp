// Drives the load tester's own run engine headless (offscreen window) for one
// run of N simultaneous users and prints its figures as key=value pairs;
// "paint" mode times a full repaint of the timing chart with many points.
//
//   bench_loadtest run URL N      one run of N users against URL
//   bench_loadtest run-nostep URL N  the same with a clock that moves on at
//                                 every reading, so that the start loop never
//                                 waits: the CPU cost of the engine's own work
//   bench_loadtest paint          chart repaint with 10^4, 10^5, 10^6 points
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "loadtester/HttpAsy1.h"
#include "loadtester/HttpAsy1Engine.h"
#include "loadtester/splash.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtext.h"
#include "platform/ui/dialogs.h"

namespace {

// The timing warning for more than 100 users must not stop a headless run.
class QuietDialogs : public plat::IUserDialogs {
 public:
  void ShowMessage(const std::string&) override {}
  void MessageBeep(unsigned) override {}
  bool ShellOpen(const std::string&) override { return false; }
  void ErrorBox(const std::string& m) override { errors.push_back(m); }
  std::vector<std::string> errors;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

long RssKb() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

long PeakRssKb() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

std::string Quote(std::string s) {
  for (char& c : s)
    if (c == ' ') c = '_';
  return s;
}

int Run(const std::string& url, int users) {
  QuietDialogs dialogs;
  plat::SetUserDialogs(&dialogs);
  plat::InstallErrorBoxHook();
  versionstr = "3.04";
  char tmpl[] = "/tmp/bench_loadtest_XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  programfolderoverride = std::string(tmpl) + "/";
  if (chdir(tmpl) != 0) return 2;

  auto* form = new THttpAsyForm;
  form->URLEdit->setText(plat::ToQ(url));
  form->SpinEdit1->SetValue(users);
  form->SpinEdit2->SetValue(1);
  form->SpinEdit3->SetValue(0);
  form->Checkshowgraph->setChecked(true);  // exact timing: graphs hidden during the run
  form->ExecButton->setEnabled(true);

  const long rssBefore = RssKb();
  const double cpu0 = CpuSeconds();
  QElapsedTimer wall;
  wall.start();
  form->ExecButtonClick();
  const double startLoopMs = static_cast<double>(wall.elapsed());
  const long rssStarted = RssKb();

  // Count the reasons of failed requests as the engine sees each completion.
  std::map<std::string, int> reasons;
  for (mythttpcli* c : form->activeclients) {
    auto done = c->OnRequestDone;
    c->OnRequestDone = [done, &reasons](plat::TObject* s, THttpRequest rq, std::uint16_t e) {
      auto* cli = static_cast<THttpCli*>(s);
      if (cli->StatusCode() != 200) ++reasons[cli->ReasonPhrase()];
      done(s, rq, e);
    };
  }

  bool hung = false;
  while (!(form->activeclients.empty() && form->ExecButton->isEnabled())) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (wall.elapsed() > 600000) {
      hung = true;
      break;
    }
  }
  const double cpu = CpuSeconds() - cpu0;
  std::vector<double> times;
  for (int i = 0; i < form->Series2->Count(); ++i) times.push_back(form->Series2->YValue(i));
  const std::int64_t errors = form->statuscodes.Errors();
  std::printf("tool=engine users=%d completions=%d wall_ms=%lld start_loop_ms=%.0f cpu_s=%.3f cpu_per_1000=%.3f "
              "rss_before_kb=%ld rss_started_kb=%ld peak_rss_kb=%ld kb_per_user=%.1f errors=%lld "
              "median_ms=%.0f p95_ms=%.0f hung=%d\n",
              users, form->Series2->Count(), static_cast<long long>(form->endstamp - runstart), startLoopMs, cpu,
              cpu / users * 1000, rssBefore, rssStarted, PeakRssKb(),
              static_cast<double>(std::max(rssStarted, PeakRssKb()) - rssBefore) / users,
              static_cast<long long>(errors), Percentile(times, 0.5), Percentile(times, 0.95), hung ? 1 : 0);
  for (const auto& [reason, n] : reasons) std::printf("reason count=%d text=%s\n", n, Quote(reason).c_str());
  for (const std::string& e : dialogs.errors) std::printf("errorbox text=%s\n", Quote(e).c_str());
  delete form;
  plat::SetUserDialogs(nullptr);
  return hung ? 1 : 0;
}

int Paint() {
  plat::TChart chart;
  chart.resize(731, 450);
  plat::TChartSeries* bars = chart.AddSeries(plat::skBar, "Series1");
  plat::TChartSeries* points = chart.AddSeries(plat::skPoint, "Series2");
  (void)bars;
  QImage img(chart.size(), QImage::Format_ARGB32_Premultiplied);
  std::uint32_t seed = 12345;
  auto rnd = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0;
  };
  for (int n : {10000, 100000, 1000000}) {
    points->Clear();
    for (int i = 0; i < n; ++i) {
      const double y = 5 + 200 * rnd();
      const bool bad = rnd() < 0.02;
      points->AddXY(i * 0.05, y, bad ? "E404" : "", bad ? QColor(255, 0, 0) : QColor(255, 255, 0));
    }
    double best = 1e9;
    for (int k = 0; k < 5; ++k) {
      QElapsedTimer t;
      t.start();
      QPainter p(&img);
      chart.Render(p, img.rect());
      p.end();
      best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    std::printf("tool=chart points=%d paint_ms=%.1f\n", n, best);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  plat::InstallQtBridge();
  int rc = 2;
  if (argc >= 4 && std::string(argv[1]) == "run-nostep") {
    plat::SetTickSourceForTests([] {
      static std::int64_t last = 0;
      std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
      last = std::max(now, last + 1);
      return last;
    });
  }
  if (argc >= 4 && std::string(argv[1]).rfind("run", 0) == 0) rc = Run(argv[2], std::atoi(argv[3]));
  else if (argc >= 2 && std::string(argv[1]) == "paint") rc = Paint();
  else std::fprintf(stderr, "usage: bench_loadtest run URL N | bench_loadtest paint\n");
  plat::RemoveQtBridge();
  return rc;
}

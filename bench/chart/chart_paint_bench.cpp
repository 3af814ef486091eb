// Paint time of the load tester's timing chart (one bar and one point series
// as a test fills them) for 10^4, 10^5 and 10^6 requests.
//   QT_QPA_PLATFORM=offscreen build/release/bench/chart/chart_paint_bench
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/qt/chart.h"

namespace {

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QSize size(727, 420);
  std::printf("%10s %14s %14s %14s\n", "points", "add ms", "paint ms", "paint ms max");
  for (int n : {10000, 100000, 1000000}) {
    plat::TChart chart;
    chart.resize(size);
    plat::TChartSeries* bars = chart.AddSeries(plat::skBar, "bars");
    plat::TChartSeries* points = chart.AddSeries(plat::skPoint, "points");
    bars->SetBarStyle(plat::bsRectangle);
    bars->SetDark3D(false);
    bars->SetCustomBarWidth(2);
    chart.Foot()->Add("green=ok, red=error, white=timeout");
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
      bool error = i % 50 == 7;
      double y = 20 + (i * 7919) % 400;
      bars->AddXY(i, y, error ? "E404" : "", error ? QColor(255, 0, 0) : QColor(0, 128, 0));
      points->AddXY(i, y, error ? "E404" : "", error ? QColor(255, 0, 0) : QColor(255, 255, 0));
    }
    double add = Ms(std::chrono::steady_clock::now() - t0);
    QImage img(size, QImage::Format_RGB32);
    std::vector<double> runs;
    for (int r = 0; r < 7; ++r) {
      auto s = std::chrono::steady_clock::now();
      QPainter p(&img);
      chart.Render(p, QRect(QPoint(0, 0), size));
      p.end();
      runs.push_back(Ms(std::chrono::steady_clock::now() - s));
    }
    std::sort(runs.begin(), runs.end());
    std::printf("%10d %14.1f %14.1f %14.1f\n", n, add, runs[runs.size() / 2], runs.back());
  }
  return 0;
}

#include "platform/qt/chart.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QPainter>
#include <QPrinter>
#include <cstdlib>
#include <filesystem>

using namespace plat;

namespace {

QApplication& App() {
  static int argc = 1;
  static char arg0[] = "chart_test";
  static char* argv[] = {arg0, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

const QSize kSize(600, 400);
const QRect kRect(QPoint(0, 0), kSize);

QRgb At(const QImage& img, QPointF p) { return img.pixel(static_cast<int>(p.x()), static_cast<int>(p.y())) | 0xFF000000u; }

// Counts pixels of one colour inside a rectangle.
int CountColour(const QImage& img, const QRect& r, QRgb c) {
  int n = 0;
  QRect area = r.intersected(img.rect());
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if ((img.pixel(x, y) | 0xFF000000u) == (c | 0xFF000000u)) ++n;
  return n;
}

class ChartTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
};

TEST_F(ChartTest, BarsAndPointsGetTheirOwnColours) {
  TChart chart;
  chart.SetView3D(false);
  TChartSeries* bars = chart.AddSeries(skBar, "bars");
  bars->SetBarStyle(bsRectangle);
  TChartSeries* points = chart.AddSeries(skPoint, "points");
  points->SetSeriesColor(QColor(255, 255, 0));
  const QColor green(0, 128, 0), red(255, 0, 0), white(255, 255, 255), yellow(255, 255, 0);
  bars->AddXY(100, 40, "", green);
  bars->AddXY(200, 80, "E404", red);
  bars->AddXY(300, 20, "TimeOut", white);
  points->AddXY(100, 40);  // series colour
  points->AddXY(200, 80, "E404", red);

  QImage img = chart.ToImage(kSize);
  TChartLayout l = chart.Layout(kRect);
  // Bar bodies: halfway up each bar.
  EXPECT_EQ(At(img, l.Map(100, 20, aLeftAxis)), green.rgb());
  EXPECT_EQ(At(img, l.Map(200, 30, aLeftAxis)), red.rgb());
  EXPECT_EQ(At(img, l.Map(300, 10, aLeftAxis)), white.rgb());
  // Point marks sit on top of the bars.
  EXPECT_EQ(At(img, l.Map(100, 40, aLeftAxis)), yellow.rgb());
  EXPECT_EQ(At(img, l.Map(200, 80, aLeftAxis)), red.rgb());
  // Above the tallest bar only the wall shows.
  QPointF above = l.Map(200, 95, aLeftAxis);
  EXPECT_NE(At(img, above), red.rgb());
  EXPECT_EQ(bars->Label(1), "E404");
  EXPECT_EQ(bars->Label(0), "");
  EXPECT_EQ(bars->ValueColor(2), white);
  EXPECT_EQ(points->ValueColor(0), yellow);
}

TEST_F(ChartTest, GradientAnd3DBarsStayInTheirColourFamily) {
  TChart chart;
  TChartSeries* bars = chart.AddSeries(skBar, "bars");
  bars->SetBarStyle(bsRectGradient);
  bars->SetDark3D(true);
  bars->AddXY(1, 50, "", QColor(0, 128, 0));
  bars->AddXY(2, 100, "", QColor(0, 128, 0));
  QImage img = chart.ToImage(kSize);
  TChartLayout l = chart.Layout(kRect);
  ASSERT_GT(l.depth, 0);
  QColor mid = QColor::fromRgb(At(img, l.Map(2, 50, aLeftAxis)));
  EXPECT_GT(mid.green(), mid.red());
  EXPECT_GT(mid.green(), mid.blue());
  // Near the foot the gradient reaches the bar's own colour.
  QColor foot = QColor::fromRgb(At(img, l.Map(2, 2, aLeftAxis)));
  EXPECT_NEAR(foot.green(), 128, 12);
  EXPECT_LT(foot.red(), 20);
}

TEST_F(ChartTest, AxesScaleAutomaticallyOrStayFixed) {
  TChart chart;
  TChartSeries* left = chart.AddSeries(skLine, "avg");
  TChartSeries* right = chart.AddSeries(skLine, "errors");
  right->SetVertAxis(aRightAxis);
  right->SetSeriesColor(QColor(255, 0, 0));
  left->AddXY(5, 12);
  left->AddXY(10, 97);
  right->AddXY(5, 0);
  right->AddXY(10, 40);
  TChartLayout l = chart.Layout(kRect);
  EXPECT_TRUE(l.hasRight);
  // Readable ends: multiples of a 1, 2 or 5 step that hold the data.
  EXPECT_LE(l.leftMin, 12);
  EXPECT_GE(l.leftMax, 97);
  EXPECT_LE(l.leftMax, 100);
  EXPECT_DOUBLE_EQ(l.rightMin, 0);
  EXPECT_DOUBLE_EQ(l.rightMax, 40);
  // The right axis has its own scale: 40 % is at the top of the plot.
  QPointF top = l.Map(10, 40, aRightAxis);
  EXPECT_NEAR(top.y(), l.plot.top(), 1.0);
  QImage img = chart.ToImage(kSize);
  EXPECT_GT(CountColour(img, QRect(top.toPoint() - QPoint(3, 3), QSize(7, 7)), qRgb(255, 0, 0)), 5);

  chart.LeftAxis()->SetMinMax(0, 500);
  l = chart.Layout(kRect);
  EXPECT_DOUBLE_EQ(l.leftMin, 0);
  EXPECT_DOUBLE_EQ(l.leftMax, 500);
  // Automatic maximum, fixed minimum.
  chart.LeftAxis()->SetAutomaticMaximum(true);
  chart.LeftAxis()->SetMinimum(0);
  l = chart.Layout(kRect);
  EXPECT_DOUBLE_EQ(l.leftMin, 0);
  EXPECT_GE(l.leftMax, 97);
  EXPECT_LE(l.leftMax, 100);
}

TEST_F(ChartTest, TitleAndFooterLinesAreReadReplacedAndDrawn) {
  TChart chart;
  chart.Foot()->Add("green=ok, red=error, white=timeout");
  chart.Foot()->Add("5 simultaneous users");
  chart.Foot()->Add("Average times:");
  chart.Foot()->SetString(2, "  Average Request Time after 1 runs: 200 msec");
  chart.Foot()->SetString(7, "ignored");
  EXPECT_EQ(chart.Foot()->Count(), 3);
  EXPECT_EQ(chart.Foot()->Strings(2), "  Average Request Time after 1 runs: 200 msec");
  EXPECT_EQ(chart.Foot()->Strings(9), "");
  chart.Title()->Add("Load test: http://h/");
  chart.Title()->Add("second line");
  EXPECT_EQ(chart.Title()->Count(), 2);

  // The footer is drawn below the plot in dark red.
  QImage with = chart.ToImage(kSize);
  TChartLayout l = chart.Layout(kRect);
  QRect footBand(0, l.plot.bottom() + 30, kSize.width(), kSize.height() - l.plot.bottom() - 30);
  int ink = 0;
  for (int y = footBand.top(); y < footBand.bottom(); ++y)
    for (int x = 0; x < kSize.width(); ++x) {
      QColor c = QColor::fromRgb(with.pixel(x, y));
      if (c.red() > c.green() + 40 && c.red() > c.blue() + 40) ++ink;
    }
  EXPECT_GT(ink, 50);
  chart.Foot()->Clear();
  EXPECT_EQ(chart.Foot()->Count(), 0);
}

TEST_F(ChartTest, AMillionPointsPaintOneMarkPerColumnAndColour) {
  TChart chart;
  chart.SetView3D(false);
  TChartSeries* bars = chart.AddSeries(skBar, "bars");
  TChartSeries* points = chart.AddSeries(skPoint, "points");
  bars->SetBarStyle(bsRectangle);
  bars->SetCustomBarWidth(2);
  const int n = 1000000;
  // Errors come in one burst and take longer, as they do under load.
  auto isError = [](int i) { return i >= 700000 && i < 720000 && i % 4 == 0; };
  for (int i = 0; i < n; ++i) {
    bool error = isError(i);
    double y = error ? 60 + (i % 13) : 10 + (i % 37);
    bars->AddXY(i, y, error ? "E404" : "", error ? QColor(255, 0, 0) : QColor(0, 128, 0));
    points->AddXY(i, y + 100, "", error ? QColor(255, 0, 0) : QColor(255, 255, 0));
  }
  EXPECT_EQ(points->Count(), n);
  QImage img = chart.ToImage(kSize);
  TChartLayout l = chart.Layout(kRect);
  // The common colours show across the whole plot ...
  QRect leftHalf(l.plot.left(), l.plot.top(), l.plot.width() / 2, l.plot.height());
  QRect rightHalf = leftHalf.translated(l.plot.width() / 2, 0);
  for (const QRect& r : {leftHalf, rightHalf}) {
    EXPECT_GT(CountColour(img, r, qRgb(0, 128, 0)), 100);
    EXPECT_GT(CountColour(img, r, qRgb(255, 255, 0)), 100);
  }
  // ... and the rare errors are drawn over them where they happened.
  int x0 = static_cast<int>(l.Map(700000, 0, aLeftAxis).x()) - 3;
  int x1 = static_cast<int>(l.Map(720000, 0, aLeftAxis).x()) + 3;
  QRect burst(x0, l.plot.top(), x1 - x0, l.plot.height());
  EXPECT_GT(CountColour(img, burst, qRgb(255, 0, 0)), 50);
  EXPECT_EQ(CountColour(img, QRect(l.plot.left(), l.plot.top(), x0 - l.plot.left() - 4, l.plot.height()), qRgb(255, 0, 0)), 0);
  points->Clear();
  EXPECT_EQ(points->Count(), 0);
}

TEST_F(ChartTest, RepeatedChangesPaintOnce) {
  struct Counter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  TChart chart;
  chart.resize(400, 300);
  chart.show();
  QApplication::processEvents();
  chart.installEventFilter(&counter);
  TChartSeries* s = chart.AddSeries(skPoint, "p");
  for (int i = 0; i < 5000; ++i) s->AddXY(i, i % 50);
  chart.Foot()->Add("x");
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 1);
  s->AddXY(1, 1);
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 2);
}

TEST_F(ChartTest, PrintsToAPdfFileAndCopiesABitmap) {
  TChart chart;
  chart.resize(500, 300);
  TChartSeries* s = chart.AddSeries(skBar, "b");
  s->AddXY(1, 5, "", QColor(0, 128, 0));
  const char* bin = std::getenv("SITETOOLS_BINARY_DIR");
  std::string pdf = std::string(bin ? bin : "/tmp") + "/chart_test_print.pdf";
  std::filesystem::remove(pdf);
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(pdf));
  printer.setPageOrientation(QPageLayout::Landscape);
  ASSERT_TRUE(chart.Print(printer));
  QFile f(QString::fromStdString(pdf));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.read(5).startsWith("%PDF"));
  EXPECT_GT(f.size(), 500);

  QGuiApplication::clipboard()->clear();
  chart.CopyToClipboardBitmap();
  QImage copied = QGuiApplication::clipboard()->image();
  ASSERT_FALSE(copied.isNull());
  EXPECT_EQ(copied.size(), QSize(500, 300));
  TChartLayout l = chart.Layout(QRect(0, 0, 500, 300));
  QColor mid = QColor::fromRgb(copied.pixel(l.Map(1, 1, aLeftAxis).toPoint()));
  EXPECT_GT(mid.green(), mid.red());
}

TEST_F(ChartTest, EmptyAndDegenerateDataDrawWithoutTrouble) {
  TChart chart;
  TChartSeries* s = chart.AddSeries(skPoint, "p");
  QImage empty = chart.ToImage(QSize(200, 100));
  EXPECT_FALSE(empty.isNull());
  s->AddXY(5, 5);  // one point: a range is made around it
  TChartLayout l = chart.Layout(QRect(0, 0, 200, 100));
  EXPECT_LT(l.bottomMin, 5);
  EXPECT_GT(l.bottomMax, 5);
  chart.LeftAxis()->SetMinMax(10, 10);  // no room: still a usable scale
  l = chart.Layout(QRect(0, 0, 200, 100));
  EXPECT_GT(l.leftMax, l.leftMin);
  s->AddXY(1e300, -1e300);
  EXPECT_FALSE(chart.ToImage(QSize(30, 20)).isNull());
}

}  // namespace

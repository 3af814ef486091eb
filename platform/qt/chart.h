// A small chart widget on QPainter: bar, point and line series with a colour
// and a label per point, left, right and bottom axes, multi-line title and
// footer, and a shallow 3D look. One render routine draws the screen, the
// printed page and the clipboard bitmap.
//
// Built for many points: a point costs 24 bytes, adding one only schedules a
// repaint (repeated adds are coalesced into one paint), and a series with
// more points than the plot has pixel columns is drawn from a per-pixel map:
// bars as the tallest bar per pixel column and colour, points as one mark per
// run of marked pixels in a column and colour, lines through each column's
// extremes. The commonest colour is drawn first, so rare ones stay visible.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class QMenu;
class QPainter;
class QPrinter;

namespace plat {

class TChart;
class SeriesPainter;

enum TBarStyle { bsRectangle, bsRectGradient };
enum TSeriesKind { skBar, skPoint, skLine };
enum TVertAxis { aLeftAxis, aRightAxis };

// Title and footer: lines that can be read and replaced one by one.
class TChartText {
 public:
  explicit TChartText(TChart* chart) : Chart_(chart) {}
  void Clear();
  void Add(const std::string& line);
  int Count() const { return static_cast<int>(Lines_.size()); }
  // Out of range: empty / ignored.
  std::string Strings(int i) const;
  void SetString(int i, const std::string& line);
  const std::vector<std::string>& Lines() const { return Lines_; }
  void SetVisible(bool v);
  bool Visible() const { return Visible_; }

 private:
  TChart* Chart_;
  std::vector<std::string> Lines_;
  bool Visible_ = true;
};

class TChartAxis {
 public:
  explicit TChartAxis(TChart* chart) : Chart_(chart) {}
  // Automatic on: both ends follow the data. Off: each end follows the data
  // when its own flag is on, else it stays at Minimum / Maximum.
  void SetAutomatic(bool v);
  void SetAutomaticMinimum(bool v);
  void SetAutomaticMaximum(bool v);
  void SetMinimum(double v);
  void SetMaximum(double v);
  // Fixes both ends (automatic off).
  void SetMinMax(double lo, double hi);
  void SetTitle(const std::string& t);
  void SetVisible(bool v);

  bool Automatic() const { return Automatic_; }
  bool AutomaticMinimum() const { return AutoMin_; }
  bool AutomaticMaximum() const { return AutoMax_; }
  double Minimum() const { return Min_; }
  double Maximum() const { return Max_; }
  const std::string& Title() const { return Title_; }
  bool Visible() const { return Visible_; }

 private:
  TChart* Chart_;
  bool Automatic_ = true;
  bool AutoMin_ = true;
  bool AutoMax_ = true;
  double Min_ = 0;
  double Max_ = 0;
  std::string Title_;
  bool Visible_ = true;
};

class TChartSeries {
 public:
  TChartSeries(TChart* chart, TSeriesKind kind, const std::string& title);

  TSeriesKind Kind() const { return Kind_; }
  const std::string& Title() const { return Title_; }
  TChart* ParentChart() const { return Chart_; }

  void Clear();
  int Count() const { return static_cast<int>(Points_.size()); }
  // An invalid colour means the series' own colour; an empty label none.
  int AddXY(double x, double y, const std::string& label = std::string(), QColor colour = QColor());
  double XValue(int i) const { return Points_.at(static_cast<std::size_t>(i)).x; }
  double YValue(int i) const { return Points_.at(static_cast<std::size_t>(i)).y; }
  QColor ValueColor(int i) const;
  std::string Label(int i) const;

  void SetSeriesColor(QColor c);
  QColor SeriesColor() const { return Color_; }
  void SetVertAxis(TVertAxis a);
  TVertAxis VertAxis() const { return Axis_; }
  void SetActive(bool v);
  bool Active() const { return Active_; }

  // Bar series.
  void SetBarStyle(TBarStyle s);
  TBarStyle BarStyle() const { return BarStyle_; }
  // The darker side face of the 3D bars.
  void SetDark3D(bool v);
  bool Dark3D() const { return Dark3D_; }
  // Bar width in pixels; 0 chooses it from the number of bars.
  void SetCustomBarWidth(int px);
  int CustomBarWidth() const { return BarWidth_; }

  // Point marks and line width, in pixels.
  void SetPointSize(int px);
  int PointSize() const { return PointSize_; }

  // Data range (false when empty).
  bool XRange(double& lo, double& hi) const;
  bool YRange(double& lo, double& hi) const;

 private:
  friend class TChart;
  friend class SeriesPainter;
  struct Point {
    double x;
    double y;
    std::uint32_t rgb;   // 0: the series colour
    std::int32_t label;  // -1: none
  };
  static_assert(sizeof(Point) == 24, "points are kept compact");

  TChart* Chart_;
  TSeriesKind Kind_;
  std::string Title_;
  std::vector<Point> Points_;
  std::vector<std::string> Labels_;
  std::unordered_map<std::string, std::int32_t> LabelIndex_;
  double MinX_ = 0, MaxX_ = 0, MinY_ = 0, MaxY_ = 0;
  QColor Color_;
  TVertAxis Axis_ = aLeftAxis;
  bool Active_ = true;
  TBarStyle BarStyle_ = bsRectGradient;
  bool Dark3D_ = true;
  int BarWidth_ = 0;
  int PointSize_ = 3;
};

// Where things land for one target rectangle (for hit tests and tests).
struct TChartLayout {
  QRect plot;  // front plane of the plot area
  int depth = 0;  // 3D offset of the back wall, right and up
  double leftMin = 0, leftMax = 1;
  double rightMin = 0, rightMax = 1;
  double bottomMin = 0, bottomMax = 1;
  bool hasRight = false;
  QPointF Map(double x, double y, TVertAxis axis) const;
};

class TChart : public QWidget {
  Q_OBJECT
 public:
  explicit TChart(QWidget* parent = nullptr);
  ~TChart() override;

  TChartText* Title() { return &Title_; }
  TChartText* Foot() { return &Foot_; }
  TChartAxis* LeftAxis() { return &Left_; }
  TChartAxis* RightAxis() { return &Right_; }
  TChartAxis* BottomAxis() { return &Bottom_; }

  // The chart owns its series.
  TChartSeries* AddSeries(TSeriesKind kind, const std::string& title);
  int SeriesCount() const { return static_cast<int>(Series_.size()); }
  TChartSeries* Series(int i) const { return Series_.at(static_cast<std::size_t>(i)); }

  void SetView3D(bool v);
  bool View3D() const { return View3D_; }
  void SetBackColor(QColor c);

  // Draws the whole chart into `target` of any painter.
  void Render(QPainter& p, const QRect& target) const;
  TChartLayout Layout(const QRect& target) const;
  // The chart as a bitmap of the given size (default: the widget's).
  QImage ToImage(QSize size = QSize()) const;
  void CopyToClipboardBitmap() const;
  // One print job: the chart scaled onto the printer's page, aspect kept.
  // False when the printer could not be started.
  bool Print(QPrinter& printer) const;

  // Right-click menu. The screen reader finds it, and its items, below the
  // chart, as it finds a drop-down list below its box.
  void SetPopupMenu(QMenu* menu) { Popup_ = menu; }
  QMenu* PopupMenu() const { return Popup_; }

  std::function<void(TChart* sender)> OnResize;

  // A series or text changed: repaint once, whatever the number of changes.
  void Changed();

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  void AxisRange(const TChartAxis& axis, int which, int pixels, double& lo, double& hi) const;
  void DrawSeries(QPainter& p, const TChartLayout& l, const TChartSeries& s, const QRect& clip) const;

  TChartText Title_{this};
  TChartText Foot_{this};
  TChartAxis Left_{this};
  TChartAxis Right_{this};
  TChartAxis Bottom_{this};
  std::vector<TChartSeries*> Series_;
  bool View3D_ = true;
  QColor Back_;
  QMenu* Popup_ = nullptr;
  bool UpdatePending_ = false;
};

}  // namespace plat

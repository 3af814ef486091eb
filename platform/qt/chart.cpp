#include "platform/qt/chart.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <cmath>

#include "platform/qt/chart_style.h"
#include "platform/qt/qtext.h"

namespace plat {

namespace {

using chartstyle::kTextPx;
using chartstyle::PixelFont;

constexpr QRgb kPanel = 0xFFF0F0F0;
constexpr QRgb kWall = 0xFFE0E0E0;
constexpr QRgb kSideWall = 0xFFD0D0D0;
constexpr QRgb kGrid = 0xFFC4C4C4;

// 1, 2 or 5 times a power of ten, so that about `ticks` steps span `range`.
double NiceStep(double range, int ticks) {
  if (!(range > 0) || !std::isfinite(range)) return 1;
  double raw = range / std::max(1, ticks);
  double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double norm = raw / mag;
  double step = norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 5 ? 5 : 10;
  return step * mag;
}

QString TickText(double v, double step) {
  if (std::fabs(v) < step * 1e-9) v = 0;
  int decimals = 0;
  if (step < 1) decimals = std::min(10, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
  return QString::number(v, 'f', decimals);
}

}  // namespace

// ---- texts and axes ------------------------------------------------------------

void TChartText::Clear() {
  Lines_.clear();
  Chart_->Changed();
}

void TChartText::Add(const std::string& line) {
  Lines_.push_back(line);
  Chart_->Changed();
}

std::string TChartText::Strings(int i) const {
  if (i < 0 || i >= Count()) return {};
  return Lines_[static_cast<std::size_t>(i)];
}

void TChartText::SetString(int i, const std::string& line) {
  if (i < 0 || i >= Count()) return;
  Lines_[static_cast<std::size_t>(i)] = line;
  Chart_->Changed();
}

void TChartText::SetVisible(bool v) {
  Visible_ = v;
  Chart_->Changed();
}

void TChartAxis::SetAutomatic(bool v) {
  Automatic_ = v;
  Chart_->Changed();
}
void TChartAxis::SetAutomaticMinimum(bool v) {
  AutoMin_ = v;
  Chart_->Changed();
}
void TChartAxis::SetAutomaticMaximum(bool v) {
  AutoMax_ = v;
  Chart_->Changed();
}
void TChartAxis::SetMinimum(double v) {
  Min_ = v;
  Chart_->Changed();
}
void TChartAxis::SetMaximum(double v) {
  Max_ = v;
  Chart_->Changed();
}
void TChartAxis::SetMinMax(double lo, double hi) {
  Automatic_ = false;
  AutoMin_ = false;
  AutoMax_ = false;
  Min_ = lo;
  Max_ = hi;
  Chart_->Changed();
}
void TChartAxis::SetTitle(const std::string& t) {
  Title_ = t;
  Chart_->Changed();
}
void TChartAxis::SetVisible(bool v) {
  Visible_ = v;
  Chart_->Changed();
}

// ---- series --------------------------------------------------------------------

TChartSeries::TChartSeries(TChart* chart, TSeriesKind kind, const std::string& title)
    : Chart_(chart), Kind_(kind), Title_(title), Color_(Qt::red) {}

void TChartSeries::Clear() {
  Points_.clear();
  Points_.shrink_to_fit();
  Labels_.clear();
  LabelIndex_.clear();
  Chart_->Changed();
}

int TChartSeries::AddXY(double x, double y, const std::string& label, QColor colour) {
  Point pt{x, y, 0, -1};
  if (colour.isValid()) pt.rgb = colour.rgb() | 0xFF000000u;
  if (!label.empty()) {
    auto it = LabelIndex_.find(label);
    if (it == LabelIndex_.end()) {
      it = LabelIndex_.emplace(label, static_cast<std::int32_t>(Labels_.size())).first;
      Labels_.push_back(label);
    }
    pt.label = it->second;
  }
  if (Points_.empty()) {
    MinX_ = MaxX_ = x;
    MinY_ = MaxY_ = y;
  } else {
    MinX_ = std::min(MinX_, x);
    MaxX_ = std::max(MaxX_, x);
    MinY_ = std::min(MinY_, y);
    MaxY_ = std::max(MaxY_, y);
  }
  Points_.push_back(pt);
  Chart_->Changed();
  return static_cast<int>(Points_.size()) - 1;
}

QColor TChartSeries::ValueColor(int i) const {
  std::uint32_t rgb = Points_.at(static_cast<std::size_t>(i)).rgb;
  return rgb ? QColor::fromRgb(rgb) : Color_;
}

std::string TChartSeries::Label(int i) const {
  std::int32_t l = Points_.at(static_cast<std::size_t>(i)).label;
  return l < 0 ? std::string() : Labels_[static_cast<std::size_t>(l)];
}

void TChartSeries::SetSeriesColor(QColor c) {
  Color_ = c;
  Chart_->Changed();
}
void TChartSeries::SetVertAxis(TVertAxis a) {
  Axis_ = a;
  Chart_->Changed();
}
void TChartSeries::SetActive(bool v) {
  Active_ = v;
  Chart_->Changed();
}
void TChartSeries::SetBarStyle(TBarStyle s) {
  if (BarStyle_ == s) return;
  BarStyle_ = s;
  Chart_->Changed();
}
void TChartSeries::SetDark3D(bool v) {
  if (Dark3D_ == v) return;
  Dark3D_ = v;
  Chart_->Changed();
}
void TChartSeries::SetCustomBarWidth(int px) {
  if (BarWidth_ == px) return;
  BarWidth_ = std::max(0, px);
  Chart_->Changed();
}
void TChartSeries::SetPointSize(int px) {
  PointSize_ = std::max(1, px);
  Chart_->Changed();
}

bool TChartSeries::XRange(double& lo, double& hi) const {
  if (Points_.empty()) return false;
  lo = MinX_;
  hi = MaxX_;
  return true;
}

bool TChartSeries::YRange(double& lo, double& hi) const {
  if (Points_.empty()) return false;
  lo = MinY_;
  hi = MaxY_;
  return true;
}

// ---- layout ----------------------------------------------------------------------

QPointF TChartLayout::Map(double x, double y, TVertAxis axis) const {
  double ylo = axis == aRightAxis ? rightMin : leftMin;
  double yhi = axis == aRightAxis ? rightMax : leftMax;
  double sx = bottomMax > bottomMin ? plot.width() / (bottomMax - bottomMin) : 0;
  double sy = yhi > ylo ? plot.height() / (yhi - ylo) : 0;
  return QPointF(plot.left() + (x - bottomMin) * sx, plot.top() + plot.height() - (y - ylo) * sy);
}

namespace {

// The accessible chart: its right-click menu is one of its children. A menu
// is a window of its own, which the tree of the window it pops up over
// would otherwise leave out, so a screen reader could not reach its items.
class TChartAccessible : public QAccessibleWidget {
 public:
  explicit TChartAccessible(TChart* chart) : QAccessibleWidget(chart, QAccessible::Chart) {}

  int childCount() const override { return QAccessibleWidget::childCount() + (Menu() ? 1 : 0); }
  QAccessibleInterface* child(int index) const override {
    const int own = QAccessibleWidget::childCount();
    if (index < own) return QAccessibleWidget::child(index);
    return index == own && Menu() ? QAccessible::queryAccessibleInterface(Menu()) : nullptr;
  }
  // The child handed in may be anyone's interface (see the factory below):
  // it is compared by address, not called.
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child && Menu() && child == QAccessible::queryAccessibleInterface(Menu())) return QAccessibleWidget::childCount();
    return QAccessibleWidget::indexOfChild(child);
  }

 private:
  QMenu* Menu() const { return static_cast<TChart*>(widget())->PopupMenu(); }
};

// Asked for every object anyone wants an interface for, the web engine's
// own among them, whose library carries no type information: a
// dynamic_cast there faults, and even a member call on one trips the
// sanitizer's type check. The class name handed in is safe; only an object
// of ours is touched.
QAccessibleInterface* ChartAccessible(const QString& className, QObject* object) {
  if (object && className == QLatin1String(TChart::staticMetaObject.className()))
    return new TChartAccessible(static_cast<TChart*>(object));
  return nullptr;
}

}  // namespace

TChart::TChart(QWidget* parent) : QWidget(parent), Back_(QColor::fromRgb(kPanel)) {
  static const bool accessible = [] {
    QAccessible::installFactory(ChartAccessible);
    return true;
  }();
  (void)accessible;
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(40, 40);
}

TChart::~TChart() {
  for (TChartSeries* s : Series_) delete s;
}

TChartSeries* TChart::AddSeries(TSeriesKind kind, const std::string& title) {
  Series_.push_back(new TChartSeries(this, kind, title));
  Changed();
  return Series_.back();
}

void TChart::SetView3D(bool v) {
  View3D_ = v;
  Changed();
}

void TChart::SetBackColor(QColor c) {
  Back_ = c;
  Changed();
}

void TChart::Changed() {
  if (UpdatePending_) return;
  UpdatePending_ = true;
  update();
}

// which: 0 left, 1 right, 2 bottom.
void TChart::AxisRange(const TChartAxis& axis, int which, int pixels, double& lo, double& hi) const {
  bool any = false;
  double dlo = 0, dhi = 0;
  int bars = 0;
  for (const TChartSeries* s : Series_) {
    if (!s->Active() || s->Count() == 0) continue;
    if (which != 2 && (s->VertAxis() == aRightAxis) != (which == 1)) continue;
    double a, b;
    if (which == 2) {
      s->XRange(a, b);
      if (s->Kind() == skBar) bars = std::max(bars, s->Count());
    } else {
      s->YRange(a, b);
      if (s->Kind() == skBar) {  // bars stand on zero
        a = std::min(a, 0.0);
        b = std::max(b, 0.0);
      }
    }
    if (!any) {
      dlo = a;
      dhi = b;
      any = true;
    } else {
      dlo = std::min(dlo, a);
      dhi = std::max(dhi, b);
    }
  }
  if (!any) {
    dlo = 0;
    dhi = 1;
  }
  if (which == 2 && any && dhi > dlo) {
    // Room for the outer bars' halves, or for the marks at both ends.
    double pad = bars > 0 ? (dhi - dlo) / bars / 2 : (dhi - dlo) * 0.02;
    dlo -= pad;
    dhi += pad;
  }
  bool autoLo = axis.Automatic() || axis.AutomaticMinimum();
  bool autoHi = axis.Automatic() || axis.AutomaticMaximum();
  lo = autoLo ? dlo : axis.Minimum();
  hi = autoHi ? dhi : axis.Maximum();
  if (!(hi > lo)) {
    double room = lo == 0 ? 1 : std::fabs(lo) * 0.1;
    if (autoHi && autoLo) {  // one value: keep it in the middle
      lo -= room;
      hi += room;
    } else if (autoHi) {
      hi = lo + (lo == 0 ? 1 : std::fabs(lo) * 0.1);
    } else if (autoLo) {
      lo = hi - (hi == 0 ? 1 : std::fabs(hi) * 0.1);
    } else {
      hi = lo + 1;
    }
  }
  // Value axes end on a tick; the bottom axis keeps to the data, so that the
  // points spread over the whole width.
  if (which == 2) return;
  double step = NiceStep(hi - lo, std::max(2, pixels / 50));
  if (autoLo) lo = std::floor(lo / step + 1e-9) * step;
  if (autoHi) hi = std::ceil(hi / step - 1e-9) * step;
  if (!(hi > lo)) hi = lo + step;
}

TChartLayout TChart::Layout(const QRect& r) const {
  TChartLayout l;
  QFontMetrics fm(PixelFont(kTextPx));
  QFontMetrics fmb(PixelFont(kTextPx, true));
  int lineH = fm.height();
  for (const TChartSeries* s : Series_) {
    if (s->Active() && s->VertAxis() == aRightAxis) l.hasRight = true;
  }
  int titleH = Title_.Visible() && !Title_.Lines().empty() ? fmb.height() * Title_.Count() + 6 : 4;
  int footH = Foot_.Visible() && !Foot_.Lines().empty() ? lineH * Foot_.Count() + 6 : 4;
  int bottomH = (Bottom_.Visible() ? lineH + 6 : 0) + (Bottom_.Title().empty() ? 0 : lineH + 2);
  int approxH = std::max(20, r.height() - titleH - footH - bottomH);

  AxisRange(Left_, 0, approxH, l.leftMin, l.leftMax);
  AxisRange(Right_, 1, approxH, l.rightMin, l.rightMax);
  auto labelWidth = [&](double lo, double hi) {
    double step = NiceStep(hi - lo, std::max(2, approxH / 50));
    int w = 0;
    w = std::max(w, fm.horizontalAdvance(TickText(lo, step)));
    w = std::max(w, fm.horizontalAdvance(TickText(hi, step)));
    return w;
  };
  int leftW = (Left_.Visible() ? labelWidth(l.leftMin, l.leftMax) + 8 : 4) +
              (Left_.Title().empty() ? 0 : lineH + 2);
  int rightW = l.hasRight ? (labelWidth(l.rightMin, l.rightMax) + 8) + (Right_.Title().empty() ? 0 : lineH + 2)
                          : fm.horizontalAdvance(QStringLiteral("0000")) / 2 + 4;

  QRect inner = r.adjusted(6 + leftW, titleH, -(6 + rightW), -(footH + bottomH));
  l.depth = View3D_ ? std::clamp(std::min(inner.width(), inner.height()) / 25, 0, 10) : 0;
  inner.adjust(0, l.depth, -l.depth, 0);
  if (inner.width() < 2) inner.setWidth(2);
  if (inner.height() < 2) inner.setHeight(2);
  l.plot = inner;
  AxisRange(Bottom_, 2, inner.width(), l.bottomMin, l.bottomMax);
  return l;
}

// ---- rendering -------------------------------------------------------------------

void TChart::Render(QPainter& p, const QRect& r) const {
  TChartLayout l = Layout(r);
  const QRect& pl = l.plot;
  const int d = l.depth;
  p.save();
  p.setClipRect(r);
  p.fillRect(r, Back_);
  QFont font = PixelFont(kTextPx);
  QFont bold = PixelFont(kTextPx, true);
  QFontMetrics fm(font);
  QFontMetrics fmb(bold);
  int lineH = fm.height();

  // Title and footer.
  p.setPen(Qt::black);
  if (Title_.Visible()) {
    p.setFont(bold);
    int y = r.top() + 3;
    for (const std::string& s : Title_.Lines()) {
      p.drawText(QRect(r.left(), y, r.width(), fmb.height()), Qt::AlignHCenter | Qt::AlignVCenter, ToQ(s));
      y += fmb.height();
    }
  }
  if (Foot_.Visible()) {
    p.setFont(font);
    p.setPen(QColor(128, 0, 0));
    int y = r.bottom() - 3 - lineH * Foot_.Count() + 1;
    for (const std::string& s : Foot_.Lines()) {
      p.drawText(QRect(r.left(), y, r.width(), lineH), Qt::AlignHCenter | Qt::AlignVCenter, ToQ(s));
      y += lineH;
    }
  }

  // Walls: the back wall sits `d` right and up of the front plane.
  QRect back = pl.translated(d, -d);
  if (d > 0) {
    QPolygon left;
    left << pl.topLeft() << back.topLeft() << back.bottomLeft() << pl.bottomLeft();
    QPolygon floor;
    floor << pl.bottomLeft() << back.bottomLeft() << back.bottomRight() << pl.bottomRight();
    p.setPen(QColor(128, 128, 128));
    p.setBrush(QColor::fromRgb(kSideWall));
    p.drawPolygon(left);
    p.drawPolygon(floor);
  }
  p.setPen(QColor(128, 128, 128));
  p.setBrush(QColor::fromRgb(kWall));
  p.drawRect(back.adjusted(0, 0, -1, -1));

  // Grid and tick labels.
  p.setFont(font);
  double ystep = NiceStep(l.leftMax - l.leftMin, std::max(2, pl.height() / 50));
  double xstep = NiceStep(l.bottomMax - l.bottomMin, std::max(2, pl.width() / 80));
  QPen grid(QColor::fromRgb(kGrid));
  grid.setStyle(Qt::DotLine);
  for (double v = std::ceil(l.leftMin / ystep - 1e-9) * ystep; v <= l.leftMax + ystep * 1e-9; v += ystep) {
    int y = static_cast<int>(std::lround(l.Map(0, v, aLeftAxis).y()));
    p.setPen(grid);
    p.drawLine(back.left(), y - d, back.right(), y - d);
    if (d > 0) p.drawLine(pl.left(), y, back.left(), y - d);
    if (Left_.Visible()) {
      p.setPen(Qt::black);
      p.drawLine(pl.left() - 4, y, pl.left(), y);
      p.drawText(QRect(r.left(), y - lineH / 2, pl.left() - 6 - r.left(), lineH), Qt::AlignRight | Qt::AlignVCenter,
                 TickText(v, ystep));
    }
  }
  if (l.hasRight) {
    double rstep = NiceStep(l.rightMax - l.rightMin, std::max(2, pl.height() / 50));
    p.setPen(Qt::black);
    for (double v = std::ceil(l.rightMin / rstep - 1e-9) * rstep; v <= l.rightMax + rstep * 1e-9; v += rstep) {
      int y = static_cast<int>(std::lround(l.Map(0, v, aRightAxis).y()));
      p.drawLine(pl.right() + d, y - d, pl.right() + d + 4, y - d);
      p.drawText(QRect(pl.right() + d + 6, y - d - lineH / 2, r.right() - pl.right() - d - 6, lineH),
                 Qt::AlignLeft | Qt::AlignVCenter, TickText(v, rstep));
    }
  }
  for (double v = std::ceil(l.bottomMin / xstep - 1e-9) * xstep; v <= l.bottomMax + xstep * 1e-9; v += xstep) {
    int x = static_cast<int>(std::lround(l.Map(v, 0, aLeftAxis).x()));
    p.setPen(grid);
    p.drawLine(x + d, back.top(), x + d, back.bottom());
    if (Bottom_.Visible()) {
      p.setPen(Qt::black);
      p.drawLine(x, pl.bottom(), x, pl.bottom() + 4);
      QString t = TickText(v, xstep);
      int w = fm.horizontalAdvance(t);
      p.drawText(QRect(x - w / 2 - 2, pl.bottom() + 5, w + 4, lineH), Qt::AlignCenter, t);
    }
  }
  // Axis lines of the front plane.
  p.setPen(Qt::black);
  p.drawLine(pl.bottomLeft(), pl.topLeft());
  p.drawLine(pl.bottomLeft(), pl.bottomRight());
  if (l.hasRight) p.drawLine(pl.right() + d, pl.top() - d, pl.right() + d, pl.bottom() - d);

  // Axis titles.
  if (!Bottom_.Title().empty()) {
    p.drawText(QRect(pl.left(), pl.bottom() + 6 + lineH, pl.width(), lineH), Qt::AlignCenter, ToQ(Bottom_.Title()));
  }
  auto vertical = [&](const std::string& text, int x) {
    p.save();
    p.translate(x, pl.center().y());
    p.rotate(-90);
    p.drawText(QRect(-pl.height() / 2, 0, pl.height(), lineH), Qt::AlignCenter, ToQ(text));
    p.restore();
  };
  if (!Left_.Title().empty()) vertical(Left_.Title(), r.left() + 4);
  if (!Right_.Title().empty() && l.hasRight) vertical(Right_.Title(), r.right() - lineH - 2);

  // Series, clipped to the plot and the room its 3D tops take.
  QRect clip = pl.adjusted(0, -d, d, 0);
  for (const TChartSeries* s : Series_) {
    if (s->Active()) DrawSeries(p, l, *s, clip);
  }
  p.restore();
}

void TChart::paintEvent(QPaintEvent*) {
  UpdatePending_ = false;
  QPainter p(this);
  Render(p, rect());
}

void TChart::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (OnResize) OnResize(this);
}

void TChart::contextMenuEvent(QContextMenuEvent* e) {
  if (Popup_) {
    Popup_->popup(e->globalPos());
    e->accept();
  } else {
    QWidget::contextMenuEvent(e);
  }
}

QImage TChart::ToImage(QSize size) const {
  if (!size.isValid() || size.isEmpty()) size = this->size();
  if (size.isEmpty()) size = QSize(640, 400);
  QImage img(size, QImage::Format_RGB32);
  img.fill(Back_);
  QPainter p(&img);
  Render(p, QRect(QPoint(0, 0), size));
  return img;
}

void TChart::CopyToClipboardBitmap() const { QGuiApplication::clipboard()->setImage(ToImage()); }

bool TChart::Print(QPrinter& printer) const {
  QPainter p;
  if (!p.begin(&printer)) return false;
  QSize logical = size();
  if (logical.width() < 200 || logical.height() < 150) logical = QSize(800, 500);
  QRect page = p.viewport();
  double scale = std::min(page.width() / static_cast<double>(logical.width()),
                          page.height() / static_cast<double>(logical.height()));
  p.translate((page.width() - logical.width() * scale) / 2, (page.height() - logical.height() * scale) / 2);
  p.scale(scale, scale);
  Render(p, QRect(QPoint(0, 0), logical));
  return p.end();
}

}  // namespace plat

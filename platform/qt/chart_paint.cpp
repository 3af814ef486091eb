// The series painter: bars, point marks and lines with their labels, each
// drawn one by one while the plot has room for them and from a per-pixel
// map once it has not.
#include <QLinearGradient>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "platform/qt/chart.h"
#include "platform/qt/chart_style.h"
#include "platform/qt/qtext.h"

namespace plat {

namespace {

// The entry of one colour, added by make() when there is none yet. Points
// of one colour come in runs, so the entry of the last call is tried first.
template <class T, class Make>
T& ForColour(std::vector<T>& all, QRgb rgb, std::size_t& last, Make make) {
  if (last < all.size() && all[last].rgb == rgb) return all[last];
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].rgb == rgb) {
      last = i;
      return all[i];
    }
  }
  all.push_back(make());
  last = all.size() - 1;
  return all.back();
}

// Bucket of one pixel column and colour: the tallest bar in it.
struct ColourBuckets {
  QRgb rgb;
  std::vector<int> lo;  // smallest y pixel, INT_MAX when empty
  std::size_t count = 0;
};

ColourBuckets& BucketFor(std::vector<ColourBuckets>& all, QRgb rgb, int width, std::size_t& last) {
  return ForColour(all, rgb, last, [&] {
    return ColourBuckets{rgb, std::vector<int>(static_cast<std::size_t>(width), INT_MAX), 0};
  });
}

// Pixels of one colour that hold at least one mark, column by column.
struct ColourPixels {
  QRgb rgb;
  int words;  // 64-bit words per column
  std::vector<std::uint64_t> bits;
  std::size_t count = 0;
  void Set(int c, int y) {
    bits[static_cast<std::size_t>(c) * static_cast<std::size_t>(words) + static_cast<std::size_t>(y >> 6)] |=
        std::uint64_t{1} << (y & 63);
  }
  bool Get(int c, int y) const {
    return (bits[static_cast<std::size_t>(c) * static_cast<std::size_t>(words) + static_cast<std::size_t>(y >> 6)] >>
            (y & 63)) & 1u;
  }
};

ColourPixels& PixelsFor(std::vector<ColourPixels>& all, QRgb rgb, int width, int height, std::size_t& last) {
  return ForColour(all, rgb, last, [&] {
    const int words = (height + 63) / 64;
    return ColourPixels{
        rgb, words, std::vector<std::uint64_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(words)), 0};
  });
}

// The commonest colour first, so that rare marks (the errors) stay on top.
template <class T>
std::vector<const T*> RarestLast(const std::vector<T>& all) {
  std::vector<const T*> order;
  for (const T& b : all) order.push_back(&b);
  std::stable_sort(order.begin(), order.end(), [](const T* a, const T* b) { return a->count > b->count; });
  return order;
}

// Keeps pixel coordinates in a range the painter takes, however far a fixed
// axis puts a value off the plot.
double ClampPx(double v) { return std::clamp(v, -1e6, 1e6); }
int ClampPxInt(double v) { return static_cast<int>(ClampPx(v)); }

}  // namespace

// One series into one layout: where its values land, and a step per kind.
class SeriesPainter {
 public:
  SeriesPainter(QPainter& p, const TChartLayout& l, const TChartSeries& s, const QRect& clip)
      : P_(p),
        L_(l),
        S_(s),
        Clip_(clip),
        Plot_(l.plot),
        N_(s.Count()),
        Width_(l.plot.width()),
        Own_(s.SeriesColor().rgb()),
        Ylo_(s.VertAxis() == aRightAxis ? l.rightMin : l.leftMin),
        Yhi_(s.VertAxis() == aRightAxis ? l.rightMax : l.leftMax),
        Sx_(Width_ / (l.bottomMax - l.bottomMin)),
        Sy_(l.plot.height() / (Yhi_ - Ylo_)) {}

  void Draw() {
    if (N_ == 0) return;
    P_.save();
    P_.setClipRect(Clip_);
    P_.setRenderHint(QPainter::Antialiasing, false);
    switch (S_.Kind()) {
      case skBar: DrawBars(); break;
      case skPoint: DrawPoints(); break;
      case skLine: DrawLine(); break;
    }
    DrawLabels();
    P_.restore();
  }

 private:
  using Point = TChartSeries::Point;

  double X(double x) const { return Plot_.left() + (x - L_.bottomMin) * Sx_; }
  double Y(double y) const { return Plot_.top() + Plot_.height() - (y - Ylo_) * Sy_; }
  QRgb Colour(const Point& pt) const { return pt.rgb ? pt.rgb : Own_; }

  void DrawBars() {
    int bw = S_.CustomBarWidth();
    if (bw <= 0) bw = std::clamp(static_cast<int>(Width_ / static_cast<double>(N_) * 0.7), 1, 60);
    const int base = ClampPxInt(Y(std::clamp(0.0, Ylo_, Yhi_)));
    if (N_ > Width_) {
      DrawDenseBars(bw, base);
    } else {
      DrawEachBar(bw, base);
    }
  }

  // The tallest bar per pixel column and colour.
  void DrawDenseBars(int bw, int base) {
    std::vector<ColourBuckets> buckets;
    std::size_t last = 0;
    for (const Point& pt : S_.Points_) {
      int c = ClampPxInt(X(pt.x)) - Plot_.left();
      if (c < 0 || c >= Width_) continue;
      ColourBuckets& b = BucketFor(buckets, Colour(pt), Width_, last);
      int& top = b.lo[static_cast<std::size_t>(c)];
      top = std::min(top, ClampPxInt(Y(pt.y)));
      ++b.count;
    }
    for (const ColourBuckets* bp : RarestLast(buckets)) {
      const QColor col = QColor::fromRgb(bp->rgb);
      for (int c = 0; c < Width_; ++c) {
        int top = bp->lo[static_cast<std::size_t>(c)];
        if (top == INT_MAX) continue;
        int y0 = std::min(top, base), y1 = std::max(top, base);
        P_.fillRect(Plot_.left() + c - bw / 2, y0, bw, std::max(1, y1 - y0), col);
      }
    }
  }

  // Every bar with its outline and, in 3D, a top and a side face.
  void DrawEachBar(int bw, int base) {
    const int d3 = L_.depth > 0 && bw >= 4 ? std::min(L_.depth, bw / 2 + 2) : 0;
    for (const Point& pt : S_.Points_) {
      const QColor col = QColor::fromRgb(Colour(pt));
      int x = ClampPxInt(X(pt.x)) - bw / 2;
      int y = ClampPxInt(Y(pt.y));
      int y0 = std::min(y, base), y1 = std::max(y, base);
      QRect bar(x, y0, bw, std::max(1, y1 - y0));
      if (S_.BarStyle() == bsRectGradient) {
        QLinearGradient g(bar.topLeft(), bar.bottomLeft());
        g.setColorAt(0, col.lighter(160));
        g.setColorAt(1, col);
        P_.fillRect(bar, g);
      } else {
        P_.fillRect(bar, col);
      }
      if (bw >= 3) {
        P_.setPen(QColor(0, 0, 0, 160));
        P_.setBrush(Qt::NoBrush);
        P_.drawRect(bar.adjusted(0, 0, -1, -1));
      }
      if (d3 > 0) DrawBarFaces(bar, col, d3);
    }
  }

  void DrawBarFaces(const QRect& bar, const QColor& col, int d3) {
    QColor side = S_.Dark3D() ? col.darker(150) : col;
    QPolygon top;
    top << bar.topLeft() << bar.topLeft() + QPoint(d3, -d3) << bar.topRight() + QPoint(d3 + 1, -d3)
        << bar.topRight() + QPoint(1, 0);
    QPolygon right;
    right << bar.topRight() + QPoint(1, 0) << bar.topRight() + QPoint(d3 + 1, -d3)
          << bar.bottomRight() + QPoint(d3 + 1, -d3 + 1) << bar.bottomRight() + QPoint(1, 1);
    P_.setPen(Qt::NoPen);
    P_.setBrush(col.lighter(115));
    P_.drawPolygon(top);
    P_.setBrush(side);
    P_.drawPolygon(right);
  }

  void DrawPoints() {
    if (N_ > 2 * Width_) {
      DrawDensePoints(S_.PointSize());
    } else {
      DrawMarks();
    }
  }

  // Runs of marked pixels in a column become one rectangle; marks closer
  // than their own size would overlap anyway and join the run.
  void DrawDensePoints(int r) {
    const int height = Plot_.height();
    std::vector<ColourPixels> pixels;
    std::size_t last = 0;
    for (const Point& pt : S_.Points_) {
      int c = ClampPxInt(X(pt.x)) - Plot_.left();
      int y = ClampPxInt(Y(pt.y)) - Plot_.top();
      if (c < 0 || c >= Width_ || y < 0 || y >= height) continue;
      ColourPixels& b = PixelsFor(pixels, Colour(pt), Width_, height, last);
      b.Set(c, y);
      ++b.count;
    }
    for (const ColourPixels* bp : RarestLast(pixels)) {
      const ColourPixels& b = *bp;
      const QColor col = QColor::fromRgb(b.rgb);
      for (int c = 0; c < Width_; ++c) {
        int y = 0;
        while (y < height) {
          if (!b.Get(c, y)) {
            ++y;
            continue;
          }
          int start = y, end = y, gap = 0;
          for (++y; y < height && gap <= 2 * r; ++y) {
            if (b.Get(c, y)) {
              end = y;
              gap = 0;
            } else {
              ++gap;
            }
          }
          y = end + 1;
          P_.fillRect(Plot_.left() + c - r, Plot_.top() + start - r, 2 * r + 1, end - start + 2 * r + 1, col);
        }
      }
    }
  }

  // A square mark per point, with a darker rim.
  void DrawMarks() {
    const int r = S_.PointSize();
    for (const Point& pt : S_.Points_) {
      const QColor col = QColor::fromRgb(Colour(pt));
      int x = ClampPxInt(X(pt.x)), y = ClampPxInt(Y(pt.y));
      P_.fillRect(x - r, y - r, 2 * r + 1, 2 * r + 1, col.darker(170));
      P_.fillRect(x - r + 1, y - r + 1, 2 * r - 1, 2 * r - 1, col);
    }
  }

  void DrawLine() {
    P_.setPen(QPen(S_.SeriesColor(), 2));
    P_.setRenderHint(QPainter::Antialiasing, true);
    if (N_ > 2 * Width_) {
      P_.drawPolyline(ColumnExtremes());
      return;
    }
    QPolygonF line;
    for (const Point& pt : S_.Points_) line << QPointF(ClampPx(X(pt.x)), ClampPx(Y(pt.y)));
    P_.drawPolyline(line);
    P_.setRenderHint(QPainter::Antialiasing, false);
    DrawMarks();
  }

  // Per column: first, lowest, highest and last value, in order.
  QPolygonF ColumnExtremes() const {
    QPolygonF line;
    int col = INT_MIN;
    double first = 0, lo = 0, hi = 0, lastv = 0;
    auto flush = [&] {
      if (col == INT_MIN) return;
      double x = Plot_.left() + col;
      line << QPointF(x, first) << QPointF(x, lo) << QPointF(x, hi) << QPointF(x, lastv);
    };
    for (const Point& pt : S_.Points_) {
      int c = ClampPxInt(X(pt.x)) - Plot_.left();
      double y = ClampPx(Y(pt.y));
      if (c != col) {
        flush();
        col = c;
        first = lo = hi = lastv = y;
      } else {
        lo = std::min(lo, y);
        hi = std::max(hi, y);
        lastv = y;
      }
    }
    flush();
    return line;
  }

  // Point labels, only while the marks are drawn one by one; a label that
  // would cover one of the last ones drawn is left out.
  void DrawLabels() {
    if (S_.Labels_.empty() || N_ > Width_) return;
    QFont f = chartstyle::PixelFont(chartstyle::kLabelPx);
    QFontMetrics fm(f);
    P_.setFont(f);
    P_.setPen(Qt::black);
    const int lift = S_.Kind() == skBar ? 3 : S_.PointSize() + 2;
    std::vector<QRect> drawn;
    for (const Point& pt : S_.Points_) {
      if (pt.label < 0) continue;
      QString t = ToQ(S_.Labels_[static_cast<std::size_t>(pt.label)]);
      int x = ClampPxInt(X(pt.x)), y = ClampPxInt(Y(pt.y));
      QRect box(x - fm.horizontalAdvance(t) / 2 - 1, y - lift - fm.height(), fm.horizontalAdvance(t) + 2,
                fm.height());
      // A label of a point near the edge is moved inward rather than cut.
      if (box.left() < Clip_.left()) box.moveLeft(Clip_.left());
      if (box.right() > Clip_.right()) box.moveRight(Clip_.right());
      if (Clashes(drawn, box)) continue;
      P_.drawText(box, Qt::AlignCenter, t);
      drawn.push_back(box);
    }
  }

  // Only the latest labels are compared, so that many labels stay cheap.
  static bool Clashes(const std::vector<QRect>& drawn, const QRect& box) {
    for (std::size_t k = drawn.size() > 32 ? drawn.size() - 32 : 0; k < drawn.size(); ++k) {
      if (drawn[k].intersects(box)) return true;
    }
    return false;
  }

  QPainter& P_;
  const TChartLayout& L_;
  const TChartSeries& S_;
  const QRect& Clip_;
  const QRect& Plot_;
  const int N_;
  const int Width_;
  const QRgb Own_;
  const double Ylo_, Yhi_;
  const double Sx_, Sy_;
};

void TChart::DrawSeries(QPainter& p, const TChartLayout& l, const TChartSeries& s, const QRect& clip) const {
  SeriesPainter(p, l, s, clip).Draw();
}

}  // namespace plat

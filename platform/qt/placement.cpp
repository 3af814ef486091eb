#include "platform/qt/placement.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace plat {

namespace {

// Edges in 64 bits, right and bottom excluded: an asked-for place may lie
// at either end of the int range, and its far edges must not wrap round to
// the other end (QRect's own arithmetic would).
struct TEdges {
  std::int64_t Left, Top, Right, Bottom;
};

TEdges EdgesOf(const QRect& r) {
  return {r.left(), r.top(), std::int64_t{r.left()} + r.width(), std::int64_t{r.top()} + r.height()};
}

std::int64_t Overlap(std::int64_t from1, std::int64_t to1, std::int64_t from2, std::int64_t to2) {
  return std::max<std::int64_t>(0, std::min(to1, to2) - std::max(from1, from2));
}

// The strip along the window's top edge, this high and at most this wide,
// that must lie on a screen: then its title bar and menu bar show, and it
// can be taken and moved.
constexpr std::int64_t kGrip = 32;

bool Reachable(const TEdges& w, const TEdges& screen) {
  const std::int64_t strip = std::min(w.Bottom - w.Top, kGrip);
  const std::int64_t width = std::max<std::int64_t>(1, std::min(w.Right - w.Left, kGrip));
  return w.Top >= screen.Top && w.Top + strip <= screen.Bottom &&
         Overlap(w.Left, w.Right, screen.Left, screen.Right) >= width;
}

// Where the window is to go; moved only when asked to be placed or when
// the place must change, resized only when the size must.
void Fit(QWidget* window, std::int64_t left, std::int64_t top, int width, int height, bool moveAlways) {
  // The window's own bounds first, as its resize would apply them.
  const QSize least = window->minimumSize().expandedTo(window->minimumSizeHint()).expandedTo(QSize(1, 1));
  const QSize most = window->maximumSize().expandedTo(least);
  width = std::clamp(width, least.width(), most.width());
  height = std::clamp(height, least.height(), most.height());
  const TEdges place{left, top, left + width, top + height};

  bool reachable = false;
  QScreen* screen = nullptr;
  std::int64_t shownMost = 0;
  for (QScreen* s : QGuiApplication::screens()) {
    const TEdges a = EdgesOf(s->availableGeometry());
    reachable = reachable || Reachable(place, a);
    // The screen that shows the most of it is the one to fit it to.
    const std::int64_t shown =
        Overlap(place.Left, place.Right, a.Left, a.Right) * Overlap(place.Top, place.Bottom, a.Top, a.Bottom);
    if (shown > shownMost) {
      shownMost = shown;
      screen = s;
    }
  }
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect avail = screen ? screen->availableGeometry() : QRect();
  QPoint to;
  QSize size(width, height);
  if (avail.isEmpty()) {
    // Nowhere to fit it to: a place that every window system takes (some
    // keep 16-bit coordinates).
    constexpr std::int64_t kFar = 16383;
    to = QPoint(static_cast<int>(std::clamp<std::int64_t>(left, 0, kFar)),
                static_cast<int>(std::clamp<std::int64_t>(top, 0, kFar)));
  } else {
    const bool tooBig = width > avail.width() || height > avail.height();
    size = size.boundedTo(avail.size());
    if (tooBig || !reachable) {
      to = QPoint(avail.left() + (avail.width() - size.width()) / 2, avail.top() + (avail.height() - size.height()) / 2);
    } else {
      // Its top edge lies on a screen: well inside the int range.
      to = QPoint(static_cast<int>(left), static_cast<int>(top));
    }
  }
  if (size != window->size()) window->resize(size);
  if (moveAlways || to != window->pos()) window->move(to);
}

}  // namespace

void PlaceOnScreen(QWidget* window, std::int64_t left, std::int64_t top, int width, int height) {
  if (window) Fit(window, left, top, width, height, true);
}

void KeepOnScreen(QWidget* window) {
  // pos(), not x() and y(): those would fetch the frame's size from the
  // window system now and so shift a window placed before it was known.
  if (window) Fit(window, window->pos().x(), window->pos().y(), window->width(), window->height(), false);
}

}  // namespace plat

#include "platform/qt/placement.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace plat {

void KeepOnScreen(QWidget* window) {
  if (!window) return;
  QRect place(window->pos(), window->size());
  bool visibleSomewhere = false;
  for (QScreen* s : QGuiApplication::screens()) {
    if (s->availableGeometry().intersects(place)) visibleSomewhere = true;
  }
  QScreen* screen = visibleSomewhere ? QGuiApplication::screenAt(place.center()) : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect avail = screen->availableGeometry();
  if (avail.isEmpty()) return;

  QSize least = window->minimumSize().expandedTo(window->minimumSizeHint()).expandedTo(QSize(1, 1));
  bool tooBig = place.width() > avail.width() || place.height() > avail.height();
  if (tooBig || place.width() < least.width() || place.height() < least.height()) {
    int w = std::clamp(place.width(), std::min(least.width(), avail.width()), avail.width());
    int h = std::clamp(place.height(), std::min(least.height(), avail.height()), avail.height());
    window->resize(w, h);
  }
  if (tooBig || !visibleSomewhere) {
    window->move(avail.left() + (avail.width() - window->width()) / 2,
                 avail.top() + (avail.height() - window->height()) / 2);
  }
}

}  // namespace plat

// Text sizes the chart's frame and its series painters share.
#pragma once

#include <QFont>

namespace plat::chartstyle {

constexpr int kTextPx = 11;  // chart texts, in pixels of the target
constexpr int kLabelPx = 9;  // point labels

inline QFont PixelFont(int px, bool bold = false) {
  QFont f;
  f.setPixelSize(px);
  f.setBold(bold);
  return f;
}

}  // namespace plat::chartstyle

#include "platform/qt/panel.h"

#include <QPainter>

namespace plat {

TPanel::TPanel(const QString& caption, QWidget* parent) : QFrame(parent), Caption_(caption) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setLineWidth(1);
}

void TPanel::SetCaption(const QString& caption) {
  Caption_ = caption;
  update();
}

void TPanel::paintEvent(QPaintEvent* e) {
  QFrame::paintEvent(e);
  if (Caption_.isEmpty()) return;
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(contentsRect(), Qt::AlignCenter | Qt::TextSingleLine, Caption_);
}

void TPanel::resizeEvent(QResizeEvent* e) {
  QFrame::resizeEvent(e);
  if (OnResize) OnResize(this);
}

}  // namespace plat

#include "platform/qt/statuslabel.h"

#include <QPainter>
#include <QStyle>

namespace plat {

TStatusLabel::TStatusLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
  setWordWrap(false);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

// The width a layout is told of is none: the text must not widen the
// controls beside it.
QSize TStatusLabel::sizeHint() const { return QSize(0, QLabel::sizeHint().height()); }
QSize TStatusLabel::minimumSizeHint() const { return QSize(0, QLabel::minimumSizeHint().height()); }

QString TStatusLabel::ShownText() const {
  return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

void TStatusLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  drawFrame(&p);
  style()->drawItemText(&p, contentsRect(), QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                        isEnabled(), ShownText(), foregroundRole());
}

}  // namespace plat

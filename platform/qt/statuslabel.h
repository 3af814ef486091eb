// A one-line label for status texts of any length: it takes the width its
// layout leaves it, never asks for more, and cuts a text too long for it
// with an ellipsis. text() and the screen reader keep the whole text.
#pragma once

#include <QLabel>

namespace plat {

class TStatusLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TStatusLabel(const QString& text = QString(), QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  // The text as drawn at the present width.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* e) override;
};

}  // namespace plat

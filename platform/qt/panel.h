// A panel: a raised frame that shows its caption centred wherever no child
// covers it, and reports its resizes.
#pragma once

#include <QFrame>
#include <QString>
#include <functional>

namespace plat {

class TPanel : public QFrame {
  Q_OBJECT
 public:
  explicit TPanel(const QString& caption = QString(), QWidget* parent = nullptr);
  void SetCaption(const QString& caption);
  QString Caption() const { return Caption_; }

  std::function<void(TPanel* sender)> OnResize;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  QString Caption_;
};

}  // namespace plat

// A spin edit on a QSpinBox: a value set outside the bounds goes to the
// nearer bound, equal bounds mean no bounds at all, and a text that is not a
// whole number reads as the lower bound.
#pragma once

#include <QSpinBox>
#include <cstdint>

namespace plat {

class TSpinEdit : public QSpinBox {
  Q_OBJECT
 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  void SetBounds(std::int64_t minValue, std::int64_t maxValue);
  std::int64_t MinValue() const { return Min_; }
  std::int64_t MaxValue() const { return Max_; }
  bool Unbounded() const { return Min_ == Max_; }

  // The value the edit shows now, read from its text.
  std::int64_t Value() const;
  void SetValue(std::int64_t v);
  // The text as the user typed it.
  void SetText(const QString& text);
  QString Text() const;

 private:
  std::int64_t Clamp(std::int64_t v) const;
  std::int64_t Min_ = 0;
  std::int64_t Max_ = 0;
};

}  // namespace plat

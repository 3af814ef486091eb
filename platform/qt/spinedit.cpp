#include "platform/qt/spinedit.h"

#include <QLineEdit>
#include <climits>

namespace plat {

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent) {
  SetBounds(0, 0);
  setValue(0);
}

void TSpinEdit::SetBounds(std::int64_t minValue, std::int64_t maxValue) {
  Min_ = minValue;
  Max_ = maxValue;
  if (Unbounded()) {
    setRange(INT_MIN, INT_MAX);
  } else {
    setRange(static_cast<int>(std::max<std::int64_t>(Min_, INT_MIN)),
             static_cast<int>(std::min<std::int64_t>(Max_, INT_MAX)));
  }
}

std::int64_t TSpinEdit::Clamp(std::int64_t v) const {
  if (!Unbounded()) {
    if (v < Min_) return Min_;
    if (v > Max_) return Max_;
  }
  // The box itself holds 32 bits.
  if (v < INT_MIN) return INT_MIN;
  if (v > INT_MAX) return INT_MAX;
  return v;
}

std::int64_t TSpinEdit::Value() const {
  bool ok = false;
  qlonglong v = lineEdit()->text().trimmed().toLongLong(&ok);
  if (!ok) return Min_;
  return Clamp(v);
}

void TSpinEdit::SetValue(std::int64_t v) { setValue(static_cast<int>(Clamp(v))); }

void TSpinEdit::SetText(const QString& text) { lineEdit()->setText(text); }

QString TSpinEdit::Text() const { return lineEdit()->text(); }

}  // namespace plat

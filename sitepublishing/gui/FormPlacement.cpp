#include "sitepublishing/gui/FormPlacement.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QWidget>

#include "platform/qt/placement.h"
#include "platform/qt/qtext.h"

namespace {

bool IsOwnEdit(const QLineEdit* e) {
  if (e->objectName().isEmpty() || e->objectName().startsWith(QLatin1String("qt_"))) return false;
  QWidget* p = e->parentWidget();
  return !qobject_cast<QAbstractSpinBox*>(p) && !qobject_cast<QComboBox*>(p);
}

// A window never shown nor placed has no position yet (Qt reports 0,0); it
// comes up centred, so that is the place to keep. Saving 0,0 would move it
// into the corner of the screen at every later start.
QPoint PlaceOf(const QWidget* w) {
  if (w->testAttribute(Qt::WA_WState_Created) || w->testAttribute(Qt::WA_Moved)) return w->pos();
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return w->pos();
  QRect avail = screen->availableGeometry();
  return QPoint(avail.left() + (avail.width() - w->width()) / 2, avail.top() + (avail.height() - w->height()) / 2);
}

}  // namespace

std::string TWidgetForm::FormName() const { return plat::FromQ(Window_->objectName()); }
int TWidgetForm::Top() const { return Top_.value_or(PlaceOf(Window_).y()); }
int TWidgetForm::Left() const { return Left_.value_or(PlaceOf(Window_).x()); }
int TWidgetForm::Width() const { return Width_.value_or(Window_->width()); }
int TWidgetForm::Height() const { return Height_.value_or(Window_->height()); }
void TWidgetForm::SetTop(int value) { Top_ = value; }
void TWidgetForm::SetLeft(int value) { Left_ = value; }
void TWidgetForm::SetWidth(int value) { Width_ = value; }
void TWidgetForm::SetHeight(int value) { Height_ = value; }

void TWidgetForm::ApplyPending() {
  const bool placed = Top_ || Left_;
  if (!placed && !Width_ && !Height_) return;
  const int top = Top(), left = Left(), width = Width(), height = Height();
  Top_.reset();
  Left_.reset();
  Width_.reset();
  Height_.reset();
  if (placed) {
    plat::PlaceOnScreen(Window_, left, top, width, height);
  } else {
    // A window never placed stays unplaced: it comes up centred.
    Window_->resize(width, height);
    plat::KeepOnScreen(Window_);
  }
}

TWindowState TWidgetForm::WindowState() const {
  Qt::WindowStates s = Window_->windowState();
  if (s & Qt::WindowMinimized) return wsMinimized;
  if (s & (Qt::WindowMaximized | Qt::WindowFullScreen)) return wsMaximized;
  return wsNormal;
}

void TWidgetForm::SetWindowState(TWindowState value) {
  // The normal bounds first, as they were given first.
  ApplyPending();
  Qt::WindowStates s = Window_->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
  if (value == wsMinimized) s |= Qt::WindowMinimized;
  if (value == wsMaximized) s |= Qt::WindowMaximized;
  Window_->setWindowState(s);
}

void TWidgetForm::PlacementLoaded() {
  ApplyPending();
  plat::KeepOnScreen(Window_);
}

std::vector<std::string> TWidgetForm::EditNames() const {
  std::vector<std::string> names;
  for (QLineEdit* e : Window_->findChildren<QLineEdit*>()) {
    if (IsOwnEdit(e)) names.push_back(plat::FromQ(e->objectName()));
  }
  return names;
}

std::string TWidgetForm::EditText(const std::string& name) const {
  QLineEdit* e = Window_->findChild<QLineEdit*>(plat::ToQ(name));
  return e ? plat::FromQ(e->text()) : std::string();
}

void TWidgetForm::SetEditText(const std::string& name, const std::string& text) {
  if (QLineEdit* e = Window_->findChild<QLineEdit*>(plat::ToQ(name))) e->setText(plat::ToQ(text));
}

std::unique_ptr<TFormStore> MakeProgramFormStore(TWidgetForm& form) {
  auto store = std::make_unique<TFormStore>(&form);
  store->Name = "FormStore";
  store->CompanyName = "Korvane";
  store->ProjectName = "Zentavox";
  store->RootKey = hkeyCurrentUser;
  store->FormStore = true;
  store->ComponentsStore = false;
  return store;
}

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
int TWidgetForm::Top() const { return PlaceOf(Window_).y(); }
int TWidgetForm::Left() const { return PlaceOf(Window_).x(); }
int TWidgetForm::Width() const { return Window_->width(); }
int TWidgetForm::Height() const { return Window_->height(); }
void TWidgetForm::SetTop(int value) { Window_->move(Window_->pos().x(), value); }
void TWidgetForm::SetLeft(int value) { Window_->move(value, Window_->pos().y()); }
void TWidgetForm::SetWidth(int value) { Window_->resize(value, Window_->height()); }
void TWidgetForm::SetHeight(int value) { Window_->resize(Window_->width(), value); }

TWindowState TWidgetForm::WindowState() const {
  Qt::WindowStates s = Window_->windowState();
  if (s & Qt::WindowMinimized) return wsMinimized;
  if (s & (Qt::WindowMaximized | Qt::WindowFullScreen)) return wsMaximized;
  return wsNormal;
}

void TWidgetForm::SetWindowState(TWindowState value) {
  Qt::WindowStates s = Window_->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
  if (value == wsMinimized) s |= Qt::WindowMinimized;
  if (value == wsMaximized) s |= Qt::WindowMaximized;
  Window_->setWindowState(s);
}

void TWidgetForm::PlacementLoaded() { plat::KeepOnScreen(Window_); }

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

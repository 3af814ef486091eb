// Compiled without type information (see tests/platform/CMakeLists.txt).
#include "tests/platform/untyped_objects.h"

#include <QAccessibleInterface>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace untyped {

namespace {

class Widget : public QWidget {
 public:
  using QWidget::QWidget;
};

class Interface : public QAccessibleInterface {
 public:
  explicit Interface(QObject* object) : Object_(object) {}
  ~Interface() override = default;
  bool isValid() const override { return Object_ != nullptr; }
  QObject* object() const override { return Object_; }
  QAccessibleInterface* parent() const override { return nullptr; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text) const override { return QString(); }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override { return QRect(); }
  QAccessible::Role role() const override { return QAccessible::Client; }
  QAccessible::State state() const override { return QAccessible::State(); }

 private:
  QPointer<QObject> Object_;
};

class Event : public QEvent {
 public:
  Event() : QEvent(static_cast<QEvent::Type>(QEvent::User + 7)) {}
};

}  // namespace

QWidget* MakeWidget(QWidget* parent) { return new Widget(parent); }
QAccessibleInterface* MakeInterface(QObject* object) { return new Interface(object); }
void FreeInterface(QAccessibleInterface* iface) { delete static_cast<Interface*>(iface); }
QEvent* MakeEvent() { return new Event; }
void FreeEvent(QEvent* e) { delete static_cast<Event*>(e); }

}  // namespace untyped

#include "platform/qt/qtdialogs.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include "platform/classes/classes.h"
#include "platform/qt/qtext.h"

namespace plat {

namespace {

QWidget* ActiveParent() { return QApplication::activeWindow(); }

QString Caption() {
  std::string t = ApplicationTitle();
  return t.empty() ? QCoreApplication::applicationName() : ToQ(t);
}

}  // namespace

void QtUserDialogs::ShowMessage(const std::string& text) {
  QMessageBox::information(ActiveParent(), Caption(), ToQ(text));
}

void QtUserDialogs::MessageBeep(unsigned) {
  // The desktop has one alert sound; both beep types use it.
  QApplication::beep();
}

bool QtUserDialogs::ShellOpen(const std::string& document) {
  QUrl url = QUrl::fromUserInput(ToQ(document));
  return url.isValid() && QDesktopServices::openUrl(url);
}

void QtUserDialogs::ErrorBox(const std::string& message) {
  QMessageBox::critical(ActiveParent(), Caption(), ToQ(message));
}

void InstallQtDialogs() {
  static QtUserDialogs dialogs;
  SetUserDialogs(&dialogs);
  InstallErrorBoxHook();
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowApplicationException(e);
  } catch (...) {
    ShowApplicationError("Unknown error");
  }
  return false;
}

}  // namespace plat

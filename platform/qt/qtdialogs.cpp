#include "platform/qt/qtdialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "platform/classes/classes.h"
#include "platform/qt/browsedialog.h"
#include "platform/qt/qtext.h"

namespace plat {

namespace {

QWidget* ActiveParent() { return QApplication::activeWindow(); }

QString Caption() {
  std::string t = ApplicationTitle();
  return t.empty() ? QCoreApplication::applicationName() : ToQ(t);
}

// The program's texts break lines with CR LF; Qt wants LF alone.
QString DialogText(const std::string& text) {
  QString s = ToQ(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return s;
}

bool RunFileDialog(TOpenDialog& d, QFileDialog::AcceptMode mode) {
  QFileDialog dialog(ActiveParent(), ToQ(d.Title), ToQ(d.InitialDir), QtFileFilter(d.Filter));
  dialog.setObjectName(mode == QFileDialog::AcceptSave ? QStringLiteral("SaveDialog") : QStringLiteral("OpenDialog"));
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(ToQ(d.DefaultExt));
  if (!d.FileName.empty()) dialog.selectFile(ToQ(d.FileName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  d.FileName = FromQ(dialog.selectedFiles().first());
  return true;
}

}  // namespace

QString QtFileFilter(const std::string& filter) {
  QStringList parts = ToQ(filter).split(QLatin1Char('|'));
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns) {
      p = p.trimmed();
      if (p == QStringLiteral("*.*")) p = QStringLiteral("*");
    }
    out << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return out.join(QStringLiteral(";;"));
}

void QtUserDialogs::ShowMessage(const std::string& text) {
  QMessageBox::information(ActiveParent(), Caption(), ToQ(text));
}

void QtUserDialogs::MessageBeep(unsigned) {
  // The desktop has one alert sound; both beep types use it.
  QApplication::beep();
}

static QUrl ShellOpenUrl(const std::string& document) {
  // An absolute path is a local file or folder, whatever its name looks
  // like; guessing would make "/srv/example.com" a web address.
  if (!document.empty() && document[0] == '/') return QUrl::fromLocalFile(ToQ(document));
  return QUrl::fromUserInput(ToQ(document));
}

bool QtUserDialogs::ShellOpen(const std::string& document) {
  QUrl url = ShellOpenUrl(document);
  return url.isValid() && QDesktopServices::openUrl(url);
}

void QtUserDialogs::ErrorBox(const std::string& message) {
  QMessageBox::critical(ActiveParent(), Caption(), ToQ(message));
}

int QtUserDialogs::MessageDlg(const std::string& text, TMsgDlgType type, unsigned buttons) {
  static const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical, QMessageBox::Information,
                                           QMessageBox::Question};
  QMessageBox box(icons[type], Caption(), DialogText(text), QMessageBox::NoButton, ActiveParent());
  struct Choice {
    unsigned Button;
    QMessageBox::StandardButton Qt;
    int Result;
  };
  static const Choice choices[] = {{mbYes, QMessageBox::Yes, mrYes},
                                   {mbNo, QMessageBox::No, mrNo},
                                   {mbOK, QMessageBox::Ok, mrOk},
                                   {mbCancel, QMessageBox::Cancel, mrCancel}};
  const int escape = MessageDlgEscapeResult(buttons);
  for (const Choice& c : choices) {
    if (!(buttons & c.Button)) continue;
    QPushButton* b = box.addButton(c.Qt);
    if (!box.defaultButton()) box.setDefaultButton(b);
    if (c.Result == escape) box.setEscapeButton(b);
  }
  box.exec();
  for (const Choice& c : choices) {
    if ((buttons & c.Button) && box.clickedButton() == box.button(c.Qt)) return c.Result;
  }
  return escape;
}

bool QtUserDialogs::ExecuteOpenDialog(TOpenDialog& dialog) { return RunFileDialog(dialog, QFileDialog::AcceptOpen); }

bool QtUserDialogs::ExecuteSaveDialog(TSaveDialog& dialog) { return RunFileDialog(dialog, QFileDialog::AcceptSave); }

void InstallQtDialogs() {
  static QtUserDialogs dialogs;
  SetUserDialogs(&dialogs);
  InstallErrorBoxHook();
  InstallQtBrowseForFolder();
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

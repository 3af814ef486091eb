// The Qt message boxes and file dialogs behind the dialog interface, answered
// by a timer while they run modally.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <vector>

#include "platform/qt/qtdialogs.h"
#include "platform/qt/qtext.h"
#include "tests/support/private_home.h"
#include "tests/support/qt_app.h"

namespace {

template <class Dialog>
void WhenUp(std::function<void(Dialog&)> step) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, step] {
    auto* d = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    if (!d || !d->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    step(*d);
  });
  timer->start();
}

TEST(QtDialogs, FileFilters) {
  EXPECT_EQ(plat::FromQ(plat::QtFileFilter("Zentavo Projects|*.zvp|All Files|*.*")),
            "Zentavo Projects (*.zvp);;All Files (*)");
  EXPECT_EQ(plat::FromQ(plat::QtFileFilter("Pages|*.htm;*.html")), "Pages (*.htm *.html)");
  EXPECT_EQ(plat::FromQ(plat::QtFileFilter("")), "");
}

TEST(QtDialogs, MessageBoxButtonsAndTheirAnswers) {
  testsupport::QtApp();
  plat::QtUserDialogs dialogs;
  struct Case {
    unsigned Buttons;
    QMessageBox::StandardButton Press;  // NoButton: Esc
    int Result;
  } cases[] = {
      {plat::mbYes | plat::mbNo | plat::mbCancel, QMessageBox::Yes, plat::mrYes},
      {plat::mbYes | plat::mbNo | plat::mbCancel, QMessageBox::No, plat::mrNo},
      {plat::mbYes | plat::mbNo | plat::mbCancel, QMessageBox::NoButton, plat::mrCancel},
      {plat::mbOK | plat::mbCancel, QMessageBox::Ok, plat::mrOk},
      {plat::mbOK | plat::mbCancel, QMessageBox::NoButton, plat::mrCancel},
      {plat::mbOK, QMessageBox::NoButton, plat::mrOk},
  };
  for (const Case& c : cases) {
    std::string text;
    int buttons = 0;
    WhenUp<QMessageBox>([&](QMessageBox& box) {
      text = plat::FromQ(box.text());
      buttons = static_cast<int>(box.buttons().size());
      if (c.Press == QMessageBox::NoButton) {
        box.reject();  // what Esc or the close box does
      } else {
        box.button(c.Press)->click();
      }
    });
    EXPECT_EQ(dialogs.MessageDlg("Web Server error\r\nPath not found", plat::mtConfirmation, c.Buttons), c.Result);
    EXPECT_EQ(text, "Web Server error\nPath not found");
    EXPECT_EQ(buttons, __builtin_popcount(c.Buttons));
  }
}

TEST(QtDialogs, SaveDialogAddsTheDefaultExtension) {
  testsupport::QtApp();
  plat::QtUserDialogs dialogs;
  testsupport::TempFolder dir("qtdialogs");
  plat::TSaveDialog save;
  save.Filter = "Zentavo Projects|*.zvp|All Files|*.*";
  save.DefaultExt = "zvp";
  save.InitialDir = dir.Top();
  QStringList filters;
  WhenUp<QFileDialog>([&](QFileDialog& d) {
    filters = d.nameFilters();
    d.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("mysite"));
    static_cast<QDialog&>(d).accept();  // what OK does
  });
  ASSERT_TRUE(dialogs.ExecuteSaveDialog(save));
  EXPECT_EQ(save.FileName, dir.Path("mysite.zvp"));
  EXPECT_EQ(filters, (QStringList{QStringLiteral("Zentavo Projects (*.zvp)"), QStringLiteral("All Files (*)")}));

  plat::TOpenDialog open;
  open.InitialDir = dir.Top();
  WhenUp<QFileDialog>([](QFileDialog& d) { d.reject(); });
  EXPECT_FALSE(dialogs.ExecuteOpenDialog(open));
}

// What "open" hands to the desktop: an absolute path is that local file or
// folder, whatever its name looks like (blanks at its end included); the
// rest is read as the user would type it.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> Urls;
 public slots:
  void Open(const QUrl& url) { Urls.push_back(url); }
};

TEST(QtDialogs, ShellOpenTakesAbsolutePathsAsLocalFiles) {
  testsupport::QtApp();
  plat::QtUserDialogs dialogs;
  UrlCatcher catcher;
  for (const char* scheme : {"file", "http", "https"}) QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "Open");
  struct Case {
    std::string Document;
    QUrl Url;
  } cases[] = {
      {"/srv/example.com", QUrl::fromLocalFile(QStringLiteral("/srv/example.com"))},
      {"/home/me/my site #2", QUrl::fromLocalFile(QStringLiteral("/home/me/my site #2"))},
      {"/home/me/site ", QUrl::fromLocalFile(QStringLiteral("/home/me/site "))},
      {"/home/me/caf\xc3\xa9", QUrl::fromLocalFile(QString::fromUtf8("/home/me/caf\xc3\xa9"))},
      {"https://zentavox.example.org/", QUrl(QStringLiteral("https://zentavox.example.org/"))},
      {"http://localhost:8000", QUrl(QStringLiteral("http://localhost:8000"))},
  };
  for (const Case& c : cases) {
    catcher.Urls.clear();
    EXPECT_TRUE(dialogs.ShellOpen(c.Document)) << c.Document;
    EXPECT_EQ(catcher.Urls, std::vector<QUrl>{c.Url}) << c.Document;
  }
  for (const char* scheme : {"file", "http", "https"}) QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

}  // namespace

#include "qtdialogs_test.moc"

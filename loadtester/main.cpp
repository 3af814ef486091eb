// Brontavel2: splash first, then the load tester window until it closes.
#include <QApplication>

#include "loadtester/HttpAsy1.h"
#include "loadtester/splash.h"
#include "platform/fs/fs.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtdialogs.h"
#include "platform/qt/webengine/webbrowser.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"

int main(int argc, char** argv) {
  // A save past the file-size limit fails as a full disk does, old file
  // kept, instead of ending the program.
  plat::IgnoreFileSizeSignal();
  plat::SetCommandLine(argc, argv);
  plat::PrepareWebEngineApplication();
  plat::TApplication app(argc, argv);
  plat::InstallQtBridge();
  plat::InstallQtDialogs();
  versionstr = "3.04";

  // The splash is the only window while it shows; its closing must not end
  // the program.
  app.setQuitOnLastWindowClosed(false);
  ShowSplash();
  app.setQuitOnLastWindowClosed(true);

  int rc = 0;
  {
    THttpAsyForm form;
    // The task bar name; an application display name would be appended to
    // every caption, so only the plain name is set.
    QCoreApplication::setApplicationName(QStringLiteral("Brontavel 3"));
    plat::SetApplicationTitle("Brontavel 3");
    // The program ends when its main window closes, not once Qt finds no
    // other window shown: that rule looks at every top-level window, the
    // web engine's own (its menus, popups, offscreen page windows) among
    // them, and the end must not hang on what became of those.
    form.OnClosed = [] { plat::PostQuitMessage(0); };
    plat::PrepareWindowForPages(&form);
    form.show();
    rc = app.exec();
  }
  plat::RemoveQtBridge();
  return rc;
}

// Zentavox: the publishing program, or its installer or uninstaller,
// depending on how it was started.
#include <clocale>

#include <QApplication>

#include "platform/fs/fs.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtdialogs.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/gui/DeleteLog.h"
#include "sitepublishing/gui/Setup.h"
#include "sitepublishing/gui/UploadLog.h"
#include "sitepublishing/gui/Vars.h"
#include "sitepublishing/gui/main.h"

int main(int argc, char** argv) {
  // A save past the file-size limit fails as a full disk does, old file
  // kept, instead of ending the program.
  plat::IgnoreFileSizeSignal();
  // Dates and times print in the user's format.
  std::setlocale(LC_ALL, "");
  plat::TApplication app(argc, argv);
  // After Qt has taken its own options out of the command line.
  plat::SetCommandLine(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Zentavo"));
  plat::SetApplicationTitle("Zentavo");
  plat::InstallQtBridge();
  plat::InstallQtDialogs();

  int rc = 0;
  if (CheckSetupMode(&rc)) {
    // The program ends with its main window, whatever else is open.
    app.setQuitOnLastWindowClosed(false);
    // The four windows in their order; the logs stay hidden until a run.
    TfrmMain mainForm;
    TfrmVars varsForm;
    TfrmUploadLog uploadLog;
    TfrmDeleteLog deleteLog;
    frmUploadLog = &uploadLog;
    frmDeleteLog = &deleteLog;
    QObject::connect(&mainForm, &TfrmMain::Closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    mainForm.show();
    rc = app.exec();
    Project->UploadLog = nullptr;
    Project->DeleteLog = nullptr;
    frmUploadLog = nullptr;
    frmDeleteLog = nullptr;
  }
  plat::RemoveQtBridge();
  return rc;
}

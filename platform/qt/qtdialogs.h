// The Qt side of the user dialogs (platform/ui/dialogs.h) and the
// application object that keeps exceptions from crossing Qt's event loop.
#pragma once

#include <QApplication>

#include "platform/ui/dialogs.h"

namespace plat {

class QtUserDialogs : public IUserDialogs {
 public:
  void ShowMessage(const std::string& text) override;
  void MessageBeep(unsigned type) override;
  bool ShellOpen(const std::string& document) override;
  void ErrorBox(const std::string& message) override;
  int MessageDlg(const std::string& text, TMsgDlgType type, unsigned buttons) override;
  bool ExecuteOpenDialog(TOpenDialog& dialog) override;
  bool ExecuteSaveDialog(TSaveDialog& dialog) override;
};

// A '|' separated filter ("Projects|*.zvp|All Files|*.*") as Qt writes it
// ("Projects (*.zvp);;All Files (*)"); "*.*" matches every file.
QString QtFileFilter(const std::string& filter);

// Installs QtUserDialogs and the folder browser and routes the application
// error hook to them.
void InstallQtDialogs();

// Any exception that an event handler lets out is caught here, once, and
// shown in the application's standard error box.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace plat

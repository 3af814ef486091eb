// Install and uninstall of the publishing program: the program is one
// executable that installs itself when started under the name setup.exe and
// removes its shortcuts and its entry in the list of installed programs
// when given the one argument "uninstall".
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class TPathDialog;

// Fixed names of the installed program.
extern const char* const kFolderWord;     // the install folder's own name, "Zentavox"
extern const char* const kProgramName;    // shortcuts and the Uninstall entry, "Zentavo"

enum TSetupMode { smNormal, smUninstall, smInstall };

// The mode for a command line (args[0] the name the program was started
// under) and the running executable's file: exactly one argument
// "uninstall" uninstalls; a name "SETUP.EXE" in any letter case, of the
// executable itself (a copy) or of the name started under (a link),
// installs; anything else is the normal program.
TSetupMode SetupModeOf(const std::vector<std::string>& args, const std::string& exePath);

// Runs install or uninstall when the command line asks for it; true only
// in the normal mode, false when the program should end now. An error of
// either is shown in the error box, and then exitCode (when given) is 1,
// so that a half-done uninstall does not end as a successful one; else 0.
bool CheckSetupMode(int* exitCode = nullptr);

// Asks, then removes the shortcuts and the Uninstall entry. The installed
// executable and the user's settings stay. Raises what the registry or the
// shell folders raise.
void Uninstall();

// The Uninstall entry's command for the installed executable: its path
// quoted for a command line, then " uninstall".
std::string UninstallCommand(const std::string& installedExecutable);

// Where the installed pieces go, from the folder chosen in the dialog.
std::string InstalledExecutable(const std::string& installFolder);
std::string StartMenuShortcut();
std::string DesktopShortcut();

class TfrmSetup : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmSetup(QWidget* parent = nullptr);
  ~TfrmSetup() override;

  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* edtPath = nullptr;
  QToolButton* sbChooseDir = nullptr;
  QCheckBox* cbxDesktop = nullptr;
  QPushButton* btnInstall = nullptr;
  QPushButton* btnClose = nullptr;
  TPathDialog* pdPath = nullptr;

  void FormCreate();
  void sbChooseDirClick();
  void btnInstallClick();
  // The install steps in order; the first that fails raises and stops them.
  void Install();
};

extern TfrmSetup* frmSetup;

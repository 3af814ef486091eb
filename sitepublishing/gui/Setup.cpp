#include "sitepublishing/gui/Setup.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>

#include "ftpcomponents/PathDialog.h"
#include "ftpcomponents/korvlib.h"
#include "platform/classes/classes.h"
#include "platform/fs/fs.h"
#include "platform/qt/qtext.h"
#include "platform/shell/shell.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"
#include "sitepublishing/gui/Widgets.h"

using plat::FromQ;
using plat::ToQ;

const char* const kFolderWord = "Zentavox";
const char* const kProgramName = "Zentavo";
TfrmSetup* frmSetup = nullptr;

namespace {

const char kShortcutExt[] = ".desktop";

bool IsSetupName(const std::string& path) { return plat::UpperCase(plat::ExtractFileName(path)) == "SETUP.EXE"; }

// Frees the dialog and clears the global on every way out.
struct SetupDialog {
  TfrmSetup Dialog;
  SetupDialog() { frmSetup = &Dialog; }
  ~SetupDialog() { frmSetup = nullptr; }
};

}  // namespace

TSetupMode SetupModeOf(const std::vector<std::string>& args, const std::string& exePath) {
  if (args.size() == 2 && args[1] == "uninstall") return smUninstall;
  if (IsSetupName(exePath) || (!args.empty() && IsSetupName(args[0]))) return smInstall;
  return smNormal;
}

std::string InstalledExecutable(const std::string& installFolder) { return installFolder + "/" + kFolderWord; }

std::string StartMenuShortcut() {
  return GetProgramsDir() + "/" + kProgramName + "/" + kProgramName + kShortcutExt;
}

std::string DesktopShortcut() { return GetDesktopDir() + "/" + kProgramName + kShortcutExt; }

std::string UninstallCommand(const std::string& installedExecutable) {
  return plat::CommandLineArgument(installedExecutable) + " uninstall";
}

bool CheckSetupMode(int* exitCode) {
  if (exitCode) *exitCode = 0;
  std::vector<std::string> args;
  for (int i = 0; i <= plat::ParamCount(); ++i) args.push_back(plat::ParamStr(i));
  const TSetupMode mode = SetupModeOf(args, plat::ExeName());
  if (mode == smNormal) return true;
  // Nothing may escape from here: the program would end without a word,
  // and what was done so far would look like all of it.
  try {
    if (mode == smUninstall) {
      Uninstall();
    } else {
      SetupDialog setup;
      if (setup.Dialog.exec() == QDialog::Accepted)
        plat::MessageDlg("Application was successfully installed.", plat::mtInformation, plat::mbOK);
    }
  } catch (const std::exception& e) {
    plat::ShowApplicationException(e);
    if (exitCode) *exitCode = 1;
  } catch (...) {
    plat::ShowApplicationError("Unknown error");
    if (exitCode) *exitCode = 1;
  }
  return false;
}

void Uninstall() {
  if (plat::MessageDlg("Remove Zentavo ?", plat::mtConfirmation, plat::mbOK | plat::mbCancel) != plat::mrOk) return;
  ::unlink(DesktopShortcut().c_str());
  const std::string startMenu = StartMenuShortcut();
  ::unlink(startMenu.c_str());
  ::rmdir(plat::FolderOf(startMenu).c_str());
  UnregisterUninstall(kProgramName);
}

// ---- the install dialog ------------------------------------------------------------

TfrmSetup::TfrmSetup(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmSetup"));
  setWindowTitle(QStringLiteral("Zentavo Setup"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  auto* v = new QVBoxLayout(this);
  GroupBox1 = new QGroupBox(this);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  auto* g = new QGridLayout(GroupBox1);
  Label1 = new QLabel(QStringLiteral("Install to"), GroupBox1);
  Label1->setObjectName(QStringLiteral("Label1"));
  edtPath = new QLineEdit(GroupBox1);
  edtPath->setObjectName(QStringLiteral("edtPath"));
  edtPath->setAccessibleName(QStringLiteral("Install to"));
  Label1->setBuddy(edtPath);
  sbChooseDir = gui::ChooseDirButton(GroupBox1);
  cbxDesktop = new QCheckBox(QStringLiteral("Create shortcut on desktop"), GroupBox1);
  cbxDesktop->setObjectName(QStringLiteral("cbxDesktop"));
  cbxDesktop->setChecked(true);
  g->addWidget(Label1, 0, 0, 1, 2);
  g->addWidget(edtPath, 1, 0);
  g->addWidget(sbChooseDir, 1, 1);
  g->addWidget(cbxDesktop, 2, 0, 1, 2);
  v->addWidget(GroupBox1, 1);

  btnInstall = new QPushButton(QStringLiteral("Install"), this);
  btnInstall->setObjectName(QStringLiteral("btnInstall"));
  btnInstall->setDefault(true);
  btnClose = new QPushButton(QStringLiteral("Close"), this);
  btnClose->setObjectName(QStringLiteral("btnClose"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnInstall);
  buttons->addWidget(btnClose);
  v->addLayout(buttons);

  pdPath = new TPathDialog(nullptr);
  pdPath->Name = "pdPath";
  pdPath->Title = "Select the directory for install";
  pdPath->RootItem = riDesktop;

  gui::Bind(this, sbChooseDir, &QToolButton::clicked, [this] { sbChooseDirClick(); });
  gui::Bind(this, btnInstall, &QPushButton::clicked, [this] { btnInstallClick(); });
  // Close is the cancel button: Esc and the close box do the same.
  connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);

  resize(382, 203);
  setFixedSize(size().expandedTo(sizeHint()));
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  plat::Safely([this] { FormCreate(); });
}

TfrmSetup::~TfrmSetup() { plat::Free(pdPath); }

void TfrmSetup::FormCreate() { edtPath->setText(ToQ(GetProgramFilesDir() + "/" + kFolderWord)); }

void TfrmSetup::sbChooseDirClick() {
  pdPath->SetDirectory(FromQ(edtPath->text()));
  if (!pdPath->Execute()) return;
  std::string path = pdPath->Directory();
  // The program gets a folder of its own unless the chosen one already is.
  const std::string word = kFolderWord;
  const std::string tail = path.size() > word.size() ? path.substr(path.size() - word.size()) : path;
  if (plat::UpperCase(tail) != plat::UpperCase(word)) path += "/" + word;
  edtPath->setText(ToQ(path));
}

void TfrmSetup::btnInstallClick() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    Install();
  } catch (...) {
    QApplication::restoreOverrideCursor();
    throw;
  }
  QApplication::restoreOverrideCursor();
  accept();
}

void TfrmSetup::Install() {
  const std::string folder = FromQ(edtPath->text());
  const std::string exe = InstalledExecutable(folder);
  if (!plat::ForceDirectories(plat::FolderOf(exe)))
    throw plat::Exception(plat::Format("Cannot create the folder %s: %s", plat::FolderOf(exe).c_str(),
                                       std::strerror(errno)));
  CopyFileByStreams(plat::ExeName(), exe);
  CreateShortcut(StartMenuShortcut(), exe);
  if (cbxDesktop->isChecked()) CreateShortcut(DesktopShortcut(), exe);
  RegisterUninstall(kProgramName, UninstallCommand(exe));
}

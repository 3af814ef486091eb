#include "sitepublishing/gui/main.h"

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QShowEvent>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "ftpcomponents/PathDialog.h"
#include "ftpcomponents/SimpFTP.h"
#include "platform/fs/fs.h"
#include "platform/qt/panel.h"
#include "platform/qt/qtext.h"
#include "sitepublishing/LogView.h"
#include "sitepublishing/websrv.h"
#include "sitepublishing/gui/DeleteLog.h"
#include "sitepublishing/gui/UploadLog.h"
#include "sitepublishing/gui/Vars.h"
#include "sitepublishing/gui/Widgets.h"

using plat::FromQ;
using plat::ToQ;
using gui::Bind;
using gui::Named;

TfrmMain* frmMain = nullptr;
TWebServer* WebServer = nullptr;
const char* const kGuidePage = "https://zentavox.example.org/guide/";
const char* const kProductPage = "https://zentavox.example.org/";

namespace {

constexpr int kClientWidth = 302;
constexpr int kClientHeight = 382;
const char kCaption[] = "Zentavo";
const char kDefaultExclude[] = "zvp:inc:";
const char kProjectFilter[] = "Zentavo Projects|*.zvp|All Files|*.*";

bool DirectoryExists(const std::string& path) {
  struct stat st{};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

QFont Bold(QFont f) {
  f.setBold(true);
  return f;
}

// A group box whose caption alone is bold.
QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption) {
  auto* g = Named(new QGroupBox(QString::fromLatin1(caption), parent), name);
  g->setFont(Bold(QApplication::font()));
  return g;
}

// Children of a bold group keep the normal font.
template <class W>
W* Plain(W* w) {
  QFont f = QApplication::font();
  f.setBold(false);
  w->setFont(f);
  return w;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
  frmMain = this;
  setObjectName(QStringLiteral("frmMain"));
  // The caption is there before anything can fail on the way to the project.
  setWindowTitle(QString::fromLatin1(kCaption));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  ftpServer = new TSimpleFTP(nullptr);
  ftpServer->Name = "ftpServer";
  ftpServer->SetConnectRetries(3);
  ftpServer->SetEnableCache(false);
  ftpServer->Port = 21;
  ftpServer->QuickProgress = false;
  ftpServer->SetConnectTimeout(300000);
  ftpServer->SilentExceptions = false;
  ftpServer->FailIfExistsOnGet = false;
  ftpServer->SetFileSystemType(ftUnix);
  ftpServer->SetPassive(false);
  ftpServer->OnTransferProgress = [this](plat::TObject* sender, TFTPProgressInfo info) {
    ftpServerTransferProgress(sender, info);
  };

  pdPath = new TPathDialog(nullptr);
  pdPath->Name = "pdPath";
  pdPath->Title = "Enter path for upload";
  pdPath->RootItem = riDesktop;

  for (plat::TOpenDialog* d : {static_cast<plat::TOpenDialog*>(&sdSaveProject), &odProjectName}) {
    d->DefaultExt = "zvp";
    d->Filter = kProjectFilter;
  }

  BuildMenus();
  auto* client = Named(new QWidget(this), "ClientArea");
  auto* v = new QVBoxLayout(client);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  setCentralWidget(client);
  BuildToolbar();
  v->addWidget(pnlToolbar);
  BuildFields();
  v->addWidget(pnlLeft, 1);
  pnlStatus = gui::StatusPanel(client, "pnlStatus", 24, lblStatus);
  v->addWidget(pnlStatus);

  // The window is not resizable: the designed client area, or what the
  // desktop's font needs if that is more.
  client->setMinimumSize(kClientWidth, kClientHeight);
  setFixedSize(sizeHint().expandedTo(QSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height())));

  FormStore = MakeProgramFormStore(Place_);
  FormStore->Load();

  Project->Form = this;
  plat::Safely([this] { FormCreate(); });
}

TfrmMain::~TfrmMain() {
  // Saves the placement while the window is still whole.
  FormStore.reset();
  plat::FreeAndNil(WebServer);
  if (Project && Project->Form == this) Project->Form = nullptr;
  plat::Free(pdPath);
  plat::Free(ftpServer);
  if (frmMain == this) frmMain = nullptr;
}

// ---- building the window -----------------------------------------------------

void TfrmMain::BuildMenus() {
  QMenuBar* mmMain = menuBar();
  mmMain->setObjectName(QStringLiteral("mmMain"));

  miProject = Named(mmMain->addMenu(QStringLiteral("&Project")), "miProject");
  miNew = Named(miProject->addAction(QStringLiteral("&New")), "miNew");
  miOpen = Named(miProject->addAction(QStringLiteral("&Open...")), "miOpen");
  miSave = Named(miProject->addAction(QStringLiteral("&Save")), "miSave");
  miSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  miSaveAs = Named(miProject->addAction(QStringLiteral("Save &As...")), "miSaveAs");
  miProject->addSeparator();
  miExit = Named(miProject->addAction(QStringLiteral("E&xit")), "miExit");

  miProjectList = Named(mmMain->addMenu(QStringLiteral("His&tory")), "miProjectList");

  miUpload = Named(mmMain->addMenu(QStringLiteral("&Services")), "miUpload");
  miUploadChangeFiles = Named(miUpload->addAction(QStringLiteral("Upload &Changed")), "miUploadChangeFiles");
  miUploadAllFiles = Named(miUpload->addAction(QStringLiteral("Upload &All")), "miUploadAllFiles");
  miUpload->addSeparator();
  miDeleteFiles = Named(miUpload->addAction(QStringLiteral("&Delete Old")), "miDeleteFiles");
  for (QAction* a : {miUploadChangeFiles, miUploadAllFiles, miDeleteFiles}) a->setEnabled(false);

  miHelp = Named(mmMain->addMenu(QStringLiteral("&Help")), "miHelp");
  miContent = Named(miHelp->addAction(QStringLiteral("&Content")), "miContent");
  miHelp->addSeparator();
  miAbout = Named(miHelp->addAction(QStringLiteral("&About")), "miAbout");

  Bind(this, miNew, &QAction::triggered, [this] { miNewClick(); });
  Bind(this, miOpen, &QAction::triggered, [this] { miOpenClick(); });
  Bind(this, miSave, &QAction::triggered, [this] { sbSaveClick(); });
  Bind(this, miSaveAs, &QAction::triggered, [this] { miSaveAsClick(); });
  Bind(this, miExit, &QAction::triggered, [this] { miExitClick(); });
  Bind(this, miUploadChangeFiles, &QAction::triggered, [this] { btnUploadClick(); });
  Bind(this, miUploadAllFiles, &QAction::triggered, [this] { miUploadAllFilesClick(); });
  Bind(this, miDeleteFiles, &QAction::triggered, [this] { miDeleteFilesClick(); });
  Bind(this, miContent, &QAction::triggered, [this] { miContentClick(); });
  Bind(this, miAbout, &QAction::triggered, [this] { miAboutClick(); });
}

void TfrmMain::BuildToolbar() {
  pnlToolbar = Named(new plat::TPanel(QString(), centralWidget()), "pnlToolbar");
  pnlToolbar->setFixedHeight(36);
  struct Button {
    QToolButton** Field;
    const char* Name;
    int Left;
    const char* Hint;
    QStyle::StandardPixmap Glyph;
    bool Enabled;
  };
  const Button buttons[] = {
      {&sbNew, "sbNew", 3, "New", QStyle::SP_FileIcon, true},
      {&sbOpen, "sbOpen", 34, "Open", QStyle::SP_DialogOpenButton, true},
      {&sbSave, "sbSave", 65, "Save", QStyle::SP_DialogSaveButton, false},
      {&sbDelete, "sbDelete", 96, "Close and delete from history", QStyle::SP_TrashIcon, false},
      {&sbUpload, "sbUpload", 127, "Upload", QStyle::SP_ArrowUp, false},
      {&sbOpenInBrowser, "sbOpenInBrowser", 158, "Open in browser", QStyle::SP_DriveNetIcon, false},
      {&sbOpenInExplorer, "sbOpenInExplorer", 189, "Open in explorer", QStyle::SP_DirOpenIcon, false},
      {&sbVariables, "sbVariables", 220, "Variables", QStyle::SP_FileDialogDetailedView, true},
  };
  for (const Button& b : buttons) {
    auto* sb = Named(new QToolButton(pnlToolbar), b.Name);
    sb->setAutoRaise(true);
    sb->setGeometry(b.Left, 3, 31, 30);
    sb->setIcon(style()->standardIcon(b.Glyph));
    sb->setToolTip(QString::fromLatin1(b.Hint));
    sb->setAccessibleName(QString::fromLatin1(b.Hint));
    sb->setEnabled(b.Enabled);
    *b.Field = sb;
  }
  Bind(this, sbNew, &QToolButton::clicked, [this] { miNewClick(); });
  Bind(this, sbOpen, &QToolButton::clicked, [this] { miOpenClick(); });
  Bind(this, sbSave, &QToolButton::clicked, [this] { sbSaveClick(); });
  Bind(this, sbDelete, &QToolButton::clicked, [this] { sbDeleteClick(); });
  Bind(this, sbUpload, &QToolButton::clicked, [this] { btnUploadClick(); });
  Bind(this, sbOpenInBrowser, &QToolButton::clicked, [this] { sbOpenInBrowserClick(); });
  Bind(this, sbOpenInExplorer, &QToolButton::clicked, [this] { sbOpenInExplorerClick(); });
  Bind(this, sbVariables, &QToolButton::clicked, [this] { sbVariablesClick(); });
}

void TfrmMain::BuildFields() {
  pnlLeft = Named(new QWidget(centralWidget()), "pnlLeft");
  auto* v = new QVBoxLayout(pnlLeft);
  v->setContentsMargins(6, 6, 6, 6);

  grbPath = MakeGroup(pnlLeft, "grbPath", " Path ");
  edtPath = Plain(Named(new QLineEdit(grbPath), "edtPath"));
  edtPath->setAccessibleName(QStringLiteral("Path"));
  sbChooseDir = gui::ChooseDirButton(grbPath);
  auto* ph = new QHBoxLayout(grbPath);
  ph->addWidget(edtPath, 1);
  ph->addWidget(sbChooseDir);
  v->addWidget(grbPath);

  grbFTP = MakeGroup(pnlLeft, "grbFTP", " Ftp ");
  auto* g = new QGridLayout(grbFTP);
  auto labelled = [&](QLabel*& label, const char* labelName, const char* text, QLineEdit*& edit,
                      const char* editName, int row) {
    label = Plain(Named(new QLabel(QString::fromLatin1(text), grbFTP), labelName));
    edit = Plain(Named(new QLineEdit(grbFTP), editName));
    label->setBuddy(edit);
    edit->setAccessibleName(QString::fromLatin1(text));
    g->addWidget(label, row, 0);
    g->addWidget(edit, row, 1);
  };
  labelled(lblHost, "lblHost", "Host", edtFTPHost, "edtFTPHost", 0);
  labelled(lblLogin, "lblLogin", "Login", edtFTPLogin, "edtFTPLogin", 1);
  labelled(lblPassword, "lblPassword", "Password", edtFTPPassword, "edtFTPPassword", 2);
  edtFTPPassword->setEchoMode(QLineEdit::Password);
  edtFTPPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  chbRemem = Plain(Named(new QCheckBox(QStringLiteral("Remember ?"), grbFTP), "chbRemem"));
  chbRemem->setChecked(true);
  g->addWidget(chbRemem, 3, 1);
  labelled(lblFTPPath, "lblFTPPath", "Path", edtFTPPath, "edtFTPPath", 4);
  // Two fields are captioned "Path": the reader tells the remote one apart.
  edtFTPPath->setAccessibleName(QStringLiteral("Ftp Path"));
  v->addWidget(grbFTP);

  GroupBox1 = MakeGroup(pnlLeft, "GroupBox1", " Don't upload files with ext ");
  edtExclude = Plain(Named(new QLineEdit(GroupBox1), "edtExclude"));
  edtExclude->setAccessibleName(QStringLiteral("Don't upload files with ext"));
  edtExclude->setText(QString::fromLatin1(kDefaultExclude));
  auto* eh = new QHBoxLayout(GroupBox1);
  eh->addWidget(edtExclude);
  v->addWidget(GroupBox1);
  v->addStretch(1);

  setTabOrder(edtPath, sbChooseDir);
  setTabOrder(sbChooseDir, edtFTPHost);
  setTabOrder(edtFTPHost, edtFTPLogin);
  setTabOrder(edtFTPLogin, edtFTPPassword);
  setTabOrder(edtFTPPassword, chbRemem);
  setTabOrder(chbRemem, edtFTPPath);
  setTabOrder(edtFTPPath, edtExclude);

  // Bound after the defaults are in, so that a fresh window is not modified.
  Bind(this, edtPath, &QLineEdit::textChanged, [this] { edtPathChange(); });
  Bind(this, edtExclude, &QLineEdit::textChanged, [this] { edtPathChange(); });
  Bind(this, edtFTPHost, &QLineEdit::textChanged, [this] { edtFTPHostChange(); });
  Bind(this, edtFTPLogin, &QLineEdit::textChanged, [this] { edtFTPLoginChange(); });
  Bind(this, edtFTPPassword, &QLineEdit::textChanged, [this] { edtFTPPasswordChange(); });
  Bind(this, edtFTPPath, &QLineEdit::textChanged, [this] { edtFTPPathChange(); });
  Bind(this, chbRemem, &QCheckBox::toggled, [this] { chbRememClick(); });
  Bind(this, sbChooseDir, &QToolButton::clicked, [this] { sbChooseDirClick(); });
}

// ---- the fields as the project sees them ---------------------------------------

QLineEdit* TfrmMain::Field(TProjectField field) const {
  switch (field) {
    case pfPath: return edtPath;
    case pfFTPHost: return edtFTPHost;
    case pfFTPLogin: return edtFTPLogin;
    case pfFTPPassword: return edtFTPPassword;
    case pfFTPPath: return edtFTPPath;
    case pfExclude: return edtExclude;
  }
  return edtPath;
}

std::string TfrmMain::FieldText(TProjectField field) const { return FromQ(Field(field)->text()); }

void TfrmMain::SetFieldText(TProjectField field, const std::string& text) { Field(field)->setText(ToQ(text)); }

bool TfrmMain::RememberPassword() const { return chbRemem->isChecked(); }

void TfrmMain::SetRememberPassword(bool checked) { chbRemem->setChecked(checked); }

void TfrmMain::VarRowsChanged(int rows) {
  if (frmVars) frmVars->SetRowCount(rows);
}

void TfrmMain::SetFtpParams() {
  ftpServer->HostName = FromQ(edtFTPHost->text());
  ftpServer->UserName = FromQ(edtFTPLogin->text());
  ftpServer->Password = FromQ(edtFTPPassword->text());
  ftpServer->SetRemoteDir("");
}

void TfrmMain::SetModified() {
  Project->Modified = true;
  UpdateButtons();
}

// ---- operations ----------------------------------------------------------------

void TfrmMain::UpdateButtons() {
  auto filled = [](QLineEdit* e) { return !plat::Trim(FromQ(e->text())).empty(); };
  const bool canUpload = filled(edtPath) && filled(edtFTPHost) && filled(edtFTPLogin) && filled(edtFTPPassword);
  sbUpload->setEnabled(canUpload);
  for (QAction* a : {miUploadChangeFiles, miUploadAllFiles, miDeleteFiles}) a->setEnabled(canUpload);
  sbOpenInExplorer->setEnabled(filled(edtPath));
  sbOpenInBrowser->setEnabled(filled(edtPath));
  sbDelete->setEnabled(!Project->FileName.empty());
  sbSave->setEnabled(Project->Modified);
}

void TfrmMain::UpdateCaption() {
  std::string caption = kCaption;
  if (!Project->FileName.empty()) caption += " - " + TProject::DisplayName(Project->FileName);
  setWindowTitle(ToQ(caption));
}

void TfrmMain::ClearFields() {
  edtPath->setText(QString());
  edtFTPHost->setText(QString());
  edtFTPLogin->setText(QString());
  edtFTPPassword->setText(QString());
  chbRemem->setChecked(true);
  edtFTPPath->setText(QString());
  edtExclude->setText(QString::fromLatin1(kDefaultExclude));
  Project->Modified = false;
  UpdateCaption();
  UpdateButtons();
}

void TfrmMain::FillHistory() {
  std::vector<THistoryEntry> entries;
  Project->FillHistoryMenu(entries);
  // An entry may be the one whose click runs now: let Qt free it later.
  for (QAction* a : miProjectList->actions()) {
    miProjectList->removeAction(a);
    a->deleteLater();
  }
  for (const THistoryEntry& e : entries) {
    QAction* a = miProjectList->addAction(ToQ(e.Caption));
    a->setObjectName(QStringLiteral("HistoryItem"));
    a->setStatusTip(ToQ(e.Hint));
    a->setToolTip(ToQ(e.Hint));
    a->setData(ToQ(e.Hint));
    const std::string hint = e.Hint;
    Bind(this, a, &QAction::triggered, [this, hint] { HistoryItemClick(hint); });
  }
}

void TfrmMain::OpenProject(std::string path) {
  if (!CloseProject()) return;
  Project->FileName = path;
  auto refresh = [this] {
    FillHistory();
    UpdateCaption();
    UpdateButtons();
  };
  try {
    Project->Load();
    if (plat::Trim(FromQ(edtFTPPassword->text())).empty()) edtFTPPassword->setFocus();
  } catch (...) {
    // The model has let go of the file name, so no later close saves over
    // the file that failed to load.
    refresh();
    throw;
  }
  refresh();
}

bool TfrmMain::SaveProject() {
  if (Project->FileName.empty()) {
    sdSaveProject.FileName.clear();
    if (!sdSaveProject.Execute()) return false;
    Project->FileName = sdSaveProject.FileName;
  }
  try {
    Project->Save();
  } catch (...) {
    // Save stays on offer for what is still only here.
    UpdateButtons();
    throw;
  }
  UpdateButtons();
  FillHistory();
  UpdateCaption();
  return true;
}

bool TfrmMain::SaveBeforeClose() {
  try {
    return SaveProject();
  } catch (const std::exception& e) {
    // The edits are still only here: the caller must not drop them.
    plat::ShowApplicationException(e);
    return false;
  }
}

bool TfrmMain::CloseProject() {
  bool result = true;
  if (Project->Modified) {
    if (!Project->FileName.empty()) {
      result = SaveBeforeClose();
    } else {
      switch (plat::MessageDlg("Save project ?", plat::mtConfirmation, plat::mbYes | plat::mbNo | plat::mbCancel)) {
        case plat::mrYes:
          // A cancelled save dialog keeps the project as it is.
          result = SaveBeforeClose();
          break;
        case plat::mrNo:
          break;
        default:
          result = false;
      }
    }
  }
  if (result) sbNewClick();
  return result;
}

void TfrmMain::ftpServerTransferProgress(plat::TObject*, const TFTPProgressInfo& ProgressInfo) {
  if (Project->UploadLog) Project->UploadLog->ShowProgress(ProgressInfo.BytesDone, ProgressInfo.FileSize);
}

// ---- handlers ----------------------------------------------------------------

void TfrmMain::FormCreate() {
  lblStatus->clear();
  WebServer = new TWebServer(nullptr);
  WebServer->Name = "WebServer";
  FillHistory();
}

void TfrmMain::FormShow() {
  // The walks report into the log windows, made after this window.
  if (frmUploadLog) Project->UploadLog = frmUploadLog;
  if (frmDeleteLog) Project->DeleteLog = frmDeleteLog;
  Project->FileName = Project->ReadDefaultProject();
  if (!Project->FileName.empty()) {
    OpenProject(Project->FileName);
  } else {
    ClearFields();
  }
}

void TfrmMain::FormCloseQuery(bool& CanClose) { CanClose = CloseProject(); }

void TfrmMain::sbNewClick() {
  edtPath->setFocus();
  Project->Clear();
  ClearFields();
  WebServer->Close();
}

void TfrmMain::miNewClick() { CloseProject(); }

void TfrmMain::miOpenClick() {
  odProjectName.FileName.clear();
  if (odProjectName.Execute()) OpenProject(odProjectName.FileName);
  UpdateButtons();
}

void TfrmMain::sbSaveClick() { SaveProject(); }

void TfrmMain::miSaveAsClick() {
  sdSaveProject.FileName.clear();
  if (!sdSaveProject.Execute()) return;
  Project->FileName = sdSaveProject.FileName;
  sbSaveClick();
}

void TfrmMain::sbDeleteClick() {
  if (plat::MessageDlg("Close project ?", plat::mtConfirmation, plat::mbOK | plat::mbCancel) != plat::mrOk) return;
  const std::string path = Project->FileName;
  if (CloseProject()) {
    Project->RemoveFromHistory(path);
    FillHistory();
  }
}

void TfrmMain::HistoryItemClick(const std::string& hint) { OpenProject(hint); }

void TfrmMain::miExitClick() { close(); }

void TfrmMain::btnUploadClick() { RunUpload(true); }

void TfrmMain::miUploadAllFilesClick() { RunUpload(false); }

void TfrmMain::miDeleteFilesClick() { RunDeleteOld(); }

void TfrmMain::edtPathChange() {
  SetModified();
  const std::string path = FromQ(edtPath->text());
  if (DirectoryExists(path)) {
    WebServer->Start(path);
  } else {
    WebServer->Close();
  }
}

void TfrmMain::edtFTPHostChange() { SetModified(); }
void TfrmMain::edtFTPLoginChange() { SetModified(); }
void TfrmMain::edtFTPPasswordChange() { SetModified(); }
void TfrmMain::edtFTPPathChange() { SetModified(); }
void TfrmMain::chbRememClick() { SetModified(); }

void TfrmMain::sbChooseDirClick() {
  pdPath->SetDirectory(FromQ(edtPath->text()));
  if (pdPath->Execute()) edtPath->setText(ToQ(pdPath->Directory()));
}

void TfrmMain::sbOpenInBrowserClick() {
  if (WebServer->Active()) {
    std::string address = "http://localhost";
    if (WebServer->Port() != 80) address += ":" + plat::IntToStr(WebServer->Port());
    plat::ShellOpen(address);
    return;
  }
  std::string message = "Web Server error";
  if (!DirectoryExists(FromQ(edtPath->text()))) message += "\r\nPath not found";
  if (WebServer->Port() > 8003) message += "\r\nAvailable ports not found";
  plat::MessageDlg(message, plat::mtError, plat::mbOK);
}

void TfrmMain::sbOpenInExplorerClick() {
  // The field names a local folder whatever it looks like ("site" is no
  // host): the preview server reads it from the current folder, and so is
  // it opened.
  plat::ShellOpen(plat::AbsolutePath(FromQ(edtPath->text())));
}

void TfrmMain::sbVariablesClick() {
  if (frmVars) frmVars->ToggleVariablesWindow();
}

void TfrmMain::miContentClick() { plat::ShellOpen(kGuidePage); }

void TfrmMain::miAboutClick() { plat::ShellOpen(kProductPage); }

void TfrmMain::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (Shown_ || e->spontaneous()) return;
  Shown_ = true;
  plat::Safely([this] { FormShow(); });
}

void TfrmMain::closeEvent(QCloseEvent* e) {
  // A close query that fails keeps the window (and the edits).
  bool canClose = false;
  plat::Safely([&] { FormCloseQuery(canClose); });
  if (canClose) {
    e->accept();
    emit Closed();
  } else {
    e->ignore();
  }
}

// ---- the walks -------------------------------------------------------------------

// The walks run inside the command, into the log windows.
void TfrmMain::RunUpload(bool onlyChanged) { Project->Upload(onlyChanged); }
void TfrmMain::RunDeleteOld() { Project->DeleteOld(); }

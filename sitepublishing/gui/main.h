// The publishing program's main window: the open project's settings in its
// fields, the project commands (New, Open, Save, Save As, Close and delete
// from history, History, Exit), the upload and delete-old commands, the
// preview in the browser and the folder in the file manager. The project
// model and the walks reach it through TProjectForm.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "platform/ui/dialogs.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/gui/FormPlacement.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;

namespace plat {
class TObject;
class TPanel;
}  // namespace plat

class TPathDialog;
class TSimpleFTP;
class TWebServer;
struct TFTPProgressInfo;

class TfrmMain : public QMainWindow, public TProjectForm {
  Q_OBJECT
 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // ---- components ------------------------------------------------------------
  QMenu* miProject = nullptr;
  QAction* miNew = nullptr;
  QAction* miOpen = nullptr;
  QAction* miSave = nullptr;
  QAction* miSaveAs = nullptr;
  QAction* miExit = nullptr;
  QMenu* miProjectList = nullptr;  // History
  QMenu* miUpload = nullptr;       // Services
  QAction* miUploadChangeFiles = nullptr;
  QAction* miUploadAllFiles = nullptr;
  QAction* miDeleteFiles = nullptr;
  QMenu* miHelp = nullptr;
  QAction* miContent = nullptr;
  QAction* miAbout = nullptr;

  plat::TPanel* pnlToolbar = nullptr;
  QToolButton* sbNew = nullptr;
  QToolButton* sbOpen = nullptr;
  QToolButton* sbSave = nullptr;
  QToolButton* sbDelete = nullptr;
  QToolButton* sbUpload = nullptr;
  QToolButton* sbOpenInBrowser = nullptr;
  QToolButton* sbOpenInExplorer = nullptr;
  QToolButton* sbVariables = nullptr;

  QWidget* pnlLeft = nullptr;
  QGroupBox* grbPath = nullptr;
  QLineEdit* edtPath = nullptr;
  QToolButton* sbChooseDir = nullptr;
  QGroupBox* grbFTP = nullptr;
  QLabel* lblHost = nullptr;
  QLineEdit* edtFTPHost = nullptr;
  QLabel* lblLogin = nullptr;
  QLineEdit* edtFTPLogin = nullptr;
  QLabel* lblPassword = nullptr;
  QLineEdit* edtFTPPassword = nullptr;
  QCheckBox* chbRemem = nullptr;
  QLabel* lblFTPPath = nullptr;
  QLineEdit* edtFTPPath = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLineEdit* edtExclude = nullptr;
  plat::TPanel* pnlStatus = nullptr;
  QLabel* lblStatus = nullptr;

  std::unique_ptr<TFormStore> FormStore;
  TSimpleFTP* ftpServer = nullptr;
  TPathDialog* pdPath = nullptr;
  plat::TSaveDialog sdSaveProject;
  plat::TOpenDialog odProjectName;

  // ---- what the project and the walks use (TProjectForm) --------------------
  std::string FieldText(TProjectField field) const override;
  void SetFieldText(TProjectField field, const std::string& text) override;
  bool RememberPassword() const override;
  void SetRememberPassword(bool checked) override;
  void VarRowsChanged(int rows) override;
  TSimpleFTP* FtpServer() override { return ftpServer; }
  void SetFtpParams() override;
  void SetModified() override;

  // ---- operations --------------------------------------------------------------
  void UpdateButtons();
  void UpdateCaption();
  void ClearFields();
  // By value: callers pass the project's own FileName, which closing clears.
  void OpenProject(std::string path);
  // True when the caller may go on replacing the project.
  bool CloseProject();
  // Rebuilds the History menu from the registry.
  void FillHistory();
  void ftpServerTransferProgress(plat::TObject* Sender, const TFTPProgressInfo& ProgressInfo);

  // ---- handlers ------------------------------------------------------------------
  void FormCreate();
  void FormShow();
  void FormCloseQuery(bool& CanClose);
  void sbNewClick();
  // The New command: closes the project first, which then clears it.
  void miNewClick();
  void miOpenClick();
  void sbSaveClick();
  void miSaveAsClick();
  void sbDeleteClick();
  void HistoryItemClick(const std::string& hint);
  void miExitClick();
  void btnUploadClick();
  void miUploadAllFilesClick();
  void miDeleteFilesClick();
  void edtPathChange();
  void edtFTPHostChange();
  void edtFTPLoginChange();
  void edtFTPPasswordChange();
  void edtFTPPathChange();
  void chbRememClick();
  void sbChooseDirClick();
  void sbOpenInBrowserClick();
  void sbOpenInExplorerClick();
  void sbVariablesClick();
  void miContentClick();
  void miAboutClick();

 signals:
  // The window closed after its close query allowed it: the program ends.
  void Closed();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildMenus();
  void BuildToolbar();
  void BuildFields();
  QLineEdit* Field(TProjectField field) const;
  // Saves as sbSaveClick does; false when the save dialog was cancelled.
  bool SaveProject();
  // For closing: a failed save is reported and counts as not saved.
  bool SaveBeforeClose();

  // The upload and delete-old walks, reached through these.
  void RunUpload(bool onlyChanged);
  void RunDeleteOld();

  TWidgetForm Place_{this};
  bool Shown_ = false;
};

// The program's one main window (set while it exists).
extern TfrmMain* frmMain;
// The preview server, made and freed by the main window.
extern TWebServer* WebServer;

// Addresses the Help menu opens.
extern const char* const kGuidePage;
extern const char* const kProductPage;

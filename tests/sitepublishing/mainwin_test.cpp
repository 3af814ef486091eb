// The publishing main window offscreen: its layout as the user meets it, the
// enabling rules, the caption, start-up with and without a default project,
// every way of closing a project, History, and what it hands to the FTP
// component and the upload log.
#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <filesystem>

#include "ftpcomponents/PathDialog.h"
#include "ftpcomponents/SimpFTP.h"
#include "platform/qt/browsedialog.h"
#include "platform/qt/qtext.h"
#include "platform/registry/registry.h"
#include "platform/shell/browsefolder.h"
#include "sitepublishing/LogView.h"
#include "tests/sitepublishing/windows_fixture.h"
#include "tests/support/files.h"
#include "tests/support/wait.h"
#include "tests/support/walk_fakes.h"

using plat::FromQ;
using plat::ToQ;

namespace {

using pubtest::ProjectContent;
using testsupport::ReadFile;
using pubtest::Settle;

std::vector<std::string> MenuTexts(QMenu* menu) {
  std::vector<std::string> t;
  for (QAction* a : menu->actions()) t.push_back(a->isSeparator() ? "-" : FromQ(a->text()));
  return t;
}

std::vector<std::string> HistoryHints(QMenu* menu) {
  std::vector<std::string> t;
  for (QAction* a : menu->actions()) t.push_back(FromQ(a->data().toString()));
  return t;
}

// Where Tab goes from w.
QWidget* NextTabStop(QWidget* w) {
  for (QWidget* n = w->nextInFocusChain(); n && n != w; n = n->nextInFocusChain())
    if ((n->focusPolicy() & Qt::TabFocus) && n->isVisibleTo(w->window()) && n->isEnabled()) return n;
  return nullptr;
}

QAction* HistoryEntry(QMenu* menu, const std::string& caption) {
  for (QAction* a : menu->actions())
    if (FromQ(a->text()) == caption) return a;
  return nullptr;
}

class MainWindow : public pubtest::WindowsTest {
 protected:
  TfrmMain& W() { return *Main; }
  std::string Caption() { return FromQ(Main->windowTitle()); }
  // A saved project with a site folder, opened in the window.
  std::string OpenSavedProject(const std::string& name = "site.zvp") {
    ProjectContent p;
    p.Path = Folder("www");
    p.Host = "ftp.example.net";
    p.Login = "anna";
    p.Password = "secret";
    p.FTPPath = "/htdocs";
    std::string path = WriteProject(name, p);
    W().OpenProject(path);
    return path;
  }
};

TEST_F(MainWindow, LayoutMenusAndHints) {
  Start();
  std::vector<std::string> menus;
  for (QAction* a : W().menuBar()->actions()) menus.push_back(FromQ(a->text()));
  EXPECT_EQ(menus, (std::vector<std::string>{"&Project", "His&tory", "&Services", "&Help"}));
  EXPECT_EQ(MenuTexts(W().miProject),
            (std::vector<std::string>{"&New", "&Open...", "&Save", "Save &As...", "-", "E&xit"}));
  EXPECT_EQ(W().miSave->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
  EXPECT_EQ(MenuTexts(W().miUpload), (std::vector<std::string>{"Upload &Changed", "Upload &All", "-", "&Delete Old"}));
  EXPECT_EQ(MenuTexts(W().miHelp), (std::vector<std::string>{"&Content", "-", "&About"}));

  struct Button {
    QToolButton* B;
    int Left;
    const char* Hint;
  } buttons[] = {
      {W().sbNew, 3, "New"},
      {W().sbOpen, 34, "Open"},
      {W().sbSave, 65, "Save"},
      {W().sbDelete, 96, "Close and delete from history"},
      {W().sbUpload, 127, "Upload"},
      {W().sbOpenInBrowser, 158, "Open in browser"},
      {W().sbOpenInExplorer, 189, "Open in explorer"},
      {W().sbVariables, 220, "Variables"},
  };
  for (const Button& b : buttons) {
    EXPECT_EQ(b.B->geometry(), QRect(b.Left, 3, 31, 30)) << b.Hint;
    EXPECT_EQ(FromQ(b.B->toolTip()), b.Hint);
    EXPECT_EQ(FromQ(b.B->accessibleName()), b.Hint);
  }
  EXPECT_EQ(FromQ(W().sbChooseDir->toolTip()), "Select Directory");

  EXPECT_EQ(FromQ(W().grbPath->title()), " Path ");
  EXPECT_EQ(FromQ(W().grbFTP->title()), " Ftp ");
  EXPECT_EQ(FromQ(W().GroupBox1->title()), " Don't upload files with ext ");
  EXPECT_TRUE(W().grbFTP->font().bold());
  EXPECT_FALSE(W().edtFTPHost->font().bold());
  EXPECT_EQ(FromQ(W().chbRemem->text()), "Remember ?");
  EXPECT_EQ(W().edtFTPPassword->echoMode(), QLineEdit::Password);
  // Screen readers: every edit is named, labels are buddies; the two fields
  // captioned "Path" are told apart by their names.
  for (auto [label, edit, caption, name] : {std::tuple{W().lblHost, W().edtFTPHost, "Host", "Host"},
                                            std::tuple{W().lblLogin, W().edtFTPLogin, "Login", "Login"},
                                            std::tuple{W().lblPassword, W().edtFTPPassword, "Password", "Password"},
                                            std::tuple{W().lblFTPPath, W().edtFTPPath, "Path", "Ftp Path"}}) {
    EXPECT_EQ(label->buddy(), edit) << name;
    EXPECT_EQ(FromQ(label->text()), caption);
    EXPECT_EQ(FromQ(edit->accessibleName()), name);
  }
  EXPECT_EQ(FromQ(W().edtPath->accessibleName()), "Path");
  // Tab order inside " Ftp ".
  EXPECT_EQ(NextTabStop(W().edtFTPHost), W().edtFTPLogin);
  EXPECT_EQ(NextTabStop(W().edtFTPLogin), W().edtFTPPassword);
  EXPECT_EQ(NextTabStop(W().edtFTPPassword), W().chbRemem);
  EXPECT_EQ(NextTabStop(W().chbRemem), W().edtFTPPath);
  EXPECT_EQ(W().lblStatus->text(), QString());
  EXPECT_GE(W().centralWidget()->width(), 302);
  EXPECT_GE(W().centralWidget()->height(), 382);
}

TEST_F(MainWindow, FtpComponentSettingsAndParameters) {
  Start();
  TSimpleFTP& ftp = *W().ftpServer;
  EXPECT_EQ(ftp.ConnectRetries(), 3);
  EXPECT_EQ(ftp.ConnectTimeout(), 300000);
  EXPECT_FALSE(ftp.EnableCache());
  EXPECT_EQ(ftp.Port, 21);
  EXPECT_FALSE(ftp.QuickProgress);
  EXPECT_FALSE(ftp.SilentExceptions);
  EXPECT_FALSE(ftp.Passive());
  EXPECT_EQ(ftp.FileSystemType(), ftUnix);
  EXPECT_EQ(W().FtpServer(), &ftp);
  EXPECT_EQ(Project->Form, static_cast<TProjectForm*>(&W()));
  EXPECT_EQ(Project->UploadLog, static_cast<TUploadLogView*>(UploadLog.get()));
  EXPECT_EQ(Project->DeleteLog, static_cast<TDeleteLogView*>(DeleteLog.get()));

  ftp.SetRemoteDir("/old");
  W().edtFTPHost->setText(QStringLiteral(" host "));
  W().edtFTPLogin->setText(QStringLiteral("user "));
  W().edtFTPPassword->setText(QStringLiteral(" pw"));
  W().SetFtpParams();
  EXPECT_EQ(ftp.HostName, " host ");
  EXPECT_EQ(ftp.UserName, "user ");
  EXPECT_EQ(ftp.Password, " pw");
  EXPECT_EQ(ftp.RemoteDir(), "");
}

TEST_F(MainWindow, EnablingRules) {
  Start();
  struct Case {
    const char* Name;
    const char *Path, *Host, *Login, *Password, *FTPPath;
    bool Modified;
    const char* FileName;
    bool Upload, Browse, Delete, Save;
  } cases[] = {
      {"all filled", "/srv/www", "h", "l", "p", "/x", false, "", true, true, false, false},
      {"remote path may be empty", "/srv/www", "h", "l", "p", "", false, "", true, true, false, false},
      {"password only blanks", "/srv/www", "h", "l", "   ", "/x", false, "", false, true, false, false},
      {"host missing", "/srv/www", "", "l", "p", "", false, "", false, true, false, false},
      {"login only blanks", "/srv/www", "h", " \t", "p", "", false, "", false, true, false, false},
      {"path only blanks", "  ", "h", "l", "p", "", false, "", false, false, false, false},
      {"modified", "", "", "", "", "", true, "", false, false, false, true},
      {"saved", "", "", "", "", "", false, "/x/a.zvp", false, false, true, false},
  };
  for (const Case& c : cases) {
    W().edtPath->setText(QString::fromLatin1(c.Path));
    W().edtFTPHost->setText(QString::fromLatin1(c.Host));
    W().edtFTPLogin->setText(QString::fromLatin1(c.Login));
    W().edtFTPPassword->setText(QString::fromLatin1(c.Password));
    W().edtFTPPath->setText(QString::fromLatin1(c.FTPPath));
    Project->Modified = c.Modified;
    Project->FileName = c.FileName;
    W().UpdateButtons();
    EXPECT_EQ(W().sbUpload->isEnabled(), c.Upload) << c.Name;
    for (QAction* a : {W().miUploadChangeFiles, W().miUploadAllFiles, W().miDeleteFiles})
      EXPECT_EQ(a->isEnabled(), c.Upload) << c.Name;
    EXPECT_EQ(W().sbOpenInBrowser->isEnabled(), c.Browse) << c.Name;
    EXPECT_EQ(W().sbOpenInExplorer->isEnabled(), c.Browse) << c.Name;
    EXPECT_EQ(W().sbDelete->isEnabled(), c.Delete) << c.Name;
    EXPECT_EQ(W().sbSave->isEnabled(), c.Save) << c.Name;
    EXPECT_TRUE(W().miSave->isEnabled()) << c.Name;
  }
}

TEST_F(MainWindow, TypingInAnyFieldEnablesSave) {
  Start();
  for (QWidget* field : std::initializer_list<QWidget*>{W().edtPath, W().edtFTPHost, W().edtFTPLogin,
                                                        W().edtFTPPassword, W().edtFTPPath, W().edtExclude,
                                                        W().chbRemem}) {
    W().ClearFields();
    ASSERT_FALSE(W().sbSave->isEnabled());
    if (auto* box = qobject_cast<QCheckBox*>(field)) {
      box->click();
    } else {
      QTest::keyClicks(field, QStringLiteral("x"));
    }
    EXPECT_TRUE(Project->Modified) << FromQ(field->objectName());
    EXPECT_TRUE(W().sbSave->isEnabled()) << FromQ(field->objectName());
  }
}

TEST_F(MainWindow, StartWithoutDefaultProjectGivesClearedFields) {
  Start();
  EXPECT_EQ(Caption(), "Zentavo");
  EXPECT_EQ(FromQ(W().edtExclude->text()), "zvp:inc:");
  EXPECT_TRUE(W().chbRemem->isChecked());
  for (QLineEdit* e : {W().edtPath, W().edtFTPHost, W().edtFTPLogin, W().edtFTPPassword, W().edtFTPPath})
    EXPECT_TRUE(e->text().isEmpty());
  EXPECT_FALSE(Project->Modified);
  EXPECT_FALSE(W().sbSave->isEnabled());
  // An empty History menu stays enabled.
  EXPECT_TRUE(W().miProjectList->actions().isEmpty());
  EXPECT_TRUE(W().miProjectList->isEnabled());
  EXPECT_TRUE(W().miProjectList->menuAction()->isEnabled());
}

// The caption is the program's from the window's making on, also when the
// registry cannot be read on the way to the default project.
TEST_F(MainWindow, CaptionBeforeAndWithoutTheDefaultProject) {
  testsupport::WriteFile(Home.MakeFolder("registry") + "/current-user.reg", "[Software\\Korvane\nnot a value\n");
  Main = std::make_unique<TfrmMain>();
  EXPECT_EQ(Caption(), "Zentavo");
  WebServer->SetPort(testsupport::FreeLoopbackPort());
  Main->show();
  Settle();
  EXPECT_EQ(Caption(), "Zentavo");
  ASSERT_FALSE(Rec.Errors.empty());
  EXPECT_NE(Rec.Errors[0].find("damaged"), std::string::npos) << Rec.Errors[0];
}

TEST_F(MainWindow, StartOpensTheDefaultProject) {
  ProjectContent p;
  p.Path = Folder("www");
  p.Host = "ftp.example.net";
  p.Login = "anna";
  p.FTPPath = "/htdocs";
  p.Exclude = "zvp:";
  p.Variables = {"title=45000.5=My Site"};
  std::string path = WriteProject("My Site.zvp", p);
  SetDefaultProject(path);
  Start();
  EXPECT_EQ(Caption(), "Zentavo - My Site");
  EXPECT_EQ(Project->FileName, path);
  EXPECT_EQ(FromQ(W().edtPath->text()), p.Path);
  EXPECT_EQ(FromQ(W().edtFTPHost->text()), "ftp.example.net");
  EXPECT_EQ(FromQ(W().edtExclude->text()), "zvp:");
  // The password was not stored: the box is cleared and the user is asked
  // for it by the focus.
  EXPECT_FALSE(W().chbRemem->isChecked());
  EXPECT_EQ(W().focusWidget(), W().edtFTPPassword);
  EXPECT_FALSE(Project->Modified);
  EXPECT_FALSE(W().sbSave->isEnabled());
  EXPECT_TRUE(W().sbDelete->isEnabled());
  ASSERT_EQ(VarList->Count(), 3);
  EXPECT_EQ(Vars->RowCount(), 3);
  EXPECT_EQ(HistoryHints(W().miProjectList), std::vector<std::string>{path});
  EXPECT_EQ(FromQ(W().miProjectList->actions()[0]->text()), "&1 My Site");
}

TEST_F(MainWindow, ADefaultProjectThatHasGoneStartsANewProject) {
  SetDefaultProject(Path("gone.zvp"));
  Start();
  EXPECT_EQ(Caption(), "Zentavo");
  EXPECT_TRUE(Project->FileName.empty());
  EXPECT_TRUE(Rec.Errors.empty());
}

TEST_F(MainWindow, SavedAndModifiedIsSavedSilentlyOnClose) {
  Start();
  std::string path = OpenSavedProject();
  W().edtFTPHost->setText(QStringLiteral("ftp.other.net"));
  ASSERT_TRUE(Project->Modified);
  EXPECT_TRUE(W().CloseProject());
  EXPECT_TRUE(Rec.Questions.empty());
  EXPECT_NE(ReadFile(path).find("FTPHost=ftp.other.net\r\n"), std::string::npos);
  // Then New: the fields are cleared and the project is new.
  EXPECT_TRUE(Project->FileName.empty());
  EXPECT_TRUE(W().edtFTPHost->text().isEmpty());
  EXPECT_EQ(Caption(), "Zentavo");
}

TEST_F(MainWindow, NewAndModifiedAsksBeforeClosing) {
  Start();
  struct Case {
    const char* Name;
    int Answer;
    std::optional<std::string> SaveAs;
    bool Result, Saved;
  } cases[] = {
      {"yes, saved under a name", plat::mrYes, "asked.zvp", true, true},
      {"no", plat::mrNo, std::nullopt, true, false},
      {"cancel", plat::mrCancel, std::nullopt, false, false},
      // The edits stay when the save dialog is cancelled after Yes.
      {"yes, then the save dialog cancelled", plat::mrYes, std::nullopt, false, false},
  };
  for (const Case& c : cases) {
    W().sbNewClick();
    W().edtFTPLogin->setText(QStringLiteral("bob"));
    Rec.Questions.clear();
    Rec.Answers = {c.Answer};
    if (c.Answer == plat::mrYes) Rec.SaveAnswers = {c.SaveAs ? std::optional(Path(*c.SaveAs)) : std::nullopt};
    EXPECT_EQ(W().CloseProject(), c.Result) << c.Name;
    ASSERT_EQ(Rec.Questions.size(), 1u) << c.Name;
    EXPECT_EQ(Rec.Questions[0].Text, "Save project ?");
    EXPECT_EQ(Rec.Questions[0].Buttons, plat::mbYes | plat::mbNo | plat::mbCancel);
    EXPECT_EQ(Rec.Questions[0].Type, plat::mtConfirmation);
    if (c.Saved) {
      EXPECT_NE(ReadFile(Path(*c.SaveAs)).find("FTPLogin=bob\r\n"), std::string::npos) << c.Name;
    }
    // Closed: cleared; kept: everything as it was.
    EXPECT_EQ(W().edtFTPLogin->text().isEmpty(), c.Result) << c.Name;
    EXPECT_EQ(Project->Modified, !c.Result) << c.Name;
  }
}

TEST_F(MainWindow, CancelOnExitKeepsTheWindowOpen) {
  Start();
  W().edtFTPHost->setText(QStringLiteral("h"));
  Rec.Answers = {plat::mrCancel};
  EXPECT_FALSE(W().close());
  EXPECT_TRUE(W().isVisible());
  EXPECT_EQ(FromQ(W().edtFTPHost->text()), "h");

  // Yes, then no file name: still open, still modified.
  Rec.Answers = {plat::mrYes};
  Rec.SaveAnswers = {std::nullopt};
  W().miExit->trigger();
  EXPECT_TRUE(W().isVisible());
  EXPECT_TRUE(Project->Modified);

  Rec.Answers = {plat::mrNo};
  W().miExit->trigger();
  EXPECT_FALSE(W().isVisible());
}

TEST_F(MainWindow, AFailedSaveKeepsTheEditsOnNewOpenAndExit) {
  Start();
  OpenSavedProject();
  // The file's folder goes away, so the silent save on closing fails.
  std::filesystem::rename(Dir + "/site.zvp", Path("moved.zvp"));
  Project->FileName = Path("no-such-folder/site.zvp");
  W().edtFTPHost->setText(QStringLiteral("ftp.edited.net"));

  W().miNew->trigger();
  EXPECT_EQ(FromQ(W().edtFTPHost->text()), "ftp.edited.net");
  Rec.OpenAnswers = {Path("moved.zvp")};
  W().miOpen->trigger();
  EXPECT_EQ(FromQ(W().edtFTPHost->text()), "ftp.edited.net");
  EXPECT_FALSE(W().close());
  EXPECT_TRUE(W().isVisible());
  EXPECT_TRUE(Project->Modified);
  EXPECT_EQ(Rec.Errors.size(), 3u);
  EXPECT_TRUE(Rec.Questions.empty());
}

// Save on a project without changes that fails: what the window shows is
// not on the disk, so Save stays on offer and closing tries again.
TEST_F(MainWindow, AFailedSaveOfAnUnchangedProjectIsStillToBeSaved) {
  Start();
  OpenSavedProject();
  ASSERT_FALSE(W().sbSave->isEnabled());
  Project->FileName = Path("no-such-folder/site.zvp");
  W().miSave->trigger();
  EXPECT_EQ(Rec.Errors.size(), 1u);
  EXPECT_TRUE(Project->Modified);
  EXPECT_TRUE(W().sbSave->isEnabled());
  EXPECT_FALSE(W().close());
  EXPECT_EQ(Rec.Errors.size(), 2u);
  EXPECT_TRUE(Rec.Questions.empty());
}

TEST_F(MainWindow, AFailedLoadLeavesNoFileNameToSaveOver) {
  Start();
  OpenSavedProject();
  const std::string broken = Folder("broken.zvp");  // a folder cannot be read as a project
  Rec.OpenAnswers = {broken};
  W().miOpen->trigger();
  EXPECT_EQ(Rec.Errors.size(), 1u);
  EXPECT_TRUE(Project->FileName.empty());
  EXPECT_EQ(Caption(), "Zentavo");
  EXPECT_FALSE(W().sbDelete->isEnabled());
  // An edit then closing asks first: nothing is written silently.
  W().edtFTPHost->setText(QStringLiteral("h"));
  Rec.Answers = {plat::mrNo};
  EXPECT_TRUE(W().CloseProject());
  EXPECT_EQ(Rec.QuestionTexts(), std::vector<std::string>{"Save project ?"});
  EXPECT_TRUE(std::filesystem::is_directory(broken));
}

TEST_F(MainWindow, SaveAndSaveAs) {
  Start();
  W().edtPath->setText(ToQ(Folder("www")));
  // A new project asks for a name; cancelling saves nothing.
  Rec.SaveAnswers = {std::nullopt};
  W().sbSave->click();
  EXPECT_TRUE(Project->Modified);
  ASSERT_EQ(Rec.SaveRequests.size(), 1u);
  EXPECT_EQ(Rec.SaveRequests[0].Filter, "Zentavo Projects|*.zvp|All Files|*.*");
  EXPECT_EQ(Rec.SaveRequests[0].DefaultExt, "zvp");
  EXPECT_EQ(Rec.SaveRequests[0].FileName, "");

  Rec.SaveAnswers = {Path("first.zvp")};
  QTest::keyClick(&W(), Qt::Key_S, Qt::ControlModifier);
  EXPECT_FALSE(Project->Modified);
  EXPECT_FALSE(W().sbSave->isEnabled());
  EXPECT_EQ(Caption(), "Zentavo - first");
  EXPECT_TRUE(std::filesystem::exists(Path("first.zvp")));

  Rec.SaveAnswers = {Path("second.zvp")};
  W().miSaveAs->trigger();
  EXPECT_EQ(Caption(), "Zentavo - second");
  EXPECT_EQ(HistoryHints(W().miProjectList), (std::vector<std::string>{Path("first.zvp"), Path("second.zvp")}));
  EXPECT_EQ(Rec.SaveRequests.size(), 3u);
}

TEST_F(MainWindow, HistoryEntriesOpenTheirProjects) {
  Start();
  ProjectContent a, b;
  a.Host = "a.example";
  b.Host = "b.example";
  std::string pa = WriteProject("alpha.zvp", a);
  std::string pb = WriteProject("beta.zvp", b);
  W().OpenProject(pb);
  W().OpenProject(pa);
  ASSERT_EQ(MenuTexts(W().miProjectList), (std::vector<std::string>{"&1 alpha", "&2 beta"}));
  EXPECT_TRUE(W().miProjectList->isEnabled());
  HistoryEntry(W().miProjectList, "&2 beta")->trigger();
  Settle();
  EXPECT_EQ(FromQ(W().edtFTPHost->text()), "b.example");
  EXPECT_EQ(Caption(), "Zentavo - beta");
  // A file that has gone leaves the menu and its number.
  std::filesystem::remove(pa);
  W().FillHistory();
  EXPECT_EQ(MenuTexts(W().miProjectList), std::vector<std::string>{"&2 beta"});
}

TEST_F(MainWindow, CloseAndDeleteFromHistory) {
  Start();
  std::string path = OpenSavedProject();
  W().edtFTPPath->setText(QStringLiteral("/changed"));

  Rec.Answers = {plat::mrCancel};
  W().sbDelete->click();
  EXPECT_EQ(Project->FileName, path);
  EXPECT_EQ(HistoryHints(W().miProjectList), std::vector<std::string>{path});

  Rec.Answers = {plat::mrOk};
  W().sbDelete->click();
  ASSERT_EQ(Rec.Questions.size(), 2u);
  EXPECT_EQ(Rec.Questions[1].Text, "Close project ?");
  EXPECT_EQ(Rec.Questions[1].Buttons, plat::mbOK | plat::mbCancel);
  // Saved first, then closed and gone from the History.
  EXPECT_NE(ReadFile(path).find("FTPPath=/changed\r\n"), std::string::npos);
  EXPECT_TRUE(Project->FileName.empty());
  EXPECT_TRUE(W().edtPath->text().isEmpty());
  EXPECT_TRUE(W().miProjectList->actions().isEmpty());
  EXPECT_TRUE(W().miProjectList->isEnabled());
  // It stays the default project, so the next start brings it back.
  EXPECT_EQ(Project->ReadDefaultProject(), path);
}

TEST_F(MainWindow, ChoosingTheFolderWithThePicker) {
  Start();
  const std::string www = Folder("www");
  W().edtPath->setText(ToQ(www + "/"));
  std::string offered;
  plat::SetBrowseForFolderHandler([&](const plat::BROWSEINFO& info, std::string& path) {
    offered = info.Title;
    EXPECT_EQ(info.Flags, plat::BIF_RETURNONLYFSDIRS);
    path = www + "/img";
    return true;
  });
  Project->Modified = false;
  W().sbChooseDir->click();
  plat::SetBrowseForFolderHandler(nullptr);
  EXPECT_EQ(offered, "Enter path for upload");
  EXPECT_EQ(W().pdPath->RootItem, riDesktop);
  EXPECT_EQ(FromQ(W().edtPath->text()), www + "/img");
  EXPECT_TRUE(Project->Modified);
}

// The picker opens on the folder in the path field, and the user must see
// it: many folders sort before it, so it lies far below the tree's top.
TEST_F(MainWindow, ThePickerShowsTheFolderOfThePathField) {
  Start();
  const int siblings = 60;
  for (int i = 0; i < siblings; ++i) Folder("sites/a" + std::to_string(100 + i));
  const std::string parent = Folder("sites");
  const std::string target = Folder("sites/zz");
  W().edtPath->setText(ToQ(target));
  plat::InstallQtBrowseForFolder();
  std::string selected;
  bool listed = false;
  bool visible = false;
  QTimer timer;
  timer.setInterval(20);
  QElapsedTimer waited;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* dlg = qobject_cast<plat::TBrowseFolderDialog*>(QApplication::activeModalWidget());
    if (!dlg || !dlg->isVisible()) return;
    if (!waited.isValid()) waited.start();
    // The tree lists folders in the background. Once the target's parent is
    // listed and sorted (the target, last by name, is its last row), the
    // target must be the current item and come into view.
    auto* model = qobject_cast<QFileSystemModel*>(dlg->tvFolders->model());
    const QModelIndex item = model->index(ToQ(target));
    listed = model->rowCount(model->index(ToQ(parent))) == siblings + 1 && item.row() == siblings;
    const QModelIndex current = dlg->tvFolders->currentIndex();
    visible = listed && current == item &&
              dlg->tvFolders->viewport()->rect().intersects(dlg->tvFolders->visualRect(current));
    if (!visible && waited.elapsed() < testsupport::kPatienceMs) return;
    timer.stop();
    selected = dlg->SelectedPath();
    dlg->Buttons->button(QDialogButtonBox::Cancel)->click();
  });
  timer.start();
  W().sbChooseDir->click();
  plat::SetBrowseForFolderHandler(nullptr);
  EXPECT_TRUE(listed);
  EXPECT_EQ(selected, target);
  EXPECT_TRUE(visible);
  EXPECT_EQ(FromQ(W().edtPath->text()), target);
}

// The desktop's text is UTF-8, like the names in the file system and the
// pages the values go into: what is typed or picked reaches the project as
// those bytes, and a project's texts come back into the fields unchanged.
TEST_F(MainWindow, TextBeyondAsciiKeepsItsBytes) {
  Start();
  for (const char* name : {"caf\xc3\xa9", "\xd1\x81\xd0\xb0\xd0\xb9\xd1\x82"}) {
    const std::string site = Folder(name);
    W().edtPath->setText(QString::fromUtf8(site.c_str()));
    EXPECT_EQ(W().FieldText(pfPath), site);
    EXPECT_TRUE(WebServer->Active()) << site;
  }
  const std::string path = WriteProject("p.zvp", {.Path = Path("caf\xc3\xa9"), .Host = "ftp.example.org",
                                                  .Login = "j\xc3\xb6rg", .Password = "\xe2\x82\xac", .FTPPath = "/www", .Variables = {}});
  Rec.Answers = {plat::mrNo};  // the edits above are not kept
  Main->OpenProject(path);
  EXPECT_EQ(W().edtFTPLogin->text(), QString::fromUtf8("j\xc3\xb6rg"));
  W().edtFTPPath->setText(QStringLiteral("/site"));
  W().sbSaveClick();
  const std::string saved = ReadFile(path);
  for (const std::string& line : {"Path=" + Path("caf\xc3\xa9"), std::string("FTPLogin=j\xc3\xb6rg"),
                                 std::string("FTPPassword=\xe2\x82\xac")})
    EXPECT_NE(saved.find(line + "\r\n"), std::string::npos) << line;
}

TEST_F(MainWindow, ExplorerAndHelpOpenTheirTargets) {
  Start();
  W().edtPath->setText(ToQ(Folder("www")));
  W().sbOpenInExplorer->click();
  W().miContent->trigger();
  W().miAbout->trigger();
  EXPECT_EQ(Rec.Opened, (std::vector<std::string>{Path("www"), kGuidePage, kProductPage}));
}

// A folder named in the field is opened as that local folder, taken from
// the current folder as the preview server takes it, whatever it is named.
TEST_F(MainWindow, ExplorerOpensARelativeFolderAsALocalFolder) {
  Start();
  const std::string cwd = Folder("cwd");
  struct Cwd {
    std::string Old = std::filesystem::current_path().string();
    explicit Cwd(const std::string& to) { std::filesystem::current_path(to); }
    ~Cwd() { std::filesystem::current_path(Old); }
  } in(cwd);
  struct Case {
    std::string Field, Opened;
  } cases[] = {
      {"site", cwd + "/site"},
      {"./site", cwd + "/site"},
      {"site/", cwd + "/site"},
      {"example.com", cwd + "/example.com"},
      {"sub dir/www", cwd + "/sub dir/www"},
      {"../up", cwd + "/../up"},
      {cwd + "/abs", cwd + "/abs"},
  };
  for (const Case& c : cases) {
    Rec.Opened.clear();
    W().edtPath->setText(ToQ(c.Field));
    W().sbOpenInExplorer->click();
    EXPECT_EQ(Rec.Opened, std::vector<std::string>{c.Opened}) << c.Field;
  }
  // The folder the preview server serves is the one opened.
  Folder("cwd/site");
  W().edtPath->setText(QStringLiteral("./site"));
  ASSERT_TRUE(WebServer->Active());
  EXPECT_EQ(std::filesystem::canonical(WebServer->Root()), std::filesystem::canonical(cwd + "/site"));
}

TEST_F(MainWindow, OpenInBrowserWithTheServerStopped) {
  Start();
  const std::string site = Folder("www");
  struct Case {
    std::string Path;
    int Port;  // where the stopped server would begin its next search
    std::string Message;
  } cases[] = {
      {Path("missing"), 80, "Web Server error\r\nPath not found"},
      {Path("missing"), 8005, "Web Server error\r\nPath not found\r\nAvailable ports not found"},
      {site, 8004, "Web Server error\r\nAvailable ports not found"},
      {site, 8003, "Web Server error"},
  };
  for (const Case& c : cases) {
    Rec.Questions.clear();
    W().edtPath->setText(ToQ(c.Path));
    WebServer->Close();
    WebServer->SetPort(c.Port);
    W().sbOpenInBrowser->click();
    ASSERT_EQ(Rec.Questions.size(), 1u) << c.Message;
    EXPECT_EQ(Rec.Questions[0].Text, c.Message);
    EXPECT_EQ(Rec.Questions[0].Type, plat::mtError);
    EXPECT_EQ(Rec.Questions[0].Buttons, plat::mbOK);
  }
  EXPECT_TRUE(Rec.Opened.empty());
}

TEST_F(MainWindow, OpenInBrowserOnTheServersPort) {
  Start();
  W().edtPath->setText(ToQ(Folder("www")));
  ASSERT_TRUE(WebServer->Active());
  W().sbOpenInBrowser->click();
  EXPECT_EQ(Rec.Opened, std::vector<std::string>{"http://localhost:" + std::to_string(WebServer->Port())});

  // On port 80 the address has no port. Only a program allowed to listen
  // there can see it.
  WebServer->Close();
  WebServer->SetPort(80);
  W().edtExclude->setText(QStringLiteral("zvp:"));  // starts the server again
  if (!WebServer->Active() || WebServer->Port() != 80) GTEST_SKIP() << "port 80 is not ours to listen on";
  W().sbOpenInBrowser->click();
  EXPECT_EQ(Rec.Opened.back(), "http://localhost");
  EXPECT_TRUE(Rec.Questions.empty());
}

TEST_F(MainWindow, ThePreviewServerFollowsThePathField) {
  Start();
  EXPECT_FALSE(WebServer->Active());
  const std::string a = Folder("a"), b = Folder("b");
  W().edtPath->setText(ToQ(a));
  ASSERT_TRUE(WebServer->Active());
  EXPECT_EQ(WebServer->Root(), a);
  const int port = WebServer->Port();
  W().edtPath->setText(ToQ(b));
  EXPECT_EQ(WebServer->Root(), b);
  EXPECT_EQ(WebServer->Port(), port);
  W().edtPath->setText(ToQ(Path("missing")));
  EXPECT_FALSE(WebServer->Active());
  W().edtPath->setText(ToQ(a));
  EXPECT_TRUE(WebServer->Active());
  Rec.Answers = {plat::mrNo};  // not saved
  W().miNew->trigger();
  EXPECT_FALSE(WebServer->Active());
}

TEST_F(MainWindow, ThePreviewServesPagesWithTheirTagsFilled) {
  Start();
  const std::string site = Folder("www");
  testsupport::WriteFile(site + "/index.html", "<h1><ivar title></h1>");
  VarList->AddVar("title", "Our Pages", "1");
  W().edtPath->setText(ToQ(site));
  ASSERT_TRUE(WebServer->Active());
  std::string reply;
  testsupport::PumpWhile([&] {
    testsupport::RawClient c;
    if (!c.Connect("127.0.0.1", WebServer->Port())) return;
    c.Send("GET / HTTP/1.0\r\n\r\n");
    reply = c.ReadAll(10000);
  });
  EXPECT_NE(reply.find("<h1>Our Pages</h1>"), std::string::npos) << reply;
}

TEST_F(MainWindow, TransferProgressReachesTheUploadLog) {
  Start();
  walkfakes::UploadLog log;
  std::vector<std::pair<std::int64_t, std::int64_t>> progress;
  log.OnProgress = [&](std::int64_t done, std::int64_t size) { progress.emplace_back(done, size); };
  Project->UploadLog = &log;
  TFTPProgressInfo info;
  info.BytesDone = 4096;
  info.FileSize = 3'000'000'000LL;
  info.FileName = "big.bin";
  W().ftpServer->OnTransferProgress(W().ftpServer, info);
  EXPECT_EQ(progress, (std::vector<std::pair<std::int64_t, std::int64_t>>{{4096, 3'000'000'000LL}}));
}

}  // namespace

namespace {

TEST_F(MainWindow, PlacementOfTheMainAndVariablesWindowsIsKept) {
  Start();
  Vars->resize(450, 300);
  Vars->move(40, 50);
  Main.reset();
  Vars.reset();
  plat::TRegistry reg;
  for (const char* key : {"\\Software\\Korvane\\Zentavox\\frmMain", "\\Software\\Korvane\\Zentavox\\frmVars"}) {
    ASSERT_TRUE(reg.OpenKey(key, false)) << key;
    for (const char* value : {"Top", "Left", "Width", "Height", "WindowState"}) EXPECT_TRUE(reg.ValueExists(value)) << key << value;
  }
  EXPECT_EQ(reg.ReadInteger("Width"), 450);
  // The variables window comes back as it was left.
  TfrmVars again;
  EXPECT_EQ(again.size(), QSize(450, 300));
}

}  // namespace

// Install and uninstall in a private home: the mode the command line
// chooses, the install dialog driven offscreen, and what install leaves
// behind and uninstall takes away.
#include <sys/stat.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <functional>

#include "ftpcomponents/PathDialog.h"
#include "ftpcomponents/korvlib.h"
#include "platform/qt/qtext.h"
#include "platform/registry/registry.h"
#include "platform/shell/browsefolder.h"
#include "platform/sysutils/sysutils.h"
#include "sitepublishing/gui/Setup.h"
#include "tests/sitepublishing/windows_fixture.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;
using plat::FromQ;
using plat::ToQ;

namespace {

using testsupport::ReadFile;

TEST(SetupMode, ChosenByTheCommandLineAndTheExecutablesName) {
  struct Case {
    std::vector<std::string> Args;
    std::string Exe;
    TSetupMode Mode;
  } cases[] = {
      {{"/opt/Zentavox", "uninstall"}, "/opt/Zentavox", smUninstall},
      {{"/opt/Zentavox", "Uninstall"}, "/opt/Zentavox", smNormal},
      {{"/opt/Zentavox", "uninstall", "now"}, "/opt/Zentavox", smNormal},
      {{"/opt/Zentavox"}, "/opt/Zentavox", smNormal},
      {{"/opt/Zentavox", "/srv/site.zvp"}, "/opt/Zentavox", smNormal},
      // A copy: the executable itself bears the name.
      {{"/tmp/setup.exe"}, "/tmp/setup.exe", smInstall},
      {{"./SETUP.EXE"}, "/tmp/SETUP.EXE", smInstall},
      {{"Setup.Exe"}, "/tmp/Setup.Exe", smInstall},
      // A link: only the name started under bears it.
      {{"/tmp/setup.exe"}, "/opt/Zentavox", smInstall},
      {{"/tmp/SETUP.EXE"}, "/opt/Zentavox", smInstall},
      {{"/tmp/Setup.Exe"}, "/opt/Zentavox", smInstall},
      {{"/tmp/setup.exe", "uninstall"}, "/tmp/setup.exe", smUninstall},
      {{"/tmp/mysetup.exe"}, "/tmp/mysetup.exe", smNormal},
      {{"/tmp/setup"}, "/tmp/setup", smNormal},
      {{"/tmp/setup.exe.bak"}, "/tmp/setup.exe.bak", smNormal},
      {{"/tmp/setup.exe/Zentavox"}, "/tmp/setup.exe/Zentavox", smNormal},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SetupModeOf(c.Args, c.Exe), c.Mode) << c.Args[0] << " / " << c.Exe << " / " << c.Args.size();
  }
}

class Install : public pubtest::WindowsTest {
 protected:
  void SetUp() override {
    pubtest::WindowsTest::SetUp();
    Dialog = std::make_unique<TfrmSetup>();
    Dialog->show();
    pubtest::Settle();
  }
  void TearDown() override {
    Dialog.reset();
    pubtest::WindowsTest::TearDown();
  }
  static std::string UninstallValue(const std::string& name) {
    plat::TRegistry reg;
    reg.SetRootKey(plat::HKEY_LOCAL_MACHINE);
    if (!reg.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall\\Zentavo", false)) return "<none>";
    return reg.ReadString(name);
  }
  static bool Executable(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
  }
  std::string Desktop() const { return Home.Home() + "/Desktop/Zentavo.desktop"; }
  std::string StartMenu() const { return Home.DataDir() + "/applications/Zentavo/Zentavo.desktop"; }
  std::unique_ptr<TfrmSetup> Dialog;
};

TEST_F(Install, TheDialogAsItOpens) {
  EXPECT_EQ(FromQ(Dialog->windowTitle()), "Zentavo Setup");
  EXPECT_EQ(FromQ(Dialog->edtPath->text()), Home.Home() + "/.local/opt/Zentavox");
  EXPECT_TRUE(Dialog->cbxDesktop->isChecked());
  EXPECT_EQ(FromQ(Dialog->cbxDesktop->text()), "Create shortcut on desktop");
  EXPECT_TRUE(Dialog->btnInstall->isDefault());
  EXPECT_EQ(FromQ(Dialog->btnClose->text()), "Close");
  EXPECT_EQ(Dialog->pdPath->Title, "Select the directory for install");
  EXPECT_EQ(Dialog->pdPath->RootItem, riDesktop);
  Dialog->btnClose->click();
  EXPECT_EQ(Dialog->result(), QDialog::Rejected);
}

TEST_F(Install, InstallsTheProgramAndItsShortcuts) {
  const std::string folder = Path("Programs/Zentavox");
  Dialog->edtPath->setText(ToQ(folder));
  Dialog->btnInstall->click();
  EXPECT_TRUE(Rec.Errors.empty());
  EXPECT_EQ(Dialog->result(), QDialog::Accepted);
  EXPECT_FALSE(Dialog->isVisible());
  const std::string exe = folder + "/Zentavox";
  ASSERT_TRUE(Executable(exe));
  EXPECT_EQ(fs::file_size(exe), fs::file_size(plat::ExeName()));
  for (const std::string& entry : {StartMenu(), Desktop()}) {
    std::string text = ReadFile(entry);
    EXPECT_NE(text.find("Exec=" + exe + "\n"), std::string::npos) << entry << "\n" << text;
    EXPECT_NE(text.find("Name=Zentavo\n"), std::string::npos) << entry;
  }
  EXPECT_EQ(UninstallValue("DisplayName"), "Zentavo");
  EXPECT_EQ(UninstallValue("UninstallString"), exe + " uninstall");
}

TEST_F(Install, WithoutTheDesktopShortcut) {
  Dialog->edtPath->setText(ToQ(Path("opt/Zentavox")));
  Dialog->cbxDesktop->setChecked(false);
  Dialog->btnInstall->click();
  EXPECT_TRUE(fs::exists(StartMenu()));
  EXPECT_FALSE(fs::exists(Desktop()));
  EXPECT_EQ(UninstallValue("DisplayName"), "Zentavo");
}

TEST_F(Install, AFolderThatCannotBeMadeStopsTheSteps) {
  testsupport::WriteFile(Path("blocker"), "a file, not a folder");
  Dialog->edtPath->setText(ToQ(Path("blocker/Zentavox")));
  Dialog->btnInstall->click();
  ASSERT_EQ(Rec.Errors.size(), 1u);
  EXPECT_NE(Rec.Errors[0].find("blocker"), std::string::npos) << Rec.Errors[0];
  EXPECT_TRUE(Dialog->isVisible());
  EXPECT_EQ(Dialog->result(), 0);
  EXPECT_FALSE(fs::exists(StartMenu()));
  EXPECT_FALSE(fs::exists(Desktop()));
  EXPECT_EQ(UninstallValue("DisplayName"), "<none>");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  // Another try with a good folder works.
  Dialog->edtPath->setText(ToQ(Path("good/Zentavox")));
  Dialog->btnInstall->click();
  EXPECT_EQ(Dialog->result(), QDialog::Accepted);
}

TEST_F(Install, ChoosingTheFolderAddsTheFoldersOwnName) {
  struct Case {
    std::optional<std::string> Chosen;  // nullopt: cancelled
    std::string Field;
  } cases[] = {
      {"/opt/tools", "/opt/tools/Zentavox"},
      {"/opt/Zentavox", "/opt/Zentavox"},
      {"/opt/zentaVOX", "/opt/zentaVOX"},
      {"/opt/MyZentavox", "/opt/MyZentavox"},
      {"/ab", "/ab/Zentavox"},
      {std::nullopt, "/ab/Zentavox"},
  };
  std::string offered;
  for (const Case& c : cases) {
    plat::SetBrowseForFolderHandler([&](const plat::BROWSEINFO& info, std::string& path) {
      offered = info.Title;
      if (!c.Chosen) return false;
      path = *c.Chosen;
      return true;
    });
    Dialog->sbChooseDir->click();
    EXPECT_EQ(FromQ(Dialog->edtPath->text()), c.Field) << (c.Chosen ? *c.Chosen : "cancelled");
  }
  plat::SetBrowseForFolderHandler(nullptr);
  EXPECT_EQ(offered, "Select the directory for install");
}

TEST_F(Install, UninstallAnsweredOkAndCancel) {
  const std::string folder = Path("opt/Zentavox");
  Dialog->edtPath->setText(ToQ(folder));
  Dialog->btnInstall->click();
  ASSERT_TRUE(fs::exists(Desktop()));

  Rec.Answers = {plat::mrCancel};
  Uninstall();
  EXPECT_TRUE(fs::exists(Desktop()));
  EXPECT_TRUE(fs::exists(StartMenu()));
  EXPECT_EQ(UninstallValue("DisplayName"), "Zentavo");

  Rec.Answers = {plat::mrOk};
  Uninstall();
  ASSERT_EQ(Rec.Questions.size(), 2u);
  EXPECT_EQ(Rec.Questions[1].Text, "Remove Zentavo ?");
  EXPECT_EQ(Rec.Questions[1].Buttons, plat::mbOK | plat::mbCancel);
  EXPECT_FALSE(fs::exists(Desktop()));
  EXPECT_FALSE(fs::exists(StartMenu()));
  EXPECT_FALSE(fs::exists(fs::path(StartMenu()).parent_path()));
  EXPECT_EQ(UninstallValue("DisplayName"), "<none>");
  // The program and its folder stay.
  EXPECT_TRUE(Executable(folder + "/Zentavox"));
}

TEST_F(Install, UninstallKeepsAFolderThatHoldsMore) {
  Dialog->edtPath->setText(ToQ(Path("opt/Zentavox")));
  Dialog->cbxDesktop->setChecked(false);
  Dialog->btnInstall->click();
  testsupport::WriteFile(fs::path(StartMenu()).parent_path().string() + "/other.desktop", "[Desktop Entry]\n");
  Rec.Answers = {plat::mrOk};
  Uninstall();
  EXPECT_FALSE(fs::exists(StartMenu()));
  EXPECT_TRUE(fs::exists(fs::path(StartMenu()).parent_path()));
  EXPECT_EQ(UninstallValue("DisplayName"), "<none>");
}

// The path is quoted where a command line reads it: in the Uninstall
// command and in the shortcuts' Exec lines.
TEST_F(Install, AFolderWithABlankAndANonAsciiLetter) {
  const std::string folder = Path("Meine Pr\xc3\xbc" "fung/Zentavox");
  Dialog->edtPath->setText(QString::fromUtf8(folder.c_str()));
  Dialog->btnInstall->click();
  ASSERT_TRUE(Rec.Errors.empty()) << Rec.Errors[0];
  const std::string exe = folder + "/Zentavox";
  ASSERT_TRUE(Executable(exe));
  EXPECT_EQ(UninstallValue("UninstallString"), "\"" + exe + "\" uninstall");
  for (const std::string& entry : {StartMenu(), Desktop()}) {
    EXPECT_NE(ReadFile(entry).find("\nExec=\"" + exe + "\"\n"), std::string::npos) << entry << "\n" << ReadFile(entry);
  }
}

// A registry that uninstall cannot use: the error box, status 1 and the
// entry still listed, so nothing half removed passes for removed.
TEST_F(Install, UninstallWithADamagedOrUnlockableRegistryReportsTheError) {
  Dialog->edtPath->setText(ToQ(Path("opt/Zentavox")));
  Dialog->btnInstall->click();
  ASSERT_TRUE(Rec.Errors.empty());
  Dialog.reset();
  const std::string machine = Home.RegistryDir() + "/local-machine.reg";
  const std::string user = Home.RegistryDir() + "/current-user.reg";
  const std::string machineText = ReadFile(machine);
  const std::string userText = fs::exists(user) ? ReadFile(user) : std::string();
  struct Case {
    const char* What;
    std::function<void()> Break, Mend;
    const char* Error;
    bool ShortcutsStay;  // the shell folders are read first, from the user's root
  } cases[] = {
      {"damaged machine root", [&] { testsupport::WriteFile(machine, machineText + "[Software\n"); },
       [&] { testsupport::WriteFile(machine, machineText); }, "damaged", false},
      {"machine root that cannot be locked", [&] {
         fs::remove(machine + ".lock");
         fs::create_directory(machine + ".lock");
       },
       [&] { fs::remove(machine + ".lock"); }, "Cannot lock", false},
      {"damaged user root", [&] { testsupport::WriteFile(user, "no key\n"); },
       [&] { testsupport::WriteFile(user, userText); }, "damaged", true},
  };
  plat::SetCommandLine(std::vector<std::string>{"/opt/Zentavox", "uninstall"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    // The shortcuts as install leaves them.
    CreateShortcut(StartMenu(), "/opt/Zentavox/Zentavox");
    CreateShortcut(Desktop(), "/opt/Zentavox/Zentavox");
    c.Break();
    Rec.Errors.clear();
    Rec.Answers = {plat::mrOk};
    int rc = -1;
    EXPECT_FALSE(CheckSetupMode(&rc));
    EXPECT_EQ(rc, 1);
    ASSERT_EQ(Rec.Errors.size(), 1u);
    EXPECT_NE(Rec.Errors[0].find(c.Error), std::string::npos) << Rec.Errors[0];
    c.Mend();
    EXPECT_EQ(UninstallValue("DisplayName"), "Zentavo");
    EXPECT_EQ(fs::exists(StartMenu()), c.ShortcutsStay);
    EXPECT_EQ(fs::exists(Desktop()), c.ShortcutsStay);
  }
  // With the registry whole again, the same uninstall goes through.
  Rec.Errors.clear();
  Rec.Answers = {plat::mrOk};
  int rc = -1;
  EXPECT_FALSE(CheckSetupMode(&rc));
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(Rec.Errors.empty());
  EXPECT_EQ(UninstallValue("DisplayName"), "<none>");
  EXPECT_FALSE(fs::exists(Desktop()));
  plat::SetCommandLine(std::vector<std::string>{"setup_test"});
}

TEST_F(Install, CheckSetupModeRunsTheModeAndSaysWhetherToGoOn) {
  Dialog.reset();
  plat::SetCommandLine(std::vector<std::string>{"/opt/Zentavox", "uninstall"});
  Rec.Answers = {plat::mrCancel};
  EXPECT_FALSE(CheckSetupMode());
  EXPECT_EQ(Rec.QuestionTexts(), std::vector<std::string>{"Remove Zentavo ?"});

  plat::SetCommandLine(std::vector<std::string>{"/opt/Zentavox", "Uninstall"});
  EXPECT_TRUE(CheckSetupMode());

  // As setup.exe: the install dialog, answered by a timer.
  const std::string folder = Path("via-check/Zentavox");
  plat::SetCommandLine(std::vector<std::string>{Path("setup.exe")});
  QTimer::singleShot(0, [&] {
    ASSERT_NE(frmSetup, nullptr);
    frmSetup->edtPath->setText(ToQ(folder));
    frmSetup->btnInstall->click();
  });
  EXPECT_FALSE(CheckSetupMode());
  EXPECT_EQ(frmSetup, nullptr);
  EXPECT_TRUE(Executable(folder + "/Zentavox"));
  EXPECT_EQ(Rec.Questions.back().Text, "Application was successfully installed.");
  EXPECT_EQ(Rec.Questions.back().Type, plat::mtInformation);

  // Closed without installing: no message.
  Rec.Questions.clear();
  QTimer::singleShot(0, [&] { frmSetup->btnClose->click(); });
  EXPECT_FALSE(CheckSetupMode());
  EXPECT_TRUE(Rec.Questions.empty());
  plat::SetCommandLine(std::vector<std::string>{"setup_test"});
}

}  // namespace

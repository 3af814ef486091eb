#include "ftpcomponents/korvlib.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/shell/shell.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"

using plat::HKEY_LOCAL_MACHINE;
using testsupport::FolderEntries;
using testsupport::ReadFile;
using testsupport::WriteFile;
using plat::TRegistry;

namespace {

// A home, configuration and registry of the test's own.
class KorvlibTest : public ::testing::Test {
 protected:
  testsupport::PrivateHome Home;
  const std::string Files = Home.MakeFolder("files");
};

TEST_F(KorvlibTest, FolderLookUpsComeFromTheShellsRegistryValues) {
  const std::string home = Home.Home();
  EXPECT_EQ(GetProgramFilesDir(), home + "/.local/opt");
  EXPECT_EQ(GetDesktopDir(), home + "/Desktop");
  EXPECT_EQ(GetProgramsDir(), home + "/.local/share/applications");
  EXPECT_EQ(GetShellFolder("Favorites"), "");
  EXPECT_EQ(GetShellFolder("desktop"), "");  // value names are exact

  WriteFile(home + "/.config/user-dirs.dirs",
            "# written by the desktop\nXDG_DOCUMENTS_DIR=\"$HOME/Docs\"\nXDG_DESKTOP_DIR=\"$HOME/Arbeitsfl\xe4" "che\"\n");
  EXPECT_EQ(GetDesktopDir(), home + "/Arbeitsfl\xe4" "che");
  WriteFile(home + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/srv/desk\"\n");
  EXPECT_EQ(GetDesktopDir(), "/srv/desk");
  WriteFile(home + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"relative\"\n");
  EXPECT_EQ(GetDesktopDir(), home + "/Desktop");

  // A value a program stored itself wins over the system's.
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion", true));
  reg.WriteString("ProgramFilesDir", "/opt/progs");
  EXPECT_EQ(GetProgramFilesDir(), "/opt/progs");
}

TEST_F(KorvlibTest, ShortcutIsADesktopEntryInAFolderMadeForIt) {
  const std::string link = Files + "/Programs/Zentavo/Zentavo.desktop";
  CreateShortcut(link, "/home/me/.local/opt/Zentavox/Zentavox.exe");
  EXPECT_EQ(ReadFile(link),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Zentavo\n"
            "Exec=/home/me/.local/opt/Zentavox/Zentavox.exe\n");
  struct stat st {};
  ASSERT_EQ(::stat(link.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  // Writing it again replaces it whole; nothing temporary stays behind.
  CreateShortcut(link, "/opt/My Tools/run");
  EXPECT_NE(ReadFile(link).find("Exec=\"/opt/My Tools/run\"\n"), std::string::npos);
  EXPECT_EQ(FolderEntries(Files + "/Programs/Zentavo"), std::vector<std::string>{"Zentavo.desktop"});

  EXPECT_THROW(CreateShortcut("NoFolder.desktop", "/bin/true"), plat::EShellError);
  EXPECT_THROW(CreateShortcut(Files + "/x.desktop", "/bin/new\nline"), plat::EShellError);
  EXPECT_TRUE(FolderEntries(Files + "").size() == 1u);  // only Programs: the refused one left nothing
  WriteFile(Files + "/plain", "");
  EXPECT_THROW(CreateShortcut(Files + "/plain/x.desktop", "/bin/true"), plat::EShellError);
}

TEST(DesktopExec, QuotingOfTheTarget) {
  struct Case {
    std::string target, exec;
  };
  for (const Case& c : std::vector<Case>{
           {"/usr/bin/prog", "/usr/bin/prog"},
           {"/opt/a b/prog", "\"/opt/a b/prog\""},
           {"/opt/100%/prog", "/opt/100%%/prog"},
           {"/opt/it's", "\"/opt/it's\""},
           {"/opt/say \"hi\"", "\"/opt/say \\\\\"hi\\\\\"\""},
           {"/opt/$HOME", "\"/opt/\\\\$HOME\""},
           {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
           {"/opt/`cmd`", "\"/opt/\\\\`cmd\\\\`\""},
           {"/opt/a;b&c|d", "\"/opt/a;b&c|d\""},
           {"/opt/caf\xe9", "/opt/caf\xe9"},
           {"", "\"\""},
       }) {
    EXPECT_EQ(plat::DesktopExecArgument(c.target), c.exec) << c.target;
  }
  EXPECT_THROW(plat::DesktopExecArgument("a\tb"), plat::EShellError);
}

// The command lines kept in the registry are read as the shell reads them:
// each argument comes back from sh whole and byte for byte.
TEST(DesktopExec, CommandLineArgumentsComeBackFromTheShell) {
  for (const std::string& arg : {std::string("/usr/bin/prog"), std::string("/opt/My Tools/Zentavox"),
                                 std::string("/opt/Pr\xc3\xbc" "fung 2/Zentavox"), std::string("/opt/100%/x"),
                                 std::string("/opt/say \"hi\" $HOME `id` \\ 'q' *?;&|<>()#~"), std::string("")}) {
    const std::string line = "printf '[%s]' " + plat::CommandLineArgument(arg) + " uninstall";
    std::string out;
    FILE* sh = ::popen(("/bin/sh -c " + plat::CommandLineArgument(line)).c_str(), "r");
    ASSERT_NE(sh, nullptr);
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, sh)) > 0;) out.append(buf, n);
    EXPECT_EQ(::pclose(sh), 0) << line;
    EXPECT_EQ(out, "[" + arg + "][uninstall]") << line;
  }
  EXPECT_EQ(plat::CommandLineArgument("/opt/100%/x"), "/opt/100%/x");
  EXPECT_EQ(plat::CommandLineArgument("/opt/a b/x"), "\"/opt/a b/x\"");
  EXPECT_THROW(plat::CommandLineArgument("a\nb"), plat::EShellError);
}

TEST(DesktopExec, NameComesFromTheLinkFile) {
  plat::TShellLink link;
  link.SetPath("/bin/true");
  EXPECT_NE(link.DesktopEntry("/x/My Prog.v2.desktop").find("\nName=My Prog.v2\n"), std::string::npos);
  EXPECT_NE(link.DesktopEntry("/x/ lead\\x.lnk").find("\nName=\\slead\\\\x\n"), std::string::npos);
}

TEST_F(KorvlibTest, UninstallEntryIsWrittenAndRemovedWithEverythingBelow) {
  RegisterUninstall("Zentavo", "/opt/Zentavox/Zentavox.exe uninstall");
  RegisterUninstall("Other", "other uninstall");
  {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall\\zentavo", false));
    EXPECT_EQ(reg.ReadString("DisplayName"), "Zentavo");
    EXPECT_EQ(reg.ReadString("UninstallString"), "/opt/Zentavox/Zentavox.exe uninstall");
    ASSERT_TRUE(reg.OpenKey("Extra\\Deeper", true));
    reg.WriteInteger("n", 1);
  }
  UnregisterUninstall("Zentavo");
  UnregisterUninstall("Zentavo");  // already gone: no error
  EXPECT_THROW(UnregisterUninstall(""), plat::ERegistryException);
  EXPECT_THROW(UnregisterUninstall("\\Software"), plat::ERegistryException);
  EXPECT_THROW(UnregisterUninstall("..\\Other"), plat::ERegistryException);

  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(reg.KeyExists("\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall\\Zentavo"));
  ASSERT_TRUE(reg.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall\\Other", false));
  EXPECT_EQ(reg.ReadString("UninstallString"), "other uninstall");
}

TEST_F(KorvlibTest, CopyKeepsBytesAndModeAndReplacesTheTargetWhole) {
  std::string data;
  for (int i = 0; i < 200000; ++i) data += static_cast<char>(i * 7);  // NULs included, several blocks
  const std::string src = Files + "/prog", dst = Files + "/installed";
  WriteFile(src, data, 0750);
  WriteFile(dst, "old copy", 0600);
  ASSERT_EQ(::link(dst.c_str(), (Files + "/old-link").c_str()), 0);

  CopyFileByStreams(src, dst);
  EXPECT_EQ(ReadFile(dst), data);
  struct stat st {};
  ASSERT_EQ(::stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  // Renamed into place, not rewritten: another name of the old file keeps it.
  EXPECT_EQ(ReadFile(Files + "/old-link"), "old copy");

  CopyFileByStreams(src, Files + "/fresh");
  EXPECT_EQ(ReadFile(Files + "/fresh"), data);
  auto names = FolderEntries(Files);
  EXPECT_EQ(names.size(), 4u);  // prog, installed, old-link, fresh: no temporaries
}

TEST_F(KorvlibTest, CopyRefusesItselfAndReportsEveryFailure) {
  const std::string src = Files + "/prog";
  WriteFile(src, "precious", 0755);
  ASSERT_EQ(::symlink(src.c_str(), (Files + "/alias").c_str()), 0);
  ASSERT_EQ(::link(src.c_str(), (Files + "/hard").c_str()), 0);
  for (const std::string& same : {src, Files + "/alias", Files + "/hard", Files + "/../files/prog"}) {
    EXPECT_THROW(CopyFileByStreams(src, same), plat::EFCreateError) << same;
    EXPECT_EQ(ReadFile(src), "precious");
  }
  EXPECT_THROW(CopyFileByStreams(Files + "/missing", Files + "/out"), plat::EFOpenError);
  EXPECT_THROW(CopyFileByStreams(Files, Files + "/out"), plat::EFOpenError);  // a folder
  EXPECT_THROW(CopyFileByStreams(src, Files + "/no/such/folder/out"), plat::EFCreateError);
  EXPECT_EQ(FolderEntries(Files).size(), 3u);
}

TEST_F(KorvlibTest, CopyThatCannotBeWrittenLeavesTheOldTarget) {
  std::string data(256 * 1024, 'x');
  const std::string src = Files + "/big", dst = Files + "/dest";
  WriteFile(src, data);
  WriteFile(dst, "old");
  // A file-size limit makes the writes fail part-way.
  bool raised = false;
  {
    testsupport::FileSizeLimit limit(100 * 1024);
    ASSERT_TRUE(limit.Active());
    try {
      CopyFileByStreams(src, dst);
    } catch (const plat::EWriteError& e) {
      raised = true;
      EXPECT_NE(e.Message.find(dst), std::string::npos) << e.Message;
    }
  }
  EXPECT_TRUE(raised);
  EXPECT_EQ(ReadFile(dst), "old");
  EXPECT_EQ(FolderEntries(Files).size(), 2u);
}

// Every character is 10 pixels wide and every line 12 high.
struct FixedCanvas {
  std::vector<std::pair<int, int>> at;
  std::vector<std::string> lines;
  TTextCanvas canvas{
      [](const std::string& s) { return static_cast<int>(s.size()) * 10; },
      [](const std::string&) { return 12; },
      [this](int x, int y, const std::string& s) {
        at.push_back({x, y});
        lines.push_back(s);
      },
  };
};

TEST(WordWrap, BreaksAtTheLastBlankThatFits) {
  struct Case {
    std::string text;
    int width;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", 100, {" "}},                                    // the appended blank
      {"hello world", 200, {"hello world "}},              // fits: one line with the blank
      {"hello world", 60, {"hello ", "world "}},
      {"ab cd", 60, {"ab ", "cd "}},                       // exactly the width does not fit
      {"ab cd", 61, {"ab cd "}},
      {"abcdefghij", 35, {"abcd", "efgh", "ij "}},         // a long word is cut where it reaches W
      {"ab", 0, {"a", "b", " "}},                          // no width: one character a line
      {"ab", -5, {"a", "b", " "}},
      {"a   b", 30, {"a ", "  ", "b "}},                   // blanks can start a line
      {"one\r\ntwo", 200, {"one\r\ntwo "}},                // line ends are plain characters
      {"xx yy zz", 70, {"xx yy ", "zz "}},
  };
  for (const Case& c : cases) {
    FixedCanvas f;
    TRect r{5, 7, 5 + c.width, 9};
    DrawWrappedText(f.canvas, r, c.text);
    EXPECT_EQ(f.lines, c.lines) << "\"" << c.text << "\" in " << c.width;
    for (std::size_t i = 0; i < f.at.size(); ++i) {
      EXPECT_EQ(f.at[i], (std::pair<int, int>{5, 7 + 12 * static_cast<int>(i)}));
    }
    EXPECT_EQ(WrappedTextHeight(f.canvas, r, c.text), 12 * static_cast<int>(c.lines.size())) << c.text;
  }
}

TEST(WordWrap, HeightSumsTheHeightOfEachLine) {
  TTextCanvas canvas{
      [](const std::string& s) { return static_cast<int>(s.size()) * 10; },
      [](const std::string& s) { return s.find('g') != std::string::npos ? 15 : 12; },
      nullptr,
  };
  EXPECT_EQ(WrappedTextHeight(canvas, TRect{0, 100, 60, 0}, "big cat dog"), 15 + 12 + 15);
  // Extreme rectangles do not overflow the width.
  EXPECT_EQ(WrappedTextHeight(canvas, TRect{INT32_MIN, 0, INT32_MAX, 0}, "big cat"), 15);
}

}  // namespace

// Zentavox used as a person uses it: the built program started on a
// desktop of the test's own, read through what a screen reader reads,
// worked with real pointer and keyboard events. The desktop's browser is a
// stand-in that notes the address it is asked to open; the test then
// fetches the page from the program's preview server as a browser would.
// The FTP server is pyftpdlib, on the port the program always uses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/ftpservers/ftp_test_servers.h"
#include "platform/registry/registry.h"
#include "tests/support/desktop/desktop.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"
#include "tests/support/small_disk.h"
#include "tests/support/wait.h"

namespace {

using desktop::Node;
using desktop::Query;
using desktop::State;

// GET `path` from the loopback port; the whole answer, empty on failure.
std::string Fetch(int port, const std::string& path) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval patience{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buf[4096];
      for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

// The port of an address "http://host[:port]" (80 without one); 0 when it
// is no such address.
int PortOf(const std::string& url) {
  const std::string head = "http://";
  if (url.compare(0, head.size(), head) != 0) return 0;
  const std::string rest = url.substr(head.size());
  const std::size_t colon = rest.find(':');
  if (colon == std::string::npos) return 80;
  return std::atoi(rest.c_str() + colon + 1);
}

// A folder for what the folder picker shows. The picker lists the whole
// path from the top, and a folder that comes or goes above the picked one
// moves its rows: below the machine's shared temporary folder, where other
// programs make and remove folders all the time, rows would move under
// the pointer. Beside the tests' homes in the build tree it is quiet.
std::unique_ptr<testsupport::TempFolder> QuietFolder() {
  std::optional<testsupport::ScopedEnv> there;
  if (const char* build = std::getenv("SITETOOLS_BINARY_DIR")) there.emplace("TMPDIR", std::string(build) + "/test-home");
  return std::make_unique<testsupport::TempFolder>("zentavox-sites");
}

// pyftpdlib on port 21, where the program looks for FTP servers, of a
// loopback address of its own (one that another case holds is passed
// over); null when none could be had.
std::unique_ptr<ftptest::PyFtpdServer> FtpServerOnPort21(std::string& host) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    host = "127.0.0." + std::to_string(2 + (::getpid() + attempt) % 250);
    auto server = std::make_unique<ftptest::PyFtpdServer>();
    server->ListenOn(host, 21);
    std::string why;
    if (server->Start(why)) return server;
  }
  return nullptr;
}

class ZentavoxOnADesktop : public ::testing::Test {
 protected:
  // What a case needs in place before the program starts.
  virtual void BeforeStart() {}

  void SetUp() override {
    BeforeStart();
    if (HasFatalFailure() || IsSkipped()) return;
    std::string why;
    ASSERT_TRUE(Desk.Start(why)) << why;
    // The desktop's opener of addresses: it only notes what it was given.
    const std::string bin = Home.MakeFolder("bin");
    testsupport::WriteFile(bin + "/xdg-open", "#!/bin/sh\necho \"$1\" >> '" + Opened + "'\n", 0755);
    const char* path = std::getenv("PATH");
    App = std::make_unique<desktop::Program>(
        Desk, ZENTAVOX_PATH, std::vector<std::string>{}, std::string(),
        std::vector<std::string>{"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")});
    // Its caption names the default project once that is open.
    std::optional<Node> main = Desk.Find({"frame", "Zentavo", true});
    ASSERT_TRUE(main.has_value()) << "no main window";
    Main = *main;
  }

  void CloseAndExpectCleanEnd(const std::string& title) {
    ASSERT_TRUE(App->Running()) << "the program ended by itself: " << App->WaitExit(desktop::Ms(0)).value_or(-1);
    std::optional<unsigned long> w = Desk.WaitForWindow(title);
    ASSERT_TRUE(w.has_value()) << title;
    Desk.AskToClose(*w);
    std::optional<int> rc = App->WaitExit();
    ASSERT_TRUE(rc.has_value()) << "still running after the close";
    EXPECT_EQ(*rc, 0);
  }

  Node Edit(const std::string& name) { return Desk.Need({"text", name}, Main); }
  void ClickButton(const std::string& name, const std::optional<Node>& within) {
    Desk.Click(Desk.Extents(Desk.Need({"push button", name}, within)));
  }
  bool Shows(const Query& q) { return Desk.Find(q, desktop::Ms(0)).has_value(); }
  bool Enabled(const Node& n) { return Desk.Has(n, State::Enabled); }
  // A command of the menu bar: the menu, then its entry.
  void ChooseMenu(const std::string& menu, const std::string& entry) {
    Desk.Click(Desk.Extents(Desk.Need({"", menu}, Main)));
    std::optional<Node> item = Desk.Find({"menu item", entry});
    ASSERT_TRUE(item.has_value()) << "no menu entry " << entry;
    Desk.Click(Desk.Extents(*item));
  }
  // The rows of a log window, as a reader reads them.
  std::vector<std::string> LogLines(const Node& window) {
    std::vector<std::string> lines;
    std::optional<Node> log = Desk.Find({"list", "Log"}, desktop::Ms(0), window);
    if (log)
      for (const Node& row : Desk.Children(*log)) lines.push_back(Desk.Name(row));
    return lines;
  }
  // Waits until the log window's run is over: its last button reads Close.
  bool RunEnds(const Node& window) {
    return testsupport::WaitUntil([&] { return Desk.Find({"push button", "Close"}, desktop::Ms(0), window).has_value(); },
                                  static_cast<int>(desktop::kPatience.count()));
  }

  testsupport::PrivateHome Home{"zentavox-desktop"};
  const std::string Opened = Home.Path("opened.txt");
  desktop::Desktop Desk;
  std::unique_ptr<desktop::Program> App;
  Node Main;
};

// A project filled in by hand and saved under a name typed into the save
// dialog, a variable typed into the variables editor (Ctrl+N, then Esc to
// close it), the site folder picked in the folder picker in place of the
// one typed, that folder previewed through the program's web server with
// the variable filled in, and the close that saves the changed project
// without a question.
TEST_F(ZentavoxOnADesktop, FillsInSavesEditsAVariablePicksAFolderAndPreviews) {
  std::unique_ptr<testsupport::TempFolder> sites = QuietFolder();
  const std::string site = sites->MakeFolder("site");
  const std::string stage = sites->MakeFolder("stage");
  testsupport::WriteFile(site + "/index.html", "<html>site <iVar greeting></html>");
  testsupport::WriteFile(stage + "/index.html", "<html>stage</html>");

  Desk.TypeInto(Edit("Path"), stage);
  Desk.TypeInto(Edit("Host"), "127.0.0.1");
  Desk.TypeInto(Edit("Login"), "webmaster");
  Desk.TypeInto(Edit("Password"), "secret");
  Desk.TypeInto(Edit("Ftp Path"), "/www");

  // The variables editor: Ctrl+N adds a row whose name cell takes the
  // typing; Tab goes on to its value; Esc closes the window.
  ClickButton("Variables", Main);
  std::optional<Node> vars = Desk.Find({"table", "Variables"});
  ASSERT_TRUE(vars.has_value()) << "no variables window";
  Desk.Click(Desk.Extents(*vars));
  Desk.KeyWithHeld("ctrl", "n");
  Desk.Type("greeting");
  Desk.Key("Tab");
  Desk.Type("hello");
  Desk.Key("Return");
  EXPECT_TRUE(testsupport::WaitUntil([&] { return Desk.Find({"", "hello"}, desktop::Ms(0), vars).has_value(); }))
      << "the value does not show";
  Desk.Key("Escape");
  EXPECT_TRUE(testsupport::WaitUntil([&] { return !Shows({"table", "Variables"}); })) << "Esc left it open";

  // Ctrl+S on a new project asks for its file name first.
  const std::string project = Home.Path("My Site.zvp");
  Desk.Click(Desk.Extents(Edit("Host")));
  Desk.Key("ctrl+s");
  std::optional<Node> dialog = Desk.Find({"dialog", "", true});
  ASSERT_TRUE(dialog.has_value()) << "no save dialog";
  testsupport::WaitUntil([&] { return Desk.Find({"text", "", true}, desktop::Ms(0), dialog).has_value(); });
  Desk.Type(project);
  Desk.Key("Return");
  std::optional<Node> titled = Desk.Find({"frame", "Zentavo - My Site"});
  ASSERT_TRUE(titled.has_value()) << "the caption does not name the project";
  Main = *titled;
  std::string saved = testsupport::ReadFile(project);
  EXPECT_NE(saved.find("Path=" + stage + "\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("FTPLogin=webmaster\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\r\ngreeting="), std::string::npos) << saved;
  EXPECT_NE(saved.find("=hello\r\n"), std::string::npos) << saved;

  // The folder picker opens at the typed folder; the person clicks its
  // neighbour and takes it with OK. The picker sorts each folder's rows
  // once it has listed them, which can move a row between a look and the
  // click: as a person would, the test looks again and clicks the folder
  // again until it is the one selected.
  ClickButton("Select Directory", Main);
  std::optional<Node> picker = Desk.Find({"dialog", "Browse for Folder"});
  ASSERT_TRUE(picker.has_value()) << "no folder picker";
  const bool picked = testsupport::WaitUntil(
      [&] {
        std::optional<Node> folder = Desk.Find({"", "site"}, desktop::Ms(0), picker);
        if (!folder) return false;
        if (Desk.Has(*folder, State::Selected)) return true;
        Desk.Click(Desk.Extents(*folder));
        return Desk.WaitForReading(
                   *folder, [this](const Node& n) { return Desk.Has(n, State::Selected) ? "selected" : ""; },
                   [](const std::string& r) { return !r.empty(); }, desktop::Ms(3000)) == "selected";
      },
      static_cast<int>(desktop::kPatience.count()));
  ASSERT_TRUE(picked) << "the picker does not let the folder be picked";
  ClickButton("OK", picker);
  Node path = Edit("Path");
  EXPECT_EQ(Desk.WaitForReading(
                path, [this](const Node& n) { return Desk.Text(n); }, [&](const std::string& s) { return s == site; }),
            site);

  // Open in browser: the desktop is asked to open the preview's address,
  // and the page comes from the picked folder with the variable filled in.
  ClickButton("Open in browser", Main);
  std::string address;
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    address = testsupport::ReadFile(Opened);
    return !address.empty() && address.back() == '\n';
  })) << "nothing was opened";
  address.pop_back();
  const int port = PortOf(address);
  ASSERT_GT(port, 0) << address;
  const std::string page = Fetch(port, "/index.html");
  EXPECT_EQ(page, "HTTP/1.1 200 OK\r\n\r\n<html>site hello</html>") << address;

  // A change after the save, then the close: saved without a question.
  Desk.TypeInto(Edit("Ftp Path"), "/www2");
  CloseAndExpectCleanEnd("Zentavo - My Site");
  saved = testsupport::ReadFile(project);
  EXPECT_NE(saved.find("Path=" + site + "\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("FTPPath=/www2\r\n"), std::string::npos) << saved;
}

// Upload All against an FTP server: the site goes up with its include
// filled in, the excluded file stays home, and the upload log shows every
// step. Then Delete Old: each remote file missing locally is asked about,
// and the answers clicked decide (Yes deletes, No keeps). Closing the
// unsaved project asks whether to save it; No ends the program.
TEST_F(ZentavoxOnADesktop, UploadsAllThenDeletesOldFilesAsAnswered) {
  if (::geteuid() != 0) GTEST_SKIP() << "the program's FTP port 21 can be taken by root only";
  std::string host;
  std::unique_ptr<ftptest::PyFtpdServer> server = FtpServerOnPort21(host);
  ASSERT_TRUE(server) << "no loopback address with port 21 free";
  const std::string remote = server->RemoteDir();
  const std::string disk = server->DiskDir();
  testsupport::WriteFile(disk + "/old.html", "stale");
  testsupport::WriteFile(disk + "/keep.txt", "kept");

  const std::string site = Home.MakeFolder("site");
  testsupport::WriteFile(site + "/index.html", "<html><iFile head.inc>home</html>");
  testsupport::WriteFile(site + "/head.inc", "<title>Site</title>");
  Home.MakeFolder("site/sub");
  testsupport::WriteFile(site + "/sub/page.htm", "<p>page</p>");

  Desk.TypeInto(Edit("Path"), site);
  Desk.TypeInto(Edit("Host"), host);
  Desk.TypeInto(Edit("Login"), server->User());
  Desk.TypeInto(Edit("Password"), server->Password());
  Desk.TypeInto(Edit("Ftp Path"), remote);

  ChooseMenu("Services", "Upload All");
  std::optional<Node> uploading = Desk.Find({"dialog", "Uploading"});
  ASSERT_TRUE(uploading.has_value()) << "no upload log";
  ASSERT_TRUE(RunEnds(*uploading)) << ::testing::PrintToString(LogLines(*uploading));
  std::vector<std::string> want = {"Connect to " + host + "...", "uploading dir " + site + " to " + remote};
  for (const std::string& name : testsupport::FolderEntriesInListingOrder(site)) {
    if (name == "sub") want.push_back("make dir sub");
    if (name == "index.html") want.push_back("uploading file index.html");
  }
  want.insert(want.end(), {"uploading dir " + site + "/sub to " + remote + "/sub", "uploading file page.htm",
                           "Disconnect", "Upload completed successfully."});
  EXPECT_EQ(LogLines(*uploading), want);
  EXPECT_EQ(testsupport::ReadFile(disk + "/index.html"), "<html><title>Site</title>home</html>");
  EXPECT_EQ(testsupport::ReadFile(disk + "/sub/page.htm"), "<p>page</p>");
  EXPECT_FALSE(ftptest::Exists(disk + "/head.inc"));
  ClickButton("Close", uploading);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !Shows({"dialog", "Uploading"}); })) << "the upload log stays";

  // Delete Old asks about the two files the site does not have: the person
  // reads each question and answers with a click, Yes for the page, No for
  // the text. Each answer is taken before the next question is read.
  ChooseMenu("Services", "Delete Old");
  std::optional<Node> deleting = Desk.Find({"dialog", "Deleting"});
  ASSERT_TRUE(deleting.has_value()) << "no delete log";
  const std::string askOld = "File " + remote + "/old.html does not exist locally. Delete from remote server?";
  const std::string askKeep = "File " + remote + "/keep.txt does not exist locally. Delete from remote server?";
  std::vector<std::string> asked;
  for (;;) {
    std::vector<std::string> lines;
    std::optional<Node> yes;
    bool ended = false;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
          ended = Desk.Find({"push button", "Close"}, desktop::Ms(0), deleting).has_value();
          yes = Desk.Find({"push button", "Yes"}, desktop::Ms(0), deleting);
          lines = LogLines(*deleting);
          return ended || (yes && Enabled(*yes) && !lines.empty());
        },
        static_cast<int>(desktop::kPatience.count())))
        << "neither a question nor the end: " << ::testing::PrintToString(lines);
    if (ended) break;
    const std::string question = lines.back();
    asked.push_back(question);
    ASSERT_TRUE(question == askOld || question == askKeep) << question;
    ClickButton(question == askOld ? "Yes" : "No", deleting);
    const std::size_t count = lines.size();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return LogLines(*deleting).size() > count; },
                                       static_cast<int>(desktop::kPatience.count())))
        << "the answer was not taken: " << question;
  }
  EXPECT_EQ(asked.size(), 2u) << ::testing::PrintToString(asked);
  const std::vector<std::string> lines = LogLines(*deleting);
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Connect to " + host + "...");
  EXPECT_TRUE(has("file " + remote + "/old.html deleted")) << ::testing::PrintToString(lines);
  EXPECT_FALSE(has("file " + remote + "/keep.txt deleted")) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines.back(), "Deleting old files completed");
  EXPECT_FALSE(ftptest::Exists(disk + "/old.html"));
  EXPECT_EQ(testsupport::ReadFile(disk + "/keep.txt"), "kept");
  EXPECT_EQ(testsupport::ReadFile(disk + "/index.html"), "<html><title>Site</title>home</html>");
  ClickButton("Close", deleting);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !Shows({"dialog", "Deleting"}); })) << "the delete log stays";

  // The project was never saved: closing asks, and No lets the program end.
  ASSERT_TRUE(App->Running());
  std::optional<unsigned long> w = Desk.WaitForWindow("Zentavo");
  ASSERT_TRUE(w.has_value());
  Desk.AskToClose(*w);
  ASSERT_TRUE(Desk.Find({"label", "Save project ?"}).has_value()) << "no question";
  ClickButton("No", std::nullopt);
  std::optional<int> rc = App->WaitExit();
  ASSERT_TRUE(rc.has_value()) << "still running after No";
  EXPECT_EQ(*rc, 0);
}

// A saved project, the default one, on a small disk of the case's own,
// with a second name (a backup link), so that saves write it in place.
class ZentavoxSavingOnADesktop : public ZentavoxOnADesktop {
 protected:
  void BeforeStart() override {
    Disk = std::make_unique<testsupport::SmallDisk>(Home.Path("disk"), 1 << 20);
    if (!Disk->Ready()) GTEST_SKIP() << Disk->Why();
    std::string text = "[GENERAL]\r\nPath=" + Home.Path("site") +
                       "\r\nFTPHost=127.0.0.1\r\nFTPLogin=webmaster\r\nFTPPath=/www\r\nExcludeFile=zvp:\r\n"
                       "[Variables]\r\n";
    for (int i = 0; text.size() < 200000; ++i)
      text += "v" + std::to_string(i) + "=46366.5=value " + std::to_string(i) + "\r\n";
    // Pages full to their end, so that any longer save needs one more.
    const std::string last = "[Versions]\r\npage.htm=1234\r\n";
    const std::string pad = "pad=1=";
    text += pad + std::string(4096 - (text.size() + pad.size() + 2 + last.size()) % 4096, 'x') + "\r\n" + last;
    Project = Disk->Top() + "/p.zvp";
    Backup = Disk->Top() + "/p-backup.zvp";
    testsupport::WriteFile(Project, text);
    ASSERT_EQ(::link(Project.c_str(), Backup.c_str()), 0);
    plat::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Software\\Korvane\\Zentavox", true));
    reg.WriteString("DefaultProject", Project);
  }

  // Ctrl+S from the FTP path field; the error box it brings, read and
  // closed with its OK button. Empty when none came.
  std::string SaveAndReadTheError() {
    Desk.Click(Desk.Extents(Edit("Ftp Path")));
    Desk.Key("ctrl+s");
    std::string text;
    testsupport::WaitUntil(
        [&] {
          for (const char* message : {"Disk full", "I/O error 27"})
            if (Shows({"label", message})) text = message;
          return !text.empty();
        },
        static_cast<int>(desktop::kPatience.count()));
    if (text.empty()) return text;
    ClickButton("OK", std::nullopt);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !Shows({"label", text}); })) << "the error box stays";
    return text;
  }

  std::unique_ptr<testsupport::SmallDisk> Disk;
  std::string Project, Backup;
};

// Ctrl+S with no room left on the disk (written in place, for the backup
// link), then under a file-size limit: each time the error shows, the
// program goes on, and the project on the disk is the old one, whole.
// With room and no limit the same Ctrl+S saves.
TEST_F(ZentavoxSavingOnADesktop, ASaveThatCannotBeWrittenKeepsTheOldProjectAndTheProgram) {
  Main = Desk.Need({"frame", "Zentavo - p"});
  const std::string old = testsupport::ReadFile(Project);
  Desk.TypeInto(Edit("Ftp Path"), "/www/a/longer/folder/on/the/server");

  ASSERT_TRUE(Disk->Fill());
  EXPECT_EQ(SaveAndReadTheError(), "Disk full");
  ASSERT_TRUE(App->Running()) << "the program ended";
  EXPECT_TRUE(testsupport::ReadFile(Project) == old) << testsupport::ReadFile(Project).size() << " bytes";
  EXPECT_TRUE(testsupport::ReadFile(Backup) == old);
  Disk->Unfill();

  // With one name left the save goes through a temporary file, whose
  // write runs into the limit.
  ASSERT_EQ(::unlink(Backup.c_str()), 0);
  rlimit small{64 * 1024, RLIM_INFINITY}, none{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(App->Pid(), RLIMIT_FSIZE, &small, nullptr), 0);
  EXPECT_EQ(SaveAndReadTheError(), "I/O error 27");
  ASSERT_TRUE(App->Running()) << "the program ended";
  EXPECT_TRUE(testsupport::ReadFile(Project) == old) << testsupport::ReadFile(Project).size() << " bytes";
  EXPECT_EQ(testsupport::FolderEntries(Disk->Top()), std::vector<std::string>{"p.zvp"});
  ASSERT_EQ(::prlimit(App->Pid(), RLIMIT_FSIZE, &none, nullptr), 0);

  Desk.Click(Desk.Extents(Edit("Ftp Path")));
  Desk.Key("ctrl+s");
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    return testsupport::ReadFile(Project).find("FTPPath=/www/a/longer/folder/on/the/server\r\n") != std::string::npos;
  })) << "not saved";
  EXPECT_NE(testsupport::ReadFile(Project).find("\r\n[Versions]\r\npage.htm=1234\r\n"), std::string::npos);
  CloseAndExpectCleanEnd("Zentavo - p");
}

}  // namespace

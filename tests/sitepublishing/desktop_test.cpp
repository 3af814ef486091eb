// Zentavox used as a person uses it: the built program started on a
// desktop of the test's own, read through what a screen reader reads,
// worked with real pointer and keyboard events. The desktop's browser is a
// stand-in that notes the address it is asked to open; the test then
// fetches the page from the program's preview server as a browser would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/desktop/desktop.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"
#include "tests/support/wait.h"

namespace {

using desktop::Node;
using desktop::Query;

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

class ZentavoxOnADesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(Desk.Start(why)) << why;
    // The desktop's opener of addresses: it only notes what it was given.
    const std::string bin = Home.MakeFolder("bin");
    testsupport::WriteFile(bin + "/xdg-open", "#!/bin/sh\necho \"$1\" >> '" + Opened + "'\n", 0755);
    const char* path = std::getenv("PATH");
    App = std::make_unique<desktop::Program>(
        Desk, ZENTAVOX_PATH, std::vector<std::string>{}, std::string(),
        std::vector<std::string>{"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")});
    std::optional<Node> main = Desk.Find({"frame", "Zentavo"});
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

  testsupport::PrivateHome Home{"zentavox-desktop"};
  const std::string Opened = Home.Path("opened.txt");
  desktop::Desktop Desk;
  std::unique_ptr<desktop::Program> App;
  Node Main;
};

// A project filled in by hand and saved under a name typed into the save
// dialog, a variable typed into the variables editor (Ctrl+N, then Esc to
// close it), the site folder picked in the folder picker, that folder
// previewed through the program's web server with the variable filled in,
// and the close that saves the changed project without a question.
TEST_F(ZentavoxOnADesktop, FillsInSavesEditsAVariablePicksAFolderAndPreviews) {
  const std::string site = Home.MakeFolder("site");
  testsupport::WriteFile(site + "/index.html", "<html>site <iVar greeting></html>");

  Desk.TypeInto(Edit("Path"), site);
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
  EXPECT_NE(saved.find("Path=" + site + "\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("FTPLogin=webmaster\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\r\ngreeting="), std::string::npos) << saved;
  EXPECT_NE(saved.find("=hello\r\n"), std::string::npos) << saved;

  // The folder picker opens at the project's folder; the person clicks it
  // and takes it with OK (the field keeps the folder, as the picker gives
  // it back).
  ClickButton("Select Directory", Main);
  std::optional<Node> picker = Desk.Find({"dialog", "Browse for Folder"});
  ASSERT_TRUE(picker.has_value()) << "no folder picker";
  std::optional<Node> folder = Desk.Find({"", "site"}, desktop::kPatience, picker);
  ASSERT_TRUE(folder.has_value()) << "the picker does not show the folder";
  Desk.Click(Desk.Extents(*folder));
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
  EXPECT_NE(saved.find("FTPPath=/www2\r\n"), std::string::npos) << saved;
}

}  // namespace

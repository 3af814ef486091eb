// Starts the built Zentavox on a virtual X server of the test's own, with a
// default project in a private registry: the main window must come up under
// that project's caption, and asked to close as a desktop asks, the program
// must end cleanly. Installed as setup.exe and removed by its Uninstall
// command, answered at its message boxes with Enter, it must do its work and
// end, also when the registry is damaged. (The offscreen platform shows
// nothing outside the process, so a real display server is the one way to
// look at the windows.)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "ftpcomponents/korvlib.h"
#include "sitepublishing/PrjCls.h"
#include "tests/sitepublishing/project_files.h"
#include "tests/support/desktop/desktop.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"
#include "tests/support/process.h"
#include "tests/support/virtual_display.h"

// Last: its macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::Spawn;
using testsupport::VirtualDisplay;
using testsupport::WaitExit;

void Stop(pid_t pid) { testsupport::StopProcess(pid); }

std::string WindowTitle(Display* d, Window w) { return desktop::WindowTitle(d, w); }

bool HasClass(Display* d, Window w) {
  XClassHint hint{};
  if (!XGetClassHint(d, w, &hint)) return false;
  XFree(hint.res_name);
  XFree(hint.res_class);
  return true;
}

// The top-level windows of programs (those carrying a class) with their titles.
std::vector<std::pair<Window, std::string>> TopLevels(Display* d) {
  std::vector<std::pair<Window, std::string>> found;
  Window root = DefaultRootWindow(d), parent, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(d, root, &root, &parent, &children, &n)) return found;
  for (unsigned i = 0; i < n; ++i)
    if (HasClass(d, children[i])) found.emplace_back(children[i], WindowTitle(d, children[i]));
  if (children) XFree(children);
  return found;
}

// What the desktop sends when the user closes a window.
void AskToClose(Display* d, Window w) { desktop::AskToClose(d, w); }

TEST(Startup, OpensTheDefaultProjectAndEndsWhenTheMainWindowCloses) {
  testsupport::PrivateHome home("startup");
  pubtest::ProjectContent content;
  content.Path = home.MakeFolder("www");
  content.Host = "ftp.example.net";
  const std::string project = home.Path("Start Site.zvp");
  testsupport::WriteFile(project, pubtest::ProjectText(content));
  TProject().WriteDefaultProject(project);

  VirtualDisplay display;
  std::string why;
  ASSERT_TRUE(display.Start(why)) << why;
  pid_t program = Spawn({ZENTAVOX_PATH}, {"DISPLAY=" + display.Name(), "QT_QPA_PLATFORM=xcb"});
  struct Reap {
    pid_t pid;
    ~Reap() { Stop(pid); }
  } reap{program};

  Display* d = nullptr;
  for (auto end = Clock::now() + std::chrono::seconds(10); !d && Clock::now() < end;) {
    d = XOpenDisplay(display.Name().c_str());
    if (!d) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_NE(d, nullptr);
  std::optional<Window> mainWindow;
  std::vector<std::string> titles;
  for (auto end = Clock::now() + std::chrono::seconds(30); !mainWindow && Clock::now() < end;) {
    titles.clear();
    for (const auto& [w, title] : TopLevels(d)) {
      titles.push_back(title);
      XWindowAttributes a{};
      if (title == "Zentavo - Start Site" && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable) mainWindow = w;
    }
    if (!mainWindow) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(mainWindow.has_value()) << "windows: " << ::testing::PrintToString(titles);

  AskToClose(d, *mainWindow);
  std::optional<int> rc = WaitExit(program, std::chrono::seconds(30));
  XCloseDisplay(d);
  ASSERT_TRUE(rc.has_value()) << "still running after the close";
  reap.pid = -1;
  EXPECT_EQ(*rc, 0);
  // It opened the project (and so made it the newest history entry) and
  // left it where it was.
  plat::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("\\Software\\Korvane\\Zentavox\\Projects", false));
  EXPECT_TRUE(reg.ValueExists(project));
  EXPECT_EQ(testsupport::ReadFile(project), pubtest::ProjectText(content));
}

// ---- install and uninstall, answered at their message boxes -----------------------

// A window may go between listing it and reading its title.
int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

Display* OpenDisplay(const std::string& name) {
  XSetErrorHandler(IgnoreXErrors);
  Display* d = nullptr;
  for (auto end = Clock::now() + std::chrono::seconds(10); !d && Clock::now() < end;) {
    d = XOpenDisplay(name.c_str());
    if (!d) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return d;
}

// The first shown program window of that title that is none of `seen`.
std::optional<Window> WaitForWindow(Display* d, const std::string& title, const std::vector<Window>& seen,
                                    std::chrono::seconds limit = std::chrono::seconds(30)) {
  for (auto end = Clock::now() + limit; Clock::now() < end;) {
    for (const auto& [w, t] : TopLevels(d)) {
      XWindowAttributes a{};
      if (t == title && std::find(seen.begin(), seen.end(), w) == seen.end() && XGetWindowAttributes(d, w, &a) &&
          a.map_state == IsViewable)
        return w;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

// True once no shown program window has that title.
bool WaitUntilGone(Display* d, const std::string& title, std::chrono::seconds limit = std::chrono::seconds(30)) {
  for (auto end = Clock::now() + limit; Clock::now() < end;) {
    bool shown = false;
    for (const auto& [w, t] : TopLevels(d)) {
      XWindowAttributes a{};
      shown = shown || (t == title && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable);
    }
    if (!shown) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Enter, as the keyboard gives it: the box's default button.
void PressReturn(Display* d, Window w) {
  XEvent e{};
  e.xkey.display = d;
  e.xkey.window = w;
  e.xkey.root = DefaultRootWindow(d);
  e.xkey.same_screen = True;
  e.xkey.keycode = XKeysymToKeycode(d, XK_Return);
  e.xkey.time = CurrentTime;
  e.xkey.type = KeyPress;
  XSendEvent(d, w, True, KeyPressMask, &e);
  e.xkey.type = KeyRelease;
  XSendEvent(d, w, True, KeyReleaseMask, &e);
  XFlush(d);
}

// Runs argv on the display and presses Enter at each of the windows named,
// in turn, each a new one; the program's exit status, nullopt when a
// window did not come or the program did not end.
std::optional<int> RunAnswering(const std::vector<std::string>& argv, Display* d, const std::string& display,
                                const std::vector<std::string>& windows, std::string& why) {
  pid_t program = Spawn(argv, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
  struct Reap {
    pid_t pid;
    ~Reap() { Stop(pid); }
  } reap{program};
  std::vector<Window> seen;
  for (const std::string& title : windows) {
    std::optional<Window> w = WaitForWindow(d, title, seen);
    if (!w) return why = "no window \"" + title + "\" after " + std::to_string(seen.size()) + " answered", std::nullopt;
    seen.push_back(*w);
    PressReturn(d, *w);
  }
  std::optional<int> rc = WaitExit(program, std::chrono::seconds(30));
  if (!rc) return why = "still running after the last answer", std::nullopt;
  reap.pid = -1;
  return rc;
}

std::string UninstallValue(const std::string& name) {
  plat::TRegistry reg;
  reg.SetRootKey(plat::HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall\\Zentavo", false)) return "<none>";
  return reg.ReadString(name);
}

// The built program on a display of the test's own, the test at its keyboard.
class ProgramOnDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Screen.Start(why)) << why;
    d = OpenDisplay(Screen.Name());
    ASSERT_NE(d, nullptr);
  }
  void TearDown() override {
    if (d) XCloseDisplay(d);
  }
  std::optional<int> Run(const std::vector<std::string>& argv, const std::vector<std::string>& windows) {
    return RunAnswering(argv, d, Screen.Name(), windows, why);
  }
  VirtualDisplay Screen;
  Display* d = nullptr;
  std::string why;
};

// Where the display shows a window: its top left corner on the screen and
// its size.
struct Shown {
  int X = 0, Y = 0, Width = 0, Height = 0;
};
Shown WhereShown(Display* d, Window w) {
  Shown s;
  XWindowAttributes a{};
  Window child;
  if (XGetWindowAttributes(d, w, &a) && XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &s.X, &s.Y, &child)) {
    s.Width = a.width;
    s.Height = a.height;
  }
  return s;
}

// A stored placement that no screen shows, however the numbers go: the
// main window comes up on the screen (the display keeps 16-bit
// coordinates, so a place beyond them would land wherever their low bits
// say), and at the end the place it really had is written back.
TEST_F(ProgramOnDisplay, AStoredPlacementBeyondTheScreenBringsTheMainWindowOnIt) {
  struct Case {
    const char* what;
    std::int32_t top, left, width, height;
  } cases[] = {
      {"near the integer limit", 2147483250, 100, 302, 382},
      {"nearer the limit, where only the menu bar would hide", 2147483600, 100, 302, 382},
      {"the top edge above the screen", -48, 100, 302, 382},
      {"left beyond the display's coordinates", 100, 40000, 302, 382},
  };
  const char* bounds[] = {"Top", "Left", "Width", "Height"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::PrivateHome home("placement");
    {
      plat::TRegistry reg;
      ASSERT_TRUE(reg.OpenKey("\\Software\\Korvane\\Zentavox\\frmMain", true));
      const std::int32_t values[] = {c.top, c.left, c.width, c.height};
      for (int i = 0; i < 4; ++i) reg.WriteInteger(bounds[i], values[i]);
    }
    pid_t program = Spawn({ZENTAVOX_PATH}, {"DISPLAY=" + Screen.Name(), "QT_QPA_PLATFORM=xcb"});
    struct Reap {
      pid_t pid;
      ~Reap() { Stop(pid); }
    } reap{program};
    std::optional<Window> w = WaitForWindow(d, "Zentavo", {});
    ASSERT_TRUE(w.has_value()) << "no main window";
    auto onScreen = [](const Shown& s) {
      return s.Width > 0 && s.X >= 0 && s.Y >= 0 && s.X + s.Width <= 1024 && s.Y + s.Height <= 768;
    };
    Shown at = WhereShown(d, *w);
    for (auto end = Clock::now() + std::chrono::seconds(10); !onScreen(at) && Clock::now() < end;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      at = WhereShown(d, *w);
    }
    EXPECT_TRUE(onScreen(at)) << at.X << "," << at.Y << " " << at.Width << "x" << at.Height;

    AskToClose(d, *w);
    std::optional<int> rc = WaitExit(program, std::chrono::seconds(30));
    ASSERT_TRUE(rc.has_value()) << "still running after the close";
    reap.pid = -1;
    EXPECT_EQ(*rc, 0);
    plat::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Software\\Korvane\\Zentavox\\frmMain", false));
    const int shown[] = {at.Y, at.X, at.Width, at.Height};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reg.ReadInteger(bounds[i]), shown[i]) << bounds[i];
  }
}

// The registry uninstall must change cannot be read, or cannot be locked:
// the program asks, shows the error and ends with status 1, and the entry
// stays listed.
TEST_F(ProgramOnDisplay, UninstallWithADamagedOrLockedRegistryShowsTheErrorAndEnds) {
  for (bool damaged : {true, false}) {
    SCOPED_TRACE(damaged ? "damaged" : "cannot be locked");
    testsupport::PrivateHome home("uninstall");
    RegisterUninstall("Zentavo", "/opt/Zentavox/Zentavox uninstall");
    const std::string file = plat::RegistryFile(plat::HKEY_LOCAL_MACHINE);
    const std::string text = testsupport::ReadFile(file);
    if (damaged) {
      testsupport::WriteFile(file, text + "[Software\n");
    } else {
      std::filesystem::remove(file + ".lock");
      std::filesystem::create_directory(file + ".lock");
    }
    // The question, then the error.
    std::optional<int> rc = Run({ZENTAVOX_PATH, "uninstall"}, {"Zentavo", "Zentavo"});
    ASSERT_TRUE(rc.has_value()) << why;
    EXPECT_EQ(*rc, 1);
    testsupport::WriteFile(file, text);
    std::filesystem::remove(file + ".lock");
    EXPECT_EQ(UninstallValue("UninstallString"), "/opt/Zentavox/Zentavox uninstall");
  }
}

// The whole life of an installed copy in a home whose path holds a blank and
// a letter beyond ASCII: installed as setup.exe, started from its menu
// entry, removed by the command its Uninstall entry names.
TEST_F(ProgramOnDisplay, InstallsAndUninstallsUnderAFolderWithABlankAndANonAsciiLetter) {
  testsupport::PrivateHome home("Zentavo Pr\xc3\xbc" "fung");
  const std::string setup = home.Path("setup.exe");
  std::filesystem::create_symlink(ZENTAVOX_PATH, setup);

  // Enter installs to the folder offered, under the home's program files.
  std::optional<int> rc = Run({setup}, {"Zentavo Setup", "Zentavo"});
  ASSERT_TRUE(rc.has_value()) << why;
  EXPECT_EQ(*rc, 0);
  const std::string exe = home.Home() + "/.local/opt/Zentavox/Zentavox";
  ASSERT_EQ(::access(exe.c_str(), X_OK), 0) << exe;
  const std::string command = UninstallValue("UninstallString");
  EXPECT_EQ(command, "\"" + exe + "\" uninstall");
  const std::string menuEntry = home.DataDir() + "/applications/Zentavo/Zentavo.desktop";
  const std::string desktopEntry = home.Home() + "/Desktop/Zentavo.desktop";
  ASSERT_TRUE(std::filesystem::exists(desktopEntry));

  // The menu entry starts the installed program (the desktop's own reader
  // of entries runs it): its main window comes up and closes as asked.
  pid_t launcher = Spawn({"/usr/bin/gio", "launch", menuEntry}, {"DISPLAY=" + Screen.Name(), "QT_QPA_PLATFORM=xcb"});
  std::optional<int> launched = WaitExit(launcher, std::chrono::seconds(30));
  ASSERT_TRUE(launched.has_value());
  EXPECT_EQ(*launched, 0);
  std::optional<Window> main = WaitForWindow(d, "Zentavo", {});
  ASSERT_TRUE(main.has_value()) << "the menu entry started nothing";
  AskToClose(d, *main);
  EXPECT_TRUE(WaitUntilGone(d, "Zentavo"));

  // The Uninstall command as a shell runs it.
  rc = Run({"/bin/sh", "-c", command}, {"Zentavo"});
  ASSERT_TRUE(rc.has_value()) << why;
  EXPECT_EQ(*rc, 0);
  EXPECT_EQ(UninstallValue("DisplayName"), "<none>");
  EXPECT_FALSE(std::filesystem::exists(menuEntry));
  EXPECT_FALSE(std::filesystem::exists(desktopEntry));
  EXPECT_FALSE(std::filesystem::exists(home.DataDir() + "/applications/Zentavo"));
  EXPECT_EQ(::access(exe.c_str(), X_OK), 0);  // the program itself stays
}

}  // namespace

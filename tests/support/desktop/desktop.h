// A person's desktop of the test's own, for tests that use a built program
// as a person does: a virtual X server, a session bus and the
// accessibility bus on it. The test reads what the program shows through
// what a screen reader reads (names, roles, places, texts and states of
// its controls), finds a control's place on the screen there, and works
// the program with real input events of the window system (pointer and
// keyboard, through the X server's test extension), never by calling into
// it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/private_home.h"
#include "tests/support/virtual_display.h"

class QDBusConnection;

namespace desktop {

using Ms = std::chrono::milliseconds;
// What should come soon: generous, for a sanitizer build on a loaded machine.
constexpr Ms kPatience{60000};

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  int CenterX() const { return x + w / 2; }
  int CenterY() const { return y + h / 2; }
  bool Empty() const { return w <= 0 || h <= 0; }
};

// States a screen reader is told (their numbers on the accessibility bus).
enum class State { Checked = 4, Enabled = 8, Focused = 12, Selected = 23, Sensitive = 24, Showing = 25, Visible = 30 };

// One control as the screen reader sees it: where it lives on the bus, and
// what it said when it was found.
struct Node {
  std::string service, path;
  std::string role, name;
};

// What to look for: a role ("push button", "text", "label", "page tab",
// "menu item", "frame", "dialog", "check box"...) and a name, exact or its
// beginning. Only what is on the screen is searched, unless `hidden`.
struct Query {
  std::string role;
  std::string name;
  bool prefix = false;
  bool hidden = false;
};

class Desktop {
 public:
  Desktop();
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // The X server and both buses; false with `why` set when one did not come.
  bool Start(std::string& why);
  const std::string& DisplayName() const { return Screen_.Name(); }
  // What a program started on this desktop needs besides the test's own
  // environment: the display, the buses, the real X platform, and the
  // screen reader's bridge switched on as a running screen reader does.
  std::vector<std::string> ProgramEnvironment() const;

  // ---- what the screen reader reads ----
  // The first match in the program's windows, searched breadth first below
  // `within` (all programs when empty); nullopt once the time is up.
  std::optional<Node> Find(const Query& q, Ms limit = kPatience, const std::optional<Node>& within = {});
  // The same, failing the running test with what was looked for.
  Node Need(const Query& q, const std::optional<Node>& within = {});
  std::vector<Node> Children(const Node& n);
  std::string Name(const Node& n);
  Rect Extents(const Node& n);
  bool Has(const Node& n, State s);
  // The text of a text control (an edit's contents, a text view's lines).
  std::string Text(const Node& n);
  // Polls a reading of the node until it satisfies `ok`; the last reading.
  std::string WaitForReading(const Node& n, const std::function<std::string(const Node&)>& read,
                             const std::function<bool(const std::string&)>& ok, Ms limit = kPatience);

  // ---- the person's hands: real events through the X server ----
  void Click(const Rect& r, int button = 1);
  void ClickAt(int x, int y, int button = 1);
  void DoubleClick(const Rect& r);
  // Types text on the keyboard into whatever has the focus.
  void Type(const std::string& text);
  // Presses keys, as xdotool names them: "ctrl+s", "Escape", "Return".
  void Key(const std::string& keys);
  // Holds the modifier down while the key goes down and up, as a person
  // does (a combination pressed with Key may let the modifier go first).
  void KeyWithHeld(const std::string& modifier, const std::string& key);
  // Clicks into an edit, selects what it holds and types `text` over it.
  void TypeInto(const Node& edit, const std::string& text);

  // ---- the window system ----
  // The X window of a shown top-level window with that title, nullopt
  // once the time is up.
  std::optional<unsigned long> WaitForWindow(const std::string& title, Ms limit = kPatience);
  // What the desktop sends when the user clicks a window's close box.
  void AskToClose(unsigned long window);
  // The clipboard's offered formats ("image/png", "TARGETS" ...), and the
  // data in one of them; empty when nothing owns the clipboard.
  std::vector<std::string> ClipboardTargets();
  std::string ClipboardData(const std::string& target);
  // The whole screen as a PNG file, for a person to look at what a failing
  // case saw.
  bool Screenshot(const std::string& pngPath);
  // Whether the place on the screen shows anything but one plain colour:
  // what a person sees of a page whose document the reader cannot reach.
  bool ShowsContent(const Rect& r);

 private:
  void Run(const std::vector<std::string>& argv);

  testsupport::TempFolder Runtime_{"sitetools-desktop"};
  testsupport::VirtualDisplay Screen_;
  pid_t SessionBus_ = -1;
  pid_t Launcher_ = -1;
  std::string SessionAddress_;
  std::string ConnectionName_;
  std::unique_ptr<QDBusConnection> A11y_;
  void* X_ = nullptr;  // the test's own connection to the X server
};

// For tests with a connection of their own to the X server (its Display*):
// a top-level window's title, and the desktop's request to close it.
std::string WindowTitle(void* display, unsigned long window);
void AskToClose(void* display, unsigned long window);

// A built program started on the desktop as a person starts it: its own
// executable from the build (linked into a folder of the test's own when
// `ownFolder` is given, so that what it writes beside itself stays the
// test's), the test's private home, the desktop's display and buses.
class Program {
 public:
  Program(Desktop& desk, const std::string& exe, const std::vector<std::string>& args = {},
          const std::string& ownFolder = {}, const std::vector<std::string>& extraEnv = {});
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Running();
  // The exit status once it ends within the time, else nullopt.
  std::optional<int> WaitExit(Ms limit = kPatience);
  // Where the program's file lies (the link, with `ownFolder`).
  const std::string& Executable() const { return Exe_; }
  // Its process, for limits a test sets on it while it runs.
  pid_t Pid() const { return Pid_; }

 private:
  std::string Exe_;
  pid_t Pid_ = -1;
  std::optional<int> Status_;
};

}  // namespace desktop

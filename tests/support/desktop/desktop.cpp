#include "tests/support/desktop/desktop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QImage>
#include <algorithm>
#include <deque>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/process.h"

// Last: their macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace desktop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRegistry = "org.a11y.atspi.Registry";
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
// A search visits at most this many controls: a web page's tree can be large.
constexpr int kMaxVisited = 4000;

// The bus client of Qt wants an application object; a plain one will do.
void EnsureCoreApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char arg0[] = "desktop-test";
  static char* argv[] = {arg0, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
}

std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, timeoutMs) > 0) {
    char c;
    if (::read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

// Starts argv and reads the one line it writes on descriptor 3.
pid_t SpawnReading(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string& line) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = testsupport::Spawn(argv, env, fds[1]);
  ::close(fds[1]);
  line = ReadLine(fds[0], 15000);
  ::close(fds[0]);
  return pid;
}

QDBusMessage Ask(QDBusConnection& bus, const Node& n, const char* iface, const char* method,
                 const QList<QVariant>& args = {}) {
  QDBusMessage m = QDBusMessage::createMethodCall(QString::fromStdString(n.service), QString::fromStdString(n.path),
                                                  QString::fromLatin1(iface), QString::fromLatin1(method));
  m.setArguments(args);
  return bus.call(m, QDBus::Block, 10000);
}

bool Answered(const QDBusMessage& reply) {
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
}

std::string Property(QDBusConnection& bus, const Node& n, const char* name) {
  QDBusMessage r = Ask(bus, n, "org.freedesktop.DBus.Properties", "Get",
                       {QString::fromLatin1(kAccessible), QString::fromLatin1(name)});
  if (!Answered(r)) return {};
  return r.arguments().at(0).value<QDBusVariant>().variant().toString().toStdString();
}

std::string RoleName(QDBusConnection& bus, const Node& n) {
  QDBusMessage r = Ask(bus, n, kAccessible, "GetRoleName");
  return Answered(r) ? r.arguments().at(0).toString().toStdString() : std::string();
}

std::uint64_t States(QDBusConnection& bus, const Node& n) {
  QDBusMessage r = Ask(bus, n, kAccessible, "GetState");
  if (!Answered(r)) return 0;
  std::vector<std::uint32_t> words;
  const QVariant v = r.arguments().at(0);
  if (v.canConvert<QDBusArgument>()) {
    const QDBusArgument a = v.value<QDBusArgument>();
    a.beginArray();
    while (!a.atEnd()) {
      uint w = 0;
      a >> w;
      words.push_back(w);
    }
    a.endArray();
  } else {
    for (const QVariant& w : v.toList()) words.push_back(w.toUInt());
  }
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < words.size() && i < 2; ++i) bits |= std::uint64_t{words[i]} << (32 * i);
  return bits;
}

std::vector<Node> ChildrenOf(QDBusConnection& bus, const Node& n) {
  std::vector<Node> out;
  QDBusMessage r = Ask(bus, n, kAccessible, "GetChildren");
  if (!Answered(r)) return out;
  const QDBusArgument a = r.arguments().at(0).value<QDBusArgument>();
  a.beginArray();
  while (!a.atEnd()) {
    QString service;
    QDBusObjectPath path;
    a.beginStructure();
    a >> service >> path;
    a.endStructure();
    out.push_back(Node{service.toStdString(), path.path().toStdString(), {}, {}});
  }
  a.endArray();
  return out;
}

bool Matches(const Query& q, const Node& n) {
  if (!q.role.empty() && n.role != q.role) return false;
  if (q.prefix) return n.name.compare(0, q.name.size(), q.name) == 0;
  return n.name == q.name;
}

std::string Describe(const Query& q) {
  return (q.role.empty() ? std::string("control") : q.role) + " \"" + q.name + "\"" + (q.prefix ? " (beginning)" : "");
}

Display* Dpy(void* x) { return static_cast<Display*>(x); }

// A window may go between listing it and reading its title.
int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

std::string TitleOf(Display* d, Window w) {
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, netName, 0, 1024, False, utf8, &type, &format, &n, &after, &data) == Success && data)
    title.assign(reinterpret_cast<char*>(data), n);
  if (data) XFree(data);
  return title;
}

// Reads a property a selection owner wrote, also when it comes in pieces.
std::string TakeProperty(Display* d, Window w, Atom prop) {
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(d, w, prop, 0, 1 << 24, True, AnyPropertyType, &type, &format, &n, &after, &data) != Success)
    return out;
  const bool incremental = type == XInternAtom(d, "INCR", False);
  auto append = [&](unsigned char* bytes, unsigned long count, int fmt) {
    // Format 32 items are longs on the client side.
    std::size_t size = fmt == 32 ? sizeof(long) : static_cast<std::size_t>(fmt / 8);
    out.append(reinterpret_cast<char*>(bytes), count * size);
  };
  if (!incremental) {
    if (data) append(data, n, format);
    if (data) XFree(data);
    return out;
  }
  if (data) XFree(data);
  for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
    XEvent e;
    if (!XCheckTypedWindowEvent(d, w, PropertyNotify, &e)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (e.xproperty.atom != prop || e.xproperty.state != PropertyNewValue) continue;
    data = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, 1 << 24, True, AnyPropertyType, &type, &format, &n, &after, &data) !=
        Success)
      break;
    const bool last = n == 0;
    if (data) {
      append(data, n, format);
      XFree(data);
    }
    if (last) break;
  }
  return out;
}

// The clipboard converted to `target`; nullopt when nobody answers.
std::optional<std::string> ConvertClipboard(Display* d, const std::string& target) {
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(d, w, PropertyChangeMask);
  Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  Atom prop = XInternAtom(d, "SITETOOLS_CLIPBOARD", False);
  XConvertSelection(d, clipboard, XInternAtom(d, target.c_str(), False), prop, w, CurrentTime);
  XFlush(d);
  std::optional<std::string> out;
  for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
    XEvent e;
    if (!XCheckTypedWindowEvent(d, w, SelectionNotify, &e)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (e.xselection.property != 0) out = TakeProperty(d, w, prop);
    break;
  }
  XDestroyWindow(d, w);
  XFlush(d);
  return out;
}

int ConnectionCounter = 0;

}  // namespace

Desktop::Desktop() = default;

Desktop::~Desktop() {
  if (A11y_) {
    A11y_.reset();
    QDBusConnection::disconnectFromBus(QString::fromStdString(ConnectionName_));
    QDBusConnection::disconnectFromBus(QString::fromStdString(ConnectionName_ + "-session"));
  }
  if (X_) XCloseDisplay(Dpy(X_));
  testsupport::StopProcess(Launcher_);
  testsupport::StopProcess(SessionBus_);
}

bool Desktop::Start(std::string& why) {
  EnsureCoreApplication();
  ::chmod(Runtime_.Top().c_str(), 0700);
  if (!Screen_.Start(why)) return false;

  SessionBus_ = SpawnReading({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"},
                             {"XDG_RUNTIME_DIR=" + Runtime_.Top()}, SessionAddress_);
  if (SessionAddress_.empty()) return why = "the session bus did not start", false;
  // The accessibility bus and its registry, as a desktop session starts them.
  Launcher_ = testsupport::Spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
                                 {"DBUS_SESSION_BUS_ADDRESS=" + SessionAddress_, "DISPLAY=" + DisplayName(),
                                  "XDG_RUNTIME_DIR=" + Runtime_.Top()});
  ConnectionName_ = "desktop-" + std::to_string(::getpid()) + "-" + std::to_string(++ConnectionCounter);
  QDBusConnection session =
      QDBusConnection::connectToBus(QString::fromStdString(SessionAddress_), QString::fromStdString(ConnectionName_ + "-session"));
  if (!session.isConnected()) return why = "cannot reach the session bus", false;
  std::string a11yAddress;
  for (auto end = Clock::now() + std::chrono::seconds(30); a11yAddress.empty() && Clock::now() < end;) {
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                    QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
    QDBusMessage r = session.call(m, QDBus::Block, 5000);
    if (Answered(r)) a11yAddress = r.arguments().at(0).toString().toStdString();
    if (a11yAddress.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (a11yAddress.empty()) return why = "the accessibility bus did not start", false;
  A11y_ = std::make_unique<QDBusConnection>(
      QDBusConnection::connectToBus(QString::fromStdString(a11yAddress), QString::fromStdString(ConnectionName_)));
  if (!A11y_->isConnected()) return why = "cannot reach the accessibility bus", false;

  XSetErrorHandler(IgnoreXErrors);
  X_ = XOpenDisplay(DisplayName().c_str());
  if (!X_) return why = "cannot open the display", false;
  return true;
}

std::vector<std::string> Desktop::ProgramEnvironment() const {
  return {"DISPLAY=" + DisplayName(),
          "DBUS_SESSION_BUS_ADDRESS=" + SessionAddress_,
          "XDG_RUNTIME_DIR=" + Runtime_.Top(),
          "QT_QPA_PLATFORM=xcb",
          "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"};
}

std::optional<Node> Desktop::Find(const Query& q, Ms limit, const std::optional<Node>& within) {
  for (auto end = Clock::now() + limit;;) {
    std::deque<Node> queue;
    if (within) {
      for (Node c : Children(*within)) queue.push_back(c);
    } else {
      for (Node app : ChildrenOf(*A11y_, Node{kRegistry, kRootPath, {}, {}}))
        for (Node c : ChildrenOf(*A11y_, app)) queue.push_back(c);
    }
    for (int visited = 0; !queue.empty() && visited < kMaxVisited; ++visited) {
      Node n = queue.front();
      queue.pop_front();
      if (!q.hidden && !(States(*A11y_, n) & (std::uint64_t{1} << static_cast<int>(State::Showing)))) continue;
      n.role = RoleName(*A11y_, n);
      n.name = Property(*A11y_, n, "Name");
      if (Matches(q, n)) return n;
      // A web page's own tree is the page's, not the program's, and large.
      if (n.role.compare(0, 8, "document") == 0) continue;
      for (Node c : ChildrenOf(*A11y_, n)) queue.push_back(c);
    }
    if (Clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

Node Desktop::Need(const Query& q, const std::optional<Node>& within) {
  std::optional<Node> n = Find(q, kPatience, within);
  if (!n) ADD_FAILURE() << "not on the screen: " << Describe(q);
  return n.value_or(Node{});
}

std::vector<Node> Desktop::Children(const Node& n) { return ChildrenOf(*A11y_, n); }

std::string Desktop::Name(const Node& n) { return Property(*A11y_, n, "Name"); }

Rect Desktop::Extents(const Node& n) {
  Rect r;
  QDBusMessage reply = Ask(*A11y_, n, "org.a11y.atspi.Component", "GetExtents", {QVariant::fromValue(uint(0))});
  if (!Answered(reply)) return r;
  const QDBusArgument a = reply.arguments().at(0).value<QDBusArgument>();
  a.beginStructure();
  a >> r.x >> r.y >> r.w >> r.h;
  a.endStructure();
  return r;
}

bool Desktop::Has(const Node& n, State s) { return States(*A11y_, n) & (std::uint64_t{1} << static_cast<int>(s)); }

std::string Desktop::Text(const Node& n) {
  QDBusMessage r = Ask(*A11y_, n, "org.a11y.atspi.Text", "GetText", {QVariant::fromValue(0), QVariant::fromValue(-1)});
  return Answered(r) ? r.arguments().at(0).toString().toStdString() : std::string();
}

std::string Desktop::WaitForReading(const Node& n, const std::function<std::string(const Node&)>& read,
                                    const std::function<bool(const std::string&)>& ok, Ms limit) {
  std::string last;
  for (auto end = Clock::now() + limit;;) {
    last = read(n);
    if (ok(last) || Clock::now() >= end) return last;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void Desktop::Run(const std::vector<std::string>& argv) {
  pid_t pid = testsupport::Spawn(argv, {"DISPLAY=" + DisplayName()});
  std::optional<int> rc = testsupport::WaitExit(pid, std::chrono::seconds(30));
  if (!rc) testsupport::StopProcess(pid);
  EXPECT_EQ(rc.value_or(-1), 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "");
}

void Desktop::ClickAt(int x, int y, int button) {
  Run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click", std::to_string(button)});
}

void Desktop::Click(const Rect& r, int button) {
  EXPECT_FALSE(r.Empty()) << "a click on nothing";
  ClickAt(r.CenterX(), r.CenterY(), button);
}

void Desktop::DoubleClick(const Rect& r) {
  Run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(r.CenterX()), std::to_string(r.CenterY()), "click",
       "--repeat", "2", "--delay", "80", "1"});
}

void Desktop::Type(const std::string& text) { Run({"/usr/bin/xdotool", "type", "--delay", "40", "--", text}); }

void Desktop::Key(const std::string& keys) { Run({"/usr/bin/xdotool", "key", "--delay", "60", "--", keys}); }

void Desktop::KeyWithHeld(const std::string& modifier, const std::string& key) {
  Run({"/usr/bin/xdotool", "keydown", modifier, "sleep", "0.1", "key", key, "sleep", "0.1", "keyup", modifier});
}

void Desktop::TypeInto(const Node& edit, const std::string& text) {
  Click(Extents(edit));
  // The click gives the edit the focus; only then do keys reach it.
  WaitForReading(edit, [this](const Node& n) { return Has(n, State::Focused) ? "yes" : ""; },
                 [](const std::string& s) { return !s.empty(); });
  Key("ctrl+a");
  Type(text);
}

std::optional<unsigned long> Desktop::WaitForWindow(const std::string& title, Ms limit) {
  Display* d = Dpy(X_);
  for (auto end = Clock::now() + limit;;) {
    Window root = DefaultRootWindow(d), parent, *children = nullptr;
    unsigned n = 0;
    std::optional<unsigned long> found;
    if (XQueryTree(d, root, &root, &parent, &children, &n)) {
      for (unsigned i = 0; i < n && !found; ++i) {
        XWindowAttributes a{};
        if (TitleOf(d, children[i]) == title && XGetWindowAttributes(d, children[i], &a) &&
            a.map_state == IsViewable)
          found = children[i];
      }
      if (children) XFree(children);
    }
    if (found || Clock::now() >= end) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void Desktop::AskToClose(unsigned long window) { desktop::AskToClose(X_, window); }

void AskToClose(void* display, unsigned long window) {
  Display* d = Dpy(display);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, window, False, NoEventMask, &e);
  XFlush(d);
}

std::string WindowTitle(void* display, unsigned long window) { return TitleOf(Dpy(display), window); }

std::vector<std::string> Desktop::ClipboardTargets() {
  Display* d = Dpy(X_);
  std::vector<std::string> names;
  std::optional<std::string> atoms = ConvertClipboard(d, "TARGETS");
  if (!atoms) return names;
  for (std::size_t i = 0; i + sizeof(long) <= atoms->size(); i += sizeof(long)) {
    long atom = 0;
    std::memcpy(&atom, atoms->data() + i, sizeof atom);
    if (char* name = XGetAtomName(d, static_cast<Atom>(atom))) {
      names.emplace_back(name);
      XFree(name);
    }
  }
  return names;
}

std::string Desktop::ClipboardData(const std::string& target) {
  return ConvertClipboard(Dpy(X_), target).value_or(std::string());
}

// What the screen shows in `r` (the whole screen when r is empty); a null
// image when it cannot be read.
static QImage Grab(void* server, Rect r) {
  Display* d = Dpy(server);
  Window root = DefaultRootWindow(d);
  XWindowAttributes a{};
  if (!XGetWindowAttributes(d, root, &a)) return QImage();
  if (r.Empty()) r = Rect{0, 0, a.width, a.height};
  const int left = std::max(r.x, 0), top = std::max(r.y, 0);
  const int width = std::min(r.x + r.w, a.width) - left, height = std::min(r.y + r.h, a.height) - top;
  if (width <= 0 || height <= 0) return QImage();
  XImage* shot = XGetImage(d, root, left, top, static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes,
                           ZPixmap);
  if (!shot) return QImage();
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image.setPixel(x, y, static_cast<QRgb>(XGetPixel(shot, x, y)));
  XDestroyImage(shot);
  return image;
}

bool Desktop::Screenshot(const std::string& pngPath) {
  QImage image = Grab(X_, Rect{});
  return !image.isNull() && image.save(QString::fromStdString(pngPath), "PNG");
}

bool Desktop::ShowsContent(const Rect& r) {
  QImage image = Grab(X_, r);
  if (image.isNull()) return false;
  const QRgb first = image.pixel(0, 0);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) != first) return true;
  return false;
}

Program::Program(Desktop& desk, const std::string& exe, const std::vector<std::string>& args,
                 const std::string& ownFolder, const std::vector<std::string>& extraEnv)
    : Exe_(exe) {
  if (!ownFolder.empty()) {
    std::filesystem::create_directories(ownFolder);
    Exe_ = ownFolder + "/" + std::filesystem::path(exe).filename().string();
    std::error_code ec;
    // A later start of the program in the same folder finds its link there.
    if (!std::filesystem::equivalent(exe, Exe_, ec)) {
      std::filesystem::create_hard_link(exe, Exe_, ec);
      if (ec) std::filesystem::copy_file(exe, Exe_, std::filesystem::copy_options::overwrite_existing);
    }
  }
  std::vector<std::string> argv{Exe_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = desk.ProgramEnvironment();
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  Pid_ = testsupport::Spawn(argv, env);
}

Program::~Program() {
  if (!Status_) testsupport::StopProcess(Pid_);
}

bool Program::Running() {
  if (Status_) return false;
  Status_ = testsupport::WaitExit(Pid_, Ms(0));
  return !Status_;
}

std::optional<int> Program::WaitExit(Ms limit) {
  if (!Status_) Status_ = testsupport::WaitExit(Pid_, limit);
  return Status_;
}

}  // namespace desktop

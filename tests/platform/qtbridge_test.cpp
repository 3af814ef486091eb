#include "platform/qt/qtbridge.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QWidget>
#include <atomic>
#include <QTimer>
#include <thread>

#include "platform/messaging/messaging.h"

using namespace plat;

namespace {
int g_posted = 0;
int g_timer = 0;
LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_USER) ++g_posted;
  if (m == WM_TIMER) {
    ++g_timer;
    KillTimer(h, w);
  }
  if (g_posted == 2 && g_timer == 1) QCoreApplication::quit();
  return DefWindowProc(h, m, w, l);
}
}  // namespace

TEST(QtBridge, QtLoopDrivesPostedMessagesAndTimers) {
  int argc = 1;
  char arg0[] = "qtbridge_test";
  char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);
  InstallQtBridge();
  RegisterClass("BridgeTestClass", Proc);
  HWND h = CreateWindow("BridgeTestClass");
  PostMessage(h, WM_USER, 0, 0);
  SetTimer(h, 1, 30);
  std::thread other([h] { PostMessage(h, WM_USER, 0, 0); });
  QTimer::singleShot(5000, &app, [] { QCoreApplication::exit(1); });
  int rc = app.exec();
  other.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(g_posted, 2);
  EXPECT_EQ(g_timer, 1);
  // "Process messages" in a Qt program handles our queue too.
  PostMessage(h, WM_USER, 0, 0);
  ProcessMessages();
  EXPECT_EQ(g_posted, 3);
  DestroyWindow(h);
  RemoveQtBridge();
}

// The pump's wait in a Qt program sleeps in Qt's loop: Qt's own events
// and our queue both end it, and it times out when neither comes.
TEST(QtBridge, WaitForMessagesWakesForQtEventsAndOurQueue) {
  int argc = 1;
  char arg0[] = "qtbridge_test";
  char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);
  InstallQtBridge();
  RegisterClass("BridgeWaitClass", Proc);
  HWND h = CreateWindow("BridgeWaitClass");
  ProcessMessages();

  bool qtFired = false;
  QTimer::singleShot(40, &app, [&] { qtFired = true; });
  std::int64_t t0 = TickMs();
  // Each wait ends when the event comes, long before its limit.
  while (!qtFired && TickMs() - t0 < 40000) WaitForMessages(20000);
  EXPECT_TRUE(qtFired);
  EXPECT_LT(TickMs() - t0, 10000);

  int before = g_posted;
  std::thread other([h] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    PostMessage(h, WM_USER, 0, 0);
  });
  t0 = TickMs();
  while (g_posted == before && TickMs() - t0 < 40000) WaitForMessages(20000);
  other.join();
  EXPECT_EQ(g_posted, before + 1) << "our post was dispatched from inside Qt's wait";
  EXPECT_LT(TickMs() - t0, 10000);

  t0 = TickMs();
  WaitForMessages(60);
  EXPECT_GE(TickMs() - t0, 55);
  DestroyWindow(h);
  RemoveQtBridge();
}

namespace {
// A top-level window that may refuse to close, as a window with unsaved
// work does.
class Refusing : public QWidget {
 public:
  bool refuse = true;

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (refuse) e->ignore();
  }
};
}  // namespace

// Qt ends the program by itself (quit(), the last window closed): that is
// the program's end for every wait, as a quit our loop takes is; a quit a
// window refused is not.
TEST(QtBridge, QtsOwnQuitIsTheProgramsEnd) {
  int argc = 1;
  char arg0[] = "qtbridge_test";
  char* argv[] = {arg0, nullptr};
  QApplication app(argc, argv);
  InstallQtBridge();
  ResetProgramEndingForTests();
  Refusing window;
  window.show();

  std::atomic<bool> registered{false}, woke{false}, sawEnd{false};
  std::thread sleeper([&] {
    CurrentThreadQueue();
    registered = true;
    woke = WaitMessage(60000);
    sawEnd = ProgramEnding();
  });
  while (!registered) std::this_thread::yield();

  bool refusedSeen = true, endSeenInHandler = false;
  QTimer::singleShot(0, &app, [&] {
    QCoreApplication::quit();
    refusedSeen = ProgramEnding();
    window.refuse = false;
    QCoreApplication::quit();
    // A wait inside a handler sees the end at once, before Qt's loop returns.
    endSeenInHandler = ProgramEnding();
  });
  QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app.exec(), 0);
  sleeper.join();
  EXPECT_FALSE(refusedSeen) << "a window refused that quit";
  EXPECT_TRUE(endSeenInHandler);
  EXPECT_TRUE(woke) << "the other thread's wait was woken";
  EXPECT_TRUE(sawEnd);
  RemoveQtBridge();
  ResetProgramEndingForTests();
}

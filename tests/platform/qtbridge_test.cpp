#include "platform/qt/qtbridge.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
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

#include "platform/messaging/messaging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support/wait.h"

using namespace plat;
using testsupport::kPatienceMs;
using testsupport::PumpUntil;

namespace {

// A window whose procedure records what it receives and may run an action.
struct Recorder {
  std::vector<MSG> seen;
  std::function<void(const MSG&)> action;
};

LRESULT CALLBACK_Recorder(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto* r = reinterpret_cast<Recorder*>(GetWindowLongPtr(h, 0));
  if (!r || m == WM_DESTROY) return DefWindowProc(h, m, w, l);
  MSG msg{h, m, w, l};
  r->seen.push_back(msg);
  if (r->action) r->action(msg);
  return 0;
}

HWND MakeWindow(Recorder& r) {
  RegisterClass("TestRecorderClass", CALLBACK_Recorder);
  HWND h = CreateWindow("TestRecorderClass");
  SetWindowLongPtr(h, 0, reinterpret_cast<LONG_PTR>(&r));
  return h;
}

}  // namespace

TEST(Messaging, HandlesAreUniqueAndNeverZeroOrMinusOne) {
  std::uintptr_t prev = NewHandle();
  for (int i = 0; i < 1000; ++i) {
    std::uintptr_t h = NewHandle();
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, ~std::uintptr_t{0});
    EXPECT_GT(h, prev);
    prev = h;
  }
  Recorder r;
  HWND a = MakeWindow(r);
  DestroyWindow(a);
  HWND b = MakeWindow(r);
  EXPECT_NE(a, b);
  DestroyWindow(b);
}

TEST(Messaging, ClassRegistersOnceAndUnknownClassGivesNoWindow) {
  EXPECT_TRUE(RegisterClass("OnceOnlyClass", CALLBACK_Recorder));
  EXPECT_FALSE(RegisterClass("OnceOnlyClass", CALLBACK_Recorder));
  EXPECT_TRUE(IsClassRegistered("OnceOnlyClass"));
  EXPECT_EQ(CreateWindow("NoSuchClass"), 0u);
}

TEST(Messaging, PostedMessagesArriveInOrderAndNeverInsideThePost) {
  Recorder r;
  HWND h = MakeWindow(r);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PostMessage(h, WM_USER + 1, i, -i));
  EXPECT_TRUE(r.seen.empty());  // nothing fires inside the caller's call
  DrainMessages();
  ASSERT_EQ(r.seen.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(r.seen[i].wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(r.seen[i].lParam, -i);
  }
  DestroyWindow(h);
}

TEST(Messaging, MessagesFromOtherThreadsKeepEachSendersOrder) {
  Recorder r;
  HWND h = MakeWindow(r);
  constexpr int kThreads = 4, kEach = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([h, t] {
      for (int i = 0; i < kEach; ++i) PostMessage(h, WM_USER + t, i, 0);
    });
  for (auto& th : threads) th.join();
  PumpUntil([&] { return r.seen.size() == kThreads * kEach; });
  ASSERT_EQ(r.seen.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<WPARAM> next(kThreads, 0);
  for (const MSG& m : r.seen) {
    int t = static_cast<int>(m.message - WM_USER);
    EXPECT_EQ(m.wParam, next[t]) << "thread " << t;
    next[t] = m.wParam + 1;
  }
  DestroyWindow(h);
}

TEST(Messaging, GetMessageWakesForAPostFromAnotherThread) {
  Recorder r;
  HWND h = MakeWindow(r);
  std::thread poster([h] {
    usleep(50 * 1000);  // most likely the wait blocks by then; if not, it only returns sooner
    PostMessage(h, WM_USER + 7, 1, 2);
  });
  MSG m;
  ASSERT_TRUE(GetMessage(m));
  EXPECT_EQ(m.message, WM_USER + 7u);
  poster.join();
  DestroyWindow(h);
}

TEST(Messaging, MessagesForADestroyedWindowAreDropped) {
  Recorder r;
  HWND h = MakeWindow(r);
  PostMessage(h, WM_USER, 0, 0);
  DestroyWindow(h);
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
  DrainMessages();
  EXPECT_TRUE(r.seen.empty());
}

TEST(Messaging, WindowDestroyedInsideItsOwnHandler) {
  Recorder r;
  HWND h = MakeWindow(r);
  r.action = [](const MSG& m) {
    if (m.message == WM_USER) DestroyWindow(m.hwnd);
  };
  PostMessage(h, WM_USER, 0, 0);
  PostMessage(h, WM_USER + 1, 0, 0);
  DrainMessages();
  ASSERT_EQ(r.seen.size(), 1u);
  EXPECT_FALSE(IsWindow(h));
}

TEST(Messaging, QuitEndsTheLoopAndKeepsItsCode) {
  Recorder r;
  HWND h = MakeWindow(r);
  PostMessage(h, WM_USER, 0, 0);
  PostQuitMessage(3);
  PostMessage(h, WM_USER + 1, 0, 0);
  EXPECT_EQ(RunMessageLoop(), 3);
  EXPECT_EQ(r.seen.size(), 1u);
  // A drain stops at a quit and leaves it for the outer loop.
  PostQuitMessage(4);
  DrainMessages();
  MSG m;
  ASSERT_TRUE(PeekMessage(m, true));
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 4u);
  DrainMessages();  // the message posted after the first quit
  EXPECT_EQ(r.seen.size(), 2u);
  DestroyWindow(h);
}

TEST(Messaging, ReentrantPumpingFromAHandlerIsSafe) {
  Recorder r;
  HWND h = MakeWindow(r);
  r.action = [h](const MSG& m) {
    if (m.message == WM_USER) {
      PostMessage(h, WM_USER + 2, 0, 0);
      DrainMessages();  // sees WM_USER + 1 and + 2 before returning
    }
  };
  PostMessage(h, WM_USER, 0, 0);
  PostMessage(h, WM_USER + 1, 0, 0);
  DrainMessages();
  ASSERT_EQ(r.seen.size(), 3u);
  EXPECT_EQ(r.seen[0].message, WM_USER);
  EXPECT_EQ(r.seen[1].message, WM_USER + 1);
  EXPECT_EQ(r.seen[2].message, WM_USER + 2);
  DestroyWindow(h);
}

TEST(Messaging, TimersFireRepeatedlyAfterPostedMessagesAndStopWhenKilled) {
  Recorder r;
  HWND h = MakeWindow(r);
  // Read before the timer is set: the thread may be held up between the two.
  std::int64_t start = TickMs();
  ASSERT_EQ(SetTimer(h, 9, 20), 9u);
  PostMessage(h, WM_USER, 0, 0);
  int fired = 0;
  r.action = [&](const MSG& m) {
    if (m.message == WM_TIMER) ++fired;
  };
  MSG m;
  while (fired < 3 && GetMessage(m)) DispatchMessage(m);
  EXPECT_GE(TickMs() - start, 55);
  EXPECT_EQ(r.seen.front().message, WM_USER);
  EXPECT_EQ(r.seen.back().wParam, 9u);
  EXPECT_TRUE(KillTimer(h, 9));
  EXPECT_FALSE(KillTimer(h, 9));
  EXPECT_EQ(MsUntilNextTimer(), -1);
  DestroyWindow(h);
}

TEST(Messaging, DestroyingAWindowKillsItsTimers) {
  Recorder r;
  HWND h = MakeWindow(r);
  SetTimer(h, 1, 1);
  DestroyWindow(h);
  EXPECT_EQ(MsUntilNextTimer(), -1);
}

namespace {
struct PipeWatcher : IoWatcher {
  HWND target = 0;
  int fd = -1;
  void OnIoReady(std::uint32_t) override {
    char c;
    if (read(fd, &c, 1) == 1) PostMessage(target, WM_USER + 50, static_cast<unsigned char>(c), 0);
  }
};
}  // namespace

TEST(Messaging, ReadyDescriptorsBecomePostedMessages) {
  Recorder r;
  HWND h = MakeWindow(r);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  PipeWatcher w;
  w.target = h;
  w.fd = p[0];
  ASSERT_TRUE(WatchFd(p[0], 0x001 /*EPOLLIN*/, &w));
  std::thread writer([&] {
    usleep(30 * 1000);  // most likely the wait blocks by then; if not, it only returns sooner
    ASSERT_EQ(write(p[1], "x", 1), 1);
  });
  MSG m;
  ASSERT_TRUE(GetMessage(m));  // blocks in epoll until the byte arrives
  EXPECT_EQ(m.message, WM_USER + 50u);
  EXPECT_EQ(m.wParam, static_cast<WPARAM>('x'));
  writer.join();
  UnwatchFd(p[0]);
  close(p[0]);
  close(p[1]);
  DestroyWindow(h);
}

TEST(Messaging, WorkHandedToAThreadRunsOnIt) {
  ThreadQueueId me = CurrentThreadQueue();
  std::thread::id ranOn;
  std::thread other([&] { RunOnThread(me, [&] { ranOn = std::this_thread::get_id(); }); });
  other.join();
  PumpUntil([&] { return ranOn != std::thread::id(); });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// Another thread that keeps handing work over (as busy server connections
// do) must not keep the loop from its messages and timers, and what a turn
// leaves for later must not wait for some other wake-up.
TEST(Messaging, HandedOverWorkDoesNotStarveTheLoop) {
  ThreadQueueId me = CurrentThreadQueue();
  Recorder r;
  HWND h = MakeWindow(r);
  std::atomic<bool> stop{false};
  std::atomic<int> ran{0};
  // The flood ends by itself after a while, so that a loop it starves still
  // gets to the message, late enough to fail the check below.
  const std::int64_t floodEnd = TickMs() + 20000;
  std::thread flood([&] {
    while (!stop && TickMs() < floodEnd) {
      RunOnThread(me, [&] {
        ++ran;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      });
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a backlog waits
  PostMessage(h, WM_USER, 0, 0);
  std::int64_t t0 = TickMs();
  MSG m;
  while (GetMessage(m) && m.message != WM_USER) DispatchMessage(m);
  EXPECT_LT(TickMs() - t0, 10000) << "the handed-over work kept the loop from its message";
  stop = true;
  flood.join();

  // A batch bigger than one turn: the rest runs from a plain wait.
  for (int i = 0; i < 40; ++i)
    RunOnThread(me, [i, h] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (i == 39) PostMessage(h, WM_USER + 2, 0, 0);
    });
  EXPECT_TRUE(DispatchBatch(256)) << "one turn leaves work for the next";
  // An unrelated message comes much later (or once the leftovers are done).
  testsupport::Signal leftoversDone;
  std::thread late([h, &leftoversDone] {
    leftoversDone.Wait(20000);
    PostMessage(h, WM_USER + 1, 0, 0);
  });
  t0 = TickMs();
  while (GetMessage(m) && m.message != WM_USER + 2) DispatchMessage(m);
  EXPECT_LT(TickMs() - t0, 10000) << "the leftovers waited for an unrelated message";
  leftoversDone.Set();
  late.join();
  DrainMessages();
  DestroyWindow(h);
}

TEST(Messaging, TickSourceCanBeInjected) {
  SetTickSourceForTests([] { return std::int64_t{86400000} + 5; });
  EXPECT_EQ(TickMs(), 86400005);
  SetTickSourceForTests(nullptr);
  EXPECT_LT(TickMs(), std::int64_t{86400000} * 365 * 100);
}

// The wait sleeps until something for the thread waits, whatever its kind,
// and dispatches nothing itself.
TEST(Messaging, WaitMessageWakesForEachKindOfWorkOrTimesOut) {
  Recorder r;
  HWND h = MakeWindow(r);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  struct Watcher : IoWatcher {
    HWND target = 0;
    int fd = -1;
    void OnIoReady(std::uint32_t) override {
      char c;
      if (read(fd, &c, 1) == 1) PostMessage(target, WM_USER + 3, 0, 0);
    }
  } watcher;
  watcher.target = h;
  watcher.fd = p[0];
  ASSERT_TRUE(WatchFd(p[0], 0x001 /*EPOLLIN*/, &watcher));
  ThreadQueueId me = CurrentThreadQueue();
  struct Case {
    const char* name;
    std::function<void()> arrange;  // runs on another thread after 40 ms
    std::function<void()> atOnce;   // runs before the wait, on this thread
    bool woken;
  };
  const Case cases[] = {
      {"nothing comes", nullptr, nullptr, false},
      {"a post from another thread", [h] { PostMessage(h, WM_USER + 1, 0, 0); }, nullptr, true},
      {"handed-over work", [me] { RunOnThread(me, [] {}); }, nullptr, true},
      {"a ready descriptor", [&] { ASSERT_EQ(write(p[1], "x", 1), 1); }, nullptr, true},
      {"a timer falling due", nullptr, [h] { SetTimer(h, 9, 40); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Counted from before anything is arranged: whatever comes, comes 40 ms
    // after this at the earliest, however late this thread gets to wait.
    std::int64_t t0 = TickMs();
    if (c.atOnce) c.atOnce();
    std::thread other([&c] {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      if (c.arrange) c.arrange();
    });
    // What comes ends the wait long before its limit; with nothing, the
    // wait lasts its limit.
    const int limit = c.woken ? kPatienceMs : 300;
    bool woken = WaitMessage(limit);
    std::int64_t took = TickMs() - t0;
    other.join();
    EXPECT_EQ(woken, c.woken);
    if (c.woken) {
      EXPECT_GE(took, 30);
      EXPECT_LT(took, kPatienceMs / 2);
      EXPECT_TRUE(r.seen.empty()) << "the wait dispatched";
    } else {
      EXPECT_GE(took, 300);
    }
    KillTimer(h, 9);
    DrainMessages();
    r.seen.clear();
  }
  EXPECT_FALSE(WaitMessage(0));
  PostMessage(h, WM_USER, 0, 0);
  EXPECT_TRUE(WaitMessage(0));
  EXPECT_TRUE(WaitMessage(-1)) << "no limit, but something waits already";
  DrainMessages();
  UnwatchFd(p[0]);
  close(p[0]);
  close(p[1]);
  DestroyWindow(h);
}

TEST(Messaging, QuitPutBackByAPumpIsSeenWaiting) {
  Recorder r;
  HWND h = MakeWindow(r);
  EXPECT_FALSE(QuitWaiting());
  PostMessage(h, WM_USER, 0, 0);
  PostQuitMessage(3);
  PostMessage(h, WM_USER + 1, 0, 0);
  EXPECT_FALSE(QuitWaiting()) << "a message is ahead of it";
  DrainMessages();
  EXPECT_EQ(r.seen.size(), 1u);
  EXPECT_TRUE(QuitWaiting());
  MSG m;
  ASSERT_FALSE(GetMessage(m));
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(QuitWaiting());
  DrainMessages();
  DestroyWindow(h);
}

// A quit taken by another thread's loop ends only that loop; one taken by the
// main thread's loop ends the program, and a thread asleep in a long wait
// wakes for it.
TEST(Messaging, QuitOnTheMainThreadEndsTheProgramAndWakesEveryWait) {
  ResetProgramEndingForTests();
  std::thread other([] {
    PostQuitMessage(1);
    EXPECT_EQ(RunMessageLoop(), 1);
  });
  other.join();
  EXPECT_FALSE(ProgramEnding());

  std::atomic<bool> registered{false}, woke{false}, sawEnd{false};
  std::thread sleeper([&] {
    CurrentThreadQueue();
    registered = true;
    woke = WaitMessage(20000);
    sawEnd = ProgramEnding();
  });
  PumpUntil([&] { return registered.load(); });
  PostQuitMessage(2);
  EXPECT_EQ(RunMessageLoop(), 2);
  EXPECT_TRUE(ProgramEnding());
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_TRUE(sawEnd);
  ResetProgramEndingForTests();
}

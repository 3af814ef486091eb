#include "platform/messaging/messaging.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};

struct ThreadQueue;

struct Window {
  HWND handle = 0;
  WNDPROC proc = nullptr;
  LONG_PTR long0 = 0;
  std::weak_ptr<ThreadQueue> queue;
  ThreadQueueId thread = 0;
};

struct TimerKey {
  HWND hwnd;
  UINT_PTR id;
  bool operator<(const TimerKey& o) const { return hwnd != o.hwnd ? hwnd < o.hwnd : id < o.id; }
};

struct Timer {
  UINT interval;
  std::int64_t due;
};

struct FdSlot {
  IoWatcher* watcher = nullptr;
  std::uint32_t generation = 0;
  bool active = false;
};

struct ThreadQueue {
  ThreadQueueId id = 0;
  int epfd = -1;
  int wakefd = -1;

  std::mutex mutex;                 // guards msgs, tasks, wakePending
  std::deque<MSG> msgs;
  std::deque<std::function<void()>> tasks;
  bool wakePending = false;

  // Touched by the owning thread only.
  std::map<TimerKey, Timer> timers;
  std::vector<FdSlot> fds;
  bool quitRequested = false;
  int quitCode = 0;
  int peeksSincePoll = 0;

  ThreadQueue() {
    epfd = ::epoll_create1(EPOLL_CLOEXEC);
    wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    ::epoll_ctl(epfd, EPOLL_CTL_ADD, wakefd, &ev);
  }
  ~ThreadQueue() {
    if (wakefd >= 0) ::close(wakefd);
    if (epfd >= 0) ::close(epfd);
  }

  // Caller holds `mutex`.
  void WakeLocked() {
    if (wakePending) return;
    wakePending = true;
    std::uint64_t one = 1;
    ssize_t r = ::write(wakefd, &one, sizeof one);
    (void)r;
  }
};

std::atomic<std::uintptr_t> g_handleCounter{0};

std::mutex g_classMutex;
std::unordered_map<std::string, WNDPROC> g_classes;

std::mutex g_windowMutex;
std::unordered_map<HWND, Window> g_windows;

std::mutex g_threadMutex;
std::unordered_map<ThreadQueueId, std::weak_ptr<ThreadQueue>> g_threads;

std::mutex g_tickMutex;
std::function<std::int64_t()> g_tickSource;
std::atomic<bool> g_tickOverridden{false};

std::mutex g_hookMutex;
std::function<void()> g_processHook;
std::function<void(int)> g_waitHook;

struct ThreadQueueHolder {
  std::shared_ptr<ThreadQueue> q;
  ~ThreadQueueHolder() {
    if (!q) return;
    std::lock_guard<std::mutex> lock(g_threadMutex);
    g_threads.erase(q->id);
  }
};

thread_local ThreadQueueHolder t_queue;

ThreadQueue& Q() {
  if (!t_queue.q) {
    auto q = std::make_shared<ThreadQueue>();
    q->id = NewHandle();
    {
      std::lock_guard<std::mutex> lock(g_threadMutex);
      g_threads[q->id] = q;
    }
    t_queue.q = std::move(q);
  }
  return *t_queue.q;
}

std::int64_t RealTickMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to timeoutMs (0 = poll) and hands every ready descriptor to its
// watcher. Watchers only post; they are looked up per event so that one
// removed by an earlier event of the same batch is not called.
void PollIo(ThreadQueue& q, int timeoutMs) {
  epoll_event events[256];
  int n;
  do {
    n = ::epoll_wait(q.epfd, events, 256, timeoutMs);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    std::uint64_t tag = events[i].data.u64;
    if (tag == kWakeTag) {
      std::uint64_t v;
      ssize_t r = ::read(q.wakefd, &v, sizeof v);
      (void)r;
      std::lock_guard<std::mutex> lock(q.mutex);
      q.wakePending = false;
      continue;
    }
    int fd = static_cast<int>(tag & 0xFFFFFFFFu);
    std::uint32_t gen = static_cast<std::uint32_t>(tag >> 32);
    if (fd < 0 || static_cast<std::size_t>(fd) >= q.fds.size()) continue;
    FdSlot& slot = q.fds[static_cast<std::size_t>(fd)];
    if (!slot.active || slot.generation != gen || !slot.watcher) continue;
    slot.watcher->OnIoReady(events[i].events);
  }
}

// Runs the work handed over so far, for one time slice at most. Work handed
// over meanwhile, and what the slice leaves, waits for the next turn: other
// threads that keep handing work over must not keep the loop from its
// messages, timers and (under Qt) its own events.
constexpr std::int64_t kTaskSliceMs = 5;

void RunTasks(ThreadQueue& q) {
  std::size_t n;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    n = q.tasks.size();
  }
  std::int64_t end = RealTickMs() + kTaskSliceMs;
  while (n-- > 0) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      if (q.tasks.empty()) return;
      if (RealTickMs() >= end) {
        // Left for later: keep the thread woken, so that a wait for
        // descriptors does not sleep on them.
        q.WakeLocked();
        return;
      }
      fn = std::move(q.tasks.front());
      q.tasks.pop_front();
    }
    fn();
  }
}

bool TakeDueTimer(ThreadQueue& q, MSG& msg, bool remove) {
  if (q.timers.empty()) return false;
  std::int64_t now = RealTickMs();
  auto best = q.timers.end();
  for (auto it = q.timers.begin(); it != q.timers.end(); ++it)
    if (it->second.due <= now && (best == q.timers.end() || it->second.due < best->second.due)) best = it;
  if (best == q.timers.end()) return false;
  msg.hwnd = best->first.hwnd;
  msg.message = WM_TIMER;
  msg.wParam = best->first.id;
  msg.lParam = 0;
  if (remove) best->second.due = now + best->second.interval;
  return true;
}

// Looks for the next message without polling descriptors.
bool PeekQueued(ThreadQueue& q, MSG& msg, bool remove) {
  RunTasks(q);
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.msgs.empty()) {
      msg = q.msgs.front();
      if (remove) q.msgs.pop_front();
      return true;
    }
  }
  return TakeDueTimer(q, msg, remove);
}

void PutBackFront(ThreadQueue& q, const MSG& msg) {
  std::lock_guard<std::mutex> lock(q.mutex);
  q.msgs.push_front(msg);
}

std::atomic<bool> g_programEnding{false};

// A loop of the program took a quit message. On the main thread that ends
// the program: every other thread gets a hand-over that does nothing, which
// ends a wait for messages, so that a wait can see the end.
void NoteQuitTaken() {
  if (::gettid() != ::getpid() || g_programEnding.exchange(true)) return;
  std::vector<std::shared_ptr<ThreadQueue>> queues;
  {
    std::lock_guard<std::mutex> lock(g_threadMutex);
    for (auto& [id, weak] : g_threads)
      if (auto q = weak.lock(); q && q != t_queue.q) queues.push_back(std::move(q));
  }
  for (auto& q : queues) {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->tasks.push_back([] {});
    q->WakeLocked();
  }
}

}  // namespace

std::uintptr_t NewHandle() {
  for (;;) {
    std::uintptr_t h = g_handleCounter.fetch_add(1) + 1;
    if (h != 0 && h != ~std::uintptr_t{0}) return h;
  }
}

// ---- classes and windows ----------------------------------------------------------

bool RegisterClass(const std::string& className, WNDPROC proc) {
  std::lock_guard<std::mutex> lock(g_classMutex);
  return g_classes.emplace(className, proc).second;
}

bool IsClassRegistered(const std::string& className) {
  std::lock_guard<std::mutex> lock(g_classMutex);
  return g_classes.count(className) != 0;
}

HWND CreateWindow(const std::string& className) {
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> lock(g_classMutex);
    auto it = g_classes.find(className);
    if (it == g_classes.end()) return 0;
    proc = it->second;
  }
  ThreadQueue& q = Q();
  Window w;
  w.handle = NewHandle();
  w.proc = proc;
  w.queue = t_queue.q;
  w.thread = q.id;
  std::lock_guard<std::mutex> lock(g_windowMutex);
  g_windows.emplace(w.handle, w);
  return w.handle;
}

bool DestroyWindow(HWND hwnd) {
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return false;
    proc = it->second.proc;
  }
  if (proc) proc(hwnd, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    g_windows.erase(hwnd);
  }
  if (t_queue.q) {
    auto& timers = t_queue.q->timers;
    for (auto it = timers.begin(); it != timers.end();) {
      if (it->first.hwnd == hwnd)
        it = timers.erase(it);
      else
        ++it;
    }
  }
  return true;
}

bool IsWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_windowMutex);
  return g_windows.count(hwnd) != 0;
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
  if (index != 0) return 0;
  std::lock_guard<std::mutex> lock(g_windowMutex);
  auto it = g_windows.find(hwnd);
  if (it == g_windows.end()) return 0;
  LONG_PTR old = it->second.long0;
  it->second.long0 = value;
  return old;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
  if (index != 0) return 0;
  std::lock_guard<std::mutex> lock(g_windowMutex);
  auto it = g_windows.find(hwnd);
  return it == g_windows.end() ? 0 : it->second.long0;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

// ---- queue ----------------------------------------------------------------------

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return false;
    q = it->second.queue.lock();
  }
  if (!q) return false;
  std::lock_guard<std::mutex> lock(q->mutex);
  q->msgs.push_back(MSG{hwnd, msg, wParam, lParam});
  q->WakeLocked();
  return true;
}

void PostQuitMessage(int exitCode) {
  ThreadQueue& q = Q();
  std::lock_guard<std::mutex> lock(q.mutex);
  q.msgs.push_back(MSG{0, WM_QUIT, static_cast<WPARAM>(exitCode), 0});
  q.WakeLocked();
}

bool PeekMessage(MSG& msg, bool remove) {
  ThreadQueue& q = Q();
  // Looking at the descriptors costs a system call; with messages waiting it
  // is enough to look every few messages, so that a flood of socket
  // notifications is not slowed down by one call per message.
  bool queued;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    queued = !q.msgs.empty();
  }
  if (!queued || ++q.peeksSincePoll >= 32) {
    q.peeksSincePoll = 0;
    PollIo(q, 0);
  }
  return PeekQueued(q, msg, remove);
}

bool QuitWaiting() {
  ThreadQueue& q = Q();
  std::lock_guard<std::mutex> lock(q.mutex);
  return q.quitRequested || (!q.msgs.empty() && q.msgs.front().message == WM_QUIT);
}

bool GetMessage(MSG& msg) {
  ThreadQueue& q = Q();
  for (;;) {
    if (PeekMessage(msg, true)) return msg.message != WM_QUIT;
    PollIo(q, MsUntilNextTimer());
  }
}

void TranslateMessage(const MSG&) {}

LRESULT DispatchMessage(const MSG& msg) {
  if (msg.hwnd == 0) return 0;
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    auto it = g_windows.find(msg.hwnd);
    if (it == g_windows.end()) return 0;
    proc = it->second.proc;
  }
  return proc ? proc(msg.hwnd, msg.message, msg.wParam, msg.lParam) : 0;
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DispatchMessage(MSG{hwnd, msg, wParam, lParam});
}

namespace {

enum class QuitMode { PutBack, Record };

// Dispatches up to `budget` messages: handed-over work first, posted messages
// in order, due timers once when nothing is posted. With `refill`, an empty
// queue is looked at again after polling the descriptors. A quit message is
// put back for the outer loop, or recorded for the Qt bridge.
void RunQueued(ThreadQueue& q, std::size_t budget, bool refill, QuitMode quit) {
  bool timersDone = false;
  MSG msg;
  while (budget-- > 0) {
    RunTasks(q);
    bool got = false;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      if (!q.msgs.empty()) {
        msg = q.msgs.front();
        q.msgs.pop_front();
        got = true;
      }
    }
    if (!got) {
      if (timersDone || !TakeDueTimer(q, msg, true)) {
        if (!refill) return;
        PollIo(q, 0);
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.msgs.empty() && q.tasks.empty()) return;
        continue;
      }
      timersDone = true;
    }
    if (msg.message == WM_QUIT) {
      NoteQuitTaken();
      if (quit == QuitMode::PutBack) {
        PutBackFront(q, msg);
        return;
      }
      q.quitRequested = true;
      q.quitCode = static_cast<int>(msg.wParam);
      continue;
    }
    DispatchMessage(msg);
  }
}

}  // namespace

void DrainMessages() {
  ThreadQueue& q = Q();
  PollIo(q, 0);
  std::size_t budget;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    budget = q.msgs.size() + 4096;
  }
  RunQueued(q, budget, true, QuitMode::PutBack);
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessage(msg)) {
    TranslateMessage(msg);
    DispatchMessage(msg);
  }
  NoteQuitTaken();
  return static_cast<int>(msg.wParam);
}

bool ProgramEnding() { return g_programEnding.load(); }

void NoteProgramEnding() { NoteQuitTaken(); }

void ResetProgramEndingForTests() { g_programEnding.store(false); }

namespace {
bool SomethingWaits(ThreadQueue& q) {
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.msgs.empty() || !q.tasks.empty()) return true;
  }
  std::int64_t now = RealTickMs();
  for (auto& [k, t] : q.timers)
    if (t.due <= now) return true;
  return false;
}
}  // namespace

bool WaitMessage(int timeoutMs) {
  ThreadQueue& q = Q();
  std::int64_t end = timeoutMs < 0 ? -1 : RealTickMs() + timeoutMs;
  for (;;) {
    PollIo(q, 0);
    if (SomethingWaits(q)) return true;
    int wait = -1;
    if (end >= 0) {
      std::int64_t left = end - RealTickMs();
      if (left <= 0) return false;
      wait = static_cast<int>(std::min<std::int64_t>(left, 0x7FFFFFFF));
    }
    int timer = MsUntilNextTimer();
    if (timer >= 0 && (wait < 0 || timer < wait)) wait = timer;
    // Sleeps in the descriptor wait; a post from any thread wakes it.
    PollIo(q, wait);
  }
}

// ---- timers ------------------------------------------------------------------------

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms) {
  if (id == 0) return 0;
  {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    if (hwnd != 0 && g_windows.count(hwnd) == 0) return 0;
  }
  ThreadQueue& q = Q();
  q.timers[TimerKey{hwnd, id}] = Timer{ms, RealTickMs() + ms};
  // A Qt bridge must re-plan its single-shot timer: wake the thread.
  std::lock_guard<std::mutex> lock(q.mutex);
  q.WakeLocked();
  return id;
}

bool KillTimer(HWND hwnd, UINT_PTR id) {
  ThreadQueue& q = Q();
  return q.timers.erase(TimerKey{hwnd, id}) != 0;
}

int MsUntilNextTimer() {
  ThreadQueue& q = Q();
  if (q.timers.empty()) return -1;
  std::int64_t now = RealTickMs();
  std::int64_t best = INT64_MAX;
  for (auto& [k, t] : q.timers) best = std::min(best, t.due);
  std::int64_t d = best - now;
  if (d < 0) d = 0;
  if (d > 0x7FFFFFFF) d = 0x7FFFFFFF;
  return static_cast<int>(d);
}

// ---- descriptors ----------------------------------------------------------------

int ThreadEpollFd() { return Q().epfd; }

namespace {
bool CtlFd(int op, int fd, std::uint32_t events, IoWatcher* watcher) {
  ThreadQueue& q = Q();
  if (fd < 0) return false;
  if (static_cast<std::size_t>(fd) >= q.fds.size()) q.fds.resize(static_cast<std::size_t>(fd) + 64);
  FdSlot& slot = q.fds[static_cast<std::size_t>(fd)];
  if (op == EPOLL_CTL_ADD) {
    slot.generation++;
    slot.active = true;
  }
  slot.watcher = watcher;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = (static_cast<std::uint64_t>(slot.generation) << 32) | static_cast<std::uint32_t>(fd);
  if (::epoll_ctl(q.epfd, op, fd, &ev) != 0) {
    if (op == EPOLL_CTL_ADD) slot.active = false;
    return false;
  }
  return true;
}
}  // namespace

bool WatchFd(int fd, std::uint32_t events, IoWatcher* watcher) { return CtlFd(EPOLL_CTL_ADD, fd, events, watcher); }

bool ModifyFd(int fd, std::uint32_t events, IoWatcher* watcher) { return CtlFd(EPOLL_CTL_MOD, fd, events, watcher); }

void UnwatchFd(int fd) {
  ThreadQueue& q = Q();
  if (fd < 0 || static_cast<std::size_t>(fd) >= q.fds.size()) return;
  FdSlot& slot = q.fds[static_cast<std::size_t>(fd)];
  if (!slot.active) return;
  slot.active = false;
  slot.watcher = nullptr;
  ::epoll_ctl(q.epfd, EPOLL_CTL_DEL, fd, nullptr);
}

ThreadQueueId CurrentThreadQueue() { return Q().id; }

bool RunOnThread(ThreadQueueId thread, std::function<void()> fn) {
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lock(g_threadMutex);
    auto it = g_threads.find(thread);
    if (it == g_threads.end()) return false;
    q = it->second.lock();
  }
  if (!q) return false;
  std::lock_guard<std::mutex> lock(q->mutex);
  q->tasks.push_back(std::move(fn));
  q->WakeLocked();
  return true;
}

std::int64_t TickMs() {
  if (g_tickOverridden.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(g_tickMutex);
    if (g_tickSource) return g_tickSource();
  }
  return RealTickMs();
}

void SetTickSourceForTests(std::function<std::int64_t()> source) {
  std::lock_guard<std::mutex> lock(g_tickMutex);
  g_tickSource = std::move(source);
  g_tickOverridden.store(static_cast<bool>(g_tickSource));
}

// ---- pumping ----------------------------------------------------------------------

void ProcessMessages() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    hook = g_processHook;
  }
  if (hook)
    hook();
  else
    DrainMessages();
}

void SetProcessMessagesHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(g_hookMutex);
  g_processHook = std::move(hook);
}

void WaitForMessages(int timeoutMs) {
  std::function<void(int)> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    hook = g_waitHook;
  }
  if (hook)
    hook(timeoutMs);
  else
    WaitMessage(timeoutMs);
}

void SetWaitForMessagesHook(std::function<void(int)> hook) {
  std::lock_guard<std::mutex> lock(g_hookMutex);
  g_waitHook = std::move(hook);
}

bool DispatchBatch(int maxMessages) {
  ThreadQueue& q = Q();
  PollIo(q, 0);
  RunQueued(q, maxMessages > 0 ? static_cast<std::size_t>(maxMessages) : 0, false, QuitMode::Record);
  PollIo(q, 0);
  std::lock_guard<std::mutex> lock(q.mutex);
  return !q.msgs.empty() || !q.tasks.empty();
}

std::size_t PendingMessageCount() {
  ThreadQueue& q = Q();
  std::lock_guard<std::mutex> lock(q.mutex);
  return q.msgs.size();
}

bool TakeQuitRequest(int& exitCode) {
  ThreadQueue& q = Q();
  if (!q.quitRequested) return false;
  q.quitRequested = false;
  exitCode = q.quitCode;
  return true;
}

}  // namespace plat

// Window messaging stand-in: hidden windows with a window procedure and a
// window long, a per-thread FIFO of posted messages, timers, and an epoll
// descriptor per thread into which the socket layer registers its
// descriptors. No Qt here: headless code drives it with GetMessage /
// DispatchMessage, the GUI programs through the Qt bridge (platform/qt).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace plat {

using HWND = std::uintptr_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;

constexpr UINT WM_NULL = 0;
constexpr UINT WM_DESTROY = 2;
constexpr UINT WM_QUIT = 18;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

inline std::uint16_t LOWORD(LPARAM v) { return static_cast<std::uint16_t>(static_cast<std::uintptr_t>(v) & 0xFFFF); }
inline std::uint16_t HIWORD(LPARAM v) { return static_cast<std::uint16_t>((static_cast<std::uintptr_t>(v) >> 16) & 0xFFFF); }
inline LPARAM MAKELONG(std::uint16_t lo, std::uint16_t hi) {
  return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}

// Process-wide unique handle values: never 0, never -1, never reused.
// Windows, sockets and lookup tasks all draw from this one counter, so a
// notification for a closed handle can always be told from a new one.
std::uintptr_t NewHandle();

// ---- window classes and windows -------------------------------------------

// Registers a class once; false when a class of that name exists already.
bool RegisterClass(const std::string& className, WNDPROC proc);
bool IsClassRegistered(const std::string& className);

// Creates a hidden window of a registered class, owned by the calling
// thread. Returns 0 when the class is unknown.
HWND CreateWindow(const std::string& className);
// Destroys the window (sends WM_DESTROY to its procedure first). Posted
// messages still queued for it are dropped at dispatch time.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);

// One pointer-sized long per window (index 0).
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// ---- the message queue -------------------------------------------------------

// Thread-safe: queues the message on the window's own thread and wakes it.
// False when the window does not exist.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT on the calling thread.
void PostQuitMessage(int exitCode);

// Removes (remove = true) or only looks at the next message of the calling
// thread. Polls the thread's descriptors first (zero time-out). False when
// nothing waits. A quit message is returned like any other.
bool PeekMessage(MSG& msg, bool remove = true);
// True when a quit message waits at the head of the calling thread's queue
// (a pump put it back for the outer loop) or was kept for the Qt bridge.
bool QuitWaiting();
// Waits for the next message; false when it is WM_QUIT.
bool GetMessage(MSG& msg);
void TranslateMessage(const MSG& msg);
// Looks the window up now: a message for a window that is gone is dropped.
LRESULT DispatchMessage(const MSG& msg);
// Calls the window procedure directly, on the calling thread.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Dispatches everything that waits now (quit messages are put back for the
// outer loop) and returns. The class library's "process messages" without Qt.
void DrainMessages();

// Runs a get/dispatch loop until WM_QUIT; returns its exit code.
int RunMessageLoop();

// The program's end: the program's own loop on its main thread has taken a
// quit message (RunMessageLoop, a drain, or the Qt bridge's batch). A quit
// that another thread's loop takes ends only that loop. Once set it stays
// set, and every thread's wait is woken so that waits can give up.
bool ProgramEnding();
// A loop that is not ours (Qt's) is ending the program: the same as a quit
// taken by our loop on the main thread. Called on the main thread.
void NoteProgramEnding();
// Tests start a new program.
void ResetProgramEndingForTests();

// Sleeps until something waits for the calling thread (a posted message,
// handed-over work, a due timer, or a ready descriptor's notification) or
// timeoutMs milliseconds have passed (negative: no limit; 0: only look).
// Dispatches nothing. True when something waits.
bool WaitMessage(int timeoutMs);

// ---- timers -------------------------------------------------------------------

// Delivers WM_TIMER (wParam = id) to hwnd every `ms` milliseconds, whenever no
// posted message is waiting. Setting an existing id restarts it. Returns id,
// or 0 on failure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms);
bool KillTimer(HWND hwnd, UINT_PTR id);

// ---- descriptors for the socket layer ---------------------------------------

// Called on the owning thread, from inside a pump, when a registered
// descriptor is ready (level-triggered epoll events).
class IoWatcher {
 public:
  virtual void OnIoReady(std::uint32_t epollEvents) = 0;

 protected:
  ~IoWatcher() = default;
};

// The calling thread's epoll descriptor (made on first use).
int ThreadEpollFd();
// Register / change / remove a descriptor in the calling thread's epoll set.
// `events` are EPOLL* bits; 0 keeps the descriptor registered but silent.
bool WatchFd(int fd, std::uint32_t events, IoWatcher* watcher);
bool ModifyFd(int fd, std::uint32_t events, IoWatcher* watcher);
void UnwatchFd(int fd);

// Identifies a thread's queue, so that work can be handed back to it.
using ThreadQueueId = std::uint64_t;
ThreadQueueId CurrentThreadQueue();
// Thread-safe: runs `fn` on that thread from inside its pump, before the
// posted messages that follow. False when the thread's queue is gone.
bool RunOnThread(ThreadQueueId thread, std::function<void()> fn);

// Milliseconds of the one monotonic clock every stamp and duration uses.
std::int64_t TickMs();
// Tests replace the clock; an empty function restores the real one.
void SetTickSourceForTests(std::function<std::int64_t()> source);

// ---- pumping ----------------------------------------------------------------

// The class library's "process messages": without a hook, DrainMessages;
// the Qt bridge installs one that also lets Qt handle its events.
void ProcessMessages();
void SetProcessMessagesHook(std::function<void()> hook);
// The wait that goes with ProcessMessages, for loops that pump until some
// condition holds: without a hook, WaitMessage; the Qt bridge installs one
// that also wakes for Qt's own events.
void WaitForMessages(int timeoutMs);
void SetWaitForMessagesHook(std::function<void(int timeoutMs)> hook);

// For the Qt bridge: one bounded batch of work (descriptors, tasks, posted
// messages and due timers); true when more work is waiting. And the time in
// ms until the calling thread's next timer is due (-1 for none).
bool DispatchBatch(int maxMessages);
int MsUntilNextTimer();
// Number of messages waiting in the calling thread's queue.
std::size_t PendingMessageCount();
// A batch never dispatches WM_QUIT; it keeps the request here for the
// bridge to act on. True (with the exit code) once per quit message.
bool TakeQuitRequest(int& exitCode);

}  // namespace plat

// What the stand-in's files share: the process-wide state, the socket
// record with its asynchronous select, the error state and the lookup
// pool's entry. Not for use outside platform/winsock.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/winsock/winsock.h"

namespace plat::winsock_detail {

// ---- the calling thread's WinSock error ------------------------------------------

void SetWsaError(int code);
int WsaError();
// Sets the error and returns SOCKET_ERROR.
int Fail(int code);
// errno to the WinSock code of the same meaning.
int MapErrno(int e);
int FailErrno();

// ---- process-wide state -------------------------------------------------------------

struct Sock;

struct Job;

struct LookupTask {
  HANDLE handle = 0;
  HWND hwnd = 0;
  UINT msg = 0;
  char* buf = nullptr;
  int buflen = 0;
  ThreadQueueId thread = 0;
  std::shared_ptr<Job> job;  // the resolution it waits for
};

struct Job {
  bool byAddr = false;
  std::string name;
  std::uint32_t addr = 0;
  std::string key;      // its entry in jobs
  bool taken = false;   // a worker resolves it: it has left the queue
  std::vector<HANDLE> waiting;
};

// Workers the lookup pool starts at most: enough that a few names that
// hang do not hold up the others, few enough to stay a small pool.
constexpr int kMaxLookupWorkers = winsock_testing::MaxLookupWorkers;


// Process-wide state. Never destroyed: detached lookup workers and the
// socket unit's release at program end may still use it while static
// objects are being torn down.
struct Globals {
  std::mutex stateMutex;  // start-up count, module, hooks
  int startCount = 0;
  std::atomic<bool> started{false};
  int moduleRefs = 0;
  HMODULE moduleHandle = 0;
  bool loadFails = false;
  std::string hidden;
  int startupError = 0;
  WinsockStats stats;

  std::mutex resolverMutex;
  winsock_testing::NameResolver resolver;
  std::atomic<int> resolutions{0};

  std::mutex sockMutex;
  std::unordered_map<SOCKET, Sock*> socks;

  std::mutex lookupMutex;
  std::condition_variable lookupCv;
  std::unordered_map<HANDLE, LookupTask> tasks;  // pending, not yet delivered
  std::unordered_map<std::string, std::shared_ptr<Job>> jobs;
  std::deque<std::shared_ptr<Job>> jobQueue;
  int workers = 0;
  int idleWorkers = 0;
  // Recently delivered tasks, so that a late cancel says "already done".
  std::unordered_set<HANDLE> delivered;
  std::deque<HANDLE> deliveredOrder;
};

Globals& G();
// False (with WSANOTINITIALISED) while the library is not started.
bool Started();
// Takes a task off its job; a job nobody waits for any more leaves the
// queue unless a worker has it already. Under lookupMutex.
void DropTask(std::unordered_map<HANDLE, LookupTask>::iterator task);
// Closes every socket and forgets every pending lookup. Never waits.
void CleanupAll();

// ---- sockets ---------------------------------------------------------------------

Sock* FindSock(SOCKET s);
void DestroySock(Sock* k);

// One socket. Its notification fields are touched only by the thread that
// registered it (all sockets of a component live on one thread).
struct Sock final : IoWatcher {
  SOCKET handle = INVALID_SOCKET;
  int fd = -1;
  int type = WS_SOCK_STREAM;
  bool nonblocking = false;

  // Windows linger setting; applied by the stand-in itself at close.
  bool lingerOn = false;
  int lingerSecs = 0;
  std::int64_t closeStarted = 0;

  // Asynchronous select.
  HWND hwnd = 0;
  UINT msg = 0;
  std::uint32_t mask = 0;
  ThreadQueueId thread = 0;
  bool watched = false;         // in the owner thread's epoll set
  std::uint32_t interest = 0;   // events registered there

  bool connecting = false;
  bool connected = false;
  bool listening = false;
  bool eof = false;             // peer closed its side (or the connection is gone)
  bool dead = false;            // hang-up or error seen: out of epoll for good
  bool readOutstanding = false;
  bool acceptOutstanding = false;
  bool writeArmed = false;
  bool closeReported = false;
  bool eofCheckQueued = false;

  bool Active() const { return connecting || connected || listening || type == WS_SOCK_DGRAM; }

  void Post(std::uint32_t ev, int err) {
    PostMessage(hwnd, msg, handle, MAKELONG(static_cast<std::uint16_t>(ev), static_cast<std::uint16_t>(err)));
  }

  int Pending() const {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
  }

  std::uint32_t Desired() const {
    if (mask == 0 || dead || !Active()) return 0;
    if (connecting) return EPOLLOUT;
    std::uint32_t e = 0;
    if (listening) {
      if ((mask & FD_ACCEPT) && !acceptOutstanding) e |= EPOLLIN;
      return e;
    }
    if (!eof) {
      if ((mask & FD_READ) && !readOutstanding) e |= EPOLLIN;
      if (type == WS_SOCK_STREAM && (mask & FD_CLOSE) && !closeReported) e |= EPOLLRDHUP;
    }
    if ((mask & FD_WRITE) && writeArmed) e |= EPOLLOUT;
    return e;
  }

  // Brings the epoll registration up to date. Bits are added at once;
  // bits no longer wanted are removed only when `full` (after the socket
  // spoke, or on a new registration), which saves a system call per
  // message on the common path.
  void Sync(bool full) {
    if (dead || !Active()) return;
    std::uint32_t want = Desired();
    if (!watched) {
      if (mask == 0) return;
      if (WatchFd(fd, want, this)) {
        watched = true;
        interest = want;
      }
      return;
    }
    std::uint32_t next = full ? want : (interest | want);
    if (next != interest && ModifyFd(fd, next, this)) interest = next;
  }

  void Detach() {
    if (watched) UnwatchFd(fd);
    watched = false;
    interest = 0;
    dead = true;
  }

  int SocketError() const {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
  }

  void OnIoReady(std::uint32_t ev) override;
  // Posts now what a fresh level-triggered poll would report.
  void Evaluate() {
    if (mask == 0 || dead || !Active()) return;
    std::uint32_t want = Desired();
    if (want == 0) return;
    pollfd p{};
    p.fd = fd;
    if (want & EPOLLIN) p.events |= POLLIN;
    if (want & EPOLLOUT) p.events |= POLLOUT;
    if (want & EPOLLRDHUP) p.events |= POLLRDHUP;
    if (::poll(&p, 1, 0) <= 0) return;
    std::uint32_t ev = 0;
    if (p.revents & POLLIN) ev |= EPOLLIN;
    if (p.revents & POLLOUT) ev |= EPOLLOUT;
    if (p.revents & POLLRDHUP) ev |= EPOLLRDHUP;
    if (p.revents & POLLHUP) ev |= EPOLLHUP;
    if (p.revents & POLLERR) ev |= EPOLLERR;
    OnIoReady(ev);
  }

  // Any recv re-enables FD_READ.
  void ReadDone() {
    if (!readOutstanding) return;
    readOutstanding = false;
    if (!eof) {
      Sync(false);
      return;
    }
    // The stream has ended: epoll no longer watches it, so look once the
    // current message has been handled whether bytes are still waiting.
    if (eofCheckQueued || mask == 0 || !(mask & FD_READ)) return;
    eofCheckQueued = true;
    SOCKET h = handle;
    if (!RunOnThread(thread, [h] {
          Sock* k = FindSock(h);
          if (!k) return;
          k->eofCheckQueued = false;
          if (!k->readOutstanding && k->mask & FD_READ && k->Pending() > 0) {
            k->readOutstanding = true;
            k->Post(FD_READ, 0);
          }
        }))
      eofCheckQueued = false;
  }
};

// The socket of a handle, or null with WSAENOTSOCK (or WSANOTINITIALISED).
Sock* Lookup(SOCKET s);
// The calling thread's message queue, the owner of the sockets it registers.
ThreadQueueId MyQueue();
SOCKET AddSock(int fd, int type);
bool ToPosix(const SOCKADDR* name, int namelen, sockaddr_in& out);
int FromPosix(const sockaddr_in& in, SOCKADDR* name, int* namelen);
// Waits for a blocking-mode socket.
bool WaitFd(int fd, short events);

// ---- host entries and the lookup pool -------------------------------------------------

struct HostAnswer {
  int error = 0;
  std::string name;
  std::vector<std::uint32_t> addrs;  // network order
};

HostAnswer ResolveName(const std::string& name);
HostAnswer ResolveAddr(std::uint32_t addr);
// Packs a host entry into buf; the bytes used, or 0 when not even the record fits.
int PackHostEnt(const HostAnswer& a, char* buf, int buflen);
// Queues a lookup whose answer is posted to hwnd with msg; 0 when refused.
HANDLE StartLookup(HWND hwnd, UINT msg, bool byAddr, const std::string& name, std::uint32_t addr, char* buf,
                   int buflen);

// ---- the exported functions -------------------------------------------------------------

// The entry of the library function of that name, or null.
FARPROC FindProc(const std::string& name);

}  // namespace plat::winsock_detail

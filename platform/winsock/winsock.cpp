#include "platform/winsock/winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace plat {

namespace {

thread_local std::uint32_t t_lastError = 0;
thread_local int t_wsaError = 0;

void SetWsaError(int code) { t_wsaError = code; }

int Fail(int code) {
  SetWsaError(code);
  return SOCKET_ERROR;
}

// errno to the WinSock code of the same meaning.
int MapErrno(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
  }
}

int FailErrno() { return Fail(MapErrno(errno)); }

int MapGai(int rc) {
  switch (rc) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

// ---- start-up state and test hooks ------------------------------------------------

struct Sock;

struct LookupTask {
  HANDLE handle = 0;
  HWND hwnd = 0;
  UINT msg = 0;
  char* buf = nullptr;
  int buflen = 0;
  ThreadQueueId thread = 0;
};

struct Job {
  bool byAddr = false;
  std::string name;
  std::uint32_t addr = 0;
  std::vector<HANDLE> waiting;
};


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

Globals& G() {
  static Globals* g = new Globals;
  return *g;
}




bool Started() {
  if (G().started.load(std::memory_order_acquire)) return true;
  SetWsaError(WSANOTINITIALISED);
  return false;
}

void RaiseFileLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
}

// ---- sockets ---------------------------------------------------------------------

struct Sock;

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

Sock* FindSock(SOCKET s) {
  std::lock_guard<std::mutex> lock(G().sockMutex);
  auto it = G().socks.find(s);
  return it == G().socks.end() ? nullptr : it->second;
}

Sock* Lookup(SOCKET s) {
  if (!Started()) return nullptr;
  Sock* k = FindSock(s);
  if (!k) SetWsaError(WSAENOTSOCK);
  return k;
}

void CloseFd(Sock* k) {
  if (k->lingerOn && k->lingerSecs == 0) {
    ::linger l{1, 0};
    ::setsockopt(k->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else {
    ::linger l{0, 0};
    ::setsockopt(k->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  ::close(k->fd);
}

// The thread's own queue, once it registered a socket; and whether its
// thread-local objects (the message queue among them) are gone, as at
// program end, when the epoll set must no longer be touched.
thread_local ThreadQueueId t_myQueue = 0;
thread_local bool t_threadGone = false;
struct ThreadGoneMark {
  ~ThreadGoneMark() { t_threadGone = true; }
};

ThreadQueueId MyQueue() {
  if (t_myQueue == 0 && !t_threadGone) {
    t_myQueue = CurrentThreadQueue();
    // Made after the queue, so torn down before it.
    thread_local ThreadGoneMark mark;
    (void)mark;
  }
  return t_myQueue;
}

void Sock::OnIoReady(std::uint32_t ev) {
  // A socket re-registered by another thread belongs to that thread now.
  if (dead || (thread != 0 && thread != t_myQueue)) return;
  bool hup = (ev & (EPOLLHUP | EPOLLERR)) != 0;
  if (connecting) {
    if (!(ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
    int err = SocketError();
    connecting = false;
    if (err == 0 && !(ev & EPOLLHUP)) {
      connected = true;
      unsigned zero = 0;
      ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &zero, sizeof zero);
      if (mask & FD_CONNECT) Post(FD_CONNECT, 0);
      if (mask & FD_WRITE) Post(FD_WRITE, 0);
      Sync(true);
    } else {
      if (err == 0) err = ECONNREFUSED;
      eof = true;
      if (mask & FD_CONNECT) Post(FD_CONNECT, MapErrno(err));
      Detach();
    }
    return;
  }
  if (listening) {
    if ((ev & EPOLLIN) && (mask & FD_ACCEPT) && !acceptOutstanding) {
      acceptOutstanding = true;
      Post(FD_ACCEPT, 0);
    }
    if (hup)
      Detach();
    else
      Sync(true);
    return;
  }
  if (type == WS_SOCK_DGRAM) {
    if (ev & EPOLLERR) SocketError();  // clears a pending datagram error
    if ((ev & EPOLLIN) && (mask & FD_READ) && !readOutstanding) {
      readOutstanding = true;
      Post(FD_READ, 0);
    }
    if ((ev & EPOLLOUT) && writeArmed && (mask & FD_WRITE)) {
      writeArmed = false;
      Post(FD_WRITE, 0);
    }
    Sync(true);
    return;
  }
  bool closing = hup || (ev & EPOLLRDHUP);
  if ((ev & EPOLLIN) && (mask & FD_READ) && !readOutstanding && !eof) {
    // At the end of the stream EPOLLIN is set without data.
    if (!closing || Pending() > 0) {
      readOutstanding = true;
      Post(FD_READ, 0);
    }
  }
  if (closing) {
    int err = (ev & EPOLLERR) ? SocketError() : 0;
    eof = true;
    if ((mask & FD_CLOSE) && !closeReported) {
      closeReported = true;
      Post(FD_CLOSE, err ? MapErrno(err) : 0);
    }
  }
  if ((ev & EPOLLOUT) && writeArmed && (mask & FD_WRITE)) {
    writeArmed = false;
    Post(FD_WRITE, 0);
  }
  if (hup)
    Detach();
  else
    Sync(true);
}

// The socket is already out of the table.
void DestroySock(Sock* k) {
  k->dead = true;
  if (k->watched && k->thread == t_myQueue && t_threadGone) k->watched = false;
  if (k->watched && k->thread != t_myQueue) {
    // Its epoll registration belongs to another thread: let that thread end it.
    if (RunOnThread(k->thread, [k] {
          if (k->watched) UnwatchFd(k->fd);
          CloseFd(k);
          delete k;
        }))
      return;
    k->watched = false;
  }
  if (k->watched) UnwatchFd(k->fd);
  CloseFd(k);
  delete k;
}

SOCKET AddSock(int fd, int type) {
  auto* k = new Sock;
  k->fd = fd;
  k->type = type;
  k->handle = NewHandle();
  std::lock_guard<std::mutex> lock(G().sockMutex);
  G().socks.emplace(k->handle, k);
  return k->handle;
}

bool ToPosix(const SOCKADDR* name, int namelen, sockaddr_in& out) {
  if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return false;
  SOCKADDR_IN in;
  std::memcpy(&in, name, sizeof in);
  if (in.sin_family != WS_AF_INET) return false;
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  return true;
}

int FromPosix(const sockaddr_in& in, SOCKADDR* name, int* namelen) {
  if (!name || !namelen || *namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  SOCKADDR_IN out{};
  out.sin_family = WS_AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(name, &out, sizeof out);
  *namelen = sizeof out;
  return 0;
}

// Waits for a blocking-mode socket.
bool WaitFd(int fd, short events) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, -1);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// ---- host entries -----------------------------------------------------------------

struct HostAnswer {
  int error = 0;
  std::string name;
  std::vector<std::uint32_t> addrs;  // network order
};

HostAnswer ResolveName(const std::string& name) {
  HostAnswer a;
  G().resolutions.fetch_add(1);
  winsock_testing::NameResolver hook;
  {
    std::lock_guard<std::mutex> lock(G().resolverMutex);
    hook = G().resolver;
  }
  if (hook) {
    a.error = hook(name, a.addrs);
    a.name = name;
    if (a.error == 0 && a.addrs.empty()) a.error = WSANO_DATA;
    return a;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    a.error = MapGai(rc);
    return a;
  }
  a.name = (res && res->ai_canonname) ? res->ai_canonname : name;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    std::uint32_t v = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (auto x : a.addrs) seen = seen || x == v;
    if (!seen) a.addrs.push_back(v);
  }
  ::freeaddrinfo(res);
  if (a.addrs.empty()) a.error = WSANO_DATA;
  return a;
}

HostAnswer ResolveAddr(std::uint32_t addr) {
  HostAnswer a;
  G().resolutions.fetch_add(1);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) {
    a.error = MapGai(rc);
    return a;
  }
  a.name = host;
  a.addrs.push_back(addr);
  return a;
}

// Packs a host entry into buf: the record, the alias and address pointer
// lists, the addresses, then the name. Addresses that do not fit are left
// out. Returns the bytes used, or 0 when not even the record fits.
int PackHostEnt(const HostAnswer& a, char* buf, int buflen) {
  if (!buf || reinterpret_cast<std::uintptr_t>(buf) % alignof(HOSTENT) != 0) return 0;
  const int fixed = static_cast<int>(sizeof(HOSTENT) + 2 * sizeof(char*));
  std::string name = a.name;
  int room = buflen - fixed - 1;
  if (room < 0) return 0;
  if (static_cast<int>(name.size()) > room) name.resize(static_cast<std::size_t>(room));
  room -= static_cast<int>(name.size());
  int per = static_cast<int>(sizeof(char*) + 4);
  int n = std::min(static_cast<int>(a.addrs.size()), room / per);
  auto* h = reinterpret_cast<HOSTENT*>(buf);
  char** aliases = reinterpret_cast<char**>(buf + sizeof(HOSTENT));
  char** list = aliases + 1;
  char* addrBytes = reinterpret_cast<char*>(list + n + 1);
  char* nameAt = addrBytes + 4 * n;
  aliases[0] = nullptr;
  for (int i = 0; i < n; ++i) {
    std::memcpy(addrBytes + 4 * i, &a.addrs[static_cast<std::size_t>(i)], 4);
    list[i] = addrBytes + 4 * i;
  }
  list[n] = nullptr;
  std::memcpy(nameAt, name.data(), name.size());
  nameAt[name.size()] = '\0';
  h->h_name = nameAt;
  h->h_aliases = aliases;
  h->h_addrtype = WS_AF_INET;
  h->h_length = 4;
  h->h_addr_list = list;
  return static_cast<int>(nameAt + name.size() + 1 - buf);
}

// ---- asynchronous lookups -------------------------------------------------------

constexpr int kMaxWorkers = 4;
constexpr std::size_t kDeliveredKept = 65536;

void NoteDelivered(HANDLE h) {
  G().delivered.insert(h);
  G().deliveredOrder.push_back(h);
  if (G().deliveredOrder.size() > kDeliveredKept) {
    G().delivered.erase(G().deliveredOrder.front());
    G().deliveredOrder.pop_front();
  }
}

// On the owning thread: pack the answer and post the completion, unless
// the task was cancelled in the meantime.
void Deliver(HANDLE h, const std::shared_ptr<HostAnswer>& a) {
  LookupTask t;
  int used = 0;
  int err = a->error;
  {
    std::lock_guard<std::mutex> lock(G().lookupMutex);
    auto it = G().tasks.find(h);
    if (it == G().tasks.end()) return;
    t = it->second;
    G().tasks.erase(it);
    NoteDelivered(h);
    if (err == 0) {
      used = PackHostEnt(*a, t.buf, t.buflen);
      if (used == 0) err = WSAENOBUFS;
    }
  }
  PostMessage(t.hwnd, t.msg, h, MAKELONG(static_cast<std::uint16_t>(used), static_cast<std::uint16_t>(err)));
}

void WorkerLoop() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(G().lookupMutex);
      ++G().idleWorkers;
      G().lookupCv.wait(lock, [] { return !G().jobQueue.empty(); });
      --G().idleWorkers;
      job = G().jobQueue.front();
      G().jobQueue.pop_front();
    }
    auto answer = std::make_shared<HostAnswer>(job->byAddr ? ResolveAddr(job->addr) : ResolveName(job->name));
    std::vector<std::pair<HANDLE, ThreadQueueId>> targets;
    {
      std::lock_guard<std::mutex> lock(G().lookupMutex);
      for (auto it = G().jobs.begin(); it != G().jobs.end(); ++it)
        if (it->second == job) {
          G().jobs.erase(it);
          break;
        }
      for (HANDLE h : job->waiting) {
        auto t = G().tasks.find(h);
        if (t != G().tasks.end()) targets.emplace_back(h, t->second.thread);
      }
    }
    for (auto& [h, thread] : targets) {
      HANDLE hh = h;
      if (!RunOnThread(thread, [hh, answer] { Deliver(hh, answer); })) {
        std::lock_guard<std::mutex> lock(G().lookupMutex);
        G().tasks.erase(hh);
      }
    }
  }
}

HANDLE StartLookup(HWND hwnd, UINT msg, bool byAddr, const std::string& name, std::uint32_t addr, char* buf,
                   int buflen) {
  if (!Started()) return 0;
  if (!buf || buflen <= 0 || !IsWindow(hwnd)) {
    SetWsaError(WSAEINVAL);
    return 0;
  }
  LookupTask t;
  t.handle = NewHandle();
  t.hwnd = hwnd;
  t.msg = msg;
  t.buf = buf;
  t.buflen = buflen;
  t.thread = MyQueue();
  std::string key = byAddr ? "a:" + std::to_string(addr) : "n:" + name;
  bool spawn = false;
  {
    std::lock_guard<std::mutex> lock(G().lookupMutex);
    G().tasks.emplace(t.handle, t);
    auto it = G().jobs.find(key);
    if (it != G().jobs.end()) {
      it->second->waiting.push_back(t.handle);
    } else {
      auto job = std::make_shared<Job>();
      job->byAddr = byAddr;
      job->name = name;
      job->addr = addr;
      job->waiting.push_back(t.handle);
      G().jobs.emplace(key, job);
      G().jobQueue.push_back(job);
      if (G().idleWorkers == 0 && G().workers < kMaxWorkers) {
        ++G().workers;
        spawn = true;
      }
    }
  }
  if (spawn) {
    try {
      std::thread(WorkerLoop).detach();
    } catch (...) {
      std::lock_guard<std::mutex> lock(G().lookupMutex);
      --G().workers;
    }
  }
  G().lookupCv.notify_one();
  return t.handle;
}

// ---- start-up and cleanup --------------------------------------------------------------

// Closes every socket and forgets every pending lookup. Never waits.
void CleanupAll() {
  std::vector<Sock*> socks;
  {
    std::lock_guard<std::mutex> lock(G().sockMutex);
    for (auto& [h, k] : G().socks) socks.push_back(k);
    G().socks.clear();
  }
  for (Sock* k : socks) DestroySock(k);
  std::lock_guard<std::mutex> lock(G().lookupMutex);
  G().tasks.clear();
}

// ---- the exported functions -------------------------------------------------------------

int WS_WSAStartup(std::uint16_t version, WSADATA* data) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  if (G().startupError != 0) return G().startupError;
  std::uint8_t major = static_cast<std::uint8_t>(version & 0xFF);
  std::uint8_t minor = static_cast<std::uint8_t>(version >> 8);
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;
  std::memset(data, 0, sizeof *data);
  data->wVersion = 0x0101;
  data->wHighVersion = 0x0101;
  std::strcpy(data->szDescription, "WinSock 1.1 stand-in on POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 0xFFFF;
  data->iMaxUdpDg = 65467;
  if (G().startCount++ == 0) RaiseFileLimit();
  G().started.store(true, std::memory_order_release);
  G().stats.Startups++;
  return 0;
}

int WS_WSACleanup() {
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    if (G().startCount == 0) return Fail(WSANOTINITIALISED);
    if (--G().startCount > 0) return 0;
    G().started.store(false, std::memory_order_release);
    G().stats.Cleanups++;
  }
  CleanupAll();
  return 0;
}

void WS_WSASetLastError(int error) { SetWsaError(error); }
int WS_WSAGetLastError() { return t_wsaError; }

int WS_WSACancelAsyncRequest(HANDLE task) {
  if (!Started()) return SOCKET_ERROR;
  std::lock_guard<std::mutex> lock(G().lookupMutex);
  if (G().tasks.erase(task) != 0) return 0;
  return Fail(G().delivered.count(task) ? WSAEALREADY : WSAEINVAL);
}

HANDLE WS_WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  if (!name) {
    SetWsaError(WSAEFAULT);
    return 0;
  }
  return StartLookup(hwnd, msg, false, name, 0, buf, buflen);
}

HANDLE WS_WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen) {
  if (!Started()) return 0;
  if (!addr || len != 4 || type != WS_AF_INET) {
    SetWsaError(!addr ? WSAEFAULT : WSAEAFNOSUPPORT);
    return 0;
  }
  std::uint32_t a;
  std::memcpy(&a, addr, 4);
  return StartLookup(hwnd, msg, true, std::string(), a, buf, buflen);
}

int WS_WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, std::int32_t events) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  std::uint32_t mask = static_cast<std::uint32_t>(events) & 0x3F;
  if (mask != 0 && !IsWindow(hwnd)) return Fail(WSAEINVAL);
  k->nonblocking = true;
  ThreadQueueId me = MyQueue();
  if (k->watched && k->thread != me) {
    // Moving a socket between threads: only its old thread may unregister
    // it; start afresh here.
    k->watched = false;
  }
  k->thread = me;
  k->hwnd = hwnd;
  k->msg = msg;
  k->mask = mask;
  k->readOutstanding = false;
  k->acceptOutstanding = false;
  k->writeArmed = (k->connected || k->type == WS_SOCK_DGRAM) && (mask & FD_WRITE);
  k->Sync(true);
  k->Evaluate();
  if (k->eof && k->connected && (mask & FD_READ) && !k->readOutstanding && k->Pending() > 0) {
    k->readOutstanding = true;
    k->Post(FD_READ, 0);
  }
  return 0;
}

// Service and protocol databases, with fallbacks for systems that lack them.
struct ServEntry {
  SERVENT ent{};
  char name[64] = {};
  char proto[16] = {};
  char* aliases[1] = {nullptr};
};
struct ProtoEntry {
  PROTOENT ent{};
  char name[64] = {};
  char* aliases[1] = {nullptr};
};

SERVENT* WS_getservbyname(const char* name, const char* proto) {
  if (!Started()) return nullptr;
  if (!name) {
    SetWsaError(WSAEFAULT);
    return nullptr;
  }
  thread_local ServEntry e;
  // Kept per thread for the same reason as the protocol answers below.
  thread_local std::unordered_map<std::string, std::pair<int, std::string>> known;
  int port = -1;
  std::string pr = proto ? proto : "";
  std::string key = std::string(name) + '\0' + pr;
  auto hit = known.find(key);
  if (hit != known.end()) {
    port = hit->second.first;
    pr = hit->second.second;
  } else {
    servent se{};
    servent* res = nullptr;
    char tmp[1024];
    if (::getservbyname_r(name, proto && *proto ? proto : nullptr, &se, tmp, sizeof tmp, &res) == 0 && res) {
      port = ntohs(static_cast<std::uint16_t>(res->s_port));
      if (pr.empty() && res->s_proto) pr = res->s_proto;
    } else if (::strcasecmp(name, "http") == 0 && (pr.empty() || ::strcasecmp(pr.c_str(), "tcp") == 0)) {
      port = 80;
      if (pr.empty()) pr = "tcp";
    }
    if (known.size() < 256) known.emplace(key, std::make_pair(port, pr));
  }
  if (port < 0) {
    SetWsaError(WSANO_DATA);
    return nullptr;
  }
  std::snprintf(e.name, sizeof e.name, "%s", name);
  std::snprintf(e.proto, sizeof e.proto, "%s", pr.c_str());
  e.ent.s_name = e.name;
  e.ent.s_aliases = e.aliases;
  e.ent.s_port = static_cast<std::int16_t>(htons(static_cast<std::uint16_t>(port)));
  e.ent.s_proto = e.proto;
  return &e.ent;
}

PROTOENT* WS_getprotobyname(const char* name) {
  if (!Started()) return nullptr;
  if (!name) {
    SetWsaError(WSAEFAULT);
    return nullptr;
  }
  thread_local ProtoEntry e;
  // Every connect resolves its protocol name; the system's database is a file
  // read anew on each call, so its answers are kept per thread.
  thread_local std::unordered_map<std::string, int> known;
  int number = -1;
  auto hit = known.find(name);
  if (hit != known.end()) {
    number = hit->second;
  } else {
    protoent pe{};
    protoent* res = nullptr;
    char tmp[1024];
    if (::getprotobyname_r(name, &pe, tmp, sizeof tmp, &res) == 0 && res)
      number = res->p_proto;
    else if (::strcasecmp(name, "tcp") == 0)
      number = 6;
    else if (::strcasecmp(name, "udp") == 0)
      number = 17;
    if (known.size() < 256) known.emplace(name, number);
  }
  if (number < 0) {
    SetWsaError(WSANO_DATA);
    return nullptr;
  }
  std::snprintf(e.name, sizeof e.name, "%s", name);
  e.ent.p_name = e.name;
  e.ent.p_aliases = e.aliases;
  e.ent.p_proto = static_cast<std::int16_t>(number);
  return &e.ent;
}

HOSTENT* WS_gethostbyname(const char* name) {
  if (!Started()) return nullptr;
  if (!name) {
    SetWsaError(WSAEFAULT);
    return nullptr;
  }
  alignas(HOSTENT) thread_local char buf[4096];
  HostAnswer a = ResolveName(name);
  if (a.error != 0) {
    SetWsaError(a.error);
    return nullptr;
  }
  if (PackHostEnt(a, buf, sizeof buf) == 0) {
    SetWsaError(WSAENOBUFS);
    return nullptr;
  }
  return reinterpret_cast<HOSTENT*>(buf);
}

SOCKET WS_socket(int af, int type, int protocol) {
  if (!Started()) return INVALID_SOCKET;
  if (af != WS_AF_INET) {
    SetWsaError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type != WS_SOCK_STREAM && type != WS_SOCK_DGRAM) {
    SetWsaError(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  int fd = ::socket(AF_INET, (type == WS_SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  return AddSock(fd, type);
}

int WS_shutdown(SOCKET s, int how) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  int h = how == WS_SD_RECEIVE ? SHUT_RD : how == WS_SD_SEND ? SHUT_WR : how == WS_SD_BOTH ? SHUT_RDWR : -1;
  if (h < 0) return Fail(WSAEINVAL);
  if (::shutdown(k->fd, h) != 0) return FailErrno();
  return 0;
}

int WS_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  if (!optval) return Fail(WSAEFAULT);
  auto intValue = [&](int& v) {
    if (optlen < 1) return false;
    std::int32_t x = 0;
    std::memcpy(&x, optval, static_cast<std::size_t>(std::min(optlen, 4)));
    v = x != 0 ? 1 : 0;
    return true;
  };
  int v = 0;
  if (level == WS_SOL_SOCKET) {
    switch (optname) {
      case WS_SO_LINGER: {
        if (optlen < static_cast<int>(sizeof(LINGER))) return Fail(WSAEFAULT);
        LINGER l;
        std::memcpy(&l, optval, sizeof l);
        k->lingerOn = l.l_onoff != 0;
        k->lingerSecs = l.l_linger;
        return 0;
      }
      case WS_SO_KEEPALIVE:
        if (!intValue(v)) return Fail(WSAEFAULT);
        return ::setsockopt(k->fd, SOL_SOCKET, SO_KEEPALIVE, &v, sizeof v) == 0 ? 0 : FailErrno();
      case WS_SO_REUSEADDR:
        if (!intValue(v)) return Fail(WSAEFAULT);
        return ::setsockopt(k->fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0 ? 0 : FailErrno();
      case WS_SO_BROADCAST:
        if (!intValue(v)) return Fail(WSAEFAULT);
        return ::setsockopt(k->fd, SOL_SOCKET, SO_BROADCAST, &v, sizeof v) == 0 ? 0 : FailErrno();
      default:
        return Fail(WSAENOPROTOOPT);
    }
  }
  if (level == WS_IPPROTO_TCP && optname == 1 /* TCP_NODELAY */) {
    if (!intValue(v)) return Fail(WSAEFAULT);
    return ::setsockopt(k->fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0 ? 0 : FailErrno();
  }
  return Fail(WSAENOPROTOOPT);
}

int SendCommon(Sock* k, const char* buf, int len, int flags, const sockaddr_in* to) {
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f = MSG_NOSIGNAL | ((flags & WS_MSG_OOB) ? MSG_OOB : 0);
  for (;;) {
    ssize_t r = to ? ::sendto(k->fd, buf, static_cast<std::size_t>(len), f, reinterpret_cast<const sockaddr*>(to),
                              sizeof *to)
                   : ::send(k->fd, buf, static_cast<std::size_t>(len), f);
    if (r >= 0) {
      if (r < len) {
        // Partial send: the rest must wait for space, so report FD_WRITE then.
        k->writeArmed = true;
        k->Sync(false);
      }
      return static_cast<int>(r);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!k->nonblocking) {
        if (!WaitFd(k->fd, POLLOUT)) return FailErrno();
        continue;
      }
      k->writeArmed = true;
      k->Sync(false);
      return Fail(WSAEWOULDBLOCK);
    }
    return FailErrno();
  }
}

int WS_sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  if (!to) return SendCommon(k, buf, len, flags, nullptr);
  sockaddr_in sin;
  if (!ToPosix(to, tolen, sin)) return Fail(WSAEFAULT);
  return SendCommon(k, buf, len, flags, &sin);
}

int WS_send(SOCKET s, const char* buf, int len, int flags) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  return SendCommon(k, buf, len, flags, nullptr);
}

int RecvCommon(Sock* k, char* buf, int len, int flags, sockaddr_in* from) {
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f = (flags & WS_MSG_OOB) ? MSG_OOB : 0;
  for (;;) {
    if (len == 0 && !from) {
      // A zero-length read only tells whether the stream can be read.
      k->ReadDone();
      char c;
      ssize_t p = ::recv(k->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
      if (p >= 0) return 0;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno();
      if (k->nonblocking) return Fail(WSAEWOULDBLOCK);
      if (!WaitFd(k->fd, POLLIN)) return FailErrno();
      continue;
    }
    socklen_t fl = sizeof(sockaddr_in);
    ssize_t r = from ? ::recvfrom(k->fd, buf, static_cast<std::size_t>(len), f, reinterpret_cast<sockaddr*>(from), &fl)
                     : ::recv(k->fd, buf, static_cast<std::size_t>(len), f);
    int e = errno;
    k->ReadDone();
    if (r >= 0) return static_cast<int>(r);
    if (e == EINTR) continue;
    if (e == EAGAIN || e == EWOULDBLOCK) {
      if (!k->nonblocking) {
        if (!WaitFd(k->fd, POLLIN)) return FailErrno();
        continue;
      }
      return Fail(WSAEWOULDBLOCK);
    }
    return Fail(MapErrno(e));
  }
}

int WS_recv(SOCKET s, char* buf, int len, int flags) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  return RecvCommon(k, buf, len, flags, nullptr);
}

int WS_recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  if (!from) return RecvCommon(k, buf, len, flags, nullptr);
  if (!fromlen || *fromlen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  sockaddr_in sin{};
  int r = RecvCommon(k, buf, len, flags, &sin);
  if (r >= 0) FromPosix(sin, from, fromlen);
  return r;
}

std::uint16_t WS_ntohs(std::uint16_t v) { return ntohs(v); }
std::uint16_t WS_htons(std::uint16_t v) { return htons(v); }

int WS_listen(SOCKET s, int backlog) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  if (k->type != WS_SOCK_STREAM) return Fail(WSAEOPNOTSUPP);
  if (::listen(k->fd, backlog) != 0) return FailErrno();
  k->listening = true;
  k->acceptOutstanding = false;
  k->Sync(true);
  k->Evaluate();
  return 0;
}

int WS_ioctlsocket(SOCKET s, std::uint32_t cmd, std::uint32_t* argp) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  if (!argp) return Fail(WSAEFAULT);
  if (cmd == WS_FIONREAD) {
    int n = 0;
    if (k->listening) return Fail(WSAEINVAL);
    if (::ioctl(k->fd, FIONREAD, &n) != 0) return FailErrno();
    *argp = static_cast<std::uint32_t>(n);
    return 0;
  }
  if (cmd == WS_FIONBIO) {
    // A socket with notifications switched on cannot go back to blocking.
    if (*argp == 0 && k->mask != 0) return Fail(WSAEINVAL);
    k->nonblocking = *argp != 0;
    return 0;
  }
  return Fail(WSAEINVAL);
}

char* WS_inet_ntoa(IN_ADDR in) {
  thread_local char buf[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

std::uint32_t WS_inet_addr(const char* cp) {
  if (!cp || !*cp) return WS_INADDR_NONE;
  in_addr a{};
  if (::inet_aton(cp, &a) == 0) return WS_INADDR_NONE;
  return a.s_addr;
}

int WS_getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (::getsockname(k->fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return FailErrno();
  return FromPosix(sin, name, namelen);
}

int WS_getpeername(SOCKET s, SOCKADDR* name, int* namelen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (::getpeername(k->fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return FailErrno();
  return FromPosix(sin, name, namelen);
}

int WS_connect(SOCKET s, const SOCKADDR* name, int namelen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sin;
  if (!ToPosix(name, namelen, sin)) return Fail(name ? WSAEAFNOSUPPORT : WSAEFAULT);
  if (k->type == WS_SOCK_DGRAM) {
    if (::connect(k->fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return FailErrno();
    return 0;
  }
  if (k->connecting) return Fail(WSAEALREADY);
  if (k->connected) return Fail(WSAEISCONN);
  if (k->listening) return Fail(WSAEINVAL);
  // Give up after about 21 seconds, as the original platform does.
  int syn = 4;
  ::setsockopt(k->fd, IPPROTO_TCP, TCP_SYNCNT, &syn, sizeof syn);
  unsigned ut = 21000;
  ::setsockopt(k->fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ut, sizeof ut);
  int r;
  do {
    r = ::connect(k->fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  } while (r != 0 && errno == EINTR);
  int e = r == 0 ? 0 : errno;
  if (!k->nonblocking) {
    if (e == EINPROGRESS) {
      WaitFd(k->fd, POLLOUT);
      e = k->SocketError();
    }
    if (e != 0) return Fail(MapErrno(e));
    k->connected = true;
    unsigned zero = 0;
    ::setsockopt(k->fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &zero, sizeof zero);
    return 0;
  }
  switch (e) {
    case EBADF:
    case ENOTSOCK:
    case EFAULT:
    case EINVAL:
    case EISCONN:
    case EALREADY:
    case EAFNOSUPPORT:
    case EACCES:
    case EPERM:
      return Fail(MapErrno(e));
    default:
      break;
  }
  if (e == EINPROGRESS) {
    k->connecting = true;
    k->Sync(true);
  } else if (e == 0) {
    // Finished at once: still reported through the notification.
    k->connecting = true;
    k->OnIoReady(EPOLLOUT);
  } else {
    // Refused or unreachable at once: reported through FD_CONNECT as well.
    k->eof = true;
    k->dead = true;
    if (k->mask & FD_CONNECT) k->Post(FD_CONNECT, MapErrno(e == EAGAIN ? EADDRNOTAVAIL : e));
  }
  return Fail(WSAEWOULDBLOCK);
}

int WS_closesocket(SOCKET s) {
  if (!Started()) return SOCKET_ERROR;
  Sock* k;
  {
    std::lock_guard<std::mutex> lock(G().sockMutex);
    auto it = G().socks.find(s);
    if (it == G().socks.end()) return Fail(WSAENOTSOCK);
    k = it->second;
    // A lingering close of a non-blocking socket waits for its unsent data
    // without blocking: the caller is told to come back.
    if (k->nonblocking && k->lingerOn && k->lingerSecs > 0 && k->connected && !k->dead) {
      int outq = 0;
      std::int64_t now = TickMs();
      if (k->closeStarted == 0) k->closeStarted = now;
      if (::ioctl(k->fd, SIOCOUTQ, &outq) == 0 && outq > 0 &&
          now - k->closeStarted < static_cast<std::int64_t>(k->lingerSecs) * 1000)
        return Fail(WSAEWOULDBLOCK);
      if (outq > 0) k->lingerSecs = 0;  // time is up: close hard
    }
    G().socks.erase(it);
  }
  DestroySock(k);
  return 0;
}

int WS_bind(SOCKET s, const SOCKADDR* name, int namelen) {
  Sock* k = Lookup(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sin;
  if (!ToPosix(name, namelen, sin)) return Fail(name ? WSAEAFNOSUPPORT : WSAEFAULT);
  if (::bind(k->fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return FailErrno();
  k->Sync(true);
  return 0;
}

SOCKET WS_accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
  Sock* k = Lookup(s);
  if (!k) return INVALID_SOCKET;
  if (!k->listening) {
    SetWsaError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(SOCKADDR_IN)))) {
    SetWsaError(WSAEFAULT);
    return INVALID_SOCKET;
  }
  for (;;) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    int fd = ::accept4(k->fd, reinterpret_cast<sockaddr*>(&sin), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int e = errno;
    if (k->acceptOutstanding) {
      k->acceptOutstanding = false;
      k->Sync(false);
    }
    if (fd >= 0) {
      SOCKET h = AddSock(fd, WS_SOCK_STREAM);
      Sock* n = FindSock(h);
      n->connected = true;
      n->nonblocking = k->nonblocking;
      if (addr) FromPosix(sin, addr, addrlen);
      return h;
    }
    if (e == EINTR || e == ECONNABORTED) continue;
    if ((e == EAGAIN || e == EWOULDBLOCK) && !k->nonblocking) {
      if (!WaitFd(k->fd, POLLIN)) break;
      continue;
    }
    SetWsaError(MapErrno(e));
    return INVALID_SOCKET;
  }
  FailErrno();
  return INVALID_SOCKET;
}

// ---- the module table ----------------------------------------------------------------

struct ProcEntry {
  const char* name;
  FARPROC proc;
};

template <class F>
FARPROC P(F f) {
  return reinterpret_cast<FARPROC>(f);
}

const ProcEntry kWsockProcs[] = {
    {"WSAStartup", P(&WS_WSAStartup)},
    {"WSACleanup", P(&WS_WSACleanup)},
    {"WSASetLastError", P(&WS_WSASetLastError)},
    {"WSAGetLastError", P(&WS_WSAGetLastError)},
    {"WSACancelAsyncRequest", P(&WS_WSACancelAsyncRequest)},
    {"WSAAsyncGetHostByName", P(&WS_WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", P(&WS_WSAAsyncGetHostByAddr)},
    {"WSAAsyncSelect", P(&WS_WSAAsyncSelect)},
    {"getservbyname", P(&WS_getservbyname)},
    {"getprotobyname", P(&WS_getprotobyname)},
    {"gethostbyname", P(&WS_gethostbyname)},
    {"socket", P(&WS_socket)},
    {"shutdown", P(&WS_shutdown)},
    {"setsockopt", P(&WS_setsockopt)},
    {"sendto", P(&WS_sendto)},
    {"send", P(&WS_send)},
    {"recv", P(&WS_recv)},
    {"recvfrom", P(&WS_recvfrom)},
    {"ntohs", P(&WS_ntohs)},
    {"listen", P(&WS_listen)},
    {"ioctlsocket", P(&WS_ioctlsocket)},
    {"inet_ntoa", P(&WS_inet_ntoa)},
    {"inet_addr", P(&WS_inet_addr)},
    {"htons", P(&WS_htons)},
    {"getsockname", P(&WS_getsockname)},
    {"getpeername", P(&WS_getpeername)},
    {"connect", P(&WS_connect)},
    {"closesocket", P(&WS_closesocket)},
    {"bind", P(&WS_bind)},
    {"accept", P(&WS_accept)},
};

}  // namespace

// ---- loading libraries -------------------------------------------------------------

HMODULE LoadLibrary(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  if (::strcasecmp(fileName.c_str(), "wsock32.dll") != 0 || G().loadFails) {
    t_lastError = ERROR_MOD_NOT_FOUND;
    return 0;
  }
  if (G().moduleRefs++ == 0) {
    G().moduleHandle = NewHandle();
    G().stats.Loads++;
  }
  return G().moduleHandle;
}

FARPROC GetProcAddress(HMODULE module, const std::string& procName) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  if (module == 0 || module != G().moduleHandle || G().moduleRefs == 0) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!G().hidden.empty() && procName == G().hidden) {
    t_lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  for (const auto& e : kWsockProcs)
    if (procName == e.name) return e.proc;
  t_lastError = ERROR_PROC_NOT_FOUND;
  return nullptr;
}

bool FreeLibrary(HMODULE module) {
  bool cleanup = false;
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    if (module == 0 || module != G().moduleHandle || G().moduleRefs == 0) {
      t_lastError = ERROR_INVALID_HANDLE;
      return false;
    }
    if (--G().moduleRefs > 0) return true;
    G().moduleHandle = 0;
    G().stats.Unloads++;
    // An unloaded library keeps nothing: a start-up not cleaned up ends here.
    if (G().startCount > 0) {
      G().startCount = 0;
      G().started.store(false, std::memory_order_release);
      G().stats.Cleanups++;
      cleanup = true;
    }
  }
  if (cleanup) CleanupAll();
  return true;
}

std::uint32_t GetLastError() { return t_lastError; }
void SetLastError(std::uint32_t code) { t_lastError = code; }

// ---- test hooks ----------------------------------------------------------------------

namespace winsock_testing {

void SetLoadFails(bool fail) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  G().loadFails = fail;
}

void HideFunction(const std::string& name) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  G().hidden = name;
}

void SetStartupError(int code) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  G().startupError = code;
}

WinsockStats Stats() {
  WinsockStats s;
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    s = G().stats;
  }
  {
    std::lock_guard<std::mutex> lock(G().sockMutex);
    s.OpenSockets = static_cast<int>(G().socks.size());
  }
  {
    std::lock_guard<std::mutex> lock(G().lookupMutex);
    s.PendingLookups = static_cast<int>(G().tasks.size());
  }
  return s;
}

bool IsLoaded() {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  return G().moduleRefs > 0;
}

bool IsStarted() { return G().started.load(); }

void SetNameResolver(NameResolver resolver) {
  std::lock_guard<std::mutex> lock(G().resolverMutex);
  G().resolver = std::move(resolver);
}

int ResolutionCount() { return G().resolutions.load(); }

void Reset() {
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    G().loadFails = false;
    G().hidden.clear();
    G().startupError = 0;
  }
  SetNameResolver(nullptr);
}

}  // namespace winsock_testing

}  // namespace plat

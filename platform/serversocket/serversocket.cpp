#include "platform/serversocket/serversocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <vector>

#include "platform/fs/fs.h"
#include "platform/serversocket/serversocket_internal.h"

namespace plat {

namespace {

// How often a port of the system's choice is tried on both addresses.
constexpr int kPortPicks = 64;

serversocket_detail::ListenRefusal& Refusal() {
  static serversocket_detail::ListenRefusal refusal;
  return refusal;
}

// A listening socket on the loopback address of that family; -1 with the
// reason in err.
int ListenOn(int family, int port, int& err) {
  if (Refusal()) {
    if (int refused = Refusal()(family, port)) {
      err = refused;
      return -1;
    }
  }
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int r;
  if (family == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (r != 0 || ::listen(fd, SOMAXCONN) != 0) {
    err = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the client has sent bytes not yet read, without waiting.
bool StillSending(int fd) {
  char c;
  ssize_t n;
  do {
    n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

// A head silent this long may be closed to make room for a new client;
// one that has just come is most likely a request on its way.
constexpr std::int64_t kFreshHeadMs = 1000;

}  // namespace

using serversocket_detail::BoundPort;
using serversocket_detail::PollOne;

// ---- the server ---------------------------------------------------------------------

struct TServerSocket::Conn {
  TServerClientWinSocket* Socket = nullptr;
  TServerClientThread* Work = nullptr;
};

// What the accept thread and the workers share with the server; it outlives
// the server for a worker that had to be left running.
struct TServerSocket::Core {
  std::mutex Mutex;
  std::condition_variable WorkReady;  // idle workers wait for Queue
  bool Stopping = false;
  int Max = 1;
  int Busy = 0;  // connections queued or being served
  int Idle = 0;  // workers waiting for a connection, woken or not
  std::deque<std::shared_ptr<Conn>> Queue;
  // Worker i serves Current[i] (null while idle); sized Max at Open.
  std::vector<std::shared_ptr<Conn>> Current;
  std::vector<std::thread> Workers;
  // Connections whose work is over, shut down for writing, for the accept
  // thread to hold until their clients close.
  std::vector<int> HandedBack;
  // The accept thread waits for a connection to end before it takes the
  // next client: the workers wake it when theirs ends.
  bool RoomWanted = false;
  std::vector<int> ListenFds;
  int WakeFd = -1;
  std::function<TServerClientThread*(TServerClientWinSocket*)> OnGetThread;
  std::function<bool(const std::string&)> OnHeadComplete;
  std::function<std::string(const std::string&)> OnHeadExpired;
  int HeadIdleMs = 0;
  int HeadDeadlineMs = 0;
  std::size_t HeadMaxBytes = 0;
  std::size_t MaxPending = 1;
  int CloseLingerMs = 0;
  // What the process had open when the server started (the accept
  // thread's poll set included), and the reserve asked for.
  std::size_t OpenAtStart = 0;
  std::size_t Reserve = 0;
  ThreadQueueId OwnerQueue = 0;
  std::thread::id OwnerThread;

  ~Core() {
    for (int fd : ListenFds) ::close(fd);
    for (int fd : HandedBack) ::close(fd);
    if (WakeFd >= 0) ::close(WakeFd);
  }
};

TServerSocket::TServerSocket(TComponent* owner)
    : TComponent(owner), OwnerQueue_(CurrentThreadQueue()), OwnerThread_(std::this_thread::get_id()) {}

TServerSocket::~TServerSocket() { Close(); }

void TServerSocket::SetActive(bool active) {
  if (active)
    Open();
  else
    Close();
}

void TServerSocket::Open() {
  if (Active_) return;
  auto core = std::make_shared<Core>();
  core->Max = std::max(1, MaxConnections);
  core->Current.resize(static_cast<std::size_t>(core->Max));
  core->OnGetThread = OnGetThread;
  core->OnHeadComplete = OnHeadComplete;
  core->OnHeadExpired = OnHeadExpired;
  core->HeadIdleMs = HeadIdleMs;
  core->HeadDeadlineMs = HeadDeadlineMs;
  core->HeadMaxBytes = HeadMaxBytes;
  core->MaxPending = static_cast<std::size_t>(std::max(1, MaxPendingClients));
  core->CloseLingerMs = std::max(0, CloseLingerMs);
  core->OwnerQueue = OwnerQueue_;
  core->OwnerThread = OwnerThread_;

  int port = Port_;
  // ::1 too where the machine has it, so that "localhost" reaches us
  // whichever address a browser tries first; a port taken there is taken.
  // A port the system picks is free on 127.0.0.1 only, and may be in use on
  // ::1 (a client's own end there, say): then another one is picked.
  for (int picks = 1;; ++picks) {
    int err = 0;
    port = Port_;
    int fd4 = ListenOn(AF_INET, port, err);
    if (fd4 < 0) throw ESocketError(Format("Cannot listen on 127.0.0.1 port %d: %s", port, std::strerror(err)));
    if (port == 0) port = BoundPort(fd4);
    int fd6 = ListenOn(AF_INET6, port, err);
    if (fd6 >= 0 || err == EAFNOSUPPORT || err == EADDRNOTAVAIL || err == EPROTONOSUPPORT) {
      core->ListenFds.push_back(fd4);
      if (fd6 >= 0) core->ListenFds.push_back(fd6);
      break;
    }
    ::close(fd4);
    if (Port_ != 0 || err != EADDRINUSE || picks == kPortPicks)
      throw ESocketError(Format("Cannot listen on ::1 port %d: %s", port, std::strerror(err)));
  }
  core->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (core->WakeFd < 0) throw ESocketError(Format("Cannot start the server: %s", std::strerror(errno)));
  // The accept thread's own poll set is one more.
  core->OpenAtStart = OpenDescriptorCount() + 1;
  core->Reserve = static_cast<std::size_t>(std::max(0, DescriptorReserve));

  AcceptThread_ = std::thread(AcceptLoop, core);
  Core_ = std::move(core);
  Port_ = port;
  Active_ = true;
}

void TServerSocket::Wake(const std::shared_ptr<Core>& core) {
  std::uint64_t one = 1;
  ssize_t w = ::write(core->WakeFd, &one, sizeof one);
  (void)w;
}

void TServerSocket::Close() {
  if (!Active_) return;
  Active_ = false;
  std::shared_ptr<Core> core = std::move(Core_);
  {
    std::lock_guard<std::mutex> lock(core->Mutex);
    core->Stopping = true;
  }
  Wake(core);
  AcceptThread_.join();
  // New clients are refused from here on.
  for (int fd : core->ListenFds) ::close(fd);
  core->ListenFds.clear();

  std::vector<std::thread> workers;
  std::vector<bool> leave;
  std::deque<std::shared_ptr<Conn>> unserved;
  {
    // Under the lock, so that no worker frees its connection meanwhile.
    std::lock_guard<std::mutex> lock(core->Mutex);
    for (std::size_t i = 0; i < core->Workers.size(); ++i) {
      const auto& current = core->Current[i];
      if (current) current->Work->Terminate();
      // A step below us on this stack: waiting for its worker would never end.
      leave.push_back(current && current->Work->StepRunningHere());
    }
    workers.swap(core->Workers);
    unserved.swap(core->Queue);
  }
  core->WorkReady.notify_all();
  for (std::size_t i = 0; i < workers.size(); ++i) {
    if (leave[i])
      workers[i].detach();  // it frees its connection and ends by itself
    else
      workers[i].join();
  }
  for (auto& c : unserved) {
    delete c->Work;
    delete c->Socket;
  }
  // Handed back before the stop; those ending later are closed by their workers.
  std::vector<int> closing;
  {
    std::lock_guard<std::mutex> lock(core->Mutex);
    closing.swap(core->HandedBack);
  }
  for (int fd : closing) ::close(fd);
}

void TServerSocket::WorkerLoop(std::shared_ptr<Core> core, std::size_t index) {
  for (;;) {
    std::shared_ptr<Conn> conn;
    {
      std::unique_lock<std::mutex> lock(core->Mutex);
      ++core->Idle;
      core->WorkReady.wait(lock, [&] { return core->Stopping || !core->Queue.empty(); });
      --core->Idle;
      if (core->Stopping) return;
      conn = core->Queue.front();
      core->Queue.pop_front();
      core->Current[index] = conn;
    }
    try {
      conn->Work->ClientExecute();
    } catch (...) {
      // The work reports its own failures to its client; nothing more to tell.
    }
    // A client that has sent nothing since its request (most do) is closed
    // at once: with nothing unread the close is a plain end, whatever of
    // the answer is still on its way. One still sending goes to the accept
    // thread, which drops what comes until the client closes, since a close
    // with bytes unread would answer with a reset; no thread waits for it.
    int fd = conn->Socket->TakeForClosing();
    if (fd >= 0 && conn->Socket->Unread_.empty() && !StillSending(fd)) {
      ::close(fd);
      fd = -1;
    }
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(core->Mutex);
      core->Current[index].reset();
      --core->Busy;
      if (fd >= 0 && !core->Stopping) {
        // One wake-up for those handed back before the accept thread looks.
        wake = core->HandedBack.empty();
        core->HandedBack.push_back(fd);
        fd = -1;
      }
      wake = wake || core->RoomWanted;
    }
    if (fd >= 0) ::close(fd);
    if (wake) Wake(core);
    delete conn->Work;
    delete conn->Socket;
  }
}

std::shared_ptr<TServerSocket::Conn> TServerSocket::MakeWork(const std::shared_ptr<Core>& core, int fd) {
  auto* socket = new TServerClientWinSocket(fd);
  TServerClientThread* work = nullptr;
  try {
    if (core->OnGetThread) work = core->OnGetThread(socket);
  } catch (...) {
    work = nullptr;
  }
  if (!work) {
    delete socket;
    return nullptr;
  }
  work->OwnerQueue_ = core->OwnerQueue;
  work->OwnerThread_ = core->OwnerThread;
  auto conn = std::make_shared<Conn>();
  conn->Socket = socket;
  conn->Work = work;
  return conn;
}

void TServerSocket::Enqueue(const std::shared_ptr<Core>& core, std::shared_ptr<Conn> conn) {
  std::unique_lock<std::mutex> lock(core->Mutex);
  core->Queue.push_back(conn);
  ++core->Busy;
  // Finished workers are kept for the next connections. Each connection
  // waiting has an idle worker of its own, or a new one while there are
  // fewer than Max: an idle worker woken for an earlier connection counts
  // as idle until it takes that one, so it is not counted for two.
  if (core->Queue.size() > static_cast<std::size_t>(core->Idle) && core->Workers.size() < core->Current.size()) {
    try {
      core->Workers.emplace_back(WorkerLoop, core, core->Workers.size());
    } catch (const std::system_error&) {
      // No thread to be had: the connection waits for a running worker,
      // or is dropped when there is none.
      if (core->Workers.empty()) {
        core->Queue.pop_back();
        --core->Busy;
        delete conn->Work;
        delete conn->Socket;
      }
    }
  }
  // Woken after the lock is let go, so that the worker does not wake only
  // to wait for it.
  lock.unlock();
  core->WorkReady.notify_one();
}

// A client held by the accept thread: its head being read, or its
// connection closing after the answer.
struct TServerSocket::Held {
  int Fd = -1;
  bool Closing = false;
  std::shared_ptr<Conn> C;  // head: the work waiting for it
  std::string Got;          // head: what came so far
  std::int64_t Until = 0;   // closing: closed then, whatever the client does
  std::size_t Dropped = 0;  // closing: what the client sent since
  std::list<Held>::iterator Self;  // its place in its list
};

void TServerSocket::AcceptLoop(std::shared_ptr<Core> core) {
  const bool readHeads = static_cast<bool>(core->OnHeadComplete);
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return;
  // The listening sockets and the wake-up are told from the clients by
  // their tags; a client's tag is its entry in `heads` or `closing`.
  std::vector<int> own = core->ListenFds;
  own.push_back(core->WakeFd);
  for (int& fd : own) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = &fd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
  }
  bool listening = true;
  // Oldest first, both: heads by their accept, closing ones by their end.
  std::list<Held> heads, closing;

  auto add = [&](std::list<Held>& list, Held held) {
    list.push_back(std::move(held));
    auto it = std::prev(list.end());
    it->Self = it;
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP;
    e.data.ptr = &*it;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, it->Fd, &e);
    return it;
  };
  auto hold = [&](int fd) {
    Held h;
    h.Fd = fd;
    h.Closing = true;
    h.Until = TickMs() + core->CloseLingerMs;
    add(closing, std::move(h));
  };
  auto release = [&](std::list<Held>::iterator it) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, it->Fd, nullptr);
    ::close(it->Fd);
    closing.erase(it);
  };
  auto forget = [&](std::list<Held>::iterator it) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, it->Fd, nullptr);
    heads.erase(it);
  };
  auto hand = [&](std::list<Held>::iterator it) {
    std::shared_ptr<Conn> conn = it->C;
    conn->Socket->Unread_ = std::move(it->Got);
    forget(it);
    Enqueue(core, std::move(conn));
  };
  auto drop = [&](std::list<Held>::iterator it) {
    std::shared_ptr<Conn> conn = it->C;
    forget(it);
    delete conn->Work;
    delete conn->Socket;
  };
  // Its time is up with the head incomplete: answered here when the server
  // says how, else by its work like any other.
  auto expire = [&](std::list<Held>::iterator it) {
    if (!core->OnHeadExpired) {
      hand(it);
      return;
    }
    std::string answer;
    try {
      answer = core->OnHeadExpired(it->Got);
    } catch (...) {
      answer.clear();  // nothing to say: it is just closed
    }
    std::shared_ptr<Conn> conn = it->C;
    forget(it);
    std::size_t sent = 0;
    while (sent < answer.size()) {
      ssize_t n = ::send(conn->Socket->Handle(), answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    int fd = conn->Socket->TakeForClosing();
    delete conn->Work;
    delete conn->Socket;
    if (sent == answer.size())
      hold(fd);
    else
      ::close(fd);  // it takes no more: no thread waits for it to
  };
  // Reads what the client has sent, without waiting, handing each piece
  // to take; true once the client has closed or failed (its work learns
  // which), or take has had enough.
  auto readNow = [](int fd, const std::function<bool(const char*, std::size_t)>& take) {
    char buf[1024];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return false;
      if (n <= 0 || take(buf, static_cast<std::size_t>(n))) return true;
    }
  };
  // True once the head is over.
  auto read = [&](Held& h) {
    return readNow(h.Fd, [&](const char* p, std::size_t n) {
      h.C->Socket->NoteReceived();
      h.Got.append(p, n);
      return h.Got.size() >= core->HeadMaxBytes || core->OnHeadComplete(h.Got);
    });
  };
  // Drops what a closing client sends; true once it has closed, failed or
  // sent more than a client that merely finishes its request would.
  auto drain = [&](Held& h) {
    return readNow(h.Fd, [&](const char*, std::size_t n) {
      h.Dropped += n;
      return h.Dropped >= 65536;
    });
  };
  auto expiry = [&](const Held& h) {
    return std::min(h.C->Socket->ConnectedAt() + core->HeadDeadlineMs,
                    h.C->Socket->LastReceivedAt() + core->HeadIdleMs);
  };

  // What the descriptor limit leaves for the clients, read every turn: the
  // program may change its limit while the server runs. Under a small limit
  // the reserve is cut to about half of what is left, so that a few clients
  // can still be served at once.
  std::size_t cap = 1;
  auto capNow = [&] {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    std::size_t limit = static_cast<std::size_t>(r.rlim_cur);
    std::size_t left = limit > core->OpenAtStart ? limit - core->OpenAtStart : 0;
    std::size_t reserve = std::min(core->Reserve, (left + 8) / 2);
    return left > reserve + 1 ? left - reserve : 1;
  };
  struct Fill {
    bool Descriptors;  // the clients held have all the descriptors they may
    bool Places;       // no more clients may wait: heads and queue, or the workers
  };
  auto fillLocked = [&] {
    std::size_t held = heads.size() + closing.size() + static_cast<std::size_t>(core->Busy);
    return Fill{held >= cap, readHeads ? heads.size() + core->Queue.size() >= core->MaxPending : core->Busy >= core->Max};
  };
  auto fill = [&] {
    std::lock_guard<std::mutex> lock(core->Mutex);
    return fillLocked();
  };
  // The head that may be closed for want of descriptors: the one silent the
  // longest, once it has been silent a while; a client that has only just
  // come, and has sent nothing wrong, is never closed for another.
  auto staleHead = [&](std::int64_t now) {
    auto best = heads.end();
    for (auto it = heads.begin(); it != heads.end(); ++it)
      if (best == heads.end() || it->C->Socket->LastReceivedAt() < best->C->Socket->LastReceivedAt()) best = it;
    if (best != heads.end() && now - best->C->Socket->LastReceivedAt() < kFreshHeadMs) best = heads.end();
    return best;
  };
  // Closes a client for want of descriptors: the stale head, else the
  // connection closing the longest. False when there is none.
  auto evict = [&](std::int64_t now) {
    auto stale = staleHead(now);
    if (stale != heads.end())
      drop(stale);
    else if (!closing.empty())
      release(closing.begin());
    else
      return false;
    return true;
  };
  // Room for one more client, if need be by closing the oldest incomplete
  // head (too many waiting) or the one evict() would close (too few
  // descriptors). Without room the accept thread waits for a connection to
  // end, and the workers are told to wake it.
  auto room = [&] {
    bool descriptorsFull;
    {
      std::lock_guard<std::mutex> lock(core->Mutex);
      Fill f = fillLocked();
      descriptorsFull = f.Descriptors;
      if (f.Places && !(readHeads && !heads.empty())) {
        core->RoomWanted = true;
        return false;
      }
      core->RoomWanted = false;
      if (!descriptorsFull || !closing.empty()) return true;
      // The workers' ends count from here on, while the heads are looked at.
      core->RoomWanted = true;
    }
    if (staleHead(TickMs()) == heads.end()) return false;
    std::lock_guard<std::mutex> lock(core->Mutex);
    core->RoomWanted = false;
    return true;
  };
  // Makes the room that room() found, for a client just accepted.
  auto makeRoom = [&] {
    Fill f = fill();
    if (f.Places && !heads.empty()) {
      drop(heads.begin());
      f = fill();
    }
    if (f.Descriptors) evict(TickMs());
  };

  std::vector<epoll_event> events(64);
  for (;;) {
    std::vector<int> back;
    {
      std::lock_guard<std::mutex> lock(core->Mutex);
      if (core->Stopping) break;
      back.swap(core->HandedBack);
    }
    for (int fd : back) hold(fd);
    cap = capNow();
    // No room: further clients wait in the listen queue, and the wake-up
    // tells when a connection has ended.
    if (room() != listening) {
      listening = !listening;
      for (std::size_t k = 0; k + 1 < own.size(); ++k) {
        epoll_event e{};
        e.events = listening ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
        e.data.ptr = &own[k];
        ::epoll_ctl(ep, EPOLL_CTL_MOD, own[k], &e);
      }
    }
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const Held& h : heads) {
      next = std::min(next, expiry(h));
      // Waiting for room: a head turning stale makes some.
      if (!listening) next = std::min(next, h.C->Socket->LastReceivedAt() + kFreshHeadMs);
    }
    if (!closing.empty()) next = std::min(next, closing.front().Until);
    int timeout = -1;
    if (next != std::numeric_limits<std::int64_t>::max())
      timeout = static_cast<int>(std::clamp<std::int64_t>(next - TickMs(), 0, 60000));
    int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), timeout);
    if (n < 0 && errno != EINTR) break;
    bool accept = false;
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      bool listener = false;
      for (std::size_t k = 0; k + 1 < own.size(); ++k) listener = listener || tag == &own[k];
      if (tag == &own.back()) {
        std::uint64_t count;
        ssize_t r = ::read(core->WakeFd, &count, sizeof count);
        (void)r;  // what it was woken for is looked at above
      } else if (listener) {
        accept = true;
      } else {
        auto* h = static_cast<Held*>(tag);
        if (h->Closing) {
          if (drain(*h)) release(h->Self);
        } else if (read(*h)) {
          hand(h->Self);
        }
      }
    }
    // Silent too long, or past the deadline: answered with what came.
    std::int64_t now = TickMs();
    for (auto it = heads.begin(); it != heads.end();) {
      auto after = std::next(it);
      if (expiry(*it) <= now) expire(it);
      it = after;
    }
    while (!closing.empty() && closing.front().Until <= now) release(closing.begin());
    if (!accept || !listening) continue;
    // A batch at a time, so that the clients already in are read meanwhile.
    for (int k = 0; k < 64; ++k) {
      if (!room()) break;
      int c = -1, err = 0;
      for (int fd : core->ListenFds) {
        c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) err = errno;
      }
      if (c < 0) {
        // Out of descriptors all the same (the rest of the program took
        // them), the system says so whether a client waits or not.
        bool waiting = false;
        for (int fd : core->ListenFds) waiting = waiting || (PollOne(fd, POLLIN, 0) & POLLIN);
        if (waiting && (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)) {
          // One held for a client makes room, or the running connections
          // are given a moment to end, instead of spinning on a listen
          // queue that stays readable.
          if (evict(TickMs())) continue;
          PollOne(core->WakeFd, POLLIN, 100);
        }
        break;
      }
      makeRoom();
      std::shared_ptr<Conn> conn = MakeWork(core, c);
      if (!conn) continue;
      if (!readHeads) {
        Enqueue(core, std::move(conn));
        continue;
      }
      Held h;
      h.Fd = c;
      h.C = std::move(conn);
      auto it = add(heads, std::move(h));
      // Most requests are there with the connection.
      if (read(*it)) hand(it);
    }
  }
  while (!heads.empty()) drop(heads.begin());
  while (!closing.empty()) release(closing.begin());
  ::close(ep);
}

namespace serversocket_detail {
void SetListenRefusal(ListenRefusal refusal) { Refusal() = std::move(refusal); }
}  // namespace serversocket_detail

}  // namespace plat

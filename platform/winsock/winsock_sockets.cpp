// The stand-in's sockets: the error state, the table of sockets, and the
// asynchronous select that turns epoll readiness into posted notifications.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/winsock/winsock_internal.h"

namespace plat::winsock_detail {

namespace {
thread_local int t_wsaError = 0;
}  // namespace

void SetWsaError(int code) { t_wsaError = code; }
int WsaError() { return t_wsaError; }

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

}  // namespace plat::winsock_detail

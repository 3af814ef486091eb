// The stand-in's exported functions, and the table through which
// GetProcAddress finds them by name.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/winsock/winsock_internal.h"

namespace plat::winsock_detail {

namespace {

void RaiseFileLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
}

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
int WS_WSAGetLastError() { return WsaError(); }

int WS_WSACancelAsyncRequest(HANDLE task) {
  if (!Started()) return SOCKET_ERROR;
  std::lock_guard<std::mutex> lock(G().lookupMutex);
  auto it = G().tasks.find(task);
  if (it != G().tasks.end()) {
    DropTask(it);
    return 0;
  }
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
      case WS_SO_SNDBUF:
      case WS_SO_RCVBUF: {
        // A size in bytes, not a flag.
        if (optlen < static_cast<int>(sizeof(std::int32_t))) return Fail(WSAEFAULT);
        std::int32_t bytes = 0;
        std::memcpy(&bytes, optval, sizeof bytes);
        int n = bytes;
        int name = optname == WS_SO_SNDBUF ? SO_SNDBUF : SO_RCVBUF;
        return ::setsockopt(k->fd, SOL_SOCKET, name, &n, sizeof n) == 0 ? 0 : FailErrno();
      }
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
  // Give up on a silent peer after about 21 seconds, the time callers expect
  // a failed connect to take.
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

FARPROC FindProc(const std::string& name) {
  for (const auto& e : kWsockProcs)
    if (name == e.name) return e.proc;
  return nullptr;
}

}  // namespace plat::winsock_detail

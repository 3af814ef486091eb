// The control connection and the data connections of each transfer.
#include "platform/inet/ftpproto.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/inet/ftpnet.h"

namespace plat::ftpproto {

using namespace plat::inet;
using namespace plat::ftpproto::net;

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// A listing larger than this is not a listing we can use.
constexpr std::size_t kMaxListing = 64 * 1024 * 1024;

}  // namespace

struct FtpControl::DataConn {
  int listenFd = -1;
  int fd = -1;
  ~DataConn() {
    if (listenFd >= 0) ::close(listenFd);
    if (fd >= 0) ::close(fd);
  }
  // Resets the connection, so that the server takes the transfer as failed.
  void Abort() {
    if (fd >= 0) {
      linger l{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(fd);
      fd = -1;
    }
  }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

FtpControl::~FtpControl() {
  if (fd_ >= 0) ::close(fd_);
}

void FtpControl::MarkDead(CallSink& sink, DWORD error) {
  if (deadError_ != 0) return;
  deadError_ = error;
  // A connection that lost its place in the reply stream (or its peer) can
  // carry no further command: it is closed now and, unless the caller
  // cancelled, said so, so that no one goes on taking it for connected.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (error != ERROR_INTERNET_OPERATION_CANCELLED) sink.Emit(INTERNET_STATUS_CONNECTION_CLOSED, nullptr, 0);
}

void FtpControl::CloseQuietly() {
  if (fd_ < 0) return;
  if (deadError_ == 0) {
    static const char quit[] = "QUIT\r\n";
    ssize_t n = ::send(fd_, quit, sizeof quit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
  }
  ::close(fd_);
  fd_ = -1;
  if (deadError_ == 0) deadError_ = ERROR_INVALID_HANDLE;
}

DWORD FtpControl::SendLine(CallSink& sink, const std::string& line, const Options& opt) {
  if (!Usable()) return DeadError();
  if (line.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  std::string wire = line + "\r\n";
  DWORD rc = SendAll(sink, fd_, wire.data(), wire.size(), opt.sendTimeoutMs);
  if (rc == ERROR_INTERNET_CONNECTION_ABORTED) {
    MarkDead(sink, rc);
    return rc;
  }
  if (rc != 0) {
    MarkDead(sink, rc == ERROR_INTERNET_OPERATION_CANCELLED ? rc : ERROR_FTP_DROPPED);
    return rc;
  }
  DWORD count = static_cast<DWORD>(wire.size());
  if (!sink.Emit(INTERNET_STATUS_REQUEST_SENT, &count, sizeof count)) {
    MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
    return ERROR_INTERNET_OPERATION_CANCELLED;
  }
  return 0;
}

DWORD FtpControl::ReadReply(CallSink& sink, Reply& reply, const Options& opt) {
  if (fd_ < 0) return DeadError();
  std::int64_t deadline = Deadline(opt.receiveTimeoutMs);
  char buf[16384];
  for (;;) {
    ReplyReader::Result res = reader_.Take(reply);
    if (res == ReplyReader::Result::Done) {
      DWORD count = static_cast<DWORD>(reply.wireBytes);
      if (!sink.Emit(INTERNET_STATUS_RESPONSE_RECEIVED, &count, sizeof count)) {
        MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
        return ERROR_INTERNET_OPERATION_CANCELLED;
      }
      // 421: the server is closing the connection; the caller still gets the reply.
      if (reply.code == 421) MarkDead(sink, ERROR_INTERNET_CONNECTION_ABORTED);
      return 0;
    }
    if (res == ReplyReader::Result::Bad) {
      MarkDead(sink, ERROR_FTP_DROPPED);
      return ERROR_FTP_DROPPED;
    }
    WaitResult w = WaitOne(sink, fd_, POLLIN, deadline);
    if (w != WaitResult::Ready) {
      MarkDead(sink, w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_DROPPED);
      return WaitError(w);
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      reader_.Feed(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    MarkDead(sink, ERROR_INTERNET_CONNECTION_ABORTED);
    return ERROR_INTERNET_CONNECTION_ABORTED;
  }
}

DWORD FtpControl::Command(CallSink& sink, const std::string& line, Reply& reply, const Options& opt) {
  DWORD rc = SendLine(sink, line, opt);
  if (rc) return rc;
  return ReadReply(sink, reply, opt);
}

DWORD FtpControl::Simple(CallSink& sink, const std::string& line, Reply& reply, const Options& opt) {
  DWORD rc = Command(sink, line, reply, opt);
  // A preliminary reply is followed by the real one.
  for (int i = 0; rc == 0 && reply.Kind() == 1 && i < 8; ++i) rc = ReadReply(sink, reply, opt);
  if (rc) return rc;
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

DWORD FtpControl::Open(CallSink& sink, const std::string& host, int port, const std::string& user,
                       const std::string& password, bool passive, const Options& opt, std::string& banner) {
  passive_ = passive;
  banner.clear();
  const int attempts = std::max(1, opt.connectRetries);
  DWORD error = ERROR_INTERNET_CANNOT_CONNECT;
  for (int attempt = 0; attempt < attempts && fd_ < 0; ++attempt) {
    if (!sink.Emit(INTERNET_STATUS_RESOLVING_NAME, host.c_str(), static_cast<DWORD>(host.size() + 1)))
      return ERROR_INTERNET_OPERATION_CANCELLED;
    std::vector<sockaddr_storage> addrs;
    DWORD rc = Resolve(sink, host, opt.connectTimeoutMs, addrs);
    if (rc) return rc;
    std::string first = AddressText(reinterpret_cast<sockaddr*>(&addrs[0]));
    if (!sink.Emit(INTERNET_STATUS_NAME_RESOLVED, first.c_str(), static_cast<DWORD>(first.size() + 1)))
      return ERROR_INTERNET_OPERATION_CANCELLED;
    for (auto& a : addrs) {
      SetPort(a, port);
      std::string text = AddressText(reinterpret_cast<sockaddr*>(&a));
      if (!sink.Emit(INTERNET_STATUS_CONNECTING_TO_SERVER, text.c_str(), static_cast<DWORD>(text.size() + 1)))
        return ERROR_INTERNET_OPERATION_CANCELLED;
      int fd = -1;
      rc = ConnectTo(sink, a, opt.connectTimeoutMs, fd);
      if (rc == ERROR_INTERNET_OPERATION_CANCELLED) return rc;
      if (rc) {
        error = rc;
        continue;
      }
      fd_ = fd;
      if (!sink.Emit(INTERNET_STATUS_CONNECTED_TO_SERVER, text.c_str(), static_cast<DWORD>(text.size() + 1)))
        return ERROR_INTERNET_OPERATION_CANCELLED;
      break;
    }
  }
  if (fd_ < 0) return error;
  peerLen_ = sizeof peer_;
  localLen_ = sizeof local_;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer_), &peerLen_) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local_), &localLen_) != 0)
    return ERROR_INTERNET_CANNOT_CONNECT;
  DWORD rc = Login(sink, user, password, opt, banner);
  switch (rc) {
    case 0:
    case ERROR_INTERNET_OPERATION_CANCELLED:
    case ERROR_INTERNET_TIMEOUT:
    case ERROR_INTERNET_INCORRECT_USER_NAME:
    case ERROR_INTERNET_INCORRECT_PASSWORD:
    case ERROR_INVALID_PARAMETER:
      return rc;
    default:
      return ERROR_INTERNET_LOGIN_FAILURE;
  }
}

DWORD FtpControl::Login(CallSink& sink, const std::string& user, const std::string& password, const Options& opt,
                        std::string& banner) {
  Reply r;
  DWORD rc = ReadReply(sink, r, opt);
  // "120 ready in n minutes" comes before the 220.
  for (int i = 0; rc == 0 && r.Kind() == 1 && i < 8; ++i) {
    banner += r.Text();
    rc = ReadReply(sink, r, opt);
  }
  if (rc) return rc;
  banner += r.Text();
  if (r.code != 220) return ERROR_INTERNET_LOGIN_FAILURE;
  rc = Command(sink, "USER " + (user.empty() ? std::string("anonymous") : user), r, opt);
  if (rc) return rc;
  if (r.code == 331 || r.code == 332) {
    std::string pass = password;
    if (pass.empty() && user.empty()) pass = "anonymous@";
    rc = Command(sink, "PASS " + pass, r, opt);
    if (rc) return rc;
    banner += r.Text();
    if (r.Kind() == 2) return 0;
    return r.code == 530 ? ERROR_INTERNET_INCORRECT_PASSWORD : ERROR_INTERNET_LOGIN_FAILURE;
  }
  banner += r.Text();
  if (r.Kind() == 2) return 0;
  return r.code == 530 ? ERROR_INTERNET_INCORRECT_USER_NAME : ERROR_INTERNET_LOGIN_FAILURE;
}

DWORD FtpControl::PrepareData(CallSink& sink, DataConn& dc, Reply& reply, const Options& opt) {
  if (passive_) {
    int port = 0;
    DWORD rc;
    bool v4 = peer_.ss_family == AF_INET;
    if (v4) {
      rc = Command(sink, "PASV", reply, opt);
      if (rc) return rc;
      if (reply.code == 227 && ParsePasvPort(reply.lines.front().substr(3), port)) {
        // Found.
      } else if (reply.Kind() != 5) {
        return ERROR_INTERNET_EXTENDED_ERROR;
      }
    }
    if (port == 0) {
      rc = Command(sink, "EPSV", reply, opt);
      if (rc) return rc;
      if (reply.code != 229 || !ParseEpsvPort(reply.lines.front(), port)) return ERROR_INTERNET_EXTENDED_ERROR;
    }
    // The address in the reply is ignored: data goes to the host we talk to.
    sockaddr_storage a = peer_;
    SetPort(a, port);
    rc = ConnectTo(sink, a, opt.connectTimeoutMs, dc.fd);
    if (rc == ERROR_INTERNET_OPERATION_CANCELLED) MarkDead(sink, rc);
    return rc;
  }
  sockaddr_storage a = local_;
  SetPort(a, 0);
  dc.listenFd = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  socklen_t len = LenOf(a);
  if (dc.listenFd < 0 || ::bind(dc.listenFd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::listen(dc.listenFd, 1) != 0 || ::getsockname(dc.listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return ERROR_INTERNET_INTERNAL_ERROR;
  int port = GetPort(a);
  std::string line;
  if (a.ss_family == AF_INET) {
    auto ip = ntohl(reinterpret_cast<sockaddr_in&>(a).sin_addr.s_addr);
    line = "PORT " + std::to_string(ip >> 24) + "," + std::to_string((ip >> 16) & 255) + "," +
           std::to_string((ip >> 8) & 255) + "," + std::to_string(ip & 255) + "," + std::to_string(port >> 8) + "," +
           std::to_string(port & 255);
  } else {
    line = "EPRT |2|" + AddressText(reinterpret_cast<sockaddr*>(&a)) + "|" + std::to_string(port) + "|";
  }
  DWORD rc = Command(sink, line, reply, opt);
  if (rc) return rc;
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

DWORD FtpControl::OpenDataAfterCommand(CallSink& sink, DataConn& dc, Reply& reply, const Options& opt) {
  if (dc.fd >= 0) return 0;
  std::int64_t deadline = Deadline(opt.receiveTimeoutMs);
  for (;;) {
    pollfd p[2] = {{dc.listenFd, POLLIN, 0}, {fd_, POLLIN, 0}};
    WaitResult w = WaitAny(sink, p, 2, deadline);
    if (w != WaitResult::Ready) {
      MarkDead(sink, w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_DROPPED);
      return WaitError(w);
    }
    if (p[1].revents && !p[0].revents) {
      // The server answers instead of connecting: it gave up. (A server that
      // connected and already reported the end is accepted first.)
      DWORD rc = ReadReply(sink, reply, opt);
      if (rc) return rc;
      if (reply.Kind() != 1) return ERROR_INTERNET_EXTENDED_ERROR;
      continue;
    }
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    int fd = ::accept4(dc.listenFd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (!SameHost(from, peer_)) {
      // Only the server we talk to may connect.
      ::close(fd);
      continue;
    }
    dc.fd = fd;
    ::close(dc.listenFd);
    dc.listenFd = -1;
    return 0;
  }
}

DWORD FtpControl::SetType(CallSink& sink, char type, Reply& reply, const Options& opt) {
  // The type holds for the connection: a site of small files would
  // otherwise pay a round trip per file for it.
  if (type_ == type) return 0;
  DWORD rc = Simple(sink, std::string("TYPE ") + type, reply, opt);
  type_ = rc == 0 ? type : 0;
  return rc;
}

DWORD FtpControl::Typed(CallSink& sink, char type, const std::string& line, Reply& reply, const Options& opt) {
  DWORD rc = SetType(sink, type, reply, opt);
  if (rc) return rc;
  return Simple(sink, line, reply, opt);
}

DWORD FtpControl::Store(CallSink& sink, int localFd, const std::string& remote, bool ascii, Reply& reply,
                        const Options& opt) {
  if (remote.empty() || remote.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  DWORD rc = SetType(sink, ascii ? 'A' : 'I', reply, opt);
  if (rc) return rc;
  DataConn dc;
  rc = PrepareData(sink, dc, reply, opt);
  if (rc) return rc;
  rc = Command(sink, "STOR " + remote, reply, opt);
  if (rc) return rc;
  if (reply.Kind() != 1) return ERROR_INTERNET_EXTENDED_ERROR;
  rc = OpenDataAfterCommand(sink, dc, reply, opt);
  if (rc) return rc;
  std::vector<char> in(kBlockSize);
  std::string out;
  bool lastWasCr = false;
  for (;;) {
    ssize_t n = ::read(localFd, in.data(), in.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      dc.Abort();
      Reply ignored;
      ReadReply(sink, ignored, opt);
      return ERROR_READ_FAULT;
    }
    if (n == 0) break;
    const char* data = in.data();
    std::size_t len = static_cast<std::size_t>(n);
    if (ascii) {
      out.clear();
      for (std::size_t i = 0; i < len; ++i) {
        if (in[i] == '\n' && !lastWasCr) out += '\r';
        out += in[i];
        lastWasCr = in[i] == '\r';
      }
      data = out.data();
      len = out.size();
    }
    rc = SendAll(sink, dc.fd, data, len, opt.sendTimeoutMs);
    if (rc == ERROR_INTERNET_OPERATION_CANCELLED) {
      dc.Abort();
      MarkDead(sink, rc);
      return rc;
    }
    if (rc) {
      // The server stopped taking data; its reply says why.
      dc.Abort();
      DWORD rr = ReadReply(sink, reply, opt);
      if (rr) return rr;
      return reply.Kind() == 2 ? ERROR_INTERNET_CONNECTION_ABORTED : ERROR_INTERNET_EXTENDED_ERROR;
    }
    DWORD count = static_cast<DWORD>(len);
    if (!sink.Emit(INTERNET_STATUS_REQUEST_SENT, &count, sizeof count)) {
      dc.Abort();
      MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
      return ERROR_INTERNET_OPERATION_CANCELLED;
    }
  }
  dc.Close();
  rc = ReadReply(sink, reply, opt);
  if (rc) return rc;
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

DWORD FtpControl::List(CallSink& sink, const std::string& dir, std::string& text, Reply& reply, const Options& opt,
                       const std::string& args) {
  text.clear();
  if (dir.find_first_of("\r\n") != std::string::npos || args.find_first_of("\r\n") != std::string::npos)
    return ERROR_INVALID_PARAMETER;
  if (dir.empty()) return ListHere(sink, text, reply, opt, args);
  // Some servers split LIST's argument at blanks, and list another folder
  // or nothing for a path with one; every server takes CWD's whole. So the
  // folder is entered, listed without an argument, and left again.
  DWORD rc = Simple(sink, "PWD", reply, opt);
  if (rc == 0 && reply.code != 257) rc = ERROR_INTERNET_EXTENDED_ERROR;
  if (rc) return rc;
  const std::string back = ParsePwdReply(reply);
  if (back == dir) return ListHere(sink, text, reply, opt, args);
  rc = Simple(sink, "CWD " + dir, reply, opt);
  if (rc) return rc;
  rc = ListHere(sink, text, reply, opt, args);
  if (!Usable()) return rc;
  Reply returned;
  DWORD rcBack = Simple(sink, "CWD " + back, returned, opt);
  if (rcBack == 0 || rc != 0) return rc;
  // Listed, but left in the wrong folder: the caller must not go on as if not.
  text.clear();
  reply = returned;
  return rcBack;
}

DWORD FtpControl::ListHere(CallSink& sink, std::string& text, Reply& reply, const Options& opt,
                           const std::string& args) {
  text.clear();
  DWORD rc = SetType(sink, 'A', reply, opt);
  if (rc) return rc;
  DataConn dc;
  rc = PrepareData(sink, dc, reply, opt);
  if (rc) return rc;
  rc = Command(sink, args.empty() ? std::string("LIST") : "LIST " + args, reply, opt);
  if (rc) return rc;
  bool finalSeen = false;
  if (reply.Kind() == 2) {
    finalSeen = true;  // nothing to send; some servers skip the 150
  } else if (reply.Kind() != 1) {
    return ERROR_INTERNET_EXTENDED_ERROR;
  }
  if (!finalSeen || dc.fd >= 0) {
    if (!finalSeen) {
      rc = OpenDataAfterCommand(sink, dc, reply, opt);
      if (rc) return rc;
    }
    std::int64_t deadline = Deadline(opt.receiveTimeoutMs);
    char buf[65536];
    while (dc.fd >= 0) {
      ssize_t n = ::recv(dc.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        if (text.size() + static_cast<std::size_t>(n) > kMaxListing) {
          dc.Abort();
          MarkDead(sink, ERROR_FTP_DROPPED);
          return ERROR_FTP_DROPPED;
        }
        text.append(buf, static_cast<std::size_t>(n));
        DWORD count = static_cast<DWORD>(n);
        if (!sink.Emit(INTERNET_STATUS_RESPONSE_RECEIVED, &count, sizeof count)) {
          dc.Abort();
          MarkDead(sink, ERROR_INTERNET_OPERATION_CANCELLED);
          return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        deadline = Deadline(opt.receiveTimeoutMs);
        continue;
      }
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        WaitResult w = WaitOne(sink, dc.fd, POLLIN, deadline);
        if (w != WaitResult::Ready) {
          dc.Abort();
          MarkDead(sink, w == WaitResult::Cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_DROPPED);
          return WaitError(w);
        }
        continue;
      }
      break;  // reset by the server: its reply tells
    }
    dc.Close();
  }
  if (!finalSeen) {
    rc = ReadReply(sink, reply, opt);
    if (rc) return rc;
  }
  // What the server could not read is no empty folder.
  if (reply.Kind() == 2 && ListingReplySaysUnread(reply)) {
    text.clear();
    return ERROR_INTERNET_EXTENDED_ERROR;
  }
  return reply.Kind() == 2 ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
}

}  // namespace plat::ftpproto

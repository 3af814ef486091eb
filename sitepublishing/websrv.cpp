#include "sitepublishing/websrv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "ftpcomponents/PathUtils.h"
#include "platform/fs/fs.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/ProjectText.h"

namespace {

// A failure with the status it is answered with.
class EHttpError : public plat::Exception {
 public:
  EHttpError(int status, std::string message) : plat::Exception(std::move(message)), Status(status) {}
  int Status;
};

const char kRequestEnd[] = "\r\n\r\n";
const char kGetOnly[] = "Server support GET method only.";
const char kNotComplete[] = "Request not complete.";
const char kRefusedPath[] = "Access to this path is not allowed.";
const char kNotForUs[] = "Only requests addressed to localhost, 127.0.0.1 or [::1] are served.";

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 501: return "Not Implemented";
    default: return "Internal Server Error";
  }
}

struct FdGuard {
  int Fd = -1;
  ~FdGuard() {
    if (Fd >= 0) ::close(Fd);
  }
  void Reset(int fd) {
    if (Fd >= 0) ::close(Fd);
    Fd = fd;
  }
};

std::string CannotOpen(const std::string& fileName) {
  return plat::Format("Cannot open file %s", fileName.c_str());
}

// The status for a file that cannot be opened: without descriptors or
// memory to open it the server has failed, and the file may well be there.
int CannotOpenStatus(int err) {
  switch (err) {
    case EACCES: return 403;
    case EMFILE:
    case ENFILE:
    case ENOMEM: return 500;
    default: return 404;
  }
}

// The error page, after its status line unless that has been sent.
std::string ErrorResponse(int status, const std::string& message, bool statusLine = true) {
  std::string page;
  if (statusLine) page = plat::Format("HTTP/1.1 %d %s\r\n\r\n", status, ReasonPhrase(status));
  return page + "<html><body><b><font color=\"blue\"><pre>Error<br>" + HtmlEscape(message) + "</body></html>";
}

// A CR that does not end a line: clients and proxies split such a head in
// different places, so what we check is not what they see.
bool HasBareCr(const std::string& head) {
  for (std::size_t at = head.find('\r'); at != std::string::npos; at = head.find('\r', at + 1))
    if (at + 1 >= head.size() || head[at + 1] != '\n') return true;
  return false;
}

// Opens a regular file for reading without waiting on a FIFO or a device;
// -1 with errno, ENOENT standing for "not a regular file".
int OpenRegularFile(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = ENOENT;
    return -1;
  }
  return fd;
}

std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::string();
  std::string s = real;
  std::free(real);
  return s;
}

// The project file's extension, in any letter case.
bool IsProjectFile(const std::string& path) { return plat::SameText(prjtext::ExtractExt(path), "zvp"); }

}  // namespace

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

bool ServablePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  std::size_t start = 1;
  for (;;) {
    std::size_t slash = path.find('/', start);
    std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (path.compare(start, end - start, "..") == 0) return false;
    // A save's copy of the file it writes (a project's, with its password),
    // there while the save runs and for good after a crash.
    if (slash == std::string::npos) return !plat::IsReplacementName(path.substr(start));
    // A folder of the user's hidden ones (".git", and "." itself).
    if (path[start] == '.') return false;
    start = slash + 1;
  }
}

bool AddressedToThisMachine(const std::string& request, int port) {
  const std::string withPort = ":" + std::to_string(port);
  std::size_t at = request.find('\n');
  while (at != std::string::npos) {
    std::size_t from = at + 1;
    at = request.find('\n', from);
    std::string line = request.substr(from, at == std::string::npos ? std::string::npos : at - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;  // the end of the header
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || !plat::SameText(plat::Trim(line.substr(0, colon)), "Host")) continue;
    std::string host = plat::Trim(line.substr(colon + 1));
    bool ours = false;
    for (const char* name : {"localhost", "127.0.0.1", "[::1]"})
      ours = ours || plat::SameText(host, name) || plat::SameText(host, name + withPort);
    if (!ours) return false;
  }
  return true;
}

// ---- the server ---------------------------------------------------------------------

TWebServer::TWebServer(plat::TComponent* owner) : plat::TServerSocket(owner) {
  SetPort(80);
  MaxConnections = kMaxConnections;
  OnGetThread = [this](plat::TServerClientWinSocket* socket) { return GetThread(socket); };
  // Requests are read before a connection gets its thread, so that clients
  // sending slowly (or not at all) hold none of them.
  OnHeadComplete = [](const std::string& received) { return received.find(kRequestEnd) != std::string::npos; };
  // A request whose time ran out is refused by the accept thread, as its
  // work would refuse it, so that it never waits behind complete requests.
  OnHeadExpired = [](const std::string& received) {
    return ErrorResponse(400, received.compare(0, 3, "GET") == 0 ? kNotComplete : kGetOnly);
  };
}

// Stopped here, before the members go: the accept thread reads Root.
TWebServer::~TWebServer() { Close(); }

void TWebServer::Start(const std::string& root) {
  {
    std::lock_guard<std::mutex> lock(RootMutex_);
    Root_ = root;
  }
  if (Active()) return;
  HeadIdleMs = IoTimeoutMs;
  HeadDeadlineMs = RequestTimeoutMs;
  HeadMaxBytes = MaxRequestBytes;
  for (int attempt = 0; attempt < 6; ++attempt) {
    try {
      Open();
      return;
    } catch (const plat::ESocketError&) {
      // Taken (or not ours to have): try the next one. The main window
      // reports a server that found none.
    }
    SetPort(attempt == 0 ? 8000 : Port() + 1);
  }
}

std::string TWebServer::Root() const {
  std::lock_guard<std::mutex> lock(RootMutex_);
  return Root_;
}

plat::TServerClientThread* TWebServer::GetThread(plat::TServerClientWinSocket* socket) {
  return new TWebThread(socket, *this);
}

// ---- one connection -------------------------------------------------------------------

TWebThread::TWebThread(plat::TServerClientWinSocket* socket, const TWebServer& server)
    : plat::TServerClientThread(socket),
      Root(server.Root()),
      IoTimeoutMs_(server.IoTimeoutMs),
      RequestTimeoutMs_(server.RequestTimeoutMs),
      MaxRequestBytes_(server.MaxRequestBytes),
      LocalPort_(socket->LocalPort()) {}

TWebThread::~TWebThread() = default;

void TWebThread::ClientExecute() {
  HeaderSent = false;
  Stream = std::make_unique<plat::TWinSocketStream>(*ClientSocket(), IoTimeoutMs_);
  try {
    ReadRequest();
    // Stopped while waiting for the client: nobody to answer.
    if (!Terminated()) {
      ParseRequest();
      SendFile();
    }
  } catch (const EHttpError& e) {
    SendError(e.Status, e.Message);
  } catch (const std::exception& e) {
    SendError(500, e.what());
  }
  ClientSocket()->Close();
  Stream.reset();
}

void TWebThread::ReadRequest() {
  Request.clear();
  Complete_ = TooLarge_ = false;
  char buf[1024];
  // The server has read what came before this connection got its thread,
  // with the same bounds, which count from the connection's start: one
  // deadline for the whole request, so that a client sending a byte now and
  // then cannot hold it for ever, and the read time-out since the client
  // last sent anything.
  plat::TServerClientWinSocket& socket = *ClientSocket();
  const std::int64_t deadline = socket.ConnectedAt() + RequestTimeoutMs_;
  while (!Terminated()) {
    std::int64_t left = std::min(deadline, socket.LastReceivedAt() + IoTimeoutMs_) - plat::TickMs();
    // What is there already is read even when the time is up.
    Stream->TimeOut = static_cast<int>(std::max<std::int64_t>(0, left));
    if (!Stream->WaitForData(Stream->TimeOut)) break;  // silent too long: incomplete
    std::int64_t n = Stream->Read(buf, sizeof buf);
    if (n <= 0) {
      // The client has closed its side (or the connection failed): what it
      // sent is all the request there is.
      Complete_ = !Request.empty();
      break;
    }
    std::size_t from = Request.size() >= 3 ? Request.size() - 3 : 0;
    Request.append(buf, static_cast<std::size_t>(n));
    std::size_t end = Request.find(kRequestEnd, from);
    if (end != std::string::npos) {
      (end + 4 <= MaxRequestBytes_ ? Complete_ : TooLarge_) = true;
      break;
    }
    if (Request.size() >= MaxRequestBytes_) {
      TooLarge_ = true;
      break;
    }
  }
  Stream->TimeOut = IoTimeoutMs_;
}

void TWebThread::ParseRequest() {
  // Only the first three characters name the method.
  if (Request.compare(0, 3, "GET") != 0) throw EHttpError(Complete_ ? 501 : 400, kGetOnly);
  if (TooLarge_) throw EHttpError(400, "Request too large.");
  if (!Complete_) throw EHttpError(400, kNotComplete);
  std::size_t end = Request.find(kRequestEnd);
  if (HasBareCr(Request.substr(0, end == std::string::npos ? end : end + 4)))
    throw EHttpError(400, "Request has a CR that does not end a line.");
  // Anything else is a name some other site points at this machine, so
  // that the user's browser would hand that site the project folder.
  if (!AddressedToThisMachine(Request, LocalPort_)) throw EHttpError(403, kNotForUs);
  Path = Request.size() > 4 ? Request.substr(4) : std::string();
  std::size_t space = Path.find(' ');
  if (space != std::string::npos) Path.erase(space);
  std::size_t query = Path.find('?');
  if (query != std::string::npos) Path.erase(query);
  if (Path == "/") Path = "/index.html";
  // The path is used as received (no decoding), so it is checked as text.
  if (!ServablePath(Path)) throw EHttpError(403, kRefusedPath);
}

void TWebThread::SendHeader() {
  static const char header[] = "HTTP/1.1 200 OK\r\n\r\n";
  Stream->WriteBuffer(header, sizeof header - 1);
  HeaderSent = true;
}

void TWebThread::SendFile() {
  std::string fileName = Root + Path;
  SlashesToBackslashes(fileName);

  // Where the name leads, links included, must lie inside the root: the
  // project folder holds more than the site (the project file, with its
  // password).
  std::string real = RealPath(fileName);
  int err = errno;
  if (real.empty()) throw EHttpError(CannotOpenStatus(err), CannotOpen(fileName));
  std::string base = RealPath(Root);
  err = errno;
  if (base.empty()) throw EHttpError(CannotOpenStatus(err), CannotOpen(fileName));
  if (base.back() != '/') base += '/';
  if (real.compare(0, base.size(), base) != 0) throw EHttpError(403, kRefusedPath);
  // What the name leads to is held to the rules of the name: a link to a
  // file in a hidden folder, or to a save's copy, is refused as they are.
  if (!ServablePath(real.substr(base.size() - 1))) throw EHttpError(403, kRefusedPath);
  // Project files hold the FTP login and often sit in the site folder;
  // they are not part of the site, whatever name leads to them.
  if (IsProjectFile(real)) throw EHttpError(403, kRefusedPath);
  FdGuard file;
  file.Reset(OpenRegularFile(real));
  err = errno;
  if (file.Fd < 0) throw EHttpError(CannotOpenStatus(err), CannotOpen(fileName));

  // The parser reads the main window's fields and the variables, which
  // belong to the window's thread; everything else stays here.
  TFileParser parser;
  Synchronize([&] { parser.Process(fileName); });
  if (parser.OutputFile != fileName) {
    file.Reset(OpenRegularFile(parser.OutputFile));
    if (file.Fd < 0) throw plat::EFOpenError(CannotOpen(parser.OutputFile));
  }

  SendHeader();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(file.Fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw plat::EReadError(plat::Format("Cannot read file %s", fileName.c_str()));
    if (n == 0) break;
    Stream->WriteBuffer(buf, n);
  }
}

void TWebThread::SendError(int status, const std::string& message) {
  std::string page = ErrorResponse(status, message, !HeaderSent);
  try {
    Stream->WriteBuffer(page.data(), static_cast<std::int64_t>(page.size()));
  } catch (...) {
    // The client is gone; nothing is left to tell it.
  }
}

#include "platform/inet/wininet.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/inet/ftpproto.h"
#include "platform/messaging/messaging.h"

namespace plat::inet {

namespace {

enum class Kind { Session, Connection, Find };

struct Object {
  Kind kind;
  HINTERNET handle = 0;
  HINTERNET parent = 0;
  std::vector<HINTERNET> children;  // guarded by g_mutex
  std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
  DWORD_PTR context = 0;
  std::atomic<bool> cancelled{false};
  // Set while a call runs on the object (or once the closer owns it).
  std::atomic<bool> busy{false};
  int wakeFd = -1;

  std::mutex optionMutex;
  ftpproto::Options options;

  // Session.
  DWORD accessType = INTERNET_OPEN_TYPE_DIRECT;
  std::string proxy;

  // Connection.
  ftpproto::FtpControl ftp;
  std::atomic<bool> established{false};

  // Find.
  std::mutex findMutex;
  std::vector<WIN32_FIND_DATAA> entries;
  std::size_t next = 0;

  explicit Object(Kind k) : kind(k) { wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~Object() {
    if (wakeFd >= 0) ::close(wakeFd);
  }
  void Cancel() {
    cancelled.store(true);
    std::uint64_t one = 1;
    ssize_t n = ::write(wakeFd, &one, sizeof one);
    (void)n;
  }
  ftpproto::Options Options() {
    std::lock_guard<std::mutex> lock(optionMutex);
    return options;
  }
};

std::mutex g_mutex;
std::unordered_map<HINTERNET, std::shared_ptr<Object>> g_table;

thread_local DWORD t_lastError = 0;
thread_local std::string t_lastResponse;
thread_local DWORD t_lastResponseCode = 0;
thread_local DWORD t_lastFindFlags = 0;

template <class T>
T Fail(DWORD code, T result) {
  t_lastError = code;
  return result;
}

void SetResponse(const ftpproto::Reply& r) {
  if (r.lines.empty()) return;
  t_lastResponse = r.Text();
  t_lastResponseCode = static_cast<DWORD>(r.code);
}

// Looks a handle up; sets the last error when it is missing or of the wrong kind.
std::shared_ptr<Object> Lookup(HINTERNET h, Kind kind) {
  std::shared_ptr<Object> obj;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(h);
    if (it != g_table.end()) obj = it->second;
  }
  if (!obj) return Fail(ERROR_INVALID_HANDLE, std::shared_ptr<Object>());
  if (obj->kind != kind) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, std::shared_ptr<Object>());
  return obj;
}

bool HasLineBreak(const char* s) { return s && std::strpbrk(s, "\r\n") != nullptr; }

// Status callbacks of a call: nothing once its handle was closed.
class Sink final : public ftpproto::CallSink {
 public:
  Sink(Object& obj, DWORD_PTR context) : obj_(obj), context_(context) {}
  bool Emit(DWORD status, const void* info, DWORD infoLength) override {
    if (obj_.cancelled.load()) return false;
    INTERNET_STATUS_CALLBACK cb = obj_.callback.load();
    if (cb) cb(obj_.handle, context_, status, const_cast<void*>(info), infoLength);
    return !obj_.cancelled.load();
  }
  bool Cancelled() const override { return obj_.cancelled.load(); }
  int WakeFd() const override { return obj_.wakeFd; }

 private:
  Object& obj_;
  DWORD_PTR context_;
};

// Runs one call on a connection: refuses a closed, busy or dead one, and
// turns a failure of a call whose handle was closed meanwhile into a cancel.
bool ConnectionCall(HINTERNET h, const DWORD_PTR* context,
                    const std::function<DWORD(ftpproto::FtpControl&, ftpproto::CallSink&, const ftpproto::Options&)>& fn) {
  std::shared_ptr<Object> obj = Lookup(h, Kind::Connection);
  if (!obj) return false;
  if (obj->cancelled.load()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED, false);
  if (obj->busy.exchange(true))
    return Fail(obj->cancelled.load() ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_FTP_TRANSFER_IN_PROGRESS, false);
  struct Release {
    Object& o;
    ~Release() { o.busy.store(false); }
  } release{*obj};
  if (obj->cancelled.load()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED, false);
  if (!obj->ftp.Usable()) return Fail(obj->ftp.DeadError(), false);
  Sink sink(*obj, context ? *context : obj->context);
  DWORD rc = fn(obj->ftp, sink, obj->Options());
  if (rc == 0) return true;
  if (obj->cancelled.load()) rc = ERROR_INTERNET_OPERATION_CANCELLED;
  return Fail(rc, false);
}

bool ValidArgument(const char* s) { return s && *s && !HasLineBreak(s); }

void FillFindData(const ftpproto::ListEntry& e, WIN32_FIND_DATAA& d) {
  d = WIN32_FIND_DATAA{};
  d.dwFileAttributes =
      e.link ? FILE_ATTRIBUTE_REPARSE_POINT : e.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  d.nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
  d.nFileSizeLow = static_cast<DWORD>(e.size & 0xFFFFFFFFu);
  if (e.mtime != 0) d.ftLastWriteTime = FileTimeFromUnix(e.mtime);
  d.cFileName = e.name;
  d.LinkTarget = e.target;
  d.UnixPermissions = e.permissions;
}

}  // namespace

// ---- times --------------------------------------------------------------------

namespace {
constexpr std::int64_t kEpochDelta = 11644473600LL;  // seconds from 1601 to 1970
}

FILETIME FileTimeFromUnix(std::int64_t unixSeconds) {
  std::uint64_t v = static_cast<std::uint64_t>(unixSeconds + kEpochDelta) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}

std::int64_t UnixFromFileTime(const FILETIME& ft) {
  std::uint64_t v = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(v / 10000000ULL) - kEpochDelta;
}

// ---- errors and responses ---------------------------------------------------------

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

bool InternetGetLastResponseInfoA(DWORD* error, char* buffer, DWORD* length) {
  if (!length) return Fail(ERROR_INVALID_PARAMETER, false);
  if (error) *error = t_lastResponseCode;
  const std::string& text = t_lastResponse;
  if (!buffer || *length < text.size() + 1) {
    *length = static_cast<DWORD>(text.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *length = static_cast<DWORD>(text.size());
  return true;
}

// ---- handles -------------------------------------------------------------------------

HINTERNET InternetOpenA(const char* /*agent*/, DWORD accessType, const char* proxy, const char* /*proxyBypass*/,
                        DWORD flags) {
  if (flags != 0) return Fail(ERROR_INVALID_PARAMETER, HINTERNET{0});
  if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
      accessType != INTERNET_OPEN_TYPE_PROXY)
    return Fail(ERROR_INVALID_PARAMETER, HINTERNET{0});
  auto obj = std::make_shared<Object>(Kind::Session);
  if (obj->wakeFd < 0) return Fail(ERROR_NOT_ENOUGH_MEMORY, HINTERNET{0});
  obj->accessType = accessType;
  if (accessType == INTERNET_OPEN_TYPE_PROXY && proxy) obj->proxy = proxy;
  obj->handle = static_cast<HINTERNET>(NewHandle());
  std::lock_guard<std::mutex> lock(g_mutex);
  g_table[obj->handle] = obj;
  return obj->handle;
}

HINTERNET InternetConnectA(HINTERNET session, const char* serverName, INTERNET_PORT port, const char* userName,
                           const char* password, DWORD service, DWORD flags, DWORD_PTR context) {
  std::shared_ptr<Object> parent = Lookup(session, Kind::Session);
  if (!parent) return 0;
  if (service != INTERNET_SERVICE_FTP || !serverName || HasLineBreak(serverName) || HasLineBreak(userName) ||
      HasLineBreak(password))
    return Fail(ERROR_INVALID_PARAMETER, HINTERNET{0});
  if (parent->accessType == INTERNET_OPEN_TYPE_PROXY && !parent->proxy.empty())
    return Fail(ERROR_INTERNET_INVALID_PROXY_REQUEST, HINTERNET{0});

  auto obj = std::make_shared<Object>(Kind::Connection);
  if (obj->wakeFd < 0) return Fail(ERROR_NOT_ENOUGH_MEMORY, HINTERNET{0});
  obj->handle = static_cast<HINTERNET>(NewHandle());
  obj->parent = session;
  obj->context = context;
  obj->callback.store(parent->callback.load());
  obj->options = parent->Options();
  obj->busy.store(true);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(session);
    if (it == g_table.end() || it->second != parent) return Fail(ERROR_INTERNET_OPERATION_CANCELLED, HINTERNET{0});
    g_table[obj->handle] = obj;
    parent->children.push_back(obj->handle);
  }
  std::string banner;
  Sink sink(*obj, context);
  DWORD rc = obj->ftp.Open(sink, serverName, port ? port : INTERNET_DEFAULT_FTP_PORT, userName ? userName : "",
                           password ? password : "", (flags & INTERNET_FLAG_PASSIVE) != 0, obj->Options(), banner);
  if (!banner.empty()) {
    t_lastResponse = banner;
    t_lastResponseCode = 0;
  }
  if (rc != 0 || obj->cancelled.load()) {
    if (obj->cancelled.load()) rc = ERROR_INTERNET_OPERATION_CANCELLED;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_table.erase(obj->handle)) {
      auto& siblings = parent->children;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), obj->handle), siblings.end());
    }
    obj->Cancel();
    return Fail(rc, HINTERNET{0});
  }
  obj->established.store(true);
  obj->busy.store(false);
  return obj->handle;
}

bool InternetCloseHandle(HINTERNET handle) {
  std::vector<std::shared_ptr<Object>> closing;  // the handle, then its descendants
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(handle);
    if (it == g_table.end()) return Fail(ERROR_INVALID_HANDLE, false);
    closing.push_back(it->second);
    for (std::size_t i = 0; i < closing.size(); ++i) {
      for (HINTERNET c : closing[i]->children) {
        auto ci = g_table.find(c);
        if (ci != g_table.end()) closing.push_back(ci->second);
      }
      g_table.erase(closing[i]->handle);
    }
    auto pi = g_table.find(closing[0]->parent);
    if (pi != g_table.end()) {
      auto& siblings = pi->second->children;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), handle), siblings.end());
    }
  }
  // Children first; every call in flight on them stops now.
  for (auto it = closing.rbegin(); it != closing.rend(); ++it) {
    Object& o = **it;
    o.Cancel();
    if (o.kind != Kind::Connection) continue;
    if (o.established.load()) {
      INTERNET_STATUS_CALLBACK cb = o.callback.load();
      if (cb) cb(o.handle, o.context, INTERNET_STATUS_CLOSING_CONNECTION, nullptr, 0);
    }
    // A call in flight keeps the socket until it returns; otherwise say goodbye.
    if (!o.busy.exchange(true)) o.ftp.CloseQuietly();
  }
  return true;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle, INTERNET_STATUS_CALLBACK callback) {
  std::shared_ptr<Object> obj;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(handle);
    if (it != g_table.end()) obj = it->second;
  }
  if (!obj) return Fail(ERROR_INVALID_HANDLE, INTERNET_INVALID_STATUS_CALLBACK);
  return obj->callback.exchange(callback);
}

namespace {
std::shared_ptr<Object> AnyObject(HINTERNET handle) {
  std::shared_ptr<Object> obj;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(handle);
    if (it != g_table.end()) obj = it->second;
  }
  if (!obj) t_lastError = ERROR_INVALID_HANDLE;
  return obj;
}

int* OptionField(ftpproto::Options& o, DWORD option) {
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT: return &o.connectTimeoutMs;
    case INTERNET_OPTION_CONNECT_RETRIES: return &o.connectRetries;
    case INTERNET_OPTION_SEND_TIMEOUT: return &o.sendTimeoutMs;
    case INTERNET_OPTION_RECEIVE_TIMEOUT: return &o.receiveTimeoutMs;
    default: return nullptr;
  }
}
}  // namespace

bool InternetSetOptionA(HINTERNET handle, DWORD option, const void* buffer, DWORD length) {
  std::shared_ptr<Object> obj = AnyObject(handle);
  if (!obj) return false;
  if (!buffer || length < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER, false);
  std::lock_guard<std::mutex> lock(obj->optionMutex);
  int* field = OptionField(obj->options, option);
  if (!field) return Fail(ERROR_INTERNET_INVALID_OPTION, false);
  DWORD v;
  std::memcpy(&v, buffer, sizeof v);
  *field = static_cast<int>(std::min<DWORD>(v, 0x7FFFFFFF));
  return true;
}

bool InternetQueryOptionA(HINTERNET handle, DWORD option, void* buffer, DWORD* length) {
  std::shared_ptr<Object> obj = AnyObject(handle);
  if (!obj) return false;
  if (!length) return Fail(ERROR_INVALID_PARAMETER, false);
  std::lock_guard<std::mutex> lock(obj->optionMutex);
  int* field = OptionField(obj->options, option);
  if (!field) return Fail(ERROR_INTERNET_INVALID_OPTION, false);
  if (!buffer || *length < sizeof(DWORD)) {
    *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  DWORD v = static_cast<DWORD>(*field);
  std::memcpy(buffer, &v, sizeof v);
  *length = sizeof v;
  return true;
}

// ---- FTP calls ---------------------------------------------------------------------

namespace {
bool SimpleCall(HINTERNET connection, const char* verb, const char* argument) {
  if (!ValidArgument(argument)) return Fail(ERROR_INVALID_PARAMETER, false);
  std::string line = std::string(verb) + " " + argument;
  return ConnectionCall(connection, nullptr, [&](ftpproto::FtpControl& f, ftpproto::CallSink& s,
                                                 const ftpproto::Options& o) {
    ftpproto::Reply r;
    DWORD rc = f.Simple(s, line, r, o);
    SetResponse(r);
    return rc;
  });
}
}  // namespace

bool FtpSetCurrentDirectoryA(HINTERNET connection, const char* directory) {
  return SimpleCall(connection, "CWD", directory);
}
bool FtpCreateDirectoryA(HINTERNET connection, const char* directory) {
  return SimpleCall(connection, "MKD", directory);
}
bool FtpRemoveDirectoryA(HINTERNET connection, const char* directory) {
  return SimpleCall(connection, "RMD", directory);
}
bool FtpDeleteFileA(HINTERNET connection, const char* fileName) { return SimpleCall(connection, "DELE", fileName); }

bool FtpGetCurrentDirectoryA(HINTERNET connection, char* buffer, DWORD* length) {
  if (!length) return Fail(ERROR_INVALID_PARAMETER, false);
  std::string path;
  bool ok = ConnectionCall(connection, nullptr, [&](ftpproto::FtpControl& f, ftpproto::CallSink& s,
                                                    const ftpproto::Options& o) {
    ftpproto::Reply r;
    DWORD rc = f.Simple(s, "PWD", r, o);
    SetResponse(r);
    if (rc == 0 && r.code != 257) rc = ERROR_INTERNET_EXTENDED_ERROR;
    if (rc == 0) path = ftpproto::ParsePwdReply(r);
    return rc;
  });
  if (!ok) return false;
  if (!buffer || *length < path.size() + 1) {
    *length = static_cast<DWORD>(path.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER, false);
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  *length = static_cast<DWORD>(path.size());
  return true;
}

bool FtpCommandA(HINTERNET connection, bool expectResponse, DWORD flags, const char* command, DWORD_PTR context,
                 HINTERNET* ftpCommand) {
  if (expectResponse || ftpCommand || !ValidArgument(command)) return Fail(ERROR_INVALID_PARAMETER, false);
  const DWORD type = flags & 3;
  const std::string line = command;
  return ConnectionCall(connection, &context, [&](ftpproto::FtpControl& f, ftpproto::CallSink& s,
                                                  const ftpproto::Options& o) {
    ftpproto::Reply r;
    DWORD rc = type == FTP_TRANSFER_TYPE_ASCII    ? f.Typed(s, 'A', line, r, o)
               : type == FTP_TRANSFER_TYPE_BINARY ? f.Typed(s, 'I', line, r, o)
                                                  : f.Simple(s, line, r, o);
    SetResponse(r);
    return rc;
  });
}

bool FtpPutFileA(HINTERNET connection, const char* localFile, const char* newRemoteFile, DWORD flags,
                 DWORD_PTR context) {
  if (!ValidArgument(newRemoteFile) || !localFile || !*localFile) return Fail(ERROR_INVALID_PARAMETER, false);
  if (!Lookup(connection, Kind::Connection)) return false;
  int fd = ::open(localFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED, false);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  const bool ascii = (flags & 3) == FTP_TRANSFER_TYPE_ASCII;
  std::string remote = newRemoteFile;
  return ConnectionCall(connection, &context, [&](ftpproto::FtpControl& f, ftpproto::CallSink& s,
                                                  const ftpproto::Options& o) {
    ftpproto::Reply r;
    DWORD rc = f.Store(s, fd, remote, ascii, r, o);
    SetResponse(r);
    return rc;
  });
}

HINTERNET FtpFindFirstFileA(HINTERNET connection, const char* searchFile, WIN32_FIND_DATAA* findData, DWORD flags,
                            DWORD_PTR context) {
  t_lastFindFlags = flags;
  std::string search = (searchFile && *searchFile) ? searchFile : "*.*";
  if (HasLineBreak(search.c_str())) return Fail(ERROR_INVALID_PARAMETER, HINTERNET{0});
  std::string dir, mask;
  std::size_t slash = search.rfind('/');
  if (slash == std::string::npos) {
    mask = search;
  } else {
    dir = slash == 0 ? "/" : search.substr(0, slash);
    mask = search.substr(slash + 1);
  }
  std::vector<ftpproto::ListEntry> listed;
  bool ok = ConnectionCall(connection, &context, [&](ftpproto::FtpControl& f, ftpproto::CallSink& s,
                                                     const ftpproto::Options& o) {
    ftpproto::Reply r;
    std::string text;
    DWORD rc = f.List(s, dir, text, r, o, (flags & FTP_FLAG_LIST_ALL) != 0 ? "-a" : "");
    SetResponse(r);
    if (rc == 0) listed = ftpproto::ParseListing(text, static_cast<std::int64_t>(std::time(nullptr)));
    return rc;
  });
  if (!ok) return 0;
  std::shared_ptr<Object> conn = Lookup(connection, Kind::Connection);
  if (!conn) return Fail(ERROR_INTERNET_OPERATION_CANCELLED, HINTERNET{0});
  auto obj = std::make_shared<Object>(Kind::Find);
  for (const auto& e : listed) {
    if (!ftpproto::MatchesDosMask(e.name, mask)) continue;
    obj->entries.emplace_back();
    FillFindData(e, obj->entries.back());
  }
  if (obj->entries.empty()) return Fail(ERROR_NO_MORE_FILES, HINTERNET{0});
  if (findData) *findData = obj->entries.front();
  obj->next = 1;
  obj->handle = static_cast<HINTERNET>(NewHandle());
  obj->parent = connection;
  obj->callback.store(conn->callback.load());
  obj->context = context;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_table.find(connection);
  if (it == g_table.end() || it->second != conn) return Fail(ERROR_INTERNET_OPERATION_CANCELLED, HINTERNET{0});
  g_table[obj->handle] = obj;
  conn->children.push_back(obj->handle);
  return obj->handle;
}

bool InternetFindNextFileA(HINTERNET find, WIN32_FIND_DATAA* findData) {
  std::shared_ptr<Object> obj = Lookup(find, Kind::Find);
  if (!obj) return false;
  if (!findData) return Fail(ERROR_INVALID_PARAMETER, false);
  std::lock_guard<std::mutex> lock(obj->findMutex);
  if (obj->next >= obj->entries.size()) return Fail(ERROR_NO_MORE_FILES, false);
  *findData = obj->entries[obj->next++];
  return true;
}

DWORD LastFindFlags() { return t_lastFindFlags; }

std::size_t OpenHandleCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_table.size();
}

}  // namespace plat::inet

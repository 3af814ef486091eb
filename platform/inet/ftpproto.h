// Our FTP client under the Internet-library stand-in: one control
// connection per FtpControl, replies read with bounded lines, passive and
// active data connections, STOR in blocks and LIST parsing. Everything
// waits in poll() together with a wake-up descriptor, so that a cancel from
// another thread ends a wait at once.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/inet/wininet.h"

namespace plat::ftpproto {

using inet::DWORD;

// What a call reports to and asks of its caller.
class CallSink {
 public:
  // Sends one status notification; false when the call was cancelled
  // meanwhile (then nothing more may be sent).
  virtual bool Emit(DWORD status, const void* info, DWORD infoLength) = 0;
  virtual bool Cancelled() const = 0;
  // Readable once the call is cancelled.
  virtual int WakeFd() const = 0;

 protected:
  ~CallSink() = default;
};

struct Options {
  int connectTimeoutMs = 60000;
  int connectRetries = 5;
  int sendTimeoutMs = 60000;
  int receiveTimeoutMs = 60000;
};

struct Reply {
  int code = 0;
  std::vector<std::string> lines;  // without line ends
  std::size_t wireBytes = 0;
  std::string Text() const;  // each line followed by CR LF
  int Kind() const { return code / 100; }
};

// Splits the control stream into replies. Lines end with LF (a CR before it
// is dropped); a reply is one line "ddd text" or "ddd-text" ... "ddd text".
class ReplyReader {
 public:
  static constexpr std::size_t kMaxLine = 8192;
  static constexpr std::size_t kMaxReplyLines = 1000;
  enum class Result { NeedMore, Done, Bad };

  void Feed(const char* data, std::size_t n) { buf_.append(data, n); }
  // Takes the next complete reply out of what was fed.
  Result Take(Reply& out);
  bool HasBuffered() const { return !buf_.empty(); }

 private:
  std::string buf_;
  Reply partial_;
  bool inMulti_ = false;
};

struct ListEntry {
  std::string name;
  bool directory = false;
  // A symbolic link: the listing does not say what kind of entry it leads
  // to, so it is neither a folder nor a file.
  bool link = false;
  // What a link points at, as the listing shows it after " -> " (relative
  // to the link's folder, or absolute); empty when it is not shown.
  std::string target;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // seconds since 1970 (UTC as the server gives it); 0: unknown
  // The nine permission bits of a Unix line (0755 for rwxr-xr-x); -1 when
  // the line shows none (the DOS form).
  int permissions = -1;
};

// One line of a LIST reply in the Unix or the DOS form. False for lines that
// are neither (totals, blanks) and for names holding '/' or control bytes.
// A link's name ends where its size (the length of its target) says, so
// that a name holding " -> " stays whole; without that, at the first " -> ".
// `now` (seconds since 1970) picks the year of Unix dates given without one.
bool ParseListLine(const std::string& line, std::int64_t now, ListEntry& out);
// Every entry of a whole listing (lines end with LF or CR LF).
std::vector<ListEntry> ParseListing(const std::string& text, std::int64_t now);

// DOS name matching: '*' any run, '?' any one character, ASCII case ignored;
// "", "*" and "*.*" match everything; a mask ending in ".*" also matches names
// without a dot; a mask ending in '.' matches only names without a dot.
bool MatchesDosMask(const std::string& name, const std::string& mask);

// Whether the closing reply of a listing, positive as it is, says that the
// server could not read the folder: vsftpd answers "226 Transfer done (but
// failed to open directory).", pure-ftpd "226-Sorry, we were unable to read
// [.]" for a folder it may enter but not read.
bool ListingReplySaysUnread(const Reply& r);

// The path inside a 257 reply: between the first quote and the closing one,
// doubled quotes standing for one. Without quotes: the text after the code.
std::string ParsePwdReply(const Reply& r);

// "h1,h2,h3,h4,p1,p2" in a 227 reply; "(|||port|)" in a 229 reply.
bool ParsePasvPort(const std::string& text, int& port);
bool ParseEpsvPort(const std::string& text, int& port);

class FtpControl {
 public:
  FtpControl() = default;
  ~FtpControl();
  FtpControl(const FtpControl&) = delete;
  FtpControl& operator=(const FtpControl&) = delete;

  // Resolves, connects and logs in. Returns 0 or an error code; `banner`
  // gets the greeting and the reply that ended the login.
  DWORD Open(CallSink& sink, const std::string& host, int port, const std::string& user, const std::string& password,
             bool passive, const Options& opt, std::string& banner);

  // One command with a one-reply answer. 0 when the reply is positive
  // (2xx, or 3xx where `acceptIntermediate`), else an error code; `reply`
  // holds the last reply read.
  DWORD Simple(CallSink& sink, const std::string& line, Reply& reply, const Options& opt);

  // The same in the transfer type given ('A' or 'I'): some commands (SIZE)
  // answer by it.
  DWORD Typed(CallSink& sink, char type, const std::string& line, Reply& reply, const Options& opt);

  // Uploads from `localFd` (read to its end). `ascii` turns bare LF into CR LF.
  DWORD Store(CallSink& sink, int localFd, const std::string& remote, bool ascii, Reply& reply, const Options& opt);
  // Lists `dir` (empty: the current folder) into `text`. Another folder is
  // entered for the listing and left again; the current folder stays.
  // `args` (options such as "-a") go after LIST. A positive closing reply
  // that says the folder could not be read is a failure.
  DWORD List(CallSink& sink, const std::string& dir, std::string& text, Reply& reply, const Options& opt,
             const std::string& args = "");

  // Best effort, never waits: QUIT, then the socket is closed.
  void CloseQuietly();
  bool Usable() const { return fd_ >= 0 && deadError_ == 0; }
  DWORD DeadError() const { return deadError_ ? deadError_ : inet::ERROR_INVALID_HANDLE; }
  // Peer ends: for tests and the data connections.
  const sockaddr_storage& Peer() const { return peer_; }

 private:
  struct DataConn;
  DWORD SendLine(CallSink& sink, const std::string& line, const Options& opt);
  DWORD ReadReply(CallSink& sink, Reply& reply, const Options& opt);
  DWORD Command(CallSink& sink, const std::string& line, Reply& reply, const Options& opt);
  DWORD Login(CallSink& sink, const std::string& user, const std::string& password, const Options& opt,
              std::string& banner);
  // Sends TYPE only when the connection is not of that type already.
  DWORD SetType(CallSink& sink, char type, Reply& reply, const Options& opt);
  DWORD PrepareData(CallSink& sink, DataConn& dc, Reply& reply, const Options& opt);
  DWORD OpenDataAfterCommand(CallSink& sink, DataConn& dc, Reply& reply, const Options& opt);
  DWORD ListHere(CallSink& sink, std::string& text, Reply& reply, const Options& opt, const std::string& args);
  void MarkDead(CallSink& sink, DWORD error);

  int fd_ = -1;
  bool passive_ = false;
  DWORD deadError_ = 0;
  sockaddr_storage peer_{};
  socklen_t peerLen_ = 0;
  sockaddr_storage local_{};
  socklen_t localLen_ = 0;
  ReplyReader reader_;
  char type_ = 0;  // the type last set on the connection; 0: not known
};

}  // namespace plat::ftpproto

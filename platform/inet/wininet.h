// Internet-library stand-in: synchronous session and FTP calls in the shape
// of the ANSI entry points the FTP components were written against, built
// on our own FTP client (platform/inet/ftpproto.h) over POSIX sockets.
//
// Handles are ids into one process-wide table of reference-counted objects:
// a session (InternetOpenA), its FTP connections (InternetConnectA) and their
// listings (FtpFindFirstFileA). Every call blocks its thread; the status
// callback of the handle runs on that thread, inside the call, with no lock
// held. The last error and the last server response are kept per thread.
//
// Status notifications of a call:
// - InternetConnectA, per attempt: RESOLVING_NAME (host), NAME_RESOLVED
//   (address), then per address tried CONNECTING_TO_SERVER (address) and,
//   once one answers, CONNECTED_TO_SERVER (address).
// - REQUEST_SENT (DWORD byte count) for every command line and every data
//   block sent; RESPONSE_RECEIVED (DWORD byte count) for every reply and every
//   data block received.
// - WAITING (no data) about every 50 ms while a call waits on the network,
//   so that the caller can pump its queue and see an Abort click.
// - CLOSING_CONNECTION from InternetCloseHandle of a connection, on the
//   closing thread.
// - CONNECTION_CLOSED when the control connection is lost: the server
//   dropped it or announced it (421), or a reply did not come in time or
//   could not be read. The socket is closed then, and every later call on
//   the handle fails at once.
//
// Closing a handle (from any thread) also closes its children. A call in
// flight on a closed handle, parked in a callback or in a wait, fails
// promptly with ERROR_INTERNET_OPERATION_CANCELLED and emits nothing more.
// A second call on a connection while one is in flight fails with
// ERROR_FTP_TRANSFER_IN_PROGRESS. Arguments holding CR or LF are refused
// with ERROR_INVALID_PARAMETER before anything is sent.
#pragma once

#include <cstdint>
#include <string>

namespace plat::inet {

using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using INTERNET_PORT = std::uint16_t;
using HINTERNET = std::uintptr_t;  // 0: none

// ---- error codes (GetLastError) ---------------------------------------------

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_EXTENDED_ERROR = 12003;  // the server refused; see the last response
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr DWORD ERROR_INTERNET_INCORRECT_USER_NAME = 12013;
constexpr DWORD ERROR_INTERNET_INCORRECT_PASSWORD = 12014;
constexpr DWORD ERROR_INTERNET_LOGIN_FAILURE = 12015;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;  // the server dropped the connection
constexpr DWORD ERROR_INTERNET_INVALID_PROXY_REQUEST = 12033;
constexpr DWORD ERROR_FTP_TRANSFER_IN_PROGRESS = 12110;
constexpr DWORD ERROR_FTP_DROPPED = 12111;  // we gave up on the connection (bad reply, time-out)

// ---- constants ----------------------------------------------------------------

constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;

constexpr DWORD INTERNET_SERVICE_FTP = 1;
constexpr INTERNET_PORT INTERNET_DEFAULT_FTP_PORT = 21;

constexpr DWORD INTERNET_FLAG_PASSIVE = 0x08000000;
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
// Ours, for FtpFindFirstFileA: list with "LIST -a", so that a server that
// takes the option shows its hidden entries, "." and ".." too.
constexpr DWORD FTP_FLAG_LIST_ALL = 0x00000100;

constexpr DWORD FTP_TRANSFER_TYPE_UNKNOWN = 0;  // sent as binary
constexpr DWORD FTP_TRANSFER_TYPE_ASCII = 1;
constexpr DWORD FTP_TRANSFER_TYPE_BINARY = 2;

// Options (32-bit values, milliseconds for the time-outs). A child handle
// starts with its parent's values.
constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;  // per connect attempt; default 60000
constexpr DWORD INTERNET_OPTION_CONNECT_RETRIES = 3;  // attempts; 0 counts as 1; default 5
constexpr DWORD INTERNET_OPTION_SEND_TIMEOUT = 5;     // default 60000
constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;  // replies and data; default 60000

constexpr DWORD INTERNET_STATUS_RESOLVING_NAME = 10;
constexpr DWORD INTERNET_STATUS_NAME_RESOLVED = 11;
constexpr DWORD INTERNET_STATUS_CONNECTING_TO_SERVER = 20;
constexpr DWORD INTERNET_STATUS_CONNECTED_TO_SERVER = 21;
constexpr DWORD INTERNET_STATUS_REQUEST_SENT = 31;
constexpr DWORD INTERNET_STATUS_RESPONSE_RECEIVED = 41;
constexpr DWORD INTERNET_STATUS_CLOSING_CONNECTION = 50;
constexpr DWORD INTERNET_STATUS_CONNECTION_CLOSED = 51;
// Ours: the call is still waiting on the network.
constexpr DWORD INTERNET_STATUS_WAITING = 0x7F00;

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
// A symbolic link in a listing: neither the folder bit nor NORMAL.
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};
// 100-ns intervals since 1601-01-01 UTC from seconds since 1970-01-01 UTC.
FILETIME FileTimeFromUnix(std::int64_t unixSeconds);
std::int64_t UnixFromFileTime(const FILETIME& ft);

// One listing entry. The names are kept whole, however long.
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  DWORD dwReserved0 = 0;
  DWORD dwReserved1 = 0;
  std::string cFileName;
  std::string cAlternateFileName;
  // Ours: what a link (FILE_ATTRIBUTE_REPARSE_POINT) points at, as the
  // server's listing shows it; empty when it does not.
  std::string LinkTarget;
  // Ours: the nine permission bits the listing shows (0755 for
  // rwxr-xr-x); -1 when it shows none.
  int UnixPermissions = -1;

  std::uint64_t FileSize() const { return (static_cast<std::uint64_t>(nFileSizeHigh) << 32) | nFileSizeLow; }
};

using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET handle, DWORD_PTR context, DWORD status, void* info,
                                          DWORD infoLength);
// Returned by InternetSetStatusCallback when the handle is bad.
inline const INTERNET_STATUS_CALLBACK INTERNET_INVALID_STATUS_CALLBACK =
    reinterpret_cast<INTERNET_STATUS_CALLBACK>(static_cast<std::intptr_t>(-1));

// ---- calls -----------------------------------------------------------------------

// The calling thread's last error (set by every failing call; calls that
// succeed leave it alone, as the system's do).
DWORD GetLastError();
void SetLastError(DWORD code);

// A session. `proxy` is used only with INTERNET_OPEN_TYPE_PROXY; FTP cannot
// go through one here, so such a session refuses to connect when a proxy is
// named (ERROR_INTERNET_INVALID_PROXY_REQUEST). `flags` must be 0 (no
// asynchronous mode).
HINTERNET InternetOpenA(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                        DWORD flags);

// Opens an FTP connection and logs in (an empty or null user name logs in
// as "anonymous"). Callbacks are sent with the new handle and `context`.
// Errors: ERROR_INTERNET_NAME_NOT_RESOLVED, ERROR_INTERNET_CANNOT_CONNECT
// (after the retries), ERROR_INTERNET_TIMEOUT, ERROR_INTERNET_INCORRECT_USER_NAME
// (USER refused with 530), ERROR_INTERNET_INCORRECT_PASSWORD (PASS refused
// with 530), ERROR_INTERNET_LOGIN_FAILURE (any other refusal),
// ERROR_INTERNET_OPERATION_CANCELLED.
HINTERNET InternetConnectA(HINTERNET session, const char* serverName, INTERNET_PORT port, const char* userName,
                           const char* password, DWORD service, DWORD flags, DWORD_PTR context);

bool InternetSetOptionA(HINTERNET handle, DWORD option, const void* buffer, DWORD length);
// `length` in: size of buffer (at least 4); out: 4.
bool InternetQueryOptionA(HINTERNET handle, DWORD option, void* buffer, DWORD* length);

// Sets the handle's callback (null: none); returns the previous one, or
// INTERNET_INVALID_STATUS_CALLBACK for a bad handle.
INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle, INTERNET_STATUS_CALLBACK callback);

bool InternetCloseHandle(HINTERNET handle);

// The calling thread's last server response (all lines of the reply that
// ended the last call, each followed by CR LF; for InternetConnectA the
// greeting and the reply that ended the login). `length` in: buffer size;
// out: bytes written without the terminating zero, or the size needed
// (with it) when the buffer is too small (then false, ERROR_INSUFFICIENT_BUFFER).
bool InternetGetLastResponseInfoA(DWORD* error, char* buffer, DWORD* length);

bool FtpSetCurrentDirectoryA(HINTERNET connection, const char* directory);
// `length` in: buffer size; out: length of the text. Too small a buffer
// fails with ERROR_INSUFFICIENT_BUFFER and `length` set to the size needed.
bool FtpGetCurrentDirectoryA(HINTERNET connection, char* buffer, DWORD* length);
bool FtpCreateDirectoryA(HINTERNET connection, const char* directory);
bool FtpRemoveDirectoryA(HINTERNET connection, const char* directory);
bool FtpDeleteFileA(HINTERNET connection, const char* fileName);
// One command that opens no data connection (expectResponse must be
// false, ftpCommand null), its reply read whole; InternetGetLastResponseInfoA
// gives it then. A transfer type in flags (FTP_TRANSFER_TYPE_ASCII or
// _BINARY) is set on the connection first, as some commands (SIZE) answer
// by it. A reply that is not positive fails with
// ERROR_INTERNET_EXTENDED_ERROR.
bool FtpCommandA(HINTERNET connection, bool expectResponse, DWORD flags, const char* command, DWORD_PTR context,
                 HINTERNET* ftpCommand);
// Uploads a local file. The callbacks of the call use `context`.
bool FtpPutFileA(HINTERNET connection, const char* localFile, const char* newRemoteFile, DWORD flags,
                 DWORD_PTR context);

// Lists the folder part of `searchFile` (up to its last '/'; the current
// folder without one) and keeps the entries whose names match its last part
// by the DOS rules ("*.*" or an empty mask: everything). No match fails with
// ERROR_NO_MORE_FILES. Returns a find handle holding the remaining entries.
// A folder other than the current one is entered (PWD, CWD), listed with a
// bare LIST and left again (CWD back), so that a path holding blanks lists
// that folder on every server; a folder that cannot be entered fails with
// ERROR_INTERNET_EXTENDED_ERROR, and so does a listing after which the
// server would not go back (no entries are returned then), and one whose
// closing reply, positive as it is, says the server could not read the
// folder (vsftpd and pure-ftpd answer 226 so for a folder they may enter
// but not read).
HINTERNET FtpFindFirstFileA(HINTERNET connection, const char* searchFile, WIN32_FIND_DATAA* findData, DWORD flags,
                            DWORD_PTR context);
bool InternetFindNextFileA(HINTERNET find, WIN32_FIND_DATAA* findData);

// Number of handles open now (for tests that check nothing leaks).
std::size_t OpenHandleCount();
// The flags of the calling thread's last FtpFindFirstFileA, valid handle or
// not (for tests: this library keeps no cache, so INTERNET_FLAG_RELOAD
// changes nothing it does).
DWORD LastFindFlags();

}  // namespace plat::inet

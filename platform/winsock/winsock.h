// Stand-in for the WinSock 1.1 library and for loading libraries by name.
//
// The socket component loads "wsock32.dll" by name and binds every function
// by name. Here that library is an in-process module: LoadLibrary finds it
// in a table of built-in modules and GetProcAddress returns entries of it,
// implemented on POSIX sockets, a per-thread epoll set (asynchronous select)
// and a small worker pool (asynchronous name lookups).
//
// Types and constants carry the values the component was written against.
// Where a POSIX header defines a macro of the same name (SOL_SOCKET,
// AF_INET, INADDR_NONE ...) the constant here is prefixed with WS_.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/messaging/messaging.h"

namespace plat {

// ---- loading libraries --------------------------------------------------------

using HMODULE = std::uintptr_t;  // 0: none
using FARPROC = void*;

constexpr std::uint32_t ERROR_MOD_NOT_FOUND = 126;
constexpr std::uint32_t ERROR_PROC_NOT_FOUND = 127;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;

// Known modules are matched ignoring ASCII case. Every load counts up and
// every free counts down; the module is unloaded when the count reaches 0.
HMODULE LoadLibrary(const std::string& fileName);
FARPROC GetProcAddress(HMODULE module, const std::string& procName);
bool FreeLibrary(HMODULE module);
// Per thread: the reason of the last failed LoadLibrary / GetProcAddress.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// ---- WinSock types --------------------------------------------------------------

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;
using HANDLE = std::uintptr_t;  // asynchronous task handle, 0 = none

constexpr int WS_AF_INET = 2;
constexpr int WS_SOCK_STREAM = 1;
constexpr int WS_SOCK_DGRAM = 2;
constexpr int WS_IPPROTO_TCP = 6;
constexpr int WS_IPPROTO_UDP = 17;

constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_REUSEADDR = 0x0004;
constexpr int WS_SO_KEEPALIVE = 0x0008;
constexpr int WS_SO_BROADCAST = 0x0020;
constexpr int WS_SO_LINGER = 0x0080;
constexpr int WS_SO_SNDBUF = 0x1001;
constexpr int WS_SO_RCVBUF = 0x1002;

constexpr std::uint32_t WS_FIONREAD = 0x4004667F;
constexpr std::uint32_t WS_FIONBIO = 0x8004667E;

constexpr int WS_MSG_OOB = 1;
constexpr int WS_SD_RECEIVE = 0;
constexpr int WS_SD_SEND = 1;
constexpr int WS_SD_BOTH = 2;

constexpr std::uint32_t WS_INADDR_ANY = 0;
constexpr std::uint32_t WS_INADDR_NONE = 0xFFFFFFFFu;

// Network events of the asynchronous select.
constexpr std::uint32_t FD_READ = 0x01;
constexpr std::uint32_t FD_WRITE = 0x02;
constexpr std::uint32_t FD_OOB = 0x04;
constexpr std::uint32_t FD_ACCEPT = 0x08;
constexpr std::uint32_t FD_CONNECT = 0x10;
constexpr std::uint32_t FD_CLOSE = 0x20;

constexpr int MAXGETHOSTSTRUCT = 1024;

// Error codes.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct IN_ADDR {
  std::uint32_t s_addr;  // network byte order
};

struct SOCKADDR {
  std::uint16_t sa_family;
  char sa_data[14];
};

// 16 bytes: family, port and address in network order, 8 zero bytes.
struct SOCKADDR_IN {
  std::uint16_t sin_family;
  std::uint16_t sin_port;
  IN_ADDR sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct LINGER {
  std::uint16_t l_onoff;
  std::uint16_t l_linger;
};

struct WSADATA {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};

struct HOSTENT {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;  // null-terminated list of 4-byte addresses
};

struct SERVENT {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network byte order
  char* s_proto;
};

struct PROTOENT {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};

// ---- the functions of the library, as bound by name ------------------------------

using PFN_WSAStartup = int (*)(std::uint16_t wVersionRequired, WSADATA* data);
using PFN_WSACleanup = int (*)();
using PFN_WSASetLastError = void (*)(int error);
using PFN_WSAGetLastError = int (*)();
using PFN_WSACancelAsyncRequest = int (*)(HANDLE task);
using PFN_WSAAsyncGetHostByName = HANDLE (*)(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
using PFN_WSAAsyncGetHostByAddr = HANDLE (*)(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                                             int buflen);
using PFN_WSAAsyncSelect = int (*)(SOCKET s, HWND hwnd, UINT msg, std::int32_t events);
using PFN_getservbyname = SERVENT* (*)(const char* name, const char* proto);
using PFN_getprotobyname = PROTOENT* (*)(const char* name);
using PFN_gethostbyname = HOSTENT* (*)(const char* name);
using PFN_socket = SOCKET (*)(int af, int type, int protocol);
using PFN_shutdown = int (*)(SOCKET s, int how);
using PFN_setsockopt = int (*)(SOCKET s, int level, int optname, const char* optval, int optlen);
using PFN_sendto = int (*)(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
using PFN_send = int (*)(SOCKET s, const char* buf, int len, int flags);
using PFN_recv = int (*)(SOCKET s, char* buf, int len, int flags);
using PFN_recvfrom = int (*)(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
using PFN_ntohs = std::uint16_t (*)(std::uint16_t v);
using PFN_listen = int (*)(SOCKET s, int backlog);
using PFN_ioctlsocket = int (*)(SOCKET s, std::uint32_t cmd, std::uint32_t* argp);
using PFN_inet_ntoa = char* (*)(IN_ADDR in);
using PFN_inet_addr = std::uint32_t (*)(const char* cp);
using PFN_htons = std::uint16_t (*)(std::uint16_t v);
using PFN_getsockname = int (*)(SOCKET s, SOCKADDR* name, int* namelen);
using PFN_getpeername = int (*)(SOCKET s, SOCKADDR* name, int* namelen);
using PFN_connect = int (*)(SOCKET s, const SOCKADDR* name, int namelen);
using PFN_closesocket = int (*)(SOCKET s);
using PFN_bind = int (*)(SOCKET s, const SOCKADDR* name, int namelen);
using PFN_accept = SOCKET (*)(SOCKET s, SOCKADDR* addr, int* addrlen);

// ---- test hooks of the stand-in ---------------------------------------------------

struct WinsockStats {
  int Loads = 0;      // module loads (count went 0 -> 1)
  int Unloads = 0;    // module unloads (count went 1 -> 0)
  int Startups = 0;   // successful WSAStartup calls
  int Cleanups = 0;   // WSACleanup calls that ended a start-up
  int OpenSockets = 0;
  int PendingLookups = 0;
  int IdleLookupWorkers = 0;  // lookup workers waiting for a job
  int LookupWorkers = 0;      // lookup workers started, busy or idle
  int QueuedLookups = 0;      // resolutions waiting for a worker
};

namespace winsock_testing {
// The most lookup workers the stand-in runs at once.
constexpr int MaxLookupWorkers = 16;
// The next loads of "wsock32.dll" fail (GetLastError 126) while set.
void SetLoadFails(bool fail);
// GetProcAddress does not find this name (empty: find every name again).
void HideFunction(const std::string& name);
// WSAStartup returns this code instead of 0 (0: normal start-up).
void SetStartupError(int code);
WinsockStats Stats();
bool IsLoaded();
bool IsStarted();
// Replaces the system's resolver for host names: the function gets the name
// and fills the addresses (network order) or returns a WinSock error code.
// It runs on a worker thread. An empty function restores the system's.
using NameResolver = std::function<int(const std::string& name, std::vector<std::uint32_t>& addrs)>;
void SetNameResolver(NameResolver resolver);
// Number of system resolutions done so far (concurrent lookups of one name
// share one).
int ResolutionCount();
// Restores every hook above.
void Reset();
}  // namespace winsock_testing

}  // namespace plat

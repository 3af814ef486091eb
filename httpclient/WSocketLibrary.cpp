// The socket unit's binding of the library, its error texts and the
// blocking resolvers.
#include "httpclient/WSocket.h"

#include <cstdlib>
#include <cstring>

#include "httpclient/WSocketBinding.h"

using wsocket_binding::g_winsockEntryTable;
using wsocket_binding::g_liveSocketCount;

const char* const SocketWindowClassName = "XSocketWindowClass";
const char* const WinsockLibraryName = "wsock32.dll";

// ---- the library binding ---------------------------------------------------------

namespace wsocket_binding {

const char* const kFnNames[fCount] = {
    "WSAStartup",    "WSACleanup",     "WSASetLastError", "WSAGetLastError", "WSACancelAsyncRequest",
    "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSAAsyncSelect", "getservbyname", "getprotobyname",
    "gethostbyname", "socket",         "shutdown",        "setsockopt",      "sendto",
    "send",          "recv",           "recvfrom",        "ntohs",           "listen",
    "ioctlsocket",   "inet_ntoa",      "inet_addr",       "htons",           "getsockname",
    "getpeername",   "connect",        "closesocket",     "bind",            "accept",
};

plat::FARPROC g_winsockEntryTable[fCount] = {};
int g_liveSocketCount = 0;

std::string InetNtoa(std::uint32_t addr) {
  plat::IN_ADDR in{addr};
  return WS(inet_ntoa)(in);
}

}  // namespace wsocket_binding

namespace {
plat::HMODULE g_winsockLibrary = 0;
plat::WSADATA g_winsockData;
bool g_finalizerRegistered = false;
}  // namespace

plat::FARPROC LoadWinsockProc(const std::string& Name) {
  if (g_winsockLibrary == 0) {
    g_winsockLibrary = plat::LoadLibrary(WinsockLibraryName);
    if (g_winsockLibrary == 0)
      throw ESocketException(std::string("Unable to load ") + WinsockLibraryName + " Error #" +
                             plat::IntToStr(plat::GetLastError()));
    if (!g_finalizerRegistered) {
      // Release the library at program end.
      g_finalizerRegistered = true;
      std::atexit([] { UnloadWinsock(); });
    }
    int r = WS(WSAStartup)(0x0101, &g_winsockData);
    if (r != 0) throw ESocketException(plat::Format("%s: WSAStartup error #%d", WinsockLibraryName, r));
  }
  plat::FARPROC p = plat::GetProcAddress(g_winsockLibrary, Name);
  if (!p)
    throw ESocketException("Procedure " + Name + " not found in " + WinsockLibraryName + " Error #" +
                           plat::IntToStr(plat::GetLastError()));
  return p;
}

void UnloadWinsock() {
  if (g_winsockLibrary == 0) return;
  // Releasing never raises: it runs from destructors and at program end.
  try {
    WS(WSACleanup)();
  } catch (const std::exception&) {
  }
  plat::FreeLibrary(g_winsockLibrary);
  g_winsockLibrary = 0;
  for (auto& e : g_winsockEntryTable) e = nullptr;
}

int LiveSocketCount() { return g_liveSocketCount; }

// ---- error texts --------------------------------------------------------------------

std::string WinsockErrorText(int Code) {
  switch (Code) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
  }
}

// ---- decimal texts and resolvers ------------------------------------------------------

bool WSocketIsDigit(char C) { return C >= '0' && C <= '9'; }

int WSocketParseDecimal(const std::string& S) {
  std::size_t i = 0;
  while (i < S.size() && S[i] == ' ') ++i;
  std::int64_t v = 0;
  for (; i < S.size() && WSocketIsDigit(S[i]); ++i) {
    v = v * 10 + (S[i] - '0');
    if (v > 0x7FFFFFFF) throw EIntOverflow();
  }
  return static_cast<int>(v);
}

namespace {
// A text made only of digits and dots is meant as a dotted address.
bool LooksDotted(const std::string& s) {
  for (char c : s)
    if (!WSocketIsDigit(c) && c != '.') return false;
  return true;
}
}  // namespace

std::uint32_t WSocketResolveHost(const std::string& Host) {
  if (Host.empty() || Host.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
  std::string text = plat::Trim(Host);
  if (!text.empty() && WSocketIsDigit(text[0])) {
    std::uint32_t a = WS(inet_addr)(text.c_str());
    if (a != plat::WS_INADDR_NONE || text == "255.255.255.255") return a;
    // Names may start with a digit too ("3com.com"): only a dotted text is
    // refused as an address.
    if (LooksDotted(text)) throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
  }
  plat::HOSTENT* h = WS(gethostbyname)(text.c_str());
  if (!h || !h->h_addr_list || !h->h_addr_list[0])
    throw ESocketException(plat::Format("WSocketResolveHost: Cannot convert host address '%s'", Host.c_str()));
  std::uint32_t a;
  std::memcpy(&a, h->h_addr_list[0], 4);
  return a;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (WSocketIsDigit(Port[0])) {
    int v = WSocketParseDecimal(Port);
    if (v > 65535) throw ERangeError();
    return static_cast<std::uint16_t>(v);
  }
  std::string p = plat::Trim(Port), pr = plat::Trim(Proto);
  plat::SERVENT* se = WS(getservbyname)(p.c_str(), pr.empty() ? nullptr : pr.c_str());
  if (!se) throw ESocketException(plat::Format("WSocketResolvePort: Cannot convert port '%s'", Port.c_str()));
  return WS(ntohs)(static_cast<std::uint16_t>(se->s_port));
}

int WSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  std::string text = plat::Trim(Proto);
  if (!text.empty() && WSocketIsDigit(text[0])) return WSocketParseDecimal(text);
  plat::PROTOENT* pe = WS(getprotobyname)(text.c_str());
  if (!pe)
    throw ESocketException(plat::Format("WSocketResolveProto: Cannot convert protocol '%s'", text.c_str()));
  return pe->p_proto;
}

// What the socket unit's files share: the table of library entries bound
// by name, and the few calls every part makes through it. Not for use
// outside the socket unit.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/WSocket.h"

namespace wsocket_binding {

enum Fn {
  fWSAStartup,
  fWSACleanup,
  fWSASetLastError,
  fWSAGetLastError,
  fWSACancelAsyncRequest,
  fWSAAsyncGetHostByName,
  fWSAAsyncGetHostByAddr,
  fWSAAsyncSelect,
  fgetservbyname,
  fgetprotobyname,
  fgethostbyname,
  fsocket,
  fshutdown,
  fsetsockopt,
  fsendto,
  fsend,
  frecv,
  frecvfrom,
  fntohs,
  flisten,
  fioctlsocket,
  finet_ntoa,
  finet_addr,
  fhtons,
  fgetsockname,
  fgetpeername,
  fconnect,
  fclosesocket,
  fbind,
  faccept,
  fCount
};

extern const char* const kFnNames[fCount];
extern plat::FARPROC g_winsockEntryTable[fCount];
// Socket components in existence; the library is released with the last.
extern int g_liveSocketCount;

// The entry of a library function, bound at its first use.
template <class F>
F Entry(Fn f) {
  if (!g_winsockEntryTable[f]) g_winsockEntryTable[f] = LoadWinsockProc(kFnNames[f]);
  return reinterpret_cast<F>(g_winsockEntryTable[f]);
}

inline int WSAGetLastError() { return Entry<plat::PFN_WSAGetLastError>(fWSAGetLastError)(); }
inline void WSASetLastError(int e) { Entry<plat::PFN_WSASetLastError>(fWSASetLastError)(e); }
inline plat::SOCKADDR* SA(plat::SOCKADDR_IN* a) { return reinterpret_cast<plat::SOCKADDR*>(a); }
std::string InetNtoa(std::uint32_t addr);

}  // namespace wsocket_binding

#define WS(name) wsocket_binding::Entry<plat::PFN_##name>(wsocket_binding::f##name)

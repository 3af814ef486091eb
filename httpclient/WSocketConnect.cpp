// The socket component's addresses and name lookups, and its connect,
// listen, accept and close, with the waits that go with them.
#include "httpclient/WSocket.h"

#include <cstring>
#include <thread>

#include "httpclient/WSocketBinding.h"

using plat::SOCKET;
using plat::INVALID_SOCKET;
using plat::SOCKET_ERROR;
using wsocket_binding::SA;
using wsocket_binding::WSAGetLastError;
using wsocket_binding::WSASetLastError;
using wsocket_binding::InetNtoa;

// ---- addresses and lookups ------------------------------------------------------------------

// The three setters share one rule: the same text again is accepted at any
// time, another only while closed; a non-empty text needs resolving anew.
void TCustomWSocket::AssignAddressText(const char* What, const std::string& Value, std::string& Field,
                                       bool& Resolved, bool& Assigned) {
  if (Assigned && Value == Field) return;
  if (FState != wsClosed) {
    RaiseSocketException(std::string("Cannot change ") + What + " if not closed");
    return;
  }
  Field = plat::Trim(Value);
  Assigned = !Field.empty();
  if (Assigned) Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
  AssignAddressText("Addr", Value, FAddr, FAddrResolved, FAddrAssigned);
}

void TCustomWSocket::SetPort(const std::string& Value) {
  AssignAddressText("Port", Value, FPort, FPortResolved, FPortAssigned);
}

void TCustomWSocket::SetProto(const std::string& Value) {
  AssignAddressText("Proto", Value, FProto, FProtoResolved, FProtoAssigned);
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPort = Value;
  FLocalPortResolved = false;
}

void TCustomWSocket::BindSocket() {
  plat::SOCKADDR_IN local{};
  local.sin_family = plat::WS_AF_INET;
  local.sin_port = WS(htons)(FLocalPortNumber);
  local.sin_addr.s_addr = plat::WS_INADDR_ANY;
  if (WS(bind)(FSocketHandle, SA(&local), sizeof local) == SOCKET_ERROR) {
    RaiseSocketExceptionFmt("winsock.bind failed, error #%d", WSAGetLastError());
    return;
  }
  plat::SOCKADDR_IN bound{};
  int len = sizeof bound;
  if (WS(getsockname)(FSocketHandle, SA(&bound), &len) == SOCKET_ERROR) {
    RaiseSocketExceptionFmt("winsock.getsockname failed, error #%d", WSAGetLastError());
    return;
  }
  FLocalPortNumber = WS(ntohs)(bound.sin_port);
  FLocalPort = plat::IntToStr(FLocalPortNumber);
}

// Both lookups begin alike: a text that cannot be looked up is reported
// and the lookup done with WSAEINVAL; a pending lookup is dropped, and so
// are the last results. False when the lookup goes no further.
bool TCustomWSocket::BeginLookup(bool Invalid) {
  if (Invalid) {
    RaiseSocketException("DNS lookup: invalid host name.");
    DoDnsLookupDone(plat::WSAEINVAL);
    return false;
  }
  if (FLookupHandle != 0) {
    WS(WSACancelAsyncRequest)(FLookupHandle);
    FLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList->Clear();
  return true;
}

void TCustomWSocket::LookupName(const std::string& HostName) {
  if (!BeginLookup(HostName.empty())) return;
  std::uint32_t a = WS(inet_addr)(HostName.c_str());
  if (a != plat::WS_INADDR_NONE) {
    FDnsResult = InetNtoa(a);
    DoDnsLookupDone(0);
    return;
  }
  FLookupHandle = WS(WSAAsyncGetHostByName)(FWindowHandle, WM_SOCKET_NAME_LOOKUP_DONE, HostName.c_str(),
                                            FLookupBuffer, sizeof FLookupBuffer);
  if (FLookupHandle == 0)
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSAGetLastError());
}

void TCustomWSocket::LookupAddress(const std::string& HostAddr) {
  // The address text is held in 257 bytes; a longer one is no address.
  if (!BeginLookup(HostAddr.empty() || HostAddr.size() > 256)) return;
  char text[257] = {};
  std::memcpy(text, HostAddr.data(), HostAddr.size());
  std::uint32_t a = WS(inet_addr)(text);
  FLookupHandle = WS(WSAAsyncGetHostByAddr)(FWindowHandle, WM_SOCKET_ADDR_LOOKUP_DONE, reinterpret_cast<char*>(&a),
                                            4, plat::WS_AF_INET, FLookupBuffer, sizeof FLookupBuffer);
  if (FLookupHandle == 0)
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), WSAGetLastError());
}

namespace {
void CopyHostAddresses(const plat::HOSTENT* HostEntry, plat::TStringList* List) {
  if (!HostEntry || !HostEntry->h_addr_list) return;
  for (int i = 0; i < 256 && HostEntry->h_addr_list[i]; ++i) {
    std::uint32_t a;
    std::memcpy(&a, HostEntry->h_addr_list[i], 4);
    List->Add(InetNtoa(a));
  }
}
}  // namespace

void TCustomWSocket::HandleNameLookupDone(TMessage& Message) {
  if (FLookupHandle == 0 || Message.WParam != FLookupHandle) return;
  FLookupHandle = 0;
  std::uint16_t Error = plat::HIWORD(Message.LParam);
  if (Error == 0) {
    CopyHostAddresses(reinterpret_cast<const plat::HOSTENT*>(FLookupBuffer), FDnsResultList);
    if (FDnsResultList->Count() > 0) FDnsResult = FDnsResultList->Strings(0);
  }
  DoDnsLookupDone(Error);
}

void TCustomWSocket::HandleAddrLookupDone(TMessage& Message) {
  if (FLookupHandle == 0 || Message.WParam != FLookupHandle) return;
  FLookupHandle = 0;
  std::uint16_t Error = plat::HIWORD(Message.LParam);
  if (Error == 0) {
    const auto* h = reinterpret_cast<const plat::HOSTENT*>(FLookupBuffer);
    FDnsResult = h->h_name ? h->h_name : "";
    FDnsResultList->Clear();
    FDnsResultList->Add(FDnsResult);
  }
  DoDnsLookupDone(Error);
}

void TCustomWSocket::CancelLookup() {
  if (FLookupHandle == 0) return;
  int r = WS(WSACancelAsyncRequest)(FLookupHandle);
  FLookupHandle = 0;
  if (r != 0) {
    ReportWinsockError("WSACancelAsyncRequest");
    return;
  }
  if (!IsDestroying()) DoDnsLookupDone(plat::WSAEINTR);
}

std::string TCustomWSocket::PeerAddressText() {
  if (FState != wsConnected) return "error";
  plat::SOCKADDR_IN peer{};
  int len = sizeof peer;
  if (WS(getpeername)(FSocketHandle, SA(&peer), &len) == SOCKET_ERROR) {
    ReportWinsockError("GetPeerName");
    return "error";
  }
  return InetNtoa(peer.sin_addr.s_addr);
}

int TCustomWSocket::PeerSockAddr(plat::SOCKADDR_IN& Peer, int PeerLen) {
  if (FState != wsConnected) return -1;
  int len = PeerLen;
  return WS(getpeername)(FSocketHandle, SA(&Peer), &len);
}

std::string TCustomWSocket::GetBoundPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  plat::SOCKADDR_IN local{};
  int len = sizeof local;
  if (WS(getsockname)(FSocketHandle, SA(&local), &len) != 0) return "error";
  return plat::Format("%d", WS(ntohs)(local.sin_port));
}

int TCustomWSocket::GetSockName(plat::SOCKADDR_IN& Local, int& LocalLen) {
  return WS(getsockname)(FSocketHandle, SA(&Local), &LocalLen);
}

// ---- connect, listen, accept, close ----------------------------------------------------------

// Connect and Listen begin alike: the settings they need must have been
// given, then they are resolved and a new handle is made. False when that
// failed (and was reported).
bool TCustomWSocket::OpenNewHandle(const TOpenRules& Rules) {
  for (const TOpenRules::TNeed& need : Rules.Needs) {
    if (this->*need.Assigned) continue;
    if (Rules.MissingAsWinsockError) {
      WSASetLastError(plat::WSAEINVAL);
      ReportWinsockError(need.Missing);
    } else {
      RaiseSocketException(need.Missing);
    }
    return false;
  }
  try {
    if (!FProtoResolved) {
      FProtoNumber = WSocketResolveProto(FProto);
      FSocketType = FProtoNumber == plat::WS_IPPROTO_UDP ? plat::WS_SOCK_DGRAM : plat::WS_SOCK_STREAM;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNumber = WSocketResolvePort(FPort, FProto);
      FSockAddr.sin_port = WS(htons)(FPortNumber);
      FPortResolved = true;
    }
    if (Rules.ResolveLocalPort && !FLocalPortResolved) {
      FLocalPortNumber = WSocketResolvePort(FLocalPort, FProto);
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      FSockAddr.sin_addr.s_addr = WSocketResolveHost(FAddr);
      FAddrResolved = true;
    }
  } catch (const plat::Exception& E) {
    RaiseSocketException(std::string(Rules.ResolvePrefix) + E.Message);
    return false;
  }
  ClearSendQueue();
  FSocketHandle = WS(socket)(FAddrFamily, FSocketType, FProtoNumber);
  if (FSocketHandle == INVALID_SOCKET) {
    ReportWinsockError(Rules.SocketFunction);
    return false;
  }
  return true;
}

void TCustomWSocket::Connect() {
  static const TOpenRules kRules = {
      {{&TCustomWSocket::FPortAssigned, "Connect: No Port Specified"},
       {&TCustomWSocket::FAddrAssigned, "Connect: No IP Address Specified"},
       {&TCustomWSocket::FProtoAssigned, "Connect: No Protocol Specified"}},
      false,
      true,
      "connect: ",
      "Connect (socket)"};
  if (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
    RaiseSocketException("Connect: Socket already in use");
    return;
  }
  if (!OpenNewHandle(kRules)) return;
  ChangeState(wsOpened);
  if (FSocketType == plat::WS_SOCK_DGRAM) {
    BindSocket();
    if (FSockAddr.sin_addr.s_addr == plat::WS_INADDR_NONE) {
      std::int32_t one = 1;
      if (WS(setsockopt)(FSocketHandle, plat::WS_SOL_SOCKET, plat::WS_SO_BROADCAST,
                         reinterpret_cast<const char*>(&one), sizeof one) == SOCKET_ERROR) {
        ReportWinsockError("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  } else {
    if (FLocalPortNumber != 0) BindSocket();
    if (!ApplyLinger()) return;
    std::int32_t on = -1;
    if (WS(setsockopt)(FSocketHandle, plat::WS_SOL_SOCKET, plat::WS_SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                       sizeof on) == SOCKET_ERROR) {
      ReportWinsockError("setsockopt(SO_KEEPALIVE)");
      return;
    }
    if (WS(setsockopt)(FSocketHandle, plat::WS_SOL_SOCKET, plat::WS_SO_REUSEADDR,
                       reinterpret_cast<const char*>(&on), sizeof on) == SOCKET_ERROR) {
      ReportWinsockError("setsockopt(SO_REUSEADDR)");
      return;
    }
  }
  if (WS(WSAAsyncSelect)(FSocketHandle, FWindowHandle, WM_SOCKET_EVENT,
                         plat::FD_READ | plat::FD_WRITE | plat::FD_ACCEPT | plat::FD_CONNECT | plat::FD_CLOSE) ==
      SOCKET_ERROR) {
    ReportWinsockError("WSAAsyncSelect");
    return;
  }
  if (FSocketType == plat::WS_SOCK_DGRAM) {
    ChangeState(wsConnected);
    DoSessionConnected(0);
    return;
  }
  int r = WS(connect)(FSocketHandle, SA(&FSockAddr), sizeof FSockAddr);
  if (r == 0 || WSAGetLastError() == plat::WSAEWOULDBLOCK) {
    ChangeState(wsConnecting);
    return;
  }
  FLastError = WSAGetLastError();
  ReportWinsockError("Connect");
}

void TCustomWSocket::Listen() {
  static const TOpenRules kRules = {
      {{&TCustomWSocket::FPortAssigned, "listen: port not assigned"},
       {&TCustomWSocket::FProtoAssigned, "listen: protocol not assigned"},
       {&TCustomWSocket::FAddrAssigned, "listen: address not assigned"}},
      true,
      false,
      "listen: ",
      "socket"};
  if (!OpenNewHandle(kRules)) return;
  if (WS(bind)(FSocketHandle, SA(&FSockAddr), sizeof FSockAddr) == SOCKET_ERROR) {
    // Close the new socket before reporting: the report may raise, and the
    // handle must not be left behind.
    int code = WSAGetLastError();
    WS(closesocket)(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    WSASetLastError(code);
    ReportWinsockError("Bind");
    return;
  }
  ChangeState(wsBound);
  if (FSocketType == plat::WS_SOCK_DGRAM) {
    ChangeState(wsListening);
    ChangeState(wsConnected);
    DoSessionConnected(0);
  } else {
    if (WS(listen)(FSocketHandle, 5) == SOCKET_ERROR) {
      ReportWinsockError("Listen");
      return;
    }
    ChangeState(wsListening);
  }
  if (WS(WSAAsyncSelect)(FSocketHandle, FWindowHandle, WM_SOCKET_EVENT,
                         plat::FD_READ | plat::FD_WRITE | plat::FD_ACCEPT | plat::FD_CLOSE) == SOCKET_ERROR)
    ReportWinsockError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept() {
  if (FState != wsListening) {
    WSASetLastError(plat::WSAEINVAL);
    ReportWinsockError("not a listening socket");
    return INVALID_SOCKET;
  }
  int len = sizeof FSockAddr;
  SOCKET h = WS(accept)(FSocketHandle, SA(&FSockAddr), &len);
  if (h == INVALID_SOCKET) {
    ReportWinsockError("Accept");
    return INVALID_SOCKET;
  }
  return h;
}

void TCustomWSocket::Pause() {
  FPaused = true;
  WS(WSAAsyncSelect)(FSocketHandle, FWindowHandle, 0, 0);
}

void TCustomWSocket::Resume() {
  FPaused = false;
  WS(WSAAsyncSelect)(FSocketHandle, FWindowHandle, WM_SOCKET_EVENT,
                     plat::FD_READ | plat::FD_WRITE | plat::FD_CONNECT | plat::FD_CLOSE);
}

void TCustomWSocket::Shutdown(int How) {
  if (FSocketHandle != INVALID_SOCKET) WS(shutdown)(FSocketHandle, How);
}

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::Abort() {
  CancelLookup();
  ClearSendQueue();
  if (FState == wsConnected && FProtoNumber == plat::WS_IPPROTO_TCP) {
    FLingerOnOff = wsLingerOff;
    SetLingerOption();
  }
  InternalClose(false, 0);
}

void TCustomWSocket::InternalClose(bool DoShutdown, std::uint16_t Error) {
  if (FSocketHandle == INVALID_SOCKET) {
    if (FState != wsClosed) {
      ChangeState(wsClosed);
      AssignDefaults();
    }
    return;
  }
  if (FState == wsClosed) return;
  if (DoShutdown) Shutdown(1);
  SOCKET h = FSocketHandle;
  FSocketHandle = INVALID_SOCKET;
  for (;;) {
    if (WS(closesocket)(h) == 0) break;
    FLastError = WSAGetLastError();
    if (FLastError == plat::WSAEWOULDBLOCK) {
      PumpMessages();
      continue;
    }
    if (FLastError == plat::WSANOTINITIALISED) break;
    ReportWinsockError("Disconnect (closesocket)");
    return;
  }
  ChangeState(wsClosed);
  if (!IsDestroying() && !FClosedEventFired && OnSessionClosed) {
    FClosedEventFired = true;
    DoSessionClosed(Error);
  }
  try {
    AssignDefaults();
  } catch (const std::exception&) {
  }
}

namespace {
// The waiting loops give up when nothing moved for this long.
constexpr std::int64_t kWaitIdleLimitMs = 60000;
}  // namespace

void TCustomWSocket::Flush() {
  std::int64_t lastProgress = plat::TickMs();
  auto queued = [this] {
    std::int64_t n = 0;
    for (TBuffer* b : FSendQueue) n += b->WrittenCount - b->ConsumedCount;
    return n;
  };
  while (FSocketHandle != INVALID_SOCKET && FState == wsConnected && !FAllSent) {
    std::int64_t before = queued();
    TryToSend();
    if (FSocketHandle == INVALID_SOCKET || FAllSent) break;
    PumpMessages();
    if (queued() < before) {
      lastProgress = plat::TickMs();
    } else {
      if (plat::TickMs() - lastProgress > kWaitIdleLimitMs) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void TCustomWSocket::ReadUntilClosed() {
  std::int64_t lastProgress = plat::TickMs();
  while (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
    PumpMessages();
    if (FSocketHandle == INVALID_SOCKET || FState == wsClosed) break;
    std::uint32_t n = 0;
    if (WS(ioctlsocket)(FSocketHandle, plat::WS_FIONREAD, &n) == SOCKET_ERROR) break;
    if (n > 0) {
      int before = FReadCount;
      if (!DoDataAvailable(0)) {
        char discard[1024];
        RawRecv(discard, sizeof discard, 0);
        lastProgress = plat::TickMs();
      } else if (FReadCount != before) {
        lastProgress = plat::TickMs();
      }
      if (FSocketHandle == INVALID_SOCKET) break;
    } else {
      char dummy;
      if (RawRecv(&dummy, 0, 0) == 0 && FPaused) break;  // ended, and no close notification will come
      if (plat::TickMs() - lastProgress > kWaitIdleLimitMs) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (plat::TickMs() - lastProgress > kWaitIdleLimitMs) break;
  }
}

// ---- time values -------------------------------------------------------------------------------

bool TCustomWSocket::TimevalIsSet(const TTimeVal& Tv) { return Tv.tv_sec != 0 || Tv.tv_usec != 0; }

void TCustomWSocket::TimevalClear(TTimeVal& Tv) {
  Tv.tv_sec = 0;
  Tv.tv_usec = 0;
}

bool TCustomWSocket::TimevalCompare(const TTimeVal& A, const TTimeVal& B, bool Equal) {
  bool same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
  return Equal ? same : !same;
}

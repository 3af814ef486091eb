#include "httpclient/WSocket.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <thread>

using plat::SOCKET;
using plat::INVALID_SOCKET;
using plat::SOCKET_ERROR;

const char* const SocketWindowClassName = "XSocketWindowClass";
const char* const WinsockLibraryName = "wsock32.dll";

// ---- the library binding ---------------------------------------------------------

namespace {

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

const char* const kFnNames[fCount] = {
    "WSAStartup",    "WSACleanup",     "WSASetLastError", "WSAGetLastError", "WSACancelAsyncRequest",
    "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSAAsyncSelect", "getservbyname", "getprotobyname",
    "gethostbyname", "socket",         "shutdown",        "setsockopt",      "sendto",
    "send",          "recv",           "recvfrom",        "ntohs",           "listen",
    "ioctlsocket",   "inet_ntoa",      "inet_addr",       "htons",           "getsockname",
    "getpeername",   "connect",        "closesocket",     "bind",            "accept",
};

plat::HMODULE g_winsockLibrary = 0;
plat::WSADATA g_winsockData;
plat::FARPROC g_winsockEntryTable[fCount] = {};
int g_liveSocketCount = 0;
bool g_finalizerRegistered = false;

template <class F>
F Entry(Fn f) {
  if (!g_winsockEntryTable[f]) g_winsockEntryTable[f] = LoadWinsockProc(kFnNames[f]);
  return reinterpret_cast<F>(g_winsockEntryTable[f]);
}

#define WS(name) Entry<plat::PFN_##name>(f##name)

int WSAGetLastError() { return WS(WSAGetLastError)(); }
void WSASetLastError(int e) { WS(WSASetLastError)(e); }

plat::SOCKADDR* SA(plat::SOCKADDR_IN* a) { return reinterpret_cast<plat::SOCKADDR*>(a); }

std::string InetNtoa(std::uint32_t addr) {
  plat::IN_ADDR in{addr};
  return WS(inet_ntoa)(in);
}

}  // namespace

plat::FARPROC LoadWinsockProc(const std::string& Name) {
  if (g_winsockLibrary == 0) {
    g_winsockLibrary = plat::LoadLibrary(WinsockLibraryName);
    if (g_winsockLibrary == 0)
      throw ESocketException(std::string("Unable to load ") + WinsockLibraryName + " Error #" +
                             plat::IntToStr(plat::GetLastError()));
    if (!g_finalizerRegistered) {
      // The unit's finalization: release the library at program end.
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

// ---- construction, window and dispatch -------------------------------------------------

TCustomWSocket::TCustomWSocket(plat::TComponent* AOwner) : plat::TComponent(AOwner) {
  FWindowHandle = AllocateSocketWindow(this);
  FSendBlockSize = 1514;
  FDnsResultList = new plat::TStringList;
  AssignDefaults();
  ++g_liveSocketCount;
}

void TCustomWSocket::BeforeDestruction() {
  plat::TComponent::BeforeDestruction();
  FBeingDestroyed = true;
  Teardown();
}

TCustomWSocket::~TCustomWSocket() {
  FBeingDestroyed = true;
  Teardown();
  ClearSendQueue();
  delete FDnsResultList;
  FDnsResultList = nullptr;
}

// The destructor's work that may fire events; done while the object is
// still whole when it is freed the class library's way.
void TCustomWSocket::Teardown() {
  if (FTornDown) return;
  FTornDown = true;
  try {
    CancelLookup();
  } catch (const std::exception&) {
  }
  if (FState != wsClosed) {
    try {
      Close();
    } catch (const std::exception&) {
    }
  }
  if (--g_liveSocketCount <= 0) {
    UnloadWinsock();
    g_liveSocketCount = 0;
  }
  ClearSendQueue();
  if (FWindowHandle) {
    plat::SetWindowLongPtr(FWindowHandle, 0, 0);
    DestroySocketWindow(FWindowHandle);
    FWindowHandle = 0;
  }
}

plat::HWND TCustomWSocket::AllocateSocketWindow(TCustomWSocket* Owner) {
  if (!plat::IsClassRegistered(SocketWindowClassName)) {
    if (!plat::RegisterClass(SocketWindowClassName, &TCustomWSocket::SocketWindowProc) &&
        !plat::IsClassRegistered(SocketWindowClassName))
      return 0;
  }
  plat::HWND w = plat::CreateWindow(SocketWindowClassName);
  if (w && Owner) plat::SetWindowLongPtr(w, 0, reinterpret_cast<plat::LONG_PTR>(Owner));
  return w;
}

void TCustomWSocket::DestroySocketWindow(plat::HWND Window) { plat::DestroyWindow(Window); }

plat::LRESULT TCustomWSocket::SocketWindowProc(plat::HWND Window, plat::UINT Msg, plat::WPARAM WParam,
                                               plat::LPARAM LParam) {
  auto* obj = reinterpret_cast<TCustomWSocket*>(plat::GetWindowLongPtr(Window, 0));
  if (!obj) return plat::DefWindowProc(Window, Msg, WParam, LParam);
  TMessage m{Msg, WParam, LParam, 0};
  obj->WndProc(m);
  return m.Result;
}

void TCustomWSocket::WndProc(TMessage& Message) {
  try {
    switch (Message.Msg) {
      case WM_SOCKET_EVENT: HandleSocketEvent(Message); break;
      case WM_SOCKET_NAME_LOOKUP_DONE: HandleNameLookupDone(Message); break;
      case WM_SOCKET_ADDR_LOOKUP_DONE: HandleAddrLookupDone(Message); break;
      default:
        Message.Result = plat::DefWindowProc(FWindowHandle, Message.Msg, Message.WParam, Message.LParam);
        break;
    }
  } catch (const plat::Exception& E) {
    HandleBgException(E);
  }
}

void TCustomWSocket::AssignDefaults() {
  std::memset(&FSockAddr, 0, sizeof FSockAddr);
  FSockAddr.sin_family = plat::WS_AF_INET;
  FAddrFamily = plat::WS_AF_INET;
  FPortAssigned = false;
  FAddrAssigned = false;
  FAddrResolved = false;
  FPortResolved = false;
  FProtoResolved = false;
  FLocalPortResolved = false;
  FProtoAssigned = true;
  FProtoNumber = 6;
  FProto = "tcp";
  FSocketType = plat::WS_SOCK_STREAM;
  FLocalPort = "0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FSocketHandle = INVALID_SOCKET;
  FState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FReadCount = 0;
  FClosedEventFired = false;
}

void TCustomWSocket::HandleSocketEvent(TMessage& Message) {
  // A message for a handle that is no longer ours (or for no handle at
  // all: a closed socket has no notifications).
  auto current = [&] { return FSocketHandle != INVALID_SOCKET && Message.WParam == FSocketHandle && !FPaused; };
  if (!current()) return;
  std::uint16_t Event = plat::LOWORD(Message.LParam);
  std::uint16_t Error = plat::HIWORD(Message.LParam);
  // A handler may close or pause the socket: each further bit is checked again.
  if (Event & plat::FD_CONNECT) {
    ChangeState(wsConnected);
    DoSessionConnected(Error);
    if (Error != 0 && FState != wsClosed) Close();
  }
  if ((Event & plat::FD_READ) && current()) ReadPendingData(Error);
  if ((Event & plat::FD_WRITE) && current()) {
    TryToSend();
    if (FAllSent) DoDataSent(Error);
  }
  if ((Event & plat::FD_ACCEPT) && current()) DoSessionAvailable(Error);
  if ((Event & plat::FD_CLOSE) && current()) {
    if (FState == wsConnecting) return;
    ReadPendingData(0);
    // A data handler that closed the socket has ended this connection already.
    if (!current()) return;
    if (OnSessionClosed && !FClosedEventFired) {
      FClosedEventFired = true;
      DoSessionClosed(Error);
    }
    if (FState != wsClosed) Close();
  }
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
  TSocketState old = FState;
  FState = NewState;
  DoChangeState(old, NewState);
}

void TCustomWSocket::HandleBgException(const std::exception& E) {
  bool CanClose = true;
  if (OnBgException) {
    try {
      OnBgException(this, E, CanClose);
    } catch (const std::exception&) {
    }
  }
  if (CanClose) {
    try {
      Abort();
    } catch (const std::exception&) {
    }
  }
}

void TCustomWSocket::PumpMessages() {
  if (!FMultiThreaded)
    plat::ProcessMessages();
  else
    PumpOwnMessages();
}

void TCustomWSocket::PumpOwnMessages() {
  while (PumpOneMessage()) {
  }
}

bool TCustomWSocket::PumpOneMessage() {
  plat::MSG msg;
  if (!plat::PeekMessage(msg, true)) return false;
  if (msg.message == plat::WM_QUIT) {
    FQuitSeen = true;
    return true;
  }
  plat::TranslateMessage(msg);
  plat::DispatchMessage(msg);
  return true;
}

bool TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return true;
  if (FSocketHandle == INVALID_SOCKET) {
    RaiseSocketException("Cannot set linger option at this time");
    return false;
  }
  if (FLingerTimeout < 0 || FLingerTimeout > 65535) throw ERangeError();
  plat::LINGER l{static_cast<std::uint16_t>(FLingerOnOff), static_cast<std::uint16_t>(FLingerTimeout)};
  if (WS(setsockopt)(FSocketHandle, plat::WS_SOL_SOCKET, plat::WS_SO_LINGER, reinterpret_cast<const char*>(&l),
                     sizeof l) == SOCKET_ERROR) {
    ReportWinsockError("setsockopt(SO_LINGER)");
    return false;
  }
  return true;
}

void TCustomWSocket::SetLingerOption() { ApplyLinger(); }

void TCustomWSocket::Dup(SOCKET NewHandle) {
  if (NewHandle == 0 || NewHandle == INVALID_SOCKET) {
    WSASetLastError(plat::WSAEINVAL);
    ReportWinsockError("Dup");
    return;
  }
  if (FState != wsClosed) {
    int r = WS(closesocket)(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    if (r == SOCKET_ERROR) {
      ReportWinsockError("Dup (closesocket)");
      return;
    }
    ChangeState(wsClosed);
  }
  FSocketHandle = NewHandle;
  SetLingerOption();
  if (WS(WSAAsyncSelect)(FSocketHandle, FWindowHandle, WM_SOCKET_EVENT,
                         plat::FD_READ | plat::FD_WRITE | plat::FD_CONNECT | plat::FD_CLOSE) == SOCKET_ERROR) {
    ReportWinsockError("WSAAsyncSelect");
    return;
  }
  ChangeState(wsConnected);
}

// ---- events ----------------------------------------------------------------------------

bool TCustomWSocket::DoDataAvailable(std::uint16_t Error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, Error);
  return true;
}

void TCustomWSocket::DoSessionAvailable(std::uint16_t Error) {
  if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::DoSessionConnected(std::uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::DoSessionClosed(std::uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomWSocket::DoDataSent(std::uint16_t Error) {
  if (OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::DoChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::DoDnsLookupDone(std::uint16_t Error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::DoError() {
  if (OnError) OnError(this);
}

// ---- error reports -----------------------------------------------------------------------

void TCustomWSocket::RaiseSocketException(const std::string& Msg) {
  if (OnError) {
    DoError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::RaiseSocketExceptionFmt(const char* Fmt, ...) {
  va_list ap;
  va_start(ap, Fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, Fmt, ap);
  va_end(ap);
  std::string msg;
  if (n > 0) {
    msg.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(msg.data(), msg.size(), Fmt, ap2);
    msg.resize(static_cast<std::size_t>(n));
  }
  va_end(ap2);
  RaiseSocketException(msg);
}

void TCustomWSocket::ReportWinsockError(const std::string& FunctionName) {
  int code = WSAGetLastError();
  std::string text =
      "Error " + plat::IntToStr(code) + " in function " + FunctionName + "\r\n" + WinsockErrorText(code);
  if (code == plat::WSAECONNRESET || code == plat::WSAENOTCONN) {
    WS(closesocket)(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    ChangeState(wsClosed);
  }
  FLastError = code;
  RaiseSocketException(text);
}

// ---- sending and receiving -------------------------------------------------------------------

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  switch (Value) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = 1; break;
    default: RaiseSocketException("Invalid SendFlags"); break;
  }
}

TSocketSendFlags TCustomWSocket::GetSendFlags() const { return FSendFlags == 1 ? wsSendUrgent : wsSendNormal; }

int TCustomWSocket::Send(const void* Data, int Len) {
  if (FState != wsConnected) {
    WSASetLastError(plat::WSAENOTCONN);
    ReportWinsockError("Send");
    return -1;
  }
  FAllSent = false;
  int result = 0;
  if (Len > 0) {
    QueueData(Data, Len);
    result = Len;
  }
  TryToSend();
  if (FAllSent && FSocketHandle != INVALID_SOCKET)
    plat::PostMessage(FWindowHandle, WM_SOCKET_EVENT, FSocketHandle, plat::MAKELONG(plat::FD_WRITE, 0));
  return result;
}

int TCustomWSocket::SendString(const std::string& S) { return Send(S.data(), static_cast<int>(S.size())); }

int TCustomWSocket::SendTo(const plat::SOCKADDR_IN& Dest, int DestLen, const void* Data, int Len) {
  plat::SOCKADDR_IN to = Dest;
  return WS(sendto)(FSocketHandle, static_cast<const char*>(Data), Len, static_cast<int>(FSendFlags), SA(&to),
                    DestLen);
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
  if (FSocketType == plat::WS_SOCK_DGRAM)
    return WS(sendto)(FSocketHandle, static_cast<const char*>(Data), Len, static_cast<int>(FSendFlags),
                      SA(&FSockAddr), sizeof FSockAddr);
  return WS(send)(FSocketHandle, static_cast<const char*>(Data), Len, static_cast<int>(FSendFlags));
}

void TCustomWSocket::QueueData(const void* Data, int Len) {
  if (Len <= 0) return;
  const char* p = static_cast<const char*>(Data);
  TBuffer* b;
  if (FSendQueue.empty()) {
    b = new TBuffer(FSendBlockSize);
    FSendQueue.push_back(b);
  } else {
    b = FSendQueue.back();
  }
  int remaining = Len;
  for (;;) {
    int n = b->Append(p, remaining);
    if (n >= remaining) break;
    p += n;
    remaining -= n;
    b = new TBuffer(FSendBlockSize);
    FSendQueue.push_back(b);
  }
}

void TCustomWSocket::TryToSend() {
  if (FSocketHandle == INVALID_SOCKET || FSendQueue.empty()) return;
  for (;;) {
    TBuffer* b = FSendQueue.front();
    int n = 0;
    char* p = b->Peek(n);
    if (n == 0) {
      if (FSendQueue.size() > 1) {
        plat::Free(b);
        FSendQueue.erase(FSendQueue.begin());
        continue;
      }
      FAllSent = true;
      return;
    }
    int r = RawSend(p, n);
    if (r == 0) return;
    if (r < 0) {
      int e = WSAGetLastError();
      if (e == plat::WSAEINVAL || e == plat::WSAENOTSOCK || e == plat::WSAECONNRESET || e == plat::WSAENOTCONN) {
        FClosedEventFired = true;
        Close();
        DoSessionClosed(static_cast<std::uint16_t>(e));
        return;
      }
      if (e == plat::WSAEWOULDBLOCK) return;
      ReportWinsockError("TryToSend failed");
      return;
    }
    b->Consume(r);
    if (r < n) return;
  }
}

void TCustomWSocket::ClearSendQueue() {
  for (TBuffer* b : FSendQueue) plat::Free(b);
  FSendQueue.clear();
}

int TCustomWSocket::RawRecv(void* Buffer, int Len, int Flags) {
  return WS(recv)(FSocketHandle, static_cast<char*>(Buffer), Len, Flags);
}

int TCustomWSocket::RawRecvFrom(SOCKET Handle, void* Buffer, int Len, int Flags, plat::SOCKADDR_IN* From,
                                int* FromLen) {
  return WS(recvfrom)(Handle, static_cast<char*>(Buffer), Len, Flags, SA(From), FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int Len) {
  int r = RawRecv(Buffer, Len, 0);
  if (r < 0)
    FLastError = WSAGetLastError();
  else
    FReadCount += r;
  return r;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, plat::SOCKADDR_IN& From, int& FromLen) {
  int r = RawRecvFrom(FSocketHandle, Buffer, BufferSize, 0, &From, &FromLen);
  if (r < 0)
    FLastError = WSAGetLastError();
  else
    FReadCount += r;
  return r;
}

std::string TCustomWSocket::ReceiveString() {
  int n = GetRcvdCount();
  if (n <= 0) return std::string();
  std::string s(static_cast<std::size_t>(n), '\0');
  int r = RawRecv(s.data(), n, 0);
  if (r <= 0) return std::string();
  s.resize(static_cast<std::size_t>(r));
  return s;
}

int TCustomWSocket::GetRcvdCount() {
  std::uint32_t n = 0;
  if (WS(ioctlsocket)(FSocketHandle, plat::WS_FIONREAD, &n) == SOCKET_ERROR) {
    ReportWinsockError("ioctlSocket");
    return -1;
  }
  return static_cast<int>(n);
}

void TCustomWSocket::ReadPendingData(std::uint16_t Error) {
  for (;;) {
    FLastError = 0;
    try {
      if (!DoDataAvailable(Error)) {
        char discard[1024];
        if (RawRecv(discard, sizeof discard, 0) == SOCKET_ERROR) {
          FLastError = WSAGetLastError();
          if (FLastError == plat::WSAEWOULDBLOCK) {
            FLastError = 0;
            break;
          }
        }
      }
      if (FLastError != 0) break;
      std::uint32_t n = 0;
      if (WS(ioctlsocket)(FSocketHandle, plat::WS_FIONREAD, &n) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        break;
      }
      if (n == 0) break;
    } catch (const std::exception&) {
      break;
    }
  }
}

// ---- addresses and lookups ------------------------------------------------------------------

// The three setters share one rule: the same text again is accepted at any
// time, another only while closed; a non-empty text needs resolving anew.
bool TCustomWSocket::AssignAddressText(const char* Name, const std::string& Value, std::string& Field,
                                       bool& Resolved, bool& Assigned) {
  if (Assigned && Value == Field) return false;
  if (FState != wsClosed) {
    RaiseSocketException(std::string("Cannot change ") + Name + " if not closed");
    return false;
  }
  Field = plat::Trim(Value);
  Assigned = !Field.empty();
  if (Assigned) Resolved = false;
  return true;
}

// Connect and Listen both resolve the protocol, then the port.
void TCustomWSocket::ResolveProtoAndPort() {
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

void TCustomWSocket::LookupName(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseSocketException("DNS lookup: invalid host name.");
    DoDnsLookupDone(plat::WSAEINVAL);
    return;
  }
  if (FLookupHandle != 0) {
    WS(WSACancelAsyncRequest)(FLookupHandle);
    FLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList->Clear();
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
  if (HostAddr.empty() || HostAddr.size() > 256) {
    RaiseSocketException("DNS lookup: invalid host name.");
    DoDnsLookupDone(plat::WSAEINVAL);
    return;
  }
  if (FLookupHandle != 0) {
    WS(WSACancelAsyncRequest)(FLookupHandle);
    FLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList->Clear();
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

int TCustomWSocket::PeerSockAddr(plat::SOCKADDR_IN& Name, int NameLen) {
  if (FState != wsConnected) return -1;
  int len = NameLen;
  return WS(getpeername)(FSocketHandle, SA(&Name), &len);
}

std::string TCustomWSocket::GetBoundPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  plat::SOCKADDR_IN local{};
  int len = sizeof local;
  if (WS(getsockname)(FSocketHandle, SA(&local), &len) != 0) return "error";
  return plat::Format("%d", WS(ntohs)(local.sin_port));
}

int TCustomWSocket::GetSockName(plat::SOCKADDR_IN& Name, int& NameLen) {
  return WS(getsockname)(FSocketHandle, SA(&Name), &NameLen);
}

// ---- connect, listen, accept, close ----------------------------------------------------------

void TCustomWSocket::Connect() {
  if (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
    RaiseSocketException("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    RaiseSocketException("Connect: No Port Specified");
    return;
  }
  if (!FAddrAssigned) {
    RaiseSocketException("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    RaiseSocketException("Connect: No Protocol Specified");
    return;
  }
  try {
    ResolveProtoAndPort();
    if (!FLocalPortResolved) {
      FLocalPortNumber = WSocketResolvePort(FLocalPort, FProto);
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      FSockAddr.sin_addr.s_addr = WSocketResolveHost(FAddr);
      FAddrResolved = true;
    }
  } catch (const plat::Exception& E) {
    RaiseSocketException("connect: " + E.Message);
    return;
  }
  ClearSendQueue();
  FSocketHandle = WS(socket)(FAddrFamily, FSocketType, FProtoNumber);
  if (FSocketHandle == INVALID_SOCKET) {
    ReportWinsockError("Connect (socket)");
    return;
  }
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
  if (!FPortAssigned) {
    WSASetLastError(plat::WSAEINVAL);
    ReportWinsockError("listen: port not assigned");
    return;
  }
  if (!FProtoAssigned) {
    WSASetLastError(plat::WSAEINVAL);
    ReportWinsockError("listen: protocol not assigned");
    return;
  }
  if (!FAddrAssigned) {
    WSASetLastError(plat::WSAEINVAL);
    ReportWinsockError("listen: address not assigned");
    return;
  }
  try {
    ResolveProtoAndPort();
    if (!FAddrResolved) {
      FSockAddr.sin_addr.s_addr = WSocketResolveHost(FAddr);
      FAddrResolved = true;
    }
  } catch (const plat::Exception& E) {
    RaiseSocketException("listen: " + E.Message);
    return;
  }
  ClearSendQueue();
  FSocketHandle = WS(socket)(FAddrFamily, FSocketType, FProtoNumber);
  if (FSocketHandle == INVALID_SOCKET) {
    ReportWinsockError("socket");
    return;
  }
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

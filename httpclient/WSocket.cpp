#include "httpclient/WSocket.h"

#include <cstdarg>
#include <cstring>

#include "httpclient/WSocketBinding.h"

using plat::SOCKET;
using plat::INVALID_SOCKET;
using plat::SOCKET_ERROR;
using wsocket_binding::SA;
using wsocket_binding::WSAGetLastError;
using wsocket_binding::WSASetLastError;
using wsocket_binding::g_liveSocketCount;

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

// The destructor's work that may fire events; plat::Free runs it from
// BeforeDestruction, while the object is still whole, so handlers never
// see a half-destroyed socket.
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
    DeliverHeldData();
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
  std::string msg = plat::FormatV(Fmt, ap);
  va_end(ap);
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
      const int held = HeldAboveSocket();
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
      // Bytes a layer above leaves at the socket on purpose wait for it to
      // ask for them again.
      if (ReadingHeldBack()) break;
      // With the socket empty, bytes held above it (those behind the SOCKS
      // reply) are offered again while each pass takes some: a handler that
      // takes none leaves them for the next notification rather than spin.
      if (n == 0) {
        const int left = HeldAboveSocket();
        if (left == 0 || left == held) break;
      }
    } catch (const std::exception&) {
      break;
    }
  }
}


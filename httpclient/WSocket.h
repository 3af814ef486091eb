// Asynchronous, window-message-driven TCP/UDP socket component.
//
// Each socket owns one WinSock handle and one hidden window; the library
// reports network events and finished lookups to that window as posted
// messages, and the component turns them into its events, on the thread
// that created it, from inside that thread's message loop.
//
// Property convention: a property P is read with P() and, when writable,
// written with SetP(value). Events are public std::function members; the
// component fires each through its virtual Do... operation.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "httpclient/WSockbuf.h"
#include "platform/classes/classes.h"
#include "platform/messaging/messaging.h"
#include "platform/winsock/winsock.h"

// Messages of the socket's hidden window.
constexpr plat::UINT WM_SOCKET_EVENT = plat::WM_USER + 1;
constexpr plat::UINT WM_SOCKET_NAME_LOOKUP_DONE = plat::WM_USER + 2;
constexpr plat::UINT WM_SOCKET_ADDR_LOOKUP_DONE = plat::WM_USER + 3;
constexpr plat::UINT WM_REDELIVER_DATA = plat::WM_USER + 20;

// Name of the hidden window's class.
extern const char* const SocketWindowClassName;  // "XSocketWindowClass"
// File name of the library the unit binds.
extern const char* const WinsockLibraryName;  // "wsock32.dll"

class ESocketException : public plat::Exception {
 public:
  using plat::Exception::Exception;
};

// The run-time errors of numeric conversions ("Range check error",
// "Integer overflow").
class ERangeError : public plat::Exception {
 public:
  ERangeError() : plat::Exception("Range check error") {}
};
class EIntOverflow : public plat::Exception {
 public:
  EIntOverflow() : plat::Exception("Integer overflow") {}
};

enum TSocketState : std::uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal, wsSendUrgent };

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };

using TSessionAvailable = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;
using TDataAvailable = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;
using TChangeState = std::function<void(plat::TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(plat::TObject* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(plat::TObject* Sender)>;

// A window message as the component's WndProc sees it.
struct TMessage {
  plat::UINT Msg = 0;
  plat::WPARAM WParam = 0;
  plat::LPARAM LParam = 0;
  plat::LRESULT Result = 0;
};

// A WinSock time value.
struct TTimeVal {
  std::int32_t tv_sec = 0;
  std::int32_t tv_usec = 0;
};

// ---- unit-wide functions ----------------------------------------------------------

// English text of a WinSock error code ("Not a WinSock error" for others).
std::string WinsockErrorText(int Code);

// Blocking resolvers; they raise ESocketException directly.
std::uint32_t WSocketResolveHost(const std::string& Host);  // network order
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);  // host order
int WSocketResolveProto(const std::string& Proto);

int WSocketParseDecimal(const std::string& S);
bool WSocketIsDigit(char C);

// The library binding: entry point of a named function, loading and
// starting the library first when needed (raises ESocketException).
plat::FARPROC LoadWinsockProc(const std::string& Name);
// Releases the library and forgets every bound entry.
void UnloadWinsock();
// Socket components in existence.
int LiveSocketCount();

// ---- the component --------------------------------------------------------------

class TCustomWSocket : public plat::TComponent {
 public:
  explicit TCustomWSocket(plat::TComponent* AOwner);
  ~TCustomWSocket() override;

  // --- published properties ---
  const std::string& Addr() const { return FAddr; }
  void SetAddr(const std::string& Value);
  const std::string& GetAddr() const { return FAddr; }
  const std::string& Port() const { return FPort; }
  virtual void SetPort(const std::string& Value);
  const std::string& GetPort() const { return FPort; }
  const std::string& Proto() const { return FProto; }
  virtual void SetProto(const std::string& Value);
  const std::string& GetProto() const { return FProto; }
  const std::string& LocalPort() const { return FLocalPort; }
  void SetLocalPort(const std::string& Value);
  const std::string& DnsResult() const { return FDnsResult; }
  plat::TStringList* DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  int ReadCount() const { return FReadCount; }
  int RcvdCount() { return GetRcvdCount(); }
  int LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
  TSocketSendFlags SendFlags() const { return GetSendFlags(); }
  void SetSendFlags(TSocketSendFlags Value);
  TSocketSendFlags GetSendFlags() const;
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int Value) { FLingerTimeout = Value; }

  // --- public state the rest of the stack reads ---
  plat::HWND WindowHandle() const { return FWindowHandle; }
  plat::SOCKET SocketHandle() const { return FSocketHandle; }
  bool AllSent() const { return FAllSent; }
  bool Paused() const { return FPaused; }
  bool QuitSeen() const { return FQuitSeen; }
  int SendBlockSize() const { return FSendBlockSize; }
  // The blocks of the send queue, for inspection.
  int SendQueueCount() const { return static_cast<int>(FSendQueue.size()); }
  const std::vector<TBuffer*>& SendQueue() const { return FSendQueue; }

  // --- events ---
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

  // --- operations ---
  virtual void Connect();
  virtual void Close();
  virtual void Abort();
  virtual void Flush();
  virtual void ReadUntilClosed();
  virtual void Listen();
  virtual plat::SOCKET Accept();
  virtual int Receive(void* Buffer, int Len);
  virtual std::string ReceiveString();
  virtual int ReceiveFrom(void* Buffer, int BufferSize, plat::SOCKADDR_IN& From, int& FromLen);
  virtual int Send(const void* Data, int Len);
  virtual int SendTo(const plat::SOCKADDR_IN& Dest, int DestLen, const void* Data, int Len);
  virtual int SendString(const std::string& S);
  virtual void LookupName(const std::string& HostName);
  virtual void LookupAddress(const std::string& HostAddr);
  virtual void CancelLookup();
  virtual std::string PeerAddressText();
  virtual int PeerSockAddr(plat::SOCKADDR_IN& Peer, int PeerLen);
  virtual std::string GetBoundPort();
  virtual int GetSockName(plat::SOCKADDR_IN& Local, int& LocalLen);
  virtual void Dup(plat::SOCKET NewHandle);
  virtual void Shutdown(int How);
  virtual void Pause();
  virtual void Resume();
  virtual void PumpMessages();

  static bool TimevalIsSet(const TTimeVal& Tv);
  static void TimevalClear(TTimeVal& Tv);
  static bool TimevalCompare(const TTimeVal& A, const TTimeVal& B, bool Equal);

  void BeforeDestruction() override;

 protected:
  virtual void WndProc(TMessage& Message);
  virtual void AssignDefaults();
  virtual void InternalClose(bool DoShutdown, std::uint16_t Error);
  virtual int GetRcvdCount();
  virtual void BindSocket();
  virtual int RawSend(const void* Data, int Len);
  virtual void RaiseSocketExceptionFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
  virtual void RaiseSocketException(const std::string& Msg);
  virtual void HandleBgException(const std::exception& E);
  virtual bool DoDataAvailable(std::uint16_t Error);
  virtual void DoSessionAvailable(std::uint16_t Error);
  virtual void DoSessionConnected(std::uint16_t Error);
  virtual void DoSessionClosed(std::uint16_t Error);
  virtual void DoDataSent(std::uint16_t Error);
  virtual void DoChangeState(TSocketState OldState, TSocketState NewState);
  virtual void DoDnsLookupDone(std::uint16_t Error);
  virtual void DoError();
  virtual int RawRecv(void* Buffer, int Len, int Flags);
  // True when the layers above leave the bytes waiting at the socket for now:
  // the read loop then ends without reading them.
  virtual bool ReadingHeldBack() const { return false; }
  // Received bytes a layer above keeps for the next reads in place of the
  // socket's: no notification comes for them, so the read loop goes on
  // while they are being taken.
  virtual int HeldAboveSocket() const { return 0; }
  // The peer has closed and the socket is read to its end: a layer that
  // holds received bytes offers them all now, before the connection goes.
  virtual void DeliverHeldData() {}
  virtual int RawRecvFrom(plat::SOCKET Handle, void* Buffer, int Len, int Flags, plat::SOCKADDR_IN* From,
                          int* FromLen);

  void ChangeState(TSocketState NewState);
  void ReportWinsockError(const std::string& FunctionName);
  void TryToSend();
  void QueueData(const void* Data, int Len);
  void ReadPendingData(std::uint16_t Error);
  void ClearSendQueue();
  void SetLingerOption();
  void HandleSocketEvent(TMessage& Message);
  void HandleNameLookupDone(TMessage& Message);
  void HandleAddrLookupDone(TMessage& Message);
  void PumpOwnMessages();
  bool PumpOneMessage();
  bool IsDestroying() const { return FBeingDestroyed || Destroying(); }

  static plat::HWND AllocateSocketWindow(TCustomWSocket* Owner);
  static void DestroySocketWindow(plat::HWND Window);
  static plat::LRESULT SocketWindowProc(plat::HWND Window, plat::UINT Msg, plat::WPARAM WParam,
                                        plat::LPARAM LParam);

  // Fields, in the component's own order.
  std::string FDnsResult;
  plat::TStringList* FDnsResultList = nullptr;
  std::vector<TBuffer*> FSendQueue;
  int FSendBlockSize = 1514;
  std::uint32_t FSendFlags = 0;
  int FLastError = 0;
  plat::HWND FWindowHandle = 0;
  alignas(8) char FLookupBuffer[plat::MAXGETHOSTSTRUCT + 1] = {};
  plat::HANDLE FLookupHandle = 0;
  plat::SOCKET FSocketHandle = plat::INVALID_SOCKET;
  std::string FAddr;
  bool FAddrResolved = false;
  int FAddrFamily = plat::WS_AF_INET;
  bool FAddrAssigned = false;
  int FProtoNumber = 6;
  bool FProtoAssigned = false;
  bool FProtoResolved = false;
  bool FLocalPortResolved = false;
  std::string FProto;
  std::string FPort;
  bool FPortAssigned = false;
  bool FPortResolved = false;
  std::uint16_t FPortNumber = 0;
  std::string FLocalPort;
  std::uint16_t FLocalPortNumber = 0;
  int FSocketType = plat::WS_SOCK_STREAM;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int FLingerTimeout = 0;
  bool FAllSent = true;
  int FReadCount = 0;
  bool FPaused = false;
  bool FClosedEventFired = false;
  bool FMultiThreaded = false;
  TSocketState FState = wsClosed;
  bool FQuitSeen = false;
  plat::SOCKADDR_IN FSockAddr = {};

 private:
  // How Connect and Listen begin: the settings they need, in the order they
  // are checked, and the texts of their failures.
  struct TOpenRules {
    struct TNeed {
      bool TCustomWSocket::*Assigned;
      const char* Missing;
    };
    TNeed Needs[3];
    bool MissingAsWinsockError;  // reported as WSAEINVAL rather than raised
    bool ResolveLocalPort;
    const char* ResolvePrefix;
    const char* SocketFunction;
  };
  bool OpenNewHandle(const TOpenRules& Rules);
  bool BeginLookup(bool Invalid);
  void AssignAddressText(const char* What, const std::string& Value, std::string& Field, bool& Resolved,
                         bool& Assigned);
  bool ApplyLinger();
  void Teardown();
  bool FBeingDestroyed = false;
  bool FTornDown = false;
};

// ---- SOCKS layer ------------------------------------------------------------------

enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState : std::uint8_t { socksAuthStarted, socksAuthSucceeded, socksAuthFailed, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(plat::TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(plat::TObject* Sender, TSocksAuthState AuthState)>;

// Takes a TCP connection through a SOCKS 4, 4A or 5 server. With no
// SocksServer set it is transparent; with one, Connect reaches the server
// instead of Addr, negotiates inside the connect and read notifications,
// and OnSessionConnected fires only when the negotiation has ended. Every
// close forgets the server, port and level: set them before each Connect.
class TCustomSocksWSocket : public TCustomWSocket {
 public:
  explicit TCustomSocksWSocket(plat::TComponent* AOwner) : TCustomWSocket(AOwner) {}

  const std::string& SocksServer() const { return FSocksServer; }
  virtual void SetSocksServer(const std::string& Value);
  const std::string& SocksPort() const { return FSocksPort; }
  virtual void SetSocksPort(const std::string& Value);
  // "4", "4A" or "5".
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& Value);
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

  void Connect() override;
  void Listen() override;

  // The longest fields a SOCKS message carries, and the longest SOCKS 5
  // connect reply (a bound name of 255 bytes).
  static constexpr std::size_t MaxSocksField = 255;
  static constexpr int SocksReplyCapacity = 262;
  // The greeting and sub-negotiation replies are read this far into the
  // buffer at most: bytes behind the greeting reply go with it up to there,
  // and the rest stays at the socket for the next reply.
  static constexpr int SocksShortReplyLimit = 127;

 protected:
  void AssignDefaults() override;
  int GetRcvdCount() override;
  bool DoDataAvailable(std::uint16_t Error) override;
  void DoSessionConnected(std::uint16_t Error) override;
  void DoSessionClosed(std::uint16_t Error) override;
  int RawRecv(void* Buffer, int Len, int Flags) override;
  int HeldAboveSocket() const override { return FSocksExtraCount > 0 ? FSocksExtraCount : 0; }

  virtual void DoSocksConnected(std::uint16_t Error);
  virtual void DoSocksError(int Error, const std::string& Msg);
  void DoSocksAuthState(TSocksAuthState AuthState);
  // The negotiation reads the socket itself; layers above stay out of it.
  bool SocksNegotiating() const { return FSocksState != 0; }

  void SocksSendRequest();
  void SocksAuthenticate();
  void SocksFail(std::uint16_t Code, const std::string& Msg);

  std::string FSocksServer;
  std::string FSocksPort;
  std::string FSocksLevel = "5";
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  // 0 not negotiating; 1 connecting, then awaiting the greeting reply;
  // 2 sub-negotiation sent; 3 connect request sent.
  std::uint8_t FSocksState = 0;
  bool FSocksServerAssigned = false;
  std::uint8_t FSocksOfferedMethod = 0;
  char FSocksReplyBuffer[SocksReplyCapacity] = {};
  int FSocksReplyCount = 0;
  // Bytes that came behind the SOCKS 5 reply, handed out before the socket
  // is read again.
  int FSocksExtraCount = 0;
  int FSocksExtraPos = 0;

 private:
  bool CheckSocksFields();
  void SendSocksMessage(const std::string& Message);
  bool SocksLevel4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
  bool SocksSucceeded(int ReplyLength);
  bool ReadSocksReply(int Limit);
};

// Line-mode layer: in line mode the received bytes are collected and handed
// out one line at a time: OnDataAvailable fires once per complete line, and
// Receive reads from that line until the handler has taken all of it. With
// line mode off (or an empty LineEnd) everything passes through.
class TCustomLineWSocket : public TCustomSocksWSocket {
 public:
  explicit TCustomLineWSocket(plat::TComponent* AOwner);
  ~TCustomLineWSocket() override;

  // --- published properties ---
  bool LineMode() const { return FLineMode; }
  virtual void SetLineMode(bool Value);
  // The bytes that end a line, compared exactly; empty means no line mode.
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& Value);
  // Send every received byte back to the peer.
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool Value) { FLineEcho = Value; }
  // Apply backspace and tab editing to received bytes.
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool Value);
  // Longest line, its line end included (at least the line end's length);
  // 0 for no limit. A longer line is handed out in pieces of the limit less
  // the line end's length but one, so no cut goes through a line end. Behind
  // a line not read yet at most this many bytes are held; the rest waits at
  // the socket until the line has been read. With LineEdit the limit applies
  // to the line as edited, and twice as many bytes are held, so backspaces
  // that follow a line past the limit can still bring it within.
  int LineLimit() const { return FLineLimit; }
  void SetLineLimit(int Value);

  // Fired before a line longer than LineLimit is cut; the handler may change
  // the limit, and the line is measured again against the new one.
  TNotifyEvent OnLineTooLong;

  static constexpr int DefaultLineLimit = 64 * 1024;

 protected:
  void WndProc(TMessage& Message) override;
  int GetRcvdCount() override;
  int RawRecv(void* Buffer, int Len, int Flags) override;
  bool DoDataAvailable(std::uint16_t Error) override;
  void DoSessionClosed(std::uint16_t Error) override;
  void DeliverHeldData() override;
  void DoChangeState(TSocketState OldState, TSocketState NewState) override;
  void InternalClose(bool DoShutdown, std::uint16_t Error) override;
  bool ReadingHeldBack() const override { return FReadHeldBack && LineModeActive(); }
  virtual void DoLineTooLong();
  // Edits the Len bytes just received behind the held ones; may rewrite the
  // buffer, lower LineBufferCount and change Len.
  virtual void EditLine(int& Len);
  void HandleRedeliverData();

  // Line mode in effect: on, with a line end to look for.
  bool LineModeActive() const { return FLineMode && !FLineEnd.empty(); }

  // The held bytes: LineBuffer[0, LineBufferCount) are received bytes not
  // yet handed out, the first PendingLineLength of them the line being
  // read; a zero byte always follows them inside the block.
  std::vector<char> FLineBuffer;
  int FLineBufferSize = 0;
  int FLineBufferCount = 0;
  int FPendingLineLength = 0;
  // Where the held bytes begin in LineBuffer: lines read off the front
  // move this on, and the gap is closed before the next reception.
  int FLineBufferStart = 0;
  char* HeldBytes() { return FLineBuffer.data() + FLineBufferStart; }
  const char* HeldBytes() const { return FLineBuffer.data() + FLineBufferStart; }

 private:
  void GrowLineBuffer(int Size);
  void CompactLineBuffer();
  void FreeLineBuffer();
  void TerminateHeld();
  int FindLine(int From) const;
  // Hands out the complete lines held, searching from SearchFrom; a line
  // left unread by the handler stays held for the next pass.
  void DeliverLines(int SearchFrom);
  // Fires OnDataAvailable until the pending line is read, line mode ends or
  // a pass reads nothing; false when the buffer went away meanwhile.
  bool OfferPendingLine();
  // Raw OnDataAvailable(0) events while bytes are held and the handler
  // takes some.
  void DrainHeldRaw();
  void PostRedelivery();
  void HeldBytesChanged();
  // Where a line of LineLength bytes (-1: no line end held yet) is cut; 0
  // when it fits the limit, or may still fit once more bytes come.
  int CutPosition(int LineLength) const;
  // Bytes that may still be read behind the current line.
  int RoomBehindLine() const;
  // The most bytes held behind the current line, the line being received
  // among them.
  int HoldLimit() const;
  // Reading was held back and there is room again: asks for the bytes
  // waiting at the socket.
  void ResumeReading();

  bool FLineMode = false;
  std::string FLineEnd;
  bool FLineEcho = false;
  bool FLineEdit = false;
  int FLineLimit = DefaultLineLimit;
  // Counts the buffer's releases, so loops notice a close inside a handler.
  unsigned FLineBufferEpoch = 0;
  // Bytes were left at the socket because the buffer was full behind a line.
  bool FReadHeldBack = false;
  // The peer has closed: what it sent last is taken whatever the limit.
  bool FReadToEnd = false;
  // OnDataAvailable handlers running for a pending line.
  int FOfferDepth = 0;
};

// Blocking-wait layer: pumps messages until a flag set by an event handler
// becomes true, or until WaitTimeout has passed.
class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  using TCustomLineWSocket::TCustomLineWSocket;

  static constexpr int WaitTimedOut = 12001;

  // Longest wait in milliseconds; 0 means no limit.
  int WaitTimeout() const { return FWaitTimeout; }
  void SetWaitTimeout(int Value) { FWaitTimeout = Value; }

  // 0 once Flag is true; WaitTimedOut when the time is up or the program is
  // quitting.
  virtual int WaitForFlag(bool& Flag);
  // Clears Flag, runs Proc (which starts what will set it), then waits.
  virtual int RunAndWait(bool& Flag, const std::function<void()>& Proc);

 protected:
  int FWaitTimeout = 0;
  std::int64_t FWaitDeadline = 0;
};

class TWSocket : public TCustomSyncWSocket {
 public:
  using TCustomSyncWSocket::TCustomSyncWSocket;
};

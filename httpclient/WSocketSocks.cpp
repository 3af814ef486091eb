// The socket component's SOCKS layer: the settings, the connect to the
// SOCKS server, and the negotiation run inside the connect and read
// notifications until the server has connected us to the destination.
#include <algorithm>
#include <cstring>

#include "httpclient/WSocket.h"
#include "httpclient/WSocketBinding.h"

namespace {

std::string ExceptionClassName(const std::exception& E) {
  if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
  if (dynamic_cast<const ERangeError*>(&E)) return "ERangeError";
  if (dynamic_cast<const EIntOverflow*>(&E)) return "EIntOverflow";
  return "Exception";
}

void AppendPort(std::string& Message, std::uint16_t Port) {
  Message += static_cast<char>(Port >> 8);
  Message += static_cast<char>(Port & 0xff);
}

// SOCKS 5 refusals by reply code.
struct TSocksRefusal {
  std::uint16_t Code;
  const char* Text;
};
constexpr TSocksRefusal kSocks5Refusals[] = {
    {20004, "general SOCKS server failure"}, {20005, "connection not allowed by ruleset"},
    {20006, "network unreachable"},          {20007, "host unreachable"},
    {20008, "connection refused"},           {20009, "time to live expired"},
    {20010, "command not supported"},        {20011, "address type not supported"},
};

}  // namespace

// ---- settings ---------------------------------------------------------------------

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Can't change socks level if not closed");
    return;
  }
  if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
    RaiseSocketException("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  FSocksLevel = plat::UpperCase(Value);
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Can't change socks server if not closed");
    return;
  }
  FSocksServer = plat::Trim(Value);
  FSocksServerAssigned = !FSocksServer.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseSocketException("Can't change socks port if not closed");
    return;
  }
  FSocksPort = plat::Trim(Value);
}

void TCustomSocksWSocket::AssignDefaults() {
  TCustomWSocket::AssignDefaults();
  FSocksState = 0;
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksServerAssigned = false;
  FSocksLevel = "5";
  FSocksReplyCount = 0;
  FSocksExtraCount = 0;
  FSocksExtraPos = 0;
}

// ---- connect and listen -------------------------------------------------------------

// Every message carries its texts behind a length byte or up to a zero
// byte: a field that does not fit is refused before anything is sent.
bool TCustomSocksWSocket::CheckSocksFields() {
  struct TRule {
    bool Broken;
    const char* Problem;
  };
  auto holdsZero = [](const std::string& S) { return S.find('\0') != std::string::npos; };
  const bool level5 = !SocksLevel4();
  const bool authenticate = level5 && FSocksAuthentication == socksAuthenticateUsercode;
  const bool addrSent = level5 || FSocksLevel == "4A";
  const TRule rules[] = {
      {authenticate && FSocksUsercode.empty(), "SocksUsercode is empty"},
      {authenticate && FSocksPassword.empty(), "SocksPassword is empty"},
      {FSocksUsercode.size() > MaxSocksField, "SocksUsercode is longer than 255 bytes"},
      {level5 && FSocksPassword.size() > MaxSocksField, "SocksPassword is longer than 255 bytes"},
      {addrSent && FAddr.size() > MaxSocksField, "Addr is longer than 255 bytes"},
      {!level5 && holdsZero(FSocksUsercode), "SocksUsercode holds a zero byte"},
      {FSocksLevel == "4A" && holdsZero(FAddr), "Addr holds a zero byte"},
  };
  for (const TRule& rule : rules) {
    if (!rule.Broken) continue;
    RaiseSocketException(std::string("Can't connect thru socks server: ") + rule.Problem);
    return false;
  }
  return true;
}

void TCustomSocksWSocket::Connect() {
  if (!FSocksServerAssigned) {
    TCustomWSocket::Connect();
    return;
  }
  if (plat::LowerCase(FProto) != "tcp") {
    RaiseSocketException("tcp is the only protocol supported thru socks server");
    return;
  }
  if (!CheckSocksFields()) return;
  try {
    if (!FPortResolved) {
      FSockAddr.sin_port = WS(htons)(WSocketResolvePort(FSocksPort, FProto));
      FPortResolved = true;
    }
    if (!FAddrResolved) {
      FSockAddr.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
      FAddrResolved = true;
    }
    FPortNumber = WSocketResolvePort(FPort, FProto);
  } catch (const plat::Exception& E) {
    RaiseSocketException("connect: " + E.Message);
    return;
  }
  FSocksState = 1;
  FSocksReplyCount = 0;
  TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
  if (FSocksServerAssigned) {
    RaiseSocketException("listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

// ---- events -----------------------------------------------------------------------------

void TCustomSocksWSocket::DoSocksConnected(std::uint16_t Error) {
  if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::DoSocksError(int Error, const std::string& Msg) {
  if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState AuthState) {
  if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}

void TCustomSocksWSocket::DoSessionConnected(std::uint16_t Error) {
  if (FSocksState != 1) {
    TCustomWSocket::DoSessionConnected(Error);
    return;
  }
  DoSocksConnected(Error);
  if (Error != 0) {
    TCustomWSocket::DoSessionConnected(Error);
    return;
  }
  // A handler may have closed the socket already.
  if (FState != wsConnected) return;
  if (SocksLevel4()) {
    SocksSendRequest();
    return;
  }
  FSocksOfferedMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
  const char greeting[3] = {5, 1, static_cast<char>(FSocksOfferedMethod)};
  Send(greeting, sizeof greeting);
}

void TCustomSocksWSocket::DoSessionClosed(std::uint16_t Error) {
  if (FSocksState == 2) DoSocksAuthState(socksAuthFailed);
  TCustomWSocket::DoSessionClosed(Error);
}

// ---- messages sent -------------------------------------------------------------------------

// The sub-negotiation and the requests go out without raising: a failed
// send shows as the close that follows.
void TCustomSocksWSocket::SendSocksMessage(const std::string& Message) {
  try {
    Send(Message.data(), static_cast<int>(Message.size()));
  } catch (const std::exception&) {
  }
}

void TCustomSocksWSocket::SocksAuthenticate() {
  FSocksState = 2;
  DoSocksAuthState(socksAuthStarted);
  std::string m;
  m += '\1';
  m += static_cast<char>(FSocksUsercode.size());
  m += FSocksUsercode;
  m += static_cast<char>(FSocksPassword.size());
  m += FSocksPassword;
  SendSocksMessage(m);
}

void TCustomSocksWSocket::SocksSendRequest() {
  FSocksState = 3;
  std::string m;
  if (!SocksLevel4()) {
    // The server resolves the destination: it goes as a name, also a dotted one.
    m.assign({5, 1, 0, 3});
    m += static_cast<char>(FAddr.size());
    m += FAddr;
    AppendPort(m, FPortNumber);
    SendSocksMessage(m);
    return;
  }
  char address[4] = {0, 0, 0, 1};
  if (FSocksLevel == "4") {
    std::uint32_t a = 0;
    try {
      a = WSocketResolveHost(FAddr);
    } catch (const plat::Exception& E) {
      DoSocksError(20017, ExceptionClassName(E) + " " + E.Message);
      InternalClose(true, 20017);
      return;
    }
    std::memcpy(address, &a, sizeof address);
  }
  m.assign({4, 1});
  AppendPort(m, FPortNumber);
  m.append(address, sizeof address);
  m += FSocksUsercode;
  m += '\0';
  if (FSocksLevel == "4A") {
    m += FAddr;
    m += '\0';
  }
  SendSocksMessage(m);
}

// ---- replies ---------------------------------------------------------------------------------

void TCustomSocksWSocket::SocksFail(std::uint16_t Code, const std::string& Msg) {
  DoSocksError(Code, Msg);
  TCustomWSocket::DoSessionConnected(Code);
  InternalClose(true, Code);
}

// Adds what the socket holds, up to Limit bytes in the buffer in all. A
// server that ends the connection before its reply is complete fails the
// negotiation, with the socket's error, or as a reset when it closed in
// good order: false then, and the socket is closed.
bool TCustomSocksWSocket::ReadSocksReply(int Limit) {
  int room = Limit - FSocksReplyCount;
  if (room <= 0) return true;
  int n = Receive(FSocksReplyBuffer + FSocksReplyCount, room);
  if (n > 0) {
    FSocksReplyCount += n;
    return true;
  }
  if (n < 0 && FLastError == plat::WSAEWOULDBLOCK) return true;
  const int code = n == 0 || FLastError == 0 ? plat::WSAECONNRESET : FLastError;
  FLastError = 0;
  SocksFail(static_cast<std::uint16_t>(code), "data receive error");
  return false;
}

bool TCustomSocksWSocket::SocksSucceeded(int ReplyLength) {
  FSocksState = 0;
  // Set before any handler runs: one that closes the socket clears them
  // with the defaults, so they never reach a later connection.
  if (!SocksLevel4()) {
    FSocksExtraCount = std::max(0, FSocksReplyCount - ReplyLength);
    FSocksExtraPos = ReplyLength;
  }
  TCustomWSocket::DoSessionConnected(0);
  // The bytes that came behind the reply go through the layers above like
  // any others: in line mode they are cut into lines (and no event fires
  // before a whole line is there); otherwise the user hears of them at
  // once, or of the connection alone when none came.
  return DoDataAvailable(0);
}

bool TCustomSocksWSocket::DoDataAvailable(std::uint16_t Error) {
  if (FSocksState == 0) return TCustomWSocket::DoDataAvailable(Error);
  if (Error != 0) {
    SocksFail(Error, "data receive error");
    return false;
  }
  const auto* b = reinterpret_cast<const std::uint8_t*>(FSocksReplyBuffer);
  switch (FSocksState) {
    case 1:  // greeting reply
      if (!ReadSocksReply(SocksShortReplyLimit)) break;
      if (FSocksReplyCount < 2) break;
      FSocksReplyCount = 0;
      if (b[0] != 5) {
        SocksFail(20002, "socks version error");
      } else if (b[1] == 0) {
        if (FSocksOfferedMethod != 0) DoSocksAuthState(socksAuthNotRequired);
        SocksSendRequest();
      } else if (b[1] == 2) {
        SocksAuthenticate();
      } else {
        SocksFail(20003, "authentification method not acceptable");
      }
      break;
    case 2:  // sub-negotiation reply
      if (!ReadSocksReply(SocksShortReplyLimit)) break;
      if (FSocksReplyCount >= 1 && b[0] != 1) {
        DoSocksAuthState(socksAuthFailed);
        SocksFail(20002, "socks version error");
      } else if (FSocksReplyCount < 2) {
      } else if (FSocksReplyCount > 2) {
        DoSocksAuthState(socksAuthFailed);
        SocksFail(20001, "too much data availaible");
      } else if (b[1] != 0) {
        DoSocksAuthState(socksAuthFailed);
        SocksFail(20015, "socks authentication failed");
      } else {
        FSocksReplyCount = 0;
        DoSocksAuthState(socksAuthSucceeded);
        SocksSendRequest();
      }
      break;
    case 3:
      if (SocksLevel4()) {
        // Exactly the reply: what follows it stays in the socket.
        if (!ReadSocksReply(8)) break;
        if (FSocksReplyCount < 8) break;
        FSocksReplyCount = 0;
        if (b[0] != 0) {
          SocksFail(20002, "socks version error");
        } else if (b[1] == 90) {
          return SocksSucceeded(8);
        } else if (b[1] == 91) {
          SocksFail(20016, "request rejected or failed");
        } else if (b[1] == 92) {
          SocksFail(20008, "connection refused");
        } else if (b[1] == 93) {
          SocksFail(20015, "authentification failed");
        } else {
          SocksFail(20012, "unassigned error #" + plat::IntToStr(b[1]));
        }
        break;
      }
      // Only this reply can be long: a bound name of up to 255 bytes.
      if (!ReadSocksReply(SocksReplyCapacity)) break;
      if (FSocksReplyCount >= 1 && b[0] != 5) {
        SocksFail(20002, "socks version error");
        break;
      }
      if (FSocksReplyCount >= 2 && b[1] != 0) {
        if (static_cast<std::size_t>(b[1]) <= std::size(kSocks5Refusals))
          SocksFail(kSocks5Refusals[b[1] - 1].Code, kSocks5Refusals[b[1] - 1].Text);
        else
          SocksFail(20012, "unassigned error #" + plat::IntToStr(b[1]));
        break;
      }
      if (FSocksReplyCount < 5) break;
      {
        // The bound address: IPv4 (1), a name (3) or IPv6 (4), which a
        // server whose outgoing side is IPv6 sends; none of them is used.
        int length = b[3] == 1 ? 10 : b[3] == 3 ? b[4] + 7 : b[3] == 4 ? 22 : 5;
        if (FSocksReplyCount < length) break;
        if (b[3] != 1 && b[3] != 3 && b[3] != 4) {
          SocksFail(20011, "address type not supported");
          break;
        }
        return SocksSucceeded(length);
      }
    default:
      break;
  }
  return true;
}

// ---- reading -----------------------------------------------------------------------------------

int TCustomSocksWSocket::GetRcvdCount() {
  if (FSocksExtraCount > 0) return FSocksExtraCount;
  return TCustomWSocket::GetRcvdCount();
}

int TCustomSocksWSocket::RawRecv(void* Buffer, int Len, int Flags) {
  if (FSocksExtraCount <= 0) return TCustomWSocket::RawRecv(Buffer, Len, Flags);
  int n = std::min(Len, FSocksExtraCount);
  if (n <= 0) return 0;
  std::memcpy(Buffer, FSocksReplyBuffer + FSocksExtraPos, static_cast<std::size_t>(n));
  FSocksExtraPos += n;
  FSocksExtraCount -= n;
  return n;
}

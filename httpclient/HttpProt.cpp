#include "httpclient/HttpProt.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

using plat::TObject;

namespace {

// 1-based substring that never fails: what lies outside S is simply absent.
std::string Copy(const std::string& S, int Index, int Count) {
  if (Index < 1) Index = 1;
  if (Count <= 0 || Index > static_cast<int>(S.size())) return {};
  return S.substr(static_cast<std::size_t>(Index - 1), static_cast<std::size_t>(Count));
}

std::string CopyFrom(const std::string& S, int Index) { return Copy(S, Index, INT_MAX); }

// CR, LF and NUL never go into a request line: they would end it early or
// start a header line of someone else's choosing.
std::string StripLineBreaks(const std::string& S) {
  std::string r;
  r.reserve(S.size());
  for (char c : S)
    if (c != '\r' && c != '\n' && c != '\0') r += c;
  return r;
}

// The cookie text may hold several cookies joined by CR LF "Cookie: "; keep
// exactly those joins and strip every other line break.
std::string CleanCookie(const std::string& S) {
  static const std::string kJoin = "\r\nCookie: ";
  std::string r;
  std::size_t start = 0;
  for (;;) {
    std::size_t p = S.find(kJoin, start);
    r += StripLineBreaks(S.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) break;
    r += kJoin;
    start = p + kJoin.size();
  }
  return r;
}

// Decimal integer of a header value; blanks around it are allowed.
int StrToIntValue(const std::string& S) {
  std::string t = plat::Trim(S);
  std::size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    neg = t[i] == '-';
    ++i;
  }
  if (i >= t.size()) throw plat::EConvertError("'" + S + "' is not a valid integer value");
  long long v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw plat::EConvertError("'" + S + "' is not a valid integer value");
    v = v * 10 + (t[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) throw plat::EConvertError("'" + S + "' is not a valid integer value");
  }
  if (neg) v = -v;
  if (v > INT_MAX || v < INT_MIN) throw plat::EConvertError("'" + S + "' is not a valid integer value");
  return static_cast<int>(v);
}

const char kClassName[] = "HttpCliWindowClass";

plat::LRESULT HttpCliWindowProc(plat::HWND h, plat::UINT m, plat::WPARAM w, plat::LPARAM l) {
  auto* cli = reinterpret_cast<THttpCli*>(plat::GetWindowLongPtr(h, 0));
  if (!cli || m == plat::WM_DESTROY) return plat::DefWindowProc(h, m, w, l);
  try {
    // The client may be gone once this returns (freed in OnRequestDone).
    return cli->WndProc(m, w, l);
  } catch (const std::exception& e) {
    // What a user's OnRequestDone or OnStateChange raises ends up in the
    // application's error box, as anything escaping a message handler does.
    plat::ShowApplicationException(e);
    return 0;
  }
}

}  // namespace

// ---- free functions ------------------------------------------------------------

void ParseURL(const std::string& URL, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path) {
  Proto.clear();
  User.clear();
  Pass.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  if (URL.empty()) return;

  std::string rest;
  std::size_t p = URL.find("://");
  if (p != std::string::npos) {
    Proto = URL.substr(0, p);
    rest = URL.substr(p + 3);
  } else if (URL[0] == '/') {
    Proto = "http";
    if (URL.size() > 1 && URL[1] != '/') {
      Path = URL;
      return;
    }
    rest = URL.substr(1);
  } else if (plat::LowerCase(URL.substr(0, 5)) == "http:") {
    Proto = "http";
    if (URL.size() > 6 && URL[6] != '/') {
      Path = URL.substr(5);
      return;
    }
    rest = CopyFrom(URL, 7);
  } else if (plat::LowerCase(URL.substr(0, 7)) == "mailto:") {
    Proto = "mailto";
    rest = URL.substr(URL.find(':') + 1);
  } else {
    rest = URL;
  }

  std::string authority = rest;
  std::size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    Path = rest.substr(slash);
    authority = rest.substr(0, slash);
  }

  std::size_t colon = authority.rfind(':');
  std::size_t at = authority.rfind('@');
  std::string userPart;
  if (colon == std::string::npos && at == std::string::npos) {
    Host = authority;
  } else if (colon != std::string::npos && (at == std::string::npos || colon > at)) {
    Port = authority.substr(colon + 1);
    std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
    Host = authority.substr(hostStart, colon - hostStart);
    if (at != std::string::npos) userPart = authority.substr(0, at);
  } else {
    Host = authority.substr(at + 1);
    userPart = authority.substr(0, at);
  }
  if (!userPart.empty()) {
    std::size_t c = userPart.find(':');
    if (c == std::string::npos) {
      User = userPart;
    } else {
      User = userPart.substr(0, c);
      Pass = userPart.substr(c + 1);
    }
  }
}

std::string FormatHttpDate(TDateTime Value) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (!std::isfinite(Value) || Value < 2.0 || Value > 2958466.0)  // 1900-01-01 .. 9999-12-31
    throw plat::ERangeError("Range check error");
  long long days = static_cast<long long>(std::floor(Value));
  long long ms = std::llround((Value - static_cast<double>(days)) * 86400000.0);
  if (ms >= 86400000) {  // rounding reached the next midnight
    ms -= 86400000;
    ++days;
  }
  int weekday = static_cast<int>((days - 2) % 7);

  // Civil date from the day count (day 0 = 1899-12-30).
  long long z = days - 25569 + 719468;  // days since 0000-03-01 via the Unix epoch
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;

  int secs = static_cast<int>(ms / 1000);
  std::string mon(kMonths + (m - 1) * 3, 3);
  return std::string(kDays + weekday * 3, 3) + ", " +
         plat::Format("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", d, mon.c_str(), static_cast<int>(y), secs / 3600,
                      (secs / 60) % 60, secs % 60);
}

std::string EncodeBytes(std::uint8_t Mode, const void* Data, int Len) {
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (Mode > 2) throw plat::ERangeError("Range check error");
  const auto* b = static_cast<const unsigned char*>(Data);
  if (Len < 0) Len = 0;
  std::string r;
  if (Mode == 0) {
    auto ch = [](unsigned v) { return v == 0 ? '`' : static_cast<char>(32 + v); };
    r += ch(static_cast<unsigned>(Len % 64));
    for (int i = 0; i < Len; i += 3) {
      unsigned v = (static_cast<unsigned>(b[i]) << 16) | (i + 1 < Len ? static_cast<unsigned>(b[i + 1]) << 8 : 0u) |
                   (i + 2 < Len ? b[i + 2] : 0u);
      r += ch((v >> 18) & 63);
      r += ch((v >> 12) & 63);
      r += ch((v >> 6) & 63);
      r += ch(v & 63);
    }
    return r;
  }
  r.reserve(static_cast<std::size_t>((Len + 2) / 3 * 4));
  for (int i = 0; i < Len; i += 3) {
    int n = std::min(3, Len - i);
    unsigned v = static_cast<unsigned>(b[i]) << 16;
    if (n > 1) v |= static_cast<unsigned>(b[i + 1]) << 8;
    if (n > 2) v |= b[i + 2];
    r += kBase64[(v >> 18) & 63];
    r += kBase64[(v >> 12) & 63];
    r += n > 1 ? kBase64[(v >> 6) & 63] : '=';
    r += n > 2 ? kBase64[v & 63] : '=';
  }
  return r;
}

std::string Base64Encode(const std::string& S) { return EncodeBytes(1, S.data(), static_cast<int>(S.size())); }

int NthPos(const std::string& Sub, const std::string& S, int N) {
  if (N == -1) {
    if (Sub.empty() || Sub.size() > S.size()) return 0;
    std::size_t p = S.rfind(Sub);
    return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
  }
  if (N <= 0) return 0;
  int found = 0;
  std::size_t from = 0;
  int last = 0;
  while (found < N && !Sub.empty()) {
    std::size_t p = S.find(Sub, from);
    if (p == std::string::npos) break;
    ++found;
    last = static_cast<int>(p) + 1;
    from = p + 1;
  }
  if (found == N) return last;
  return static_cast<int>(S.size()) + (N - found);
}

void ReplaceExt(std::string& Name, const std::string& Ext) {
  int p = NthPos(".", Name, -1);
  if (p > 0)
    Name = Name.substr(0, static_cast<std::size_t>(p)) + Ext;
  else
    Name = Name + "." + Ext;
}

// ---- THttpCli: construction ----------------------------------------------------

THttpCli::THttpCli(plat::TComponent* Owner) : plat::TComponent(Owner) {
  if (!plat::IsClassRegistered(kClassName)) plat::RegisterClass(kClassName, HttpCliWindowProc);
  WindowHandle_ = plat::CreateWindow(kClassName);
  plat::SetWindowLongPtr(WindowHandle_, 0, reinterpret_cast<plat::LONG_PTR>(this));
  Socket_ = new TWSocket(this);
  ProxyPort = "80";
  ContentTypePost = "application/x-www-form-urlencoded";
  WWWAuthenticate_ = new plat::TStringList;
  BindClosedToHandleClosed();
  Socket_->OnDataAvailable = [this](TObject* s, std::uint16_t e) { HandleDataAvailable(s, e); };
  Socket_->OnSessionConnected = [this](TObject* s, std::uint16_t e) { HandleConnected(s, e); };
  Socket_->OnDataSent = [this](TObject* s, std::uint16_t e) { HandleDataSent(s, e); };
  Socket_->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { HandleLookupDone(s, e); };
  RcvdHeader_ = new plat::TStringList;
  RequestBuffer_ = new plat::TMemoryStream;
  State_ = httpIdle;
}

THttpCli::~THttpCli() {
  plat::Free(WWWAuthenticate_);
  plat::FreeAndNil(Socket_);
  plat::Free(RcvdHeader_);
  plat::Free(RequestBuffer_);
  // Messages still queued for the window are dropped with it.
  plat::SetWindowLongPtr(WindowHandle_, 0, 0);
  plat::DestroyWindow(WindowHandle_);
}

void THttpCli::SetMultiThreaded(bool Value) {
  MultiThreaded_ = Value;
  Socket_->SetMultiThreaded(Value);
}

void THttpCli::BindClosedToHandleClosed() {
  Socket_->OnSessionClosed = [this](TObject* s, std::uint16_t e) { HandleClosed(s, e); };
}

void THttpCli::BindClosedToFinishRedirect() {
  Socket_->OnSessionClosed = [this](TObject* s, std::uint16_t e) { FinishRedirect(s, e); };
}

// ---- the state and the completion path -------------------------------------------

void THttpCli::SetState(THttpState NewState) {
  if (NewState == State_) return;
  State_ = NewState;
  DoStateChange();
  if (NewState == httpIdle) PostRequestDone();
}

void THttpCli::DoStateChange() {
  if (OnStateChange) OnStateChange(this);
}

void THttpCli::FinishRequest() {
  // One end per request: a second close report must not end a later one.
  if (FinishPosted_) return;
  FinishPosted_ = true;
  plat::PostMessage(WindowHandle_, WM_HTTPCLI_IDLE, RequestSerial_, 0);
}

void THttpCli::PostRequestDone() { plat::PostMessage(WindowHandle_, WM_HTTPCLI_DONE, 0, 0); }

plat::LRESULT THttpCli::WndProc(plat::UINT Msg, plat::WPARAM wParam, plat::LPARAM lParam) {
  switch (Msg) {
    case WM_HTTPCLI_DONE:
      HandleDoneMessage();
      return 0;
    case WM_HTTPCLI_IDLE:
      // Only the end of the request that posted it; a stale one is dropped.
      if (wParam == RequestSerial_) HandleIdleMessage();
      return 0;
    case WM_HTTPCLI_RESTART:
      if (wParam == RequestSerial_) HandleRestartMessage();
      return 0;
    default:
      return plat::DefWindowProc(WindowHandle_, Msg, wParam, lParam);
  }
}

void THttpCli::HandleDoneMessage() {
  // The handler may free this client: fire a copy and touch nothing after.
  THttpRequestDone handler = OnRequestDone;
  if (handler) handler(this, RequestType_, RequestDoneError_);
}

void THttpCli::HandleIdleMessage() { SetState(httpIdle); }

void THttpCli::HandleRestartMessage() {
  if (!RestartPending_) return;
  RestartPending_ = false;
  try {
    StartDnsLookup();
  } catch (const std::exception& e) {
    // No caller to raise to: end the request instead of leaving it waiting.
    StatusCode_ = 404;
    ReasonPhrase_ = e.what();
    RequestDoneError_ = httperrBadResponse;
    HandleClosed(this, 0);
  }
}

// ---- starting ------------------------------------------------------------------

void THttpCli::StartRequest(THttpRequest RqType) {
  if (State_ != httpIdle) throw EHttpException("HTTP component is busy", httperrBusy);
  if (RqType == httpPost && !SendStream) throw EHttpException("HTTP component has nothing to post", httperrNothingToPost);

  RcvdHeader_->Clear();
  RcvdHeaderBytes_ = 0;
  RequestType_ = RqType;
  RequestDoneError_ = 0;
  BindClosedToHandleClosed();
  ++RequestSerial_;
  FinishPosted_ = false;
  RestartPending_ = false;
  RedirectCount_ = 0;
  LocationChangePending_ = false;

  SetState(httpStarting);

  DocName_.clear();
  StatusCode_ = 0;
  RcvdByteCount_ = 0;
  SentByteCount_ = 0;
  HeaderLineCount_ = 0;
  DocDataCount_ = 0;
  ContentLength_ = -1;
  SendingBody_ = false;
  std::string url = StripLineBreaks(URL);
  std::string proxy = StripLineBreaks(Proxy);
  Location_ = url;

  std::string proto, user, pass, host, port, path;
  ParseURL(url, proto, user, pass, host, port, path);
  std::string connHost, connPort;
  HostName_ = host;
  DocName_ = path;
  if (!user.empty()) Username = user;
  if (!pass.empty()) Password = pass;
  if (proxy.empty()) {
    Path_ = path;
    connHost = host;
    connPort = port.empty() ? "80" : port;
  } else {
    Path_ = (proto.empty() ? std::string("http") : proto) + "://" + host + (port.empty() ? "" : ":" + port) + path;
    std::string pproto, puser, ppass, phost, pport, ppath;
    ParseURL(proxy, pproto, puser, ppass, phost, pport, ppath);
    connHost = phost;
    connPort = pport.empty() ? ProxyPort : pport;
  }
  if (Path_.empty()) Path_ = "/";

  if (!DocName_.empty() && DocName_ != "/") {
    if (DocName_.back() == '/') DocName_.pop_back();
    std::size_t slash = DocName_.rfind('/');
    if (slash != std::string::npos) DocName_ = DocName_.substr(slash + 1);
    DocName_ = DocName_.substr(0, 255);
    std::size_t q = DocName_.find('?');
    if (q != std::string::npos) DocName_.erase(q);
  } else {
    DocName_ = "document.htm";
  }

  ConnectHost_ = connHost;
  ConnectPort_ = connPort;
  StartDnsLookup();
}

void THttpCli::StartDnsLookup() {
  SetState(httpDnsLookup);
  Socket_->LookupName(ConnectHost_);
}

void THttpCli::HandleLookupDone(TObject* Sender, std::uint16_t Error) {
  if (Error == 0) {
    if (State_ != httpDnsLookup) return;  // a late answer for a request that ended
    SetState(httpConnecting);
    try {
      Socket_->SetAddr(Socket_->DnsResult());
      Socket_->SetPort(ConnectPort_);
      Socket_->SetProto("tcp");
      Socket_->Connect();
    } catch (const std::exception&) {
      int code = Socket_->LastError();
      RequestDoneError_ = static_cast<std::uint16_t>(code);
      StatusCode_ = 404;
      ReasonPhrase_ = "can't connect: " + WinsockErrorText(code) + " (Error #" + plat::IntToStr(code) + ")";
      Socket_->Close();
      HandleClosed(Sender, static_cast<std::uint16_t>(code));
    }
    return;
  }
  if (State_ == httpAborting) return;  // the abort reports itself
  if (State_ != httpDnsLookup) return;
  RequestDoneError_ = Error;
  StatusCode_ = 404;
  ReasonPhrase_ = "can't resolve hostname to IP address";
  HandleClosed(Sender, Error);
}

void THttpCli::HandleConnected(TObject* Sender, std::uint16_t Error) {
  if (State_ != httpConnecting) return;
  if (Error != 0) {
    RequestDoneError_ = Error;
    StatusCode_ = 404;
    ReasonPhrase_ = WinsockErrorText(Error) + " (Error #" + plat::IntToStr(Error) + ")";
    HandleClosed(Sender, Error);
    return;
  }
  Connected_ = true;
  SetState(httpConnected);
  DoSessionConnected();
  if (State_ != httpConnected) return;  // the handler aborted the request
  RcvdHandler_ = Handler::HeaderLine;
  // Each connection starts with an empty receive buffer: bytes left over
  // from an earlier response must not run into this one.
  RcvdBufferLen_ = 0;
  RcvdBuffer_[0] = 0;
  SetState(httpReadingHeader);
  try {
    switch (RequestType_) {
      case httpGet:
        WriteRequest("GET", "1.0");
        break;
      case httpPost:
        WriteRequest("POST", "1.0");
        DoSendBegin();
        SendingBody_ = true;
        HandleDataSent(Socket_, 0);
        break;
      case httpHead:
        WriteRequest("HEAD", "1.0");
        break;
      default:
        break;
    }
  } catch (...) {
    CloseSocket();
  }
}

void THttpCli::CloseSocket() {
  Socket_->Close();
  Connected_ = false;
}

void THttpCli::HandleClosed(TObject*, std::uint16_t) {
  Connected_ = false;
  if (FinishPosted_) return;
  // The peer closed in the middle of a header line: what came is the last
  // line (a status line, or a whole header-less page without a line end).
  if (State_ == httpReadingHeader && RcvdHandler_ == Handler::HeaderLine && RcvdBufferLen_ > 0 && !InParser_) {
    RcvdLine_.assign(RcvdBuffer_, static_cast<std::size_t>(RcvdBufferLen_));
    RcvdLineEnd_.clear();
    RcvdBufferLen_ = 0;
    RcvdBuffer_[0] = 0;
    InParser_ = true;
    try {
      ProcessHeaderLine();
    } catch (const EHttpException& e) {
      RequestDoneError_ = e.ErrorCode;
      ReasonPhrase_ = e.Message;
    } catch (const std::exception& e) {
      RequestDoneError_ = httperrBadResponse;
      ReasonPhrase_ = e.what();
    }
    InParser_ = false;
    if (FinishPosted_) return;
  }
  // Post the end first: whatever OnDocEnd raises, the request still ends.
  FinishRequest();
  if (DocDataCount_ > 0) DoDocEnd();
}

void THttpCli::Abort() {
  if (State_ == httpIdle) {
    if (Socket_->State() != wsClosed) Socket_->Close();
    return;
  }
  bool wasLookup = State_ == httpDnsLookup;
  // Whatever the aborted request still has in the queue (an end, a restart
  // after a redirect) must not act on a later request.
  ++RequestSerial_;
  RestartPending_ = false;
  FinishPosted_ = false;
  SetState(httpAborting);
  if (wasLookup) {
    try {
      Socket_->CancelLookup();
    } catch (...) {
    }
  }
  StatusCode_ = 404;
  ReasonPhrase_ = "Connection aborted on request";
  RequestDoneError_ = httperrAborted;
  BindClosedToHandleClosed();
  if (wasLookup)
    HandleClosed(this, 0);
  else
    Socket_->Close();
  SetState(httpIdle);
}

// ---- the request writer --------------------------------------------------------------

void THttpCli::WriteCommand(const std::string& S) {
  if (OnCommand) OnCommand(this, S);
  if (!S.empty()) RequestBuffer_->Write(S.data(), static_cast<std::int64_t>(S.size()));
  RequestBuffer_->Write("\r\n", 2);
}

void THttpCli::WriteRequest(const std::string& Method, const std::string& Version) {
  RequestBuffer_->Clear();
  DoRequestHeaderBegin();
  WriteCommand(Method + " " + StripLineBreaks(Path_) + " HTTP/" + Version);
  if (!Sender.empty()) WriteCommand("From: " + StripLineBreaks(Sender));
  if (!Reference.empty()) WriteCommand("Referer: " + StripLineBreaks(Reference));
  if (Method == "POST" && !ContentTypePost.empty()) WriteCommand("Content-Type: " + StripLineBreaks(ContentTypePost));
  if (!Agent.empty()) WriteCommand("User-Agent: " + StripLineBreaks(Agent));
  WriteCommand("Host: " + StripLineBreaks(HostName_));
  if (NoCache) WriteCommand("Pragma: no-cache");
  if (Method == "POST") WriteCommand("Content-Length: " + plat::IntToStr(SendStream ? SendStream->Size() : 0));
  if (ModifiedSince != 0) WriteCommand("If-Modified-Since: " + FormatHttpDate(ModifiedSince) + " GMT");
  // Credentials reach the wire only Base64-encoded, line breaks included.
  if (!Username.empty()) WriteCommand("Authorization: Basic " + Base64Encode(Username + ":" + Password));
  if (!Proxy.empty() && !ProxyUsername.empty())
    WriteCommand("Proxy-Authorization: Basic " + Base64Encode(ProxyUsername + ":" + ProxyPassword));
  if (!Cookie.empty()) WriteCommand("Cookie: " + CleanCookie(Cookie));
  DoRequestHeaderEnd();
  WriteCommand("");
  Socket_->Send(RequestBuffer_->Memory(), static_cast<int>(RequestBuffer_->Data().size()));
  RequestBuffer_->Clear();
}

void THttpCli::HandleDataSent(TObject*, std::uint16_t) {
  if (!SendingBody_) return;
  std::int64_t n = SendStream ? SendStream->Read(SendBuffer_, sizeof SendBuffer_) : 0;
  if (n > 0) {
    SentByteCount_ += static_cast<int>(n);
    DoSendData(SendBuffer_, static_cast<int>(n));
    Socket_->Send(SendBuffer_, static_cast<int>(n));
  } else {
    SendingBody_ = false;
    DoSendEnd();
  }
}

// ---- the response parser ---------------------------------------------------------------

void THttpCli::HandleDataAvailable(TObject*, std::uint16_t Error) {
  try {
    if (State_ == httpReadingBody && RcvdBufferLen_ == 0 && RcvdHandler_ == Handler::BodyData) {
      // Body bytes are handed on at once, so they are read into one buffer
      // shared by every client of the thread: with thousands of clients in
      // flight no client keeps body-sized buffers of its own.
      thread_local char scratch[8193];
      int n = Socket_->Receive(scratch, 8192);
      if (RequestType_ == httpNoRequest || n <= 0) return;
      scratch[n] = 0;
      {
        struct Guard {
          bool& flag;
          bool old;
          explicit Guard(bool& f) : flag(f), old(f) { flag = true; }
          ~Guard() { flag = old; }
        } inParser(InParser_);
        RcvdLine_.assign(scratch, static_cast<std::size_t>(n));
        ProcessBodyData();
      }
      if (RcvdLine_.capacity() > 4096) std::string().swap(RcvdLine_);
      return;
    }
    // The header is read in small steps (a line may still grow to 8192
    // bytes over several reads), so that only a header-sized part of the
    // client's own buffer is ever used; the rest of the body then comes
    // through the shared buffer above.
    int room = std::min(8192 - RcvdBufferLen_, 2048);
    if (room <= 0) throw EHttpException("HTTP line too long", httperrLineTooLong);
    int n = Socket_->Receive(RcvdBuffer_ + RcvdBufferLen_, room);
    if (RequestType_ == httpNoRequest || n <= 0) return;
    ProcessReceived(n, Error);
  } catch (const EHttpException& e) {
    FailResponse(e.ErrorCode, e.Message);
  } catch (const std::exception& e) {
    FailResponse(httperrBadResponse, e.what());
  }
}

void THttpCli::FeedResponseForTests(const void* Data, int Len) {
  if (State_ == httpIdle) {
    RequestType_ = httpGet;
    State_ = httpReadingHeader;
    RcvdHandler_ = Handler::HeaderLine;
    ++RequestSerial_;
    FinishPosted_ = false;
    HostName_ = "localhost";
    ConnectHost_ = "localhost";
    ConnectPort_ = "80";
    Path_ = "/";
    DocName_ = "document.htm";
  }
  const char* p = static_cast<const char*>(Data);
  try {
    while (Len > 0) {
      int room = 8192 - RcvdBufferLen_;
      if (room <= 0) throw EHttpException("HTTP line too long", httperrLineTooLong);
      int n = std::min(room, Len);
      std::memcpy(RcvdBuffer_ + RcvdBufferLen_, p, static_cast<std::size_t>(n));
      p += n;
      Len -= n;
      ProcessReceived(n, 0);
    }
  } catch (const EHttpException& e) {
    FailResponse(e.ErrorCode, e.Message);
  } catch (const std::exception& e) {
    FailResponse(httperrBadResponse, e.what());
  }
}

void THttpCli::ProcessReceived(int n, std::uint16_t Error) {
  struct Guard {
    bool& flag;
    bool old;
    explicit Guard(bool& f) : flag(f), old(f) { flag = true; }
    ~Guard() { flag = old; }
  } inParser(InParser_);
  RcvdBufferLen_ += n;
  RcvdBuffer_[RcvdBufferLen_] = 0;
  if (State_ == httpReadingBody) {
    DeliverHeldBytesAsBody();
    return;
  }
  while (RcvdBufferLen_ > 0) {
    int lf = -1;
    bool nul = false;
    for (int i = 0; i < RcvdBufferLen_; ++i) {
      if (RcvdBuffer_[i] == '\n') {
        lf = i;
        break;
      }
      if (RcvdBuffer_[i] == 0) {
        nul = true;
        break;
      }
    }
    if (lf < 0) {
      // A header line that can no longer end (a zero byte before its LF, or
      // a full buffer) fails now rather than at some later read.
      if (State_ == httpReadingHeader && (nul || RcvdBufferLen_ >= 8192))
        throw EHttpException("HTTP line too long", httperrLineTooLong);
      break;
    }
    bool cr = lf > 0 && RcvdBuffer_[lf - 1] == '\r';
    RcvdLine_.assign(RcvdBuffer_, static_cast<std::size_t>(cr ? lf - 1 : lf));
    RcvdLineEnd_ = cr ? "\r\n" : "\n";
    int used = lf + 1;
    std::memmove(RcvdBuffer_, RcvdBuffer_ + used, static_cast<std::size_t>(RcvdBufferLen_ - used + 1));
    RcvdBufferLen_ -= used;
    if (State_ == httpReadingHeader || State_ == httpReadingBody) {
      DispatchLine();
    } else {
      if (OnDataAvailable) OnDataAvailable(this, Error);
    }
    // After a header-less response's first line the rest is body as it came.
    if (State_ == httpReadingBody && RcvdBufferLen_ > 0) {
      DeliverHeldBytesAsBody();
      return;
    }
  }
}

void THttpCli::DispatchLine() {
  switch (RcvdHandler_) {
    case Handler::HeaderLine:
      ProcessHeaderLine();
      break;
    case Handler::BodyData:
      ProcessBodyData();
      break;
    default:
      FinishRequest();
      break;
  }
}

void THttpCli::DeliverHeldBytesAsBody() {
  RcvdLine_.assign(RcvdBuffer_, static_cast<std::size_t>(RcvdBufferLen_));
  RcvdBufferLen_ = 0;
  RcvdBuffer_[0] = 0;
  DispatchLine();
}

void THttpCli::ProcessHeaderLine() {
  if (HeaderLineCount_ == 0) DoHeaderBegin();
  ++HeaderLineCount_;

  if (plat::UpperCase(RcvdLine_.substr(0, 6)) == "<HTML>") {
    // No header at all: the response is body from its first byte on.
    if (ContentType_.empty()) ContentType_ = "text/html";
    SetState(httpReadingBody);
    RcvdHandler_ = Handler::BodyData;
    DoHeaderEnd();
    RcvdLine_ += RcvdLineEnd_;
    ProcessBodyData();
    return;
  }

  if (!RcvdLine_.empty()) {
    if (RcvdHeader_->Count() >= MaxHeaderLines || RcvdHeaderBytes_ + RcvdLine_.size() > MaxHeaderBytes)
      throw EHttpException("HTTP header too long", httperrHeaderTooLong);
    RcvdHeader_->Add(RcvdLine_);
    RcvdHeaderBytes_ += RcvdLine_.size();
    std::string version = RcvdLine_.substr(0, 8);
    if (version == "HTTP/1.0" || version == "HTTP/1.1") {
      StatusCode_ = StrToIntValue(Copy(RcvdLine_, 10, 3));
      ReasonPhrase_ = CopyFrom(RcvdLine_, 14);
    } else {
      std::size_t p = RcvdLine_.find(':');
      if (p != std::string::npos) {
        std::string name = plat::LowerCase(RcvdLine_.substr(0, p));
        std::size_t v = p + 1;
        while (v < RcvdLine_.size() && (RcvdLine_[v] == ' ' || RcvdLine_[v] == '\t')) ++v;
        std::string value = RcvdLine_.substr(v);
        if (name == "location")
          ProcessLocation(value);
        else if (name == "content-length")
          ContentLength_ = StrToIntValue(value);
        else if (name == "content-type")
          ContentType_ = plat::LowerCase(value);
        else if (name == "www-authenticate")
          WWWAuthenticate_->Add(value);
      }
    }
    if (OnHeaderData) OnHeaderData(this);
    if (StatusCode_ >= 400) Socket_->Close();
    return;
  }

  if (LocationChangePending_) {
    DoHeaderEnd();
    RcvdBufferLen_ = 0;
    RcvdBuffer_[0] = 0;
    HeaderLineCount_ = 0;
    DocDataCount_ = 0;
    ++RedirectCount_;
    BindClosedToFinishRedirect();
    Socket_->Close();
    // A connection that was already gone reports no close: go on anyway.
    if (!RestartPending_ && !FinishPosted_ && State_ != httpIdle) FinishRedirect(this, 0);
    return;
  }

  std::string ext = DocName_;
  int dot = NthPos(".", ext, -1);
  if (dot > 0 && plat::LowerCase(ext.substr(static_cast<std::size_t>(dot - 1))) == ".exe" && ContentType_ == "text/html")
    ReplaceExt(DocName_, "htm");
  SetState(httpReadingBody);
  RcvdHandler_ = Handler::BodyData;
  DoHeaderEnd();
  if (RcvdBufferLen_ > 0) DeliverHeldBytesAsBody();
}

void THttpCli::ProcessLocation(const std::string& V) {
  if (V.empty()) return;  // nothing to go to: the response stands as it is
  if (RedirectCount_ >= MaxRedirects) return;
  LocationChangePending_ = true;
  if (!Proxy.empty()) {
    std::string proto, user, pass, host, port, path;
    ParseURL(V, proto, user, pass, host, port, path);
    if (proto.empty()) proto = "http";
    if (path.empty())
      Path_ = proto + "://" + HostName_ + "/" + host;
    else if (!host.empty())
      Path_ = V;
    else
      Path_ = proto + "://" + HostName_ + path;
  } else if (V[0] == '/') {
    Path_ = V;
  } else {
    std::string proto, user, pass, host, port, path;
    ParseURL(V, proto, user, pass, host, port, path);
    Path_ = path;
    ConnectHost_ = host;
    if (!port.empty()) ConnectPort_ = port;
    if (proto.empty()) proto = "http";
    if (path.empty()) {
      Path_ = proto + "://" + HostName_ + "/" + host;
      ConnectHost_ = HostName_;
    } else if (!host.empty()) {
      HostName_ = host;
    } else {
      Path_ = proto + "://" + HostName_ + path;
      ConnectHost_ = HostName_;
    }
  }
  Location_ = Path_;
}

void THttpCli::FinishRedirect(TObject*, std::uint16_t) {
  Connected_ = false;
  LocationChangePending_ = false;
  BindClosedToHandleClosed();
  RestartPending_ = true;
  // Queue the restart before the user's handler runs, so that whatever it
  // raises cannot leave the request waiting for nothing.
  plat::PostMessage(WindowHandle_, WM_HTTPCLI_RESTART, RequestSerial_, 0);
  if (OnLocationChange) OnLocationChange(this);
}

void THttpCli::ProcessBodyData() {
  if (DocDataCount_ == 0) DoDocBegin();
  ++DocDataCount_;
  int len = static_cast<int>(RcvdLine_.size());
  RcvdByteCount_ = static_cast<int>(std::min<long long>(INT_MAX, static_cast<long long>(RcvdByteCount_) + len));
  DoDocData(RcvdLine_.data(), len);
  if (RcvdStream) RcvdStream->WriteBuffer(RcvdLine_.data(), len);
}

void THttpCli::FailResponse(std::uint16_t Code, const std::string& Msg) {
  if (State_ == httpIdle || State_ == httpAborting) return;
  RequestDoneError_ = Code;
  ReasonPhrase_ = Msg;
  RestartPending_ = false;
  RcvdBufferLen_ = 0;  // nothing of a broken response is handled any further
  RcvdBuffer_[0] = 0;
  BindClosedToHandleClosed();
  if (Socket_->State() != wsClosed) {
    try {
      Socket_->Abort();
    } catch (...) {
    }
  }
  if (!FinishPosted_) HandleClosed(this, 0);
}

// ---- the events' virtual operations ------------------------------------------------

void THttpCli::DoSessionConnected() {
  if (OnSessionConnected) OnSessionConnected(this);
}
void THttpCli::DoRequestHeaderBegin() {
  if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
}
void THttpCli::DoRequestHeaderEnd() {
  if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
}
void THttpCli::DoHeaderBegin() {
  if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::DoHeaderEnd() {
  if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::DoDocBegin() {
  if (OnDocBegin) OnDocBegin(this);
}
void THttpCli::DoDocData(const void* Buffer, int Len) {
  if (OnDocData) OnDocData(this, Buffer, Len);
}
void THttpCli::DoDocEnd() {
  if (OnDocEnd) OnDocEnd(this);
}
void THttpCli::DoSendBegin() {
  if (OnSendBegin) OnSendBegin(this);
}
void THttpCli::DoSendData(const void* Buffer, int Len) {
  if (OnSendData) OnSendData(this, Buffer, Len);
}
void THttpCli::DoSendEnd() {
  if (OnSendEnd) OnSendEnd(this);
}

#include "httpclient/HttpProt.h"

#include <string>

using plat::TObject;

namespace {

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

// ---- THttpCli: construction ----------------------------------------------------

THttpCli::THttpCli(plat::TComponent* Owner) : plat::TComponent(Owner) {
  if (!plat::IsClassRegistered(kClassName)) plat::RegisterClass(kClassName, HttpCliWindowProc);
  WindowHandle_ = plat::CreateWindow(kClassName);
  plat::SetWindowLongPtr(WindowHandle_, 0, reinterpret_cast<plat::LONG_PTR>(this));
  Socket_ = new TWSocket(this);
  ProxyPort = "80";
  ContentTypePost = "application/x-www-form-urlencoded";
  Response_ = std::make_unique<THttpResponseParser>(static_cast<IHttpResponseEvents&>(*this));
  BindClosedToHandleClosed();
  Socket_->OnDataAvailable = [this](TObject* s, std::uint16_t e) { HandleDataAvailable(s, e); };
  Socket_->OnSessionConnected = [this](TObject* s, std::uint16_t e) { HandleConnected(s, e); };
  Socket_->OnDataSent = [this](TObject* s, std::uint16_t e) { HandleDataSent(s, e); };
  Socket_->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { HandleLookupDone(s, e); };
  RequestBuffer_ = new plat::TMemoryStream;
  State_ = httpIdle;
}

THttpCli::~THttpCli() {
  plat::FreeAndNil(Socket_);
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
  // Received bytes are header or body only in the states made for them.
  Response_->SetReading(NewState == httpReadingHeader ? THttpResponseParser::TReading::Header
                        : NewState == httpReadingBody ? THttpResponseParser::TReading::Body
                                                      : THttpResponseParser::TReading::None);
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
    Response_->StatusCode = 404;
    Response_->ReasonPhrase = e.what();
    RequestDoneError_ = httperrBadResponse;
    HandleClosed(this, 0);
  }
}

// ---- starting ------------------------------------------------------------------

void THttpCli::StartRequest(THttpRequest RqType) {
  if (State_ != httpIdle) throw EHttpException("HTTP component is busy", httperrBusy);
  if (RqType == httpPost && !SendStream) throw EHttpException("HTTP component has nothing to post", httperrNothingToPost);

  Response_->ClearHeader();
  RequestType_ = RqType;
  RequestDoneError_ = 0;
  BindClosedToHandleClosed();
  ++RequestSerial_;
  FinishPosted_ = false;
  RestartPending_ = false;
  RedirectCount_ = 0;

  SetState(httpStarting);

  DocName_.clear();
  Response_->NewRequest();
  SentByteCount_ = 0;
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

void THttpCli::HandleLookupDone(TObject* Source, std::uint16_t Error) {
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
      Response_->StatusCode = 404;
      Response_->ReasonPhrase = "can't connect: " + WinsockErrorText(code) + " (Error #" + plat::IntToStr(code) + ")";
      Socket_->Close();
      HandleClosed(Source, static_cast<std::uint16_t>(code));
    }
    return;
  }
  if (State_ == httpAborting) return;  // the abort reports itself
  if (State_ != httpDnsLookup) return;
  RequestDoneError_ = Error;
  Response_->StatusCode = 404;
  Response_->ReasonPhrase = "can't resolve hostname to IP address";
  HandleClosed(Source, Error);
}

void THttpCli::HandleConnected(TObject* Source, std::uint16_t Error) {
  if (State_ != httpConnecting) return;
  if (Error != 0) {
    RequestDoneError_ = Error;
    Response_->StatusCode = 404;
    Response_->ReasonPhrase = WinsockErrorText(Error) + " (Error #" + plat::IntToStr(Error) + ")";
    HandleClosed(Source, Error);
    return;
  }
  Connected_ = true;
  SetState(httpConnected);
  DoSessionConnected();
  if (State_ != httpConnected) return;  // the handler aborted the request
  // Each connection starts with an empty receive buffer: bytes left over
  // from an earlier response must not run into this one.
  Response_->StartResponse();
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
  // A response ends only here. Bytes still held are a line the server never
  // ended: they stay unhandled. The end is posted after OnDocEnd, and posted
  // whatever that raises.
  if (Response_->DocDataCount > 0) {
    try {
      DoDocEnd();
    } catch (...) {
      FinishRequest();
      throw;
    }
  }
  FinishRequest();
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
  Response_->StatusCode = 404;
  Response_->ReasonPhrase = "Connection aborted on request";
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

// ---- the response: reading, and what the parser reports ----------------------------------

void THttpCli::HandleDataAvailable(TObject*, std::uint16_t Error) {
  try {
    int room = 0;
    char* space = Response_->ReadSpace(room);
    int n = Socket_->Receive(space, room);
    if (RequestType_ == httpNoRequest || n <= 0) return;
    DataError_ = Error;
    Response_->Received(n);
  } catch (const EHttpException& e) {
    FailResponse(e.ErrorCode, e.Message);
  } catch (const std::exception& e) {
    FailResponse(httperrBadResponse, e.what());
  }
}

void THttpCli::ResponseHeaderBegin() { DoHeaderBegin(); }

void THttpCli::ResponseHeaderLine() {
  if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::ResponseErrorStatus() { Socket_->Close(); }

void THttpCli::ResponseHeaderEnd(bool Headerless) {
  if (!Headerless) {
    int dot = NthPos(".", DocName_, -1);
    if (dot > 0 && plat::LowerCase(DocName_.substr(static_cast<std::size_t>(dot - 1))) == ".exe" &&
        Response_->ContentType == "text/html")
      ReplaceExt(DocName_, "htm");
  }
  SetState(httpReadingBody);
  DoHeaderEnd();
}

void THttpCli::ResponseRedirect() {
  DoHeaderEnd();
  ++RedirectCount_;
  BindClosedToFinishRedirect();
  Socket_->Close();
  // A connection that was already gone reports no close: go on anyway.
  if (!RestartPending_ && !FinishPosted_ && State_ != httpIdle) FinishRedirect(this, 0);
}

void THttpCli::ResponseDocBegin() { DoDocBegin(); }

void THttpCli::ResponseDocData(const char* Data, int Len) {
  DoDocData(Data, Len);
  if (RcvdStream) RcvdStream->WriteBuffer(Data, Len);
}

void THttpCli::ResponseStrayLine() {
  if (OnDataAvailable) OnDataAvailable(this, DataError_);
}

bool THttpCli::ResponseLocation(const std::string& V) {
  if (V.empty()) return false;  // nothing to go to: the response stands as it is
  if (RedirectCount_ >= MaxRedirects) return false;
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
  return true;
}

void THttpCli::FinishRedirect(TObject*, std::uint16_t) {
  Connected_ = false;
  Response_->LocationChangePending = false;
  BindClosedToHandleClosed();
  RestartPending_ = true;
  // Queue the restart before the user's handler runs, so that whatever it
  // raises cannot leave the request waiting for nothing.
  plat::PostMessage(WindowHandle_, WM_HTTPCLI_RESTART, RequestSerial_, 0);
  if (OnLocationChange) OnLocationChange(this);
}

void THttpCli::FailResponse(std::uint16_t Code, const std::string& Msg) {
  if (State_ == httpIdle || State_ == httpAborting) return;
  RequestDoneError_ = Code;
  Response_->ReasonPhrase = Msg;
  RestartPending_ = false;
  Response_->Discard();  // nothing of a broken response is handled any further
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

// HTTP/1.0 client component: one request at a time over one owned socket,
// every step asynchronous and reported through events from the message
// loop; plus the URL splitter, the HTTP date, Base64 and two small string
// helpers it uses.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "httpclient/HttpResponseParser.h"
#include "httpclient/WSocket.h"
#include "platform/classes/classes.h"
#include "platform/messaging/messaging.h"

// Days since 1899-12-30, time of day as the fraction.
using TDateTime = double;

enum THttpRequest : std::uint8_t { httpNoRequest, httpGet, httpPost, httpHead };

enum THttpState : std::uint8_t {
  httpIdle,
  httpStarting,
  httpConnected,
  httpDnsLookup,
  httpConnecting,
  httpReadingHeader,
  httpReadingBody,
  httpAborting
};

using TOnCommand = std::function<void(plat::TObject* Sender, const std::string& S)>;
using TDocDataEvent = std::function<void(plat::TObject* Sender, const void* Buffer, int Len)>;
using THttpRequestDone = std::function<void(plat::TObject* Sender, THttpRequest RqType, std::uint16_t Error)>;
using THttpDataAvailable = std::function<void(plat::TObject* Sender, std::uint16_t Error)>;

constexpr plat::UINT WM_HTTPCLI_DONE = plat::WM_USER + 1;
constexpr plat::UINT WM_HTTPCLI_IDLE = plat::WM_USER + 2;
constexpr plat::UINT WM_HTTPCLI_RESTART = plat::WM_USER + 3;

class THttpCli : public plat::TComponent, private IHttpResponseEvents {
 public:
  explicit THttpCli(plat::TComponent* Owner);
  ~THttpCli() override;

  // Published request settings.
  std::string URL;
  std::string Proxy;           // host[:port]; empty = direct
  std::string ProxyPort;       // used when Proxy names no port
  std::string Sender;          // "From: "
  std::string Agent;           // "User-Agent: "
  std::string Reference;       // "Referer: "
  std::string Username;
  std::string Password;
  std::string ProxyUsername;
  std::string ProxyPassword;
  bool NoCache = false;
  TDateTime ModifiedSince = 0;
  // Written as given; CR LF "Cookie: " inside it starts a further cookie line.
  std::string Cookie;
  std::string ContentTypePost;
  bool MultiThreaded() const { return MultiThreaded_; }
  void SetMultiThreaded(bool Value);

  // The caller's streams; never created or freed here.
  plat::TStream* RcvdStream = nullptr;
  plat::TStream* SendStream = nullptr;

  TNotifyEvent OnTrace;  // never fired
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnHeaderData;
  TOnCommand OnCommand;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnRequestHeaderBegin;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnSendBegin;
  TDocDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TNotifyEvent OnStateChange;
  // The client may be freed inside this handler.
  THttpRequestDone OnRequestDone;
  TNotifyEvent OnLocationChange;
  THttpDataAvailable OnDataAvailable;

  // Starting and stopping.
  void StartGet() { StartRequest(httpGet); }
  void StartPost() { StartRequest(httpPost); }
  void StartHead() { StartRequest(httpHead); }
  void StartRequest(THttpRequest RqType);
  void Abort();

  // What the events read.
  THttpState State() const { return State_; }
  THttpRequest RequestType() const { return RequestType_; }
  int StatusCode() const { return Response_->StatusCode; }
  const std::string& ReasonPhrase() const { return Response_->ReasonPhrase; }
  plat::TStringList* RcvdHeader() const { return &Response_->RcvdHeader; }
  const std::string& RcvdLine() const { return Response_->RcvdLine; }
  const std::string& ConnectHost() const { return ConnectHost_; }
  const std::string& HostName() const { return HostName_; }
  const std::string& ConnectPort() const { return ConnectPort_; }
  const std::string& Path() const { return Path_; }
  const std::string& Location() const { return Location_; }
  const std::string& DocName() const { return DocName_; }
  int ContentLength() const { return Response_->ContentLength; }
  const std::string& ContentType() const { return Response_->ContentType; }
  plat::TStringList* WWWAuthenticate() const { return &Response_->WWWAuthenticate; }
  int RcvdByteCount() const { return Response_->RcvdByteCount; }
  int SentByteCount() const { return SentByteCount_; }
  bool Connected() const { return Connected_; }
  TWSocket* Socket() const { return Socket_; }
  plat::HWND WindowHandle() const { return WindowHandle_; }

  // Longest redirect chain followed; the response after it is taken as it is.
  static constexpr int MaxRedirects = 20;
  // Bounds of the received header of one request (all its responses).
  static constexpr int MaxHeaderLines = THttpResponseParser::MaxHeaderLines;
  static constexpr std::size_t MaxHeaderBytes = THttpResponseParser::MaxHeaderBytes;

  // The window procedure's dispatch.
  plat::LRESULT WndProc(plat::UINT Msg, plat::WPARAM wParam, plat::LPARAM lParam);

 protected:
  virtual void WriteCommand(const std::string& S);
  virtual void StartDnsLookup();
  virtual void CloseSocket();
  virtual void DoSessionConnected();
  virtual void DoRequestHeaderBegin();
  virtual void DoRequestHeaderEnd();
  virtual void DoHeaderBegin();
  virtual void DoHeaderEnd();
  virtual void DoDocBegin();
  virtual void DoDocData(const void* Buffer, int Len);
  virtual void DoDocEnd();
  virtual void DoSendBegin();
  virtual void DoSendData(const void* Buffer, int Len);
  virtual void DoSendEnd();

 private:
  void SetState(THttpState NewState);
  void DoStateChange();
  void FinishRequest();
  void PostRequestDone();
  void WriteRequest(const std::string& Method, const std::string& Version);

  void HandleLookupDone(plat::TObject* Sender, std::uint16_t Error);
  void HandleConnected(plat::TObject* Sender, std::uint16_t Error);
  void HandleClosed(plat::TObject* Sender, std::uint16_t Error);
  void HandleDataSent(plat::TObject* Sender, std::uint16_t Error);
  void HandleDataAvailable(plat::TObject* Sender, std::uint16_t Error);
  void FinishRedirect(plat::TObject* Sender, std::uint16_t Error);
  void BindClosedToHandleClosed();
  void BindClosedToFinishRedirect();

  void HandleDoneMessage();
  void HandleIdleMessage();
  void HandleRestartMessage();

  // What the response parser reports.
  void ResponseHeaderBegin() override;
  bool ResponseLocation(const std::string& Value) override;
  void ResponseHeaderLine() override;
  void ResponseErrorStatus() override;
  void ResponseHeaderEnd(bool Headerless) override;
  void ResponseRedirect() override;
  void ResponseDocBegin() override;
  void ResponseDocData(const char* Data, int Len) override;
  void ResponseStrayLine() override;
  void FailResponse(std::uint16_t Code, const std::string& Msg);

  TWSocket* Socket_ = nullptr;
  plat::HWND WindowHandle_ = 0;
  bool MultiThreaded_ = false;
  THttpState State_ = httpIdle;
  std::string ConnectHost_;
  std::string HostName_;
  std::string ConnectPort_;
  std::string Location_;
  bool Connected_ = false;
  char SendBuffer_[8193] = {};
  THttpRequest RequestType_ = httpNoRequest;
  // The response side: status, header lines, body counters.
  std::unique_ptr<THttpResponseParser> Response_;
  std::uint16_t DataError_ = 0;  // Error of the socket event being handled
  bool SendingBody_ = false;
  std::string Path_;
  std::string DocName_;
  int SentByteCount_ = 0;
  plat::TMemoryStream* RequestBuffer_ = nullptr;
  std::uint16_t RequestDoneError_ = 0;
  int RedirectCount_ = 0;
  bool RestartPending_ = false;
  bool FinishPosted_ = false;  // the end of the current request is posted
  // Tags the posted idle and restart messages with the request they belong to.
  plat::WPARAM RequestSerial_ = 0;
};

// Splits a URL into its parts; every output is set (empty when absent).
void ParseURL(const std::string& URL, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path);
// "Sun, 06 Nov 1994 08:49:37" (no zone; the caller appends " GMT").
// Raises ERangeError for dates before 1900-01-01.
std::string FormatHttpDate(TDateTime Value);
std::string Base64Encode(const std::string& S);
// Mode 1 and 2: Base64; mode 0: the line encoding with its length character.
std::string EncodeBytes(std::uint8_t Mode, const void* Data, int Len);
// Position (1-based) of the N-th occurrence of Sub in S; N = -1: the last.
int NthPos(const std::string& Sub, const std::string& S, int N);
void ReplaceExt(std::string& Name, const std::string& Ext);

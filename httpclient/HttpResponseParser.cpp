#include "httpclient/HttpResponseParser.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// The header is read in small steps (a line may still grow to the whole
// buffer over several reads), so that only a header-sized part of a
// client's buffer is ever touched.
constexpr int kHeaderReadStep = 2048;

// 1-based substring that never fails: what lies outside S is simply absent.
std::string Copy(const std::string& S, int Index, int Count) {
  if (Index < 1) Index = 1;
  if (Count <= 0 || Index > static_cast<int>(S.size())) return {};
  return S.substr(static_cast<std::size_t>(Index - 1), static_cast<std::size_t>(Count));
}

std::string CopyFrom(const std::string& S, int Index) { return Copy(S, Index, INT_MAX); }

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

// Line starts with Prefix (given in lower case), ASCII case ignored. Once
// per header line, so it compares in place instead of making lower-cased
// copies.
template <std::size_t N>
bool StartsNoCase(const std::string& Line, const char (&Prefix)[N]) {
  if (Line.size() < N - 1) return false;
  for (std::size_t i = 0; i + 1 < N; ++i) {
    char c = Line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != Prefix[i]) return false;
  }
  return true;
}

// Body bytes are handed on at once, so they are read into one buffer shared
// by every parser of the thread: with thousands of clients in flight no
// client keeps body-sized buffers of its own.
char* SharedBodyBuffer() {
  thread_local char buffer[THttpResponseParser::MaxLineLength + 1];
  return buffer;
}

}  // namespace

THttpResponseParser::THttpResponseParser(IHttpResponseEvents& Events) : Events_(Events) {}

void THttpResponseParser::StartResponse() {
  Handler_ = THandler::HeaderLine;
  Reading_ = TReading::Header;
  Discard();
}

void THttpResponseParser::ClearHeader() {
  RcvdHeader.Clear();
  HeaderBytes_ = 0;
}

void THttpResponseParser::NewRequest() {
  StatusCode = 0;
  ContentLength = -1;
  HeaderLineCount = 0;
  DocDataCount = 0;
  RcvdByteCount = 0;
  LocationChangePending = false;
}

void THttpResponseParser::Discard() {
  HeldStart_ = 0;
  HeldLen_ = 0;
  Scanned_ = 0;
}

char* THttpResponseParser::ReadSpace(int& Room) {
  DirectRead_ = Reading_ == TReading::Body && HeldLen_ == 0 && Handler_ == THandler::BodyData;
  if (DirectRead_) {
    Room = MaxLineLength;
    return SharedBodyBuffer();
  }
  if (HeldStart_ > 0) {
    std::memmove(Buffer_, Buffer_ + HeldStart_, static_cast<std::size_t>(HeldLen_));
    HeldStart_ = 0;
  }
  Room = std::min(MaxLineLength - HeldLen_, kHeaderReadStep);
  if (Room <= 0) throw EHttpException("HTTP line too long", httperrLineTooLong);
  return Buffer_ + HeldLen_;
}

void THttpResponseParser::Received(int n) {
  if (n <= 0) return;
  if (DirectRead_) {
    DirectRead_ = false;
    RcvdLine.assign(SharedBodyBuffer(), static_cast<std::size_t>(n));
    DeliverChunk();
    if (RcvdLine.capacity() > 4096) std::string().swap(RcvdLine);
    return;
  }
  HeldLen_ += n;
  if (Reading_ == TReading::Body) {
    DeliverHeldAsBody();
    return;
  }
  HandleHeldLines();
}

void THttpResponseParser::HandleHeldLines() {
  while (HeldLen_ > 0) {
    const char* held = Buffer_ + HeldStart_;
    // A line ends at its LF, searched only up to the first zero byte.
    const char* from = held + Scanned_;
    std::size_t span = static_cast<std::size_t>(HeldLen_ - Scanned_);
    const char* lfAt = static_cast<const char*>(std::memchr(from, '\n', span));
    const char* nulAt = static_cast<const char*>(
        std::memchr(from, 0, lfAt ? static_cast<std::size_t>(lfAt - from) : span));
    bool nul = nulAt != nullptr;
    int lf = lfAt && !nul ? static_cast<int>(lfAt - held) : -1;
    if (lf < 0) {
      if (!nul) Scanned_ = HeldLen_;
      // A header line that can no longer end (a zero byte before its LF, or
      // a full buffer) fails now rather than at some later read.
      if (Reading_ == TReading::Header && (nul || HeldLen_ >= MaxLineLength))
        throw EHttpException("HTTP line too long", httperrLineTooLong);
      return;
    }
    LineEndedByCrLf_ = lf > 0 && held[lf - 1] == '\r';
    RcvdLine.assign(held, static_cast<std::size_t>(LineEndedByCrLf_ ? lf - 1 : lf));
    HeldStart_ += lf + 1;
    HeldLen_ -= lf + 1;
    Scanned_ = 0;
    if (HeldLen_ == 0) HeldStart_ = 0;
    if (Reading_ != TReading::None)
      HandleLine();
    else
      Events_.ResponseStrayLine();
    // After a header-less response's first line the rest is body as it came.
    if (Reading_ == TReading::Body && HeldLen_ > 0) {
      DeliverHeldAsBody();
      return;
    }
  }
}

void THttpResponseParser::HandleLine() {
  if (Handler_ == THandler::HeaderLine)
    ProcessHeaderLine();
  else
    DeliverChunk();
}

void THttpResponseParser::ProcessHeaderLine() {
  if (HeaderLineCount == 0) Events_.ResponseHeaderBegin();
  ++HeaderLineCount;

  if (StartsNoCase(RcvdLine, "<html>")) {
    // No header at all: the response is body from its first byte on, line
    // end included.
    if (ContentType.empty()) ContentType = "text/html";
    Reading_ = TReading::Body;
    Handler_ = THandler::BodyData;
    Events_.ResponseHeaderEnd(true);
    RcvdLine += LineEndedByCrLf_ ? "\r\n" : "\n";
    DeliverChunk();
    return;
  }

  if (!RcvdLine.empty()) {
    if (RcvdHeader.Count() >= MaxHeaderLines || HeaderBytes_ + RcvdLine.size() > MaxHeaderBytes)
      throw EHttpException("HTTP header too long", httperrHeaderTooLong);
    RcvdHeader.Add(RcvdLine);
    HeaderBytes_ += RcvdLine.size();
    TakeHeaderField();
    Events_.ResponseHeaderLine();
    if (StatusCode >= 400) Events_.ResponseErrorStatus();
    return;
  }

  if (LocationChangePending) {
    // Whatever the redirect sent after its header is not looked at.
    Discard();
    HeaderLineCount = 0;
    DocDataCount = 0;
    Events_.ResponseRedirect();
    return;
  }
  EndHeader();
}

void THttpResponseParser::TakeHeaderField() {
  if (RcvdLine.size() >= 8 && RcvdLine[0] == 'H' &&
      (RcvdLine.compare(0, 8, "HTTP/1.0") == 0 || RcvdLine.compare(0, 8, "HTTP/1.1") == 0)) {
    StatusCode = StrToIntValue(Copy(RcvdLine, 10, 3));
    ReasonPhrase = CopyFrom(RcvdLine, 14);
    return;
  }
  std::size_t p = RcvdLine.find(':');
  if (p == std::string::npos) return;
  // The names the client uses differ in length: that picks the one to compare.
  enum { kOther, kLocation, kContentLength, kContentType, kWWWAuthenticate } field = kOther;
  switch (p) {
    case 8: field = StartsNoCase(RcvdLine, "location") ? kLocation : kOther; break;
    case 14: field = StartsNoCase(RcvdLine, "content-length") ? kContentLength : kOther; break;
    case 12: field = StartsNoCase(RcvdLine, "content-type") ? kContentType : kOther; break;
    case 16: field = StartsNoCase(RcvdLine, "www-authenticate") ? kWWWAuthenticate : kOther; break;
    default: break;
  }
  if (field == kOther) return;
  std::size_t v = p + 1;
  while (v < RcvdLine.size() && (RcvdLine[v] == ' ' || RcvdLine[v] == '\t')) ++v;
  std::string value = RcvdLine.substr(v);
  switch (field) {
    case kLocation:
      if (Events_.ResponseLocation(value)) LocationChangePending = true;
      break;
    case kContentLength: ContentLength = StrToIntValue(value); break;
    case kContentType: ContentType = plat::LowerCase(value); break;
    case kWWWAuthenticate: WWWAuthenticate.Add(value); break;
    default: break;
  }
}

void THttpResponseParser::EndHeader() {
  Reading_ = TReading::Body;
  Handler_ = THandler::BodyData;
  Events_.ResponseHeaderEnd(false);
  if (HeldLen_ > 0) DeliverHeldAsBody();
}

void THttpResponseParser::DeliverHeldAsBody() {
  RcvdLine.assign(Buffer_ + HeldStart_, static_cast<std::size_t>(HeldLen_));
  Discard();
  HandleLine();
}

void THttpResponseParser::DeliverChunk() {
  if (DocDataCount == 0) Events_.ResponseDocBegin();
  ++DocDataCount;
  int len = static_cast<int>(RcvdLine.size());
  RcvdByteCount = static_cast<int>(std::min<long long>(INT_MAX, static_cast<long long>(RcvdByteCount) + len));
  Events_.ResponseDocData(RcvdLine.data(), len);
}

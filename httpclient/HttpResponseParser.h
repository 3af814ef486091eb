// The response side of the HTTP client as a class over bytes: it cuts what
// the connection delivers into header lines, reads the status line and the
// header fields the client uses, recognises a response without header, and
// hands body bytes on as chunks until the connection ends. It has no socket
// and no message queue: THttpCli feeds it and turns what it reports into
// its events, and a fuzz target drives it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/classes/classes.h"

class EHttpException : public plat::Exception {
 public:
  EHttpException(const std::string& Msg, std::uint16_t Code) : plat::Exception(Msg), ErrorCode(Code) {}
  std::uint16_t ErrorCode;
};

// Error codes of EHttpException; also the Error of OnRequestDone when a
// response could not be handled.
enum : std::uint16_t {
  httperrBusy = 1,
  httperrNothingToPost = 2,
  httperrAborted = 3,
  httperrLineTooLong = 4,
  httperrHeaderTooLong = 5,
  httperrBadResponse = 6,
};

// What the parser reports, in the order the response shows it. A handler
// may raise; the exception leaves the parser's call.
class IHttpResponseEvents {
 public:
  virtual ~IHttpResponseEvents() = default;
  // Before the first line of a response is handled.
  virtual void ResponseHeaderBegin() = 0;
  // A "location" header with its value; true when it is followed, which
  // makes the end of this header the end of a redirect.
  virtual bool ResponseLocation(const std::string& Value) = 0;
  // A non-empty header line (the status line too), in RcvdLine.
  virtual void ResponseHeaderLine() = 0;
  // The line just reported carried a status of 400 or more: the client
  // ends the connection. Lines already received are still handled.
  virtual void ResponseErrorStatus() = 0;
  // The header has ended and body bytes follow; Headerless when the
  // response had no header at all (its first line is already body).
  virtual void ResponseHeaderEnd(bool Headerless) = 0;
  // The header of a followed redirect has ended; the rest of this response
  // has been dropped and the next one starts with StartResponse.
  virtual void ResponseRedirect() = 0;
  // Before the first body chunk of the request.
  virtual void ResponseDocBegin() = 0;
  // A body chunk; Data[Len] is a zero byte.
  virtual void ResponseDocData(const char* Data, int Len) = 0;
  // A whole line received while the client reads no response.
  virtual void ResponseStrayLine() = 0;
};

class THttpResponseParser {
 public:
  explicit THttpResponseParser(IHttpResponseEvents& Events);
  THttpResponseParser(const THttpResponseParser&) = delete;
  THttpResponseParser& operator=(const THttpResponseParser&) = delete;

  // Longest line the buffer holds; a header line that cannot end within it
  // fails with "HTTP line too long".
  static constexpr int MaxLineLength = 8192;
  // Bounds of the header of one request (all its responses).
  static constexpr int MaxHeaderLines = 2000;
  static constexpr std::size_t MaxHeaderBytes = 1024 * 1024;

  // What the client is doing with received bytes: reading a response's
  // header, its body, or neither (lines are then stray).
  enum class TReading { None, Header, Body };
  void SetReading(TReading Value) { Reading_ = Value; }
  TReading Reading() const { return Reading_; }

  // A new connection: an empty buffer, lines go to the header again.
  void StartResponse();
  // Forgets the lines of earlier responses (a new request).
  void ClearHeader();
  // Forgets the status, length, counters and followed redirect of the last
  // request, for a new one.
  void NewRequest();
  // Drops every held byte (a broken response is handled no further).
  void Discard();
  // Bytes held back, waiting for the end of their line.
  int HeldCount() const { return HeldLen_; }

  // Reading from a connection without copying: ReadSpace gives where the
  // next read goes and how much it may take (raises "HTTP line too long"
  // when a held line has filled the buffer); Received then handles the n
  // bytes that the read put there. Body bytes are read into a buffer shared
  // by every parser of the thread, so a client holds no body-sized buffer.
  char* ReadSpace(int& Room);
  void Received(int n);

  // What the response has shown so far. NewRequest resets the numbers; the
  // client sets the status and reason itself for its own failures.
  int StatusCode = 0;
  std::string ReasonPhrase;
  int ContentLength = -1;
  std::string ContentType;
  plat::TStringList RcvdHeader;       // every non-empty line of the request
  plat::TStringList WWWAuthenticate;  // only ever added to
  std::string RcvdLine;               // the current header line or body chunk
  int HeaderLineCount = 0;            // lines of the current response
  int DocDataCount = 0;               // body chunks of the request
  int RcvdByteCount = 0;
  bool LocationChangePending = false;

 private:
  enum class THandler { HeaderLine, BodyData };

  void HandleHeldLines();
  void HandleLine();
  void ProcessHeaderLine();
  void TakeHeaderField();
  void EndHeader();
  void DeliverHeldAsBody();
  void DeliverChunk();

  IHttpResponseEvents& Events_;
  TReading Reading_ = TReading::None;
  THandler Handler_ = THandler::HeaderLine;
  bool LineEndedByCrLf_ = false;  // the last line cut from the buffer
  std::size_t HeaderBytes_ = 0;
  bool DirectRead_ = false;  // the last space handed out was the shared one
  // Held bytes are Buffer_[HeldStart_, HeldStart_ + HeldLen_); the first
  // Scanned_ of them are known to hold no line feed and no zero byte.
  int HeldStart_ = 0;
  int HeldLen_ = 0;
  int Scanned_ = 0;
  char Buffer_[MaxLineLength + 1] = {};
};

// The response parser over bytes: whatever sizes the reads have, a
// response gives the same lines, fields, events and body bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "httpclient/HttpResponseParser.h"

using namespace std::string_literals;

namespace {

// Records what the parser reports as one text; body chunks are joined,
// since their cut follows the reads. A followed redirect ends the reading,
// as its connection closes.
class Recorder final : public IHttpResponseEvents {
 public:
  THttpResponseParser parser{*this};
  std::string trace;
  std::string body;
  bool redirected = false;

  void ResponseHeaderBegin() override { trace += "[begin]"; }
  bool ResponseLocation(const std::string& value) override {
    trace += "[location " + value + "]";
    return true;
  }
  void ResponseHeaderLine() override { trace += "[line " + parser.RcvdLine + "]"; }
  void ResponseErrorStatus() override { trace += "[error status]"; }
  void ResponseHeaderEnd(bool headerless) override { trace += headerless ? "[end, no header]" : "[end]"; }
  void ResponseRedirect() override {
    trace += "[redirect]";
    redirected = true;
  }
  void ResponseDocBegin() override { trace += "[doc]"; }
  void ResponseDocData(const char* data, int len) override {
    EXPECT_EQ(data[len], '\0');
    body.append(data, static_cast<std::size_t>(len));
  }
  void ResponseStrayLine() override { trace += "[stray]"; }

  // Hands the bytes over in reads of at most readSize, as a connection
  // would, until a redirect ends the reading.
  void Feed(const std::string& bytes, std::size_t readSize) {
    std::size_t off = 0;
    while (off < bytes.size() && !redirected) {
      int room = 0;
      char* space = parser.ReadSpace(room);
      std::size_t n = std::min({readSize, bytes.size() - off, static_cast<std::size_t>(room)});
      std::memcpy(space, bytes.data() + off, n);
      off += n;
      parser.Received(static_cast<int>(n));
    }
  }

  // A response fed in reads of at most readSize; the result as one text.
  std::string Run(const std::string& bytes, std::size_t readSize) {
    parser.StartResponse();
    try {
      Feed(bytes, readSize);
    } catch (const std::exception& e) {
      // What the failing read brought along is not looked at.
      trace += std::string("[failed: ") + e.what() + "]";
      parser.Discard();
    }
    return trace + " status=" + std::to_string(parser.StatusCode) + " reason=" + parser.ReasonPhrase +
           " type=" + parser.ContentType + " length=" + std::to_string(parser.ContentLength) +
           " headers=" + std::to_string(parser.RcvdHeader.Count()) + " held=" + std::to_string(parser.HeldCount()) +
           " bytes=" + std::to_string(parser.RcvdByteCount) + " body=" + body;
  }
};

TEST(HttpResponseParser, ResultsDoNotDependOnHowTheBytesAreSplit) {
  const std::string longLine(THttpResponseParser::MaxLineLength - 1, 'x');
  const std::string tooLong(THttpResponseParser::MaxLineLength, 'y');
  const std::string cases[] = {
      "HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\nContent-Length: 4\r\n\r\nbody\r\nmore",
      "HTTP/1.1 301 Moved\nLocation: /next\n\nredirect body, never read",
      "HTTP/1.1 404 Not Found\r\nX: y\r\n\r\nerror page",
      "<HtMl>\r\n<body>\nline\r\n</body></html>",
      "HTTP/1.0 200 OK\r\n" + longLine + "\r\n\r\nafter a long line",
      "HTTP/1.0 200 OK\r\n" + tooLong + "\r\n\r\nnever",
      "HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\nnever"s,
      "HTTP/1.0 200 OK\r\nX: held at the end",
      "HTTP/1.0 200 OK\r\n\r\n\0\r\n\0binary"s,
  };
  for (const std::string& response : cases) {
    const std::string whole = Recorder().Run(response, response.size());
    for (std::size_t readSize : {1, 2, 3, 5, 7, 64, 2047}) {
      EXPECT_EQ(Recorder().Run(response, readSize), whole) << "read size " << readSize << "\n" << response;
    }
  }
  // What those results are, for three of them.
  EXPECT_EQ(Recorder().Run(cases[0], 1),
            "[begin][line HTTP/1.0 200 OK][line Content-Type: Text/HTML][line Content-Length: 4][end][doc]"
            " status=200 reason=OK type=text/html length=4 headers=3 held=0 bytes=10 body=body\r\nmore");
  EXPECT_EQ(Recorder().Run(cases[1], 1),
            "[begin][line HTTP/1.1 301 Moved][location /next][line Location: /next][redirect]"
            " status=301 reason=Moved type= length=-1 headers=2 held=0 bytes=0 body=");
  EXPECT_EQ(Recorder().Run(cases[7], 3),
            "[begin][line HTTP/1.0 200 OK] status=200 reason=OK type= length=-1 headers=1 held=18 bytes=0 body=");
}

TEST(HttpResponseParser, LinesWhileNotReadingAreStray) {
  Recorder r;
  r.parser.StartResponse();
  r.parser.SetReading(THttpResponseParser::TReading::None);
  const std::string bytes = "HTTP/1.0 200 OK\r\npartial";
  r.Feed(bytes, bytes.size());
  EXPECT_EQ(r.trace, "[stray]");
  EXPECT_EQ(r.parser.RcvdLine, "HTTP/1.0 200 OK");
  EXPECT_EQ(r.parser.RcvdHeader.Count(), 0);
  EXPECT_EQ(r.parser.HeldCount(), 7);
}

}  // namespace

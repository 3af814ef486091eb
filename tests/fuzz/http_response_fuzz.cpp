// Fuzz target for the HTTP client's response parser: the input is cut into
// reads of varying sizes and fed to a parser that answers the way the client
// does (a status of 400 or more ends the connection, a followed redirect
// starts a new response). Built as a libFuzzer target with clang
// (SITETOOLS_FUZZ) and, everywhere, as a replay of the seed corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "httpclient/HttpProt.h"
#include "httpclient/HttpResponseParser.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class Client final : public IHttpResponseEvents {
 public:
  THttpResponseParser parser{*this};
  std::string delivered;
  bool closed = false;       // the client ended the connection
  bool restartNext = false;  // a redirect ended: the next read is a new response

  // What the client resets for a new request. One client serves every
  // input, as one THttpCli serves request after request.
  void StartRequest(bool followRedirects) {
    follow_ = followRedirects;
    inBody_ = false;
    closed = false;
    restartNext = false;
    parser.NewRequest();
    parser.StartResponse();
  }
  // Gives back what the input took (the lists keep their room), so that no
  // input looks like a leak to the fuzzer.
  void EndRequest() {
    parser.ClearHeader();
    parser.WWWAuthenticate.Clear();
    for (std::string* s : {&delivered, &parser.RcvdLine, &parser.ReasonPhrase, &parser.ContentType})
      std::string().swap(*s);
  }

  void ResponseHeaderBegin() override { Check(!inBody_); }
  bool ResponseLocation(const std::string& value) override {
    if (!follow_ || value.empty()) return false;
    // The client splits the target it follows.
    if (!parser.LocationChangePending) {
      std::string proto, user, pass, host, port, path;
      ParseURL(value, proto, user, pass, host, port, path);
    }
    return true;
  }
  void ResponseHeaderLine() override {
    const std::string& line = parser.RcvdLine;
    Check(!line.empty());
    Check(std::memchr(line.data(), '\n', line.size()) == nullptr);
    Check(std::memchr(line.data(), 0, line.size()) == nullptr);
  }
  void ResponseErrorStatus() override {
    Check(parser.StatusCode >= 400);
    closed = true;
  }
  void ResponseHeaderEnd(bool) override {
    Check(parser.Reading() == THttpResponseParser::TReading::Body);
    inBody_ = true;
  }
  void ResponseRedirect() override {
    Check(parser.HeldCount() == 0);
    closed = true;
    restartNext = true;
  }
  void ResponseDocBegin() override { Check(delivered.empty()); }
  void ResponseDocData(const char* data, int len) override {
    Check(len >= 0);
    Check(data[len] == '\0');
    delivered.append(data, static_cast<std::size_t>(len));
  }
  void ResponseStrayLine() override { Check(false); }

 private:
  bool follow_ = true;
  bool inBody_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: the low seven bits seed the sizes of the reads, bit 7
  // says whether redirects are followed.
  const std::uint8_t control = data[0];
  ++data;
  --size;
  static const std::size_t kReadSizes[] = {1, 2, 7, 64, 512, 4096, 8192, 65536};
  std::uint32_t split = 0x9E3779B9u * ((control & 0x7Fu) + 1u);
  auto nextReadSize = [&split] {
    split ^= split << 13;
    split ^= split >> 17;
    split ^= split << 5;
    return kReadSizes[split >> 29];
  };

  static Client c;
  c.StartRequest((control & 0x80) == 0);
  std::size_t off = 0;
  try {
    // Read by read, as the socket delivers them; whatever a closed
    // connection would still have sent is never read.
    while (off < size && !c.closed) {
      int room = 0;
      char* space = c.parser.ReadSpace(room);
      std::size_t n = std::min(std::min(nextReadSize(), size - off), static_cast<std::size_t>(room));
      std::memcpy(space, data + off, n);
      off += n;
      c.parser.Received(static_cast<int>(n));
      if (c.restartNext) {
        c.restartNext = false;
        c.closed = false;
        c.parser.LocationChangePending = false;
        c.parser.StartResponse();
      }
    }
  } catch (const EHttpException& e) {
    Check(e.ErrorCode == httperrLineTooLong || e.ErrorCode == httperrHeaderTooLong);
  } catch (const plat::EConvertError&) {
    // A status or length that is no number ends the request.
  }
  Check(c.parser.RcvdHeader.Count() <= THttpResponseParser::MaxHeaderLines);
  Check(c.parser.HeldCount() <= THttpResponseParser::MaxLineLength);
  Check(static_cast<std::size_t>(c.parser.RcvdByteCount) == c.delivered.size());
  c.EndRequest();
  return 0;
}

// The HTTP client's free helpers: URL splitting, the HTTP date, Base64 and
// the line encoding, NthPos and ReplaceExt.
#include <gtest/gtest.h>

#include "httpclient/HttpProt.h"

namespace {

struct UrlCase {
  const char* url;
  const char* proto;
  const char* user;
  const char* pass;
  const char* host;
  const char* port;
  const char* path;
};

TEST(ParseURL, SplitsEveryFormItMeets) {
  const UrlCase cases[] = {
      {"http://u:p@h:81/a/b?c=1", "http", "u", "p", "h", "81", "/a/b?c=1"},
      {"HTTP://Host/x", "HTTP", "", "", "Host", "", "/x"},
      {"h/x", "", "", "", "h", "", "/x"},
      {"page2.htm", "", "", "", "page2.htm", "", ""},
      {"/x/y", "http", "", "", "", "", "/x/y"},
      {"//h/x", "http", "", "", "", "", "/h/x"},
      {"/", "http", "", "", "", "", ""},
      {"http:/x", "http", "", "", "", "", "/x"},
      {"http:x", "http", "", "", "", "", ""},
      {"mailto:joe@site", "mailto", "joe", "", "site", "", ""},
      {"h:8080", "", "", "", "h", "8080", ""},
      {"u:p:q@h", "", "u", "p:q", "h", "", ""},
      {"u:p@x@h", "", "u", "p@x", "h", "", ""},
      {"http://u@h/", "http", "u", "", "h", "", "/"},
      {"http://h:/", "http", "", "", "h", "", "/"},
      {"http://127.0.0.1:8080", "http", "", "", "127.0.0.1", "8080", ""},
      {"ftp://h/a:b@c", "ftp", "", "", "h", "", "/a:b@c"},
      {"", "", "", "", "", "", ""},
  };
  for (const UrlCase& c : cases) {
    std::string proto = "x", user = "x", pass = "x", host = "x", port = "x", path = "x";
    ParseURL(c.url, proto, user, pass, host, port, path);
    EXPECT_EQ(proto, c.proto) << c.url;
    EXPECT_EQ(user, c.user) << c.url;
    EXPECT_EQ(pass, c.pass) << c.url;
    EXPECT_EQ(host, c.host) << c.url;
    EXPECT_EQ(port, c.port) << c.url;
    EXPECT_EQ(path, c.path) << c.url;
  }
}

TEST(FormatHttpDate, PrintsWeekdayDateAndTimeWithoutZone) {
  EXPECT_EQ(FormatHttpDate(34644 + (8 * 3600 + 49 * 60 + 37.5) / 86400.0), "Sun, 06 Nov 1994 08:49:37");
  EXPECT_EQ(FormatHttpDate(2.0), "Mon, 01 Jan 1900 00:00:00");
  EXPECT_EQ(FormatHttpDate(36585 + 0.5), "Tue, 29 Feb 2000 12:00:00");
  EXPECT_EQ(FormatHttpDate(46081 + 86399.0 / 86400), "Sat, 28 Feb 2026 23:59:59");
  EXPECT_EQ(FormatHttpDate(2958465), "Fri, 31 Dec 9999 00:00:00");
}

TEST(FormatHttpDate, RefusesDatesBefore1900) {
  EXPECT_THROW(FormatHttpDate(1.99), plat::ERangeError);
  EXPECT_THROW(FormatHttpDate(-700000), plat::ERangeError);
}

TEST(Base64, EncodesStandardAlphabetWithPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("u:"), "dTo=");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  const unsigned char high[] = {0xFF, 0xFE, 0x00, 0x3E, 0x3F};
  EXPECT_EQ(EncodeBytes(1, high, 5), "//4APj8=");
  EXPECT_EQ(EncodeBytes(2, high, 5), "//4APj8=");
}

TEST(EncodeBytes, LineEncodingAndBadMode) {
  EXPECT_EQ(EncodeBytes(0, "abc", 3), "#86)C");
  EXPECT_EQ(EncodeBytes(0, "", 0), "`");
  // Zero values come out as the backquote; padding bytes are encoded too.
  const char zeros[4] = {0, 0, 0, 0};
  EXPECT_EQ(EncodeBytes(0, zeros, 4), "$````````");
  EXPECT_THROW(EncodeBytes(3, "abc", 3), plat::ERangeError);
}

TEST(NthPos, CountsOverlappingAndReportsMissingOnes) {
  EXPECT_EQ(NthPos("/", "/a/b", -1), 3);
  EXPECT_EQ(NthPos("x", "abc", -1), 0);
  EXPECT_EQ(NthPos("/", "/a/b", 2), 3);
  EXPECT_EQ(NthPos("/", "/a", 3), 4);
  EXPECT_EQ(NthPos("aa", "aaaa", 3), 3);  // overlapping
  EXPECT_EQ(NthPos("/", "/a/b", 0), 0);
}

TEST(ReplaceExt, ReplacesTheLastExtensionOrAddsOne) {
  std::string a = "setup.exe";
  ReplaceExt(a, "htm");
  EXPECT_EQ(a, "setup.htm");
  std::string b = "readme";
  ReplaceExt(b, "htm");
  EXPECT_EQ(b, "readme.htm");
  std::string c = "a.tar.gz";
  ReplaceExt(c, "htm");
  EXPECT_EQ(c, "a.tar.htm");
}

}  // namespace

#include "loadtester/RunText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "platform/classes/classes.h"

using namespace runtext;

TEST(RunText, ReplaceIsOneLeftToRightPass) {
  struct Case {
    const char* src;
    const char* pat;
    const char* rep;
    const char* want;
  } cases[] = {
      {"http://h/?id=@@&copy=@@", "@@", "101", "http://h/?id=101&copy=101"},
      {"no pattern", "@@", "1", "no pattern"},
      {"@@@", "@@", "x", "x@"},
      {"a=1@@b=2", "@@", "\r\nCookie: ", "a=1\r\nCookie: b=2"},
      // A replacement that holds the pattern is not searched again.
      {"@@", "@@", "@@@@", "@@@@"},
      {"", "@@", "x", ""},
      {"abc", "", "x", "abc"},
  };
  for (const Case& c : cases) EXPECT_EQ(replacestr(c.src, c.pat, c.rep), c.want) << c.src;
}

TEST(RunText, NearestTiesToEvenAndUndefinedIsZero) {
  struct Case {
    long double v;
    std::int64_t want;
  } cases[] = {{0.5L, 0},   {1.5L, 2},   {2.5L, 2},    {-0.5L, 0},  {-1.5L, -2}, {2.4999L, 2},
               {2.5001L, 3}, {7.5L, 8},  {-2.5L, -2},  {1e12L, 1000000000000}};
  for (const Case& c : cases) EXPECT_EQ(Nearest(c.v), c.want) << static_cast<double>(c.v);
  EXPECT_EQ(Nearest(std::numeric_limits<long double>::quiet_NaN()), 0);
  EXPECT_EQ(Nearest(std::numeric_limits<long double>::infinity()), 0);
  EXPECT_EQ(Nearest(-std::numeric_limits<long double>::infinity()), 0);
  EXPECT_EQ(Nearest(1e30L), 0);
  EXPECT_EQ(SafeDiv(1, 0), 0);
  EXPECT_EQ(SafeDiv(0, 0), 0);
}

TEST(RunText, TitleUrlCutsAtSixty) {
  std::string u59(59, 'u'), u60(60, 'u'), u61(61, 'u');
  EXPECT_EQ(TitleUrl(u59), u59);
  EXPECT_EQ(TitleUrl(u60), u60 + "...");
  EXPECT_EQ(TitleUrl(u61), u60 + "...");
}

TEST(RunText, SettingsText) {
  struct Case {
    TestSettings s;
    const char* want;
  } cases[] = {
      {{5, 1, 0, false, false, ""}, "5 simultaneous users"},
      {{5, 1, 1, false, false, ""}, "5 simultaneous users"},
      {{5, 1, 2, false, false, ""}, "5 simultaneous users - wait for 2s"},
      {{10, 4, 0, true, false, ""}, "ramp test with up to 10 simultaneous users - 4 runs"},
      {{3, 2, 5, false, true, "bob"}, "3 simultaneous users Username=\"bob\"  - 2 runs - wait for 5s"},
      {{1, 1, 0, false, true, ""}, "1 simultaneous users Username=\"\" "},
  };
  for (const Case& c : cases) EXPECT_EQ(SettingsText(c.s), c.want);
}

TEST(RunText, RampUsersPerStep) {
  struct Case {
    int users, runs;
    std::vector<int> want;
  } cases[] = {
      {10, 4, {2, 5, 8, 10}},
      {3, 10, {1, 1, 1, 1, 2, 2, 2, 2, 3, 3}},
      {1, 1, {1}},
      {20000, 3, {6667, 13333, 20000}},
  };
  for (const Case& c : cases) {
    std::vector<int> got;
    for (int i = 0; i < c.runs; ++i) got.push_back(RampUsers(c.users, c.runs, i));
    EXPECT_EQ(got, c.want) << c.users << " users over " << c.runs << " runs";
  }
}

TEST(RunText, StatusTableKeepsOrderAndGrowsPastAThousand) {
  StatusTable t;
  t.Reset();
  EXPECT_EQ(t.FooterLine(), "Statuscodes: 200:0  ");
  for (int i = 0; i < 5; ++i) t.Add(200);
  t.Add(404);
  t.Add(404);
  EXPECT_EQ(t.FooterLine(), "Statuscodes: 200:5  404:2  ");
  t.Add(0);
  EXPECT_EQ(t.Errors(), 3);

  StatusTable big;
  big.Reset();
  for (int code = 1000; code < 2100; ++code) big.Add(code);
  big.Add(1000);
  ASSERT_EQ(big.codes.size(), 1101u);
  EXPECT_EQ(big.codes.front(), 200);
  EXPECT_EQ(big.codes[1000], 1999);
  EXPECT_EQ(big.codes.back(), 2099);
  EXPECT_EQ(big.CountOf(1000), 2);
  EXPECT_EQ(big.CountOf(2099), 1);
  EXPECT_EQ(big.FooterLine().rfind("Statuscodes: 200:0  1000:2  1001:1  ", 0), 0u);
}

TEST(RunText, CookieLineFromSetCookieHeaders) {
  auto line = [](std::initializer_list<const char*> lines) {
    plat::TStringList l;
    for (const char* s : lines) l.Add(s);
    return CookieLine(l);
  };
  EXPECT_EQ(line({"HTTP/1.0 200 OK", "Set-Cookie: a=1; path=/", "Content-Type: text/html", "set-cookie: b=2"}),
            "a=1; path=/@@b=2");
  EXPECT_EQ(line({"HTTP/1.0 200 OK", "Set-Cookie: "}), "@@");
  EXPECT_EQ(line({"HTTP/1.0 200 OK", "Set-Cookie:"}), "@@");
  EXPECT_EQ(line({"HTTP/1.0 200 OK", "Content-Length: 3"}), "");
  EXPECT_EQ(line({"Set-Cooki: x"}), "");
  std::string huge = "Set-Cookie: " + std::string(6000, 'v');
  EXPECT_EQ(line({huge.c_str()}), std::string(5000, 'v'));
  EXPECT_EQ(CookieHeader("a=1@@b=2"), "a=1\r\nCookie: b=2");
  EXPECT_EQ(CookieHeader(""), "");
}

class RunTextFile : public ::testing::Test {
 protected:
  std::string path = std::string(::testing::TempDir()) + "runtext_src.htm";
  void Write(const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(RunTextFile, ReadTextLinesNormalisesLineEndsAndStopsAtNul) {
  struct Case {
    std::string bytes, want;
  } cases[] = {
      {"a\nb\r\nc\rd", "a\r\nb\r\nc\r\nd\r\n"},
      {"one\r\n", "one\r\n"},
      {"", ""},
      {"\n\n", "\r\n\r\n"},
      {std::string("ab\0cd\n", 6), "ab\r\n"},
  };
  for (const Case& c : cases) {
    Write(c.bytes);
    EXPECT_EQ(ReadTextLines(path), c.want);
  }
  EXPECT_THROW(ReadTextLines(path + ".missing"), plat::EFOpenError);
}

TEST(RunText, SourceViewCutsAt60000AndNotesPast64000) {
  const std::string head = std::string(44, '-');
  std::string t64000(64000, 'x');
  std::string v = SourceViewText(t64000);
  EXPECT_EQ(v, "HTML Source (64000 Bytes)\r\n" + head + "\r\n" + std::string(60000, 'x'));
  std::string t64001(64001, 'x');
  EXPECT_EQ(SourceViewText(t64001), "HTML Source (64001 Bytes) truncated to 60kb by Brontavel\r\n" + head + "\r\n" +
                                        std::string(60000, 'x') + "\r\ntruncated by Brontavel");
  EXPECT_EQ(SourceViewText("hi\r\n"), "HTML Source (4 Bytes)\r\n" + head + "\r\nhi\r\n");
}

TEST(RunText, RunFigures) {
  auto l = RunSummaryLines(2000, 10, 12345);
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0], " ");
  EXPECT_EQ(l[1], "Average Results of this Run:");
  EXPECT_EQ(l[2], "  Overall Time: 2000 msec");
  EXPECT_EQ(l[3], "  Average Request Time: 200 msec (equals ~18000 Requests/h)");
  EXPECT_EQ(l[4], "  Total Bytes: 12345 Bytes (12 KB) (Throughput ~6 kb/sec)");

  // A run that took no measurable time: nothing to divide by, so 0.
  auto z = RunSummaryLines(0, 3, 999);
  EXPECT_EQ(z[2], "  Overall Time: 0 msec");
  EXPECT_EQ(z[3], "  Average Request Time: 0 msec (equals ~0 Requests/h)");
  EXPECT_EQ(z[4], "  Total Bytes: 999 Bytes (0 KB) (Throughput ~0 kb/sec)");

  EXPECT_EQ(AverageLine(false, 10, 1, 200), "  Average Request Time after 1 runs: 200 msec (equals ~18000 Requests/h)");
  EXPECT_EQ(AverageLine(true, 5, 1, 250), "  Average Request Time for 5 simultaneous users: 250 msec (equals ~14400 Requests/h)");
  EXPECT_EQ(AverageLine(false, 1, 2, 0), "  Average Request Time after 2 runs: 0 msec (equals ~0 Requests/h)");

  EXPECT_EQ(Nearest(RampErrorPercent(2, 0, 5)), 40);
  EXPECT_EQ(Nearest(RampErrorPercent(5, 2, 10)), 30);
}

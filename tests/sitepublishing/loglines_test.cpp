#include "sitepublishing/gui/LogLines.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/messaging/messaging.h"
#include "sitepublishing/LogView.h"

namespace {

TEST(LogLines, KindsColoursAndErrorCount) {
  struct Case {
    std::uint8_t kind;
    std::string text;
    bool added;
    TColor font;
    int errors;  // after the line
  };
  // Rows alternate white and grey from the first row; lines that are not
  // added take no turn.
  const Case cases[] = {
      {lkPlain, "Connect to host...", true, clBlack, 0},
      {lkError, "Access violation at address 0", false, 0, 0},
      {lkError, "Error: Access v at the end", true, clRed, 1},
      {lkNotice, "Upload completed successfully.", true, clBlue, 1},
      {lkError, "access violation", true, clRed, 2},
      {3, "unknown kind", false, 0, 2},
      {lkError, "Access v", false, 0, 2},
      {lkError, "", true, clRed, 3},
      {lkPlain, "", true, clBlack, 3},
  };
  TLogLines lines;
  lines.BeginRun();
  int rows = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(lines.AddLog(c.kind, c.text), c.added);
    if (c.added) {
      ASSERT_EQ(lines.Count(), rows + 1);
      const TLogString& l = lines.Items.back();
      EXPECT_EQ(l.Text, c.text);
      EXPECT_EQ(l.FontColor, c.font);
      EXPECT_EQ(l.BackColor, rows % 2 == 0 ? clWhite : clLogGrey);
      ++rows;
    }
    EXPECT_EQ(lines.Count(), rows);
    EXPECT_EQ(lines.ErrorCount, c.errors);
  }
  EXPECT_EQ(clRed, 0x0000FFu);
  EXPECT_EQ(clBlue, 0xFF0000u);
  EXPECT_EQ(clLogGrey, 0xDCDCDCu);

  // A new run starts over, with white.
  lines.Aborted = true;
  lines.BeginRun();
  EXPECT_TRUE(lines.Busy);
  EXPECT_FALSE(lines.Aborted);
  EXPECT_EQ(lines.ErrorCount, 0);
  EXPECT_EQ(lines.Count(), 0);
  lines.AddLog(lkPlain, "first");
  EXPECT_EQ(lines.Items[0].BackColor, clWhite);
  lines.EndRun();
  EXPECT_FALSE(lines.Busy);
}

// Ten pixels a byte, thirteen a line.
TTextCanvas FixedCanvas() {
  TTextCanvas c;
  c.TextWidth = [](const std::string& s) { return static_cast<int>(s.size()) * 10; };
  c.TextHeight = [](const std::string&) { return 13; };
  return c;
}

TEST(LogLines, RowHeightWrapsInsideTheColumnMargins) {
  TTextCanvas canvas = FixedCanvas();
  struct Case {
    int column;
    std::string text;
    int lines;
  };
  // The wrap width is the column less 6; a blank is appended to the text.
  const Case cases[] = {
      {400, "", 1},
      {400, "short line", 1},
      {106, "abcd efgh", 2},  // "abcd efgh " is exactly 100 wide: that does not fit
      {107, "abcd efgh", 1},
      {106, "aaaa bbbb cccc", 3},
      {36, "abcdefghij", 4},  // a word wider than the width is cut
      {0, "abc", 4},          // no width: one byte a line, the blank too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.column) + " '" + c.text + "'");
    EXPECT_EQ(LogRowHeight(canvas, c.column, c.text), c.lines * 13 + 2);
  }
  TRect cell{10, 40, 310, 70};
  TRect r = LogTextRect(cell);
  EXPECT_EQ(r.Left, 13);
  EXPECT_EQ(r.Top, 41);
  EXPECT_EQ(r.Right, 310);
  EXPECT_EQ(r.Bottom, 70);
}

TEST(LogLines, BarScaleKeepsLargeFilesInRange) {
  struct Case {
    std::int64_t size;
    int max;
  };
  const std::int64_t GiB = std::int64_t{1} << 30;
  const Case cases[] = {
      {0, 0}, {-5, 0}, {100, 100}, {INT_MAX, INT_MAX}, {2 * GiB, static_cast<int>(GiB)},
      {5 * GiB, static_cast<int>(5 * GiB / 4)}, {INT64_MAX, static_cast<int>(INT64_MAX >> 32)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    TBarScale s = BarScaleFor(c.size);
    EXPECT_EQ(s.Max, c.max);
    EXPECT_EQ(s.Position(c.size), s.Max);
    EXPECT_EQ(s.Position(0), 0);
    EXPECT_EQ(s.Position(-1), 0);
  }
  // A 5 GiB file moves the bar in steps of 4 bytes, all the way.
  TBarScale big = BarScaleFor(5 * GiB);
  EXPECT_EQ(big.Position(GiB), static_cast<int>(GiB / 4));
  EXPECT_EQ(big.Position(5 * GiB - 1), big.Max - 1);
  // Bytes beyond the size (a file that grew) stay at the end.
  EXPECT_EQ(BarScaleFor(100).Position(150), 100);
}

TEST(LogLines, ProgressWaitsHalfASecondPerFile) {
  std::int64_t now = 1000;
  plat::SetTickSourceForTests([&] { return now; });
  TProgressRule rule;
  TBarScale scale;
  int pos = -1;
  EXPECT_FALSE(rule.Show(10, 100, scale, pos));  // no file in progress
  rule.Start();
  EXPECT_TRUE(rule.InProgress);
  now += 499;
  EXPECT_FALSE(rule.Show(10, 100, scale, pos));
  now += 1;  // exactly half a second is not more than half a second
  EXPECT_FALSE(rule.Show(20, 100, scale, pos));
  now += 1;
  ASSERT_TRUE(rule.Show(30, 100, scale, pos));
  EXPECT_EQ(scale.Max, 100);
  EXPECT_EQ(pos, 30);
  // The next file waits again.
  rule.Stop();
  EXPECT_FALSE(rule.Show(40, 100, scale, pos));
  rule.Start();
  now += 100;
  EXPECT_FALSE(rule.Show(40, 100, scale, pos));
  plat::SetTickSourceForTests(nullptr);
}

}  // namespace

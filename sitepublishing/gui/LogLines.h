// What the log windows show and count, apart from the widgets: the lines
// with their colours, the run's error count and flags, the row measure, and
// the progress rule of the upload log. No Qt here, so the rules are tested
// as plain code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ftpcomponents/korvlib.h"

// Colour values: low byte red, then green, then blue.
using TColor = std::uint32_t;
constexpr TColor RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return TColor{r} | (TColor{g} << 8) | (TColor{b} << 16);
}
inline constexpr TColor clBlack = RGB(0, 0, 0);
inline constexpr TColor clRed = RGB(255, 0, 0);
inline constexpr TColor clBlue = RGB(0, 0, 255);
inline constexpr TColor clWhite = RGB(255, 255, 255);
inline constexpr TColor clLogGrey = RGB(220, 220, 220);

struct TLogString {
  TColor FontColor = clBlack;
  TColor BackColor = clWhite;
  std::string Text;
};

// The lines of one log window and the state of its run.
class TLogLines {
 public:
  // Kind 0 black, 1 red and counted, 2 blue; rows alternate white and grey
  // from the first. An error whose text starts with "Access v" (the
  // library's report of a transfer it was told to stop) is dropped
  // uncounted. False when nothing was added.
  bool AddLog(std::uint8_t kind, const std::string& text);
  void AddLine(TColor fontColor, TColor backColor, const std::string& text);
  void Clear() { Items.clear(); }
  int Count() const { return static_cast<int>(Items.size()); }

  // Aborted and ErrorCount reset, Busy set, lines cleared.
  void BeginRun();
  void EndRun() { Busy = false; }

  std::vector<TLogString> Items;
  int ErrorCount = 0;
  bool Busy = false;
  bool Aborted = false;
};

// A row's height for its text in a column of that width: the wrapped height
// over the column less 3 pixels at each side, plus 2.
int LogRowHeight(TTextCanvas& canvas, int columnWidth, const std::string& text);
// Where a row's text goes in its cell: 3 pixels in, 1 down, same right edge.
TRect LogTextRect(const TRect& cell);

// The progress bar's range for a file: the bar counts in ints, so files of
// 2 GiB and more are counted in units of 2, 4, ... bytes.
struct TBarScale {
  int Shift = 0;
  int Max = 0;
  int Position(std::int64_t bytesDone) const;
};
TBarScale BarScaleFor(std::int64_t fileSize);

// The upload log's progress rule: the bar follows a file's transfer only
// after it has run for more than half a second, so small files never make
// it flicker. Times come from plat::TickMs.
class TProgressRule {
 public:
  static constexpr std::int64_t kQuietMs = 500;
  void Start();
  void Stop() { InProgress = false; }
  // True when the notification moves the bar; then scale is the range to
  // show and position where.
  bool Show(std::int64_t bytesDone, std::int64_t fileSize, TBarScale& scale, int& position) const;

  bool InProgress = false;
  std::int64_t StartTime = 0;
};

#include "sitepublishing/gui/LogLines.h"

#include <algorithm>
#include <climits>

#include "platform/messaging/messaging.h"
#include "sitepublishing/LogView.h"

bool TLogLines::AddLog(std::uint8_t kind, const std::string& text) {
  TColor back = Count() % 2 == 1 ? clLogGrey : clWhite;
  switch (kind) {
    case lkPlain:
      AddLine(clBlack, back, text);
      return true;
    case lkError:
      if (text.compare(0, 8, "Access v") == 0) return false;
      AddLine(clRed, back, text);
      ++ErrorCount;
      return true;
    case lkNotice:
      AddLine(clBlue, back, text);
      return true;
    default:
      return false;
  }
}

void TLogLines::AddLine(TColor fontColor, TColor backColor, const std::string& text) {
  Items.push_back(TLogString{fontColor, backColor, text});
}

void TLogLines::BeginRun() {
  Aborted = false;
  Busy = true;
  ErrorCount = 0;
  Clear();
}

int LogRowHeight(TTextCanvas& canvas, int columnWidth, const std::string& text) {
  TRect r;
  r.Left = 3;
  r.Right = columnWidth - 3;
  return WrappedTextHeight(canvas, r, text) + 2;
}

TRect LogTextRect(const TRect& cell) {
  TRect r = cell;
  r.Left += 3;
  r.Top += 1;
  return r;
}

int TBarScale::Position(std::int64_t bytesDone) const {
  std::int64_t p = std::max<std::int64_t>(bytesDone, 0) >> Shift;
  return static_cast<int>(std::min<std::int64_t>(p, Max));
}

TBarScale BarScaleFor(std::int64_t fileSize) {
  TBarScale s;
  std::int64_t size = std::max<std::int64_t>(fileSize, 0);
  while ((size >> s.Shift) > INT_MAX) ++s.Shift;
  s.Max = static_cast<int>(size >> s.Shift);
  return s;
}

void TProgressRule::Start() {
  InProgress = true;
  StartTime = plat::TickMs();
}

bool TProgressRule::Show(std::int64_t bytesDone, std::int64_t fileSize, TBarScale& scale, int& position) const {
  if (!InProgress || plat::TickMs() - StartTime <= kQuietMs) return false;
  scale = BarScaleFor(fileSize);
  position = scale.Position(bytesDone);
  return true;
}

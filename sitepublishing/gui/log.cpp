#include "sitepublishing/gui/log.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QWindow>
#include <cmath>
#include <unordered_map>

#include "ftpcomponents/SimpFTP.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/drawgrid.h"
#include "platform/qt/panel.h"
#include "platform/qt/qtext.h"
#include "platform/ui/dialogs.h"
#include "sitepublishing/PrjCls.h"

namespace {

// A burst of lines repaints the grid at most this often; the rest of the
// burst is painted at the next turn of the loop.
constexpr std::int64_t kRepaintEveryMs = 40;

QColor ToQColor(TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// Control bytes would show as boxes or break the line: they are drawn, and
// measured, as blanks.
QString Displayed(const std::string& text) {
  QString s = plat::ToQ(text);
  for (QChar& c : s) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
  }
  return s;
}

}  // namespace

// The grid font's metrics for the word wrap. The wrap measures every prefix
// of a line, so widths come from a table of byte advances rather than from
// laying the text out each time; kerning is off in the grid's font, so the
// painter puts the glyphs at exactly those advances.
class TfrmLog::Measure {
 public:
  explicit Measure(const QFont& font) : Metrics_(font) {
    const QFontMetricsF& fm = Metrics_;
    for (int b = 0; b < 256; ++b) {
      QChar c(b < 0x20 || b == 0x7F ? 0x20 : b);
      Advance_[b] = fm.horizontalAdvance(c);
    }
    Height_ = static_cast<int>(std::ceil(fm.height()));
    Ascent_ = fm.ascent();
    Canvas.TextWidth = [this](const std::string& s) { return Width(s); };
    Canvas.TextHeight = [this](const std::string&) { return Height_; };
  }

  // A UTF-8 character counts as the glyph drawn for it, on its last byte, so
  // the wrap never cuts inside one; other bytes are drawn one per character.
  int Width(const std::string& s) const {
    qreal w = 0;
    for (std::size_t i = 0; i < s.size();) {
      const unsigned char b = static_cast<unsigned char>(s[i]);
      const std::size_t len = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 1;
      if (len > 1 && b < 0xF5) {
        char32_t cp = b & (0x7F >> len);
        std::size_t n = 1;
        for (; n < len && i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80; ++n)
          cp = (cp << 6) | (static_cast<unsigned char>(s[i + n]) & 0x3F);
        if (n == len) {
          w += CharAdvance(cp);
          i += n;
          continue;
        }
        if (i + n == s.size()) break;  // the rest of the character comes with a longer prefix
      }
      w += Advance_[b];
      ++i;
    }
    return static_cast<int>(std::ceil(w - 1e-6));
  }

  // A canvas that draws with the painter (its pen and font already set).
  TTextCanvas Drawing(QPainter& p) const {
    TTextCanvas c = Canvas;
    qreal ascent = Ascent_;
    c.TextOut = [&p, ascent](int x, int y, const std::string& line) {
      p.drawText(QPointF(x, y + ascent), Displayed(line));
    };
    return c;
  }

  TTextCanvas Canvas;

 private:
  qreal CharAdvance(char32_t cp) const {
    auto it = CharAdvance_.find(cp);
    if (it == CharAdvance_.end()) it = CharAdvance_.emplace(cp, Metrics_.horizontalAdvance(QString::fromUcs4(&cp, 1))).first;
    return it->second;
  }

  QFontMetricsF Metrics_;
  mutable std::unordered_map<char32_t, qreal> CharAdvance_;
  qreal Advance_[256] = {};
  int Height_ = 0;
  qreal Ascent_ = 0;
};

TfrmLog::TfrmLog() : QDialog(nullptr), Place_(this) {
  setObjectName(QStringLiteral("frmLog"));
  setWindowTitle(QStringLiteral("Uploading"));
  // No close box: the window closes through its own buttons and Esc.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setSizeGripEnabled(false);
  QFont f = QApplication::font();
  f.setPixelSize(11);
  setFont(f);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  pnlClient = new plat::TPanel(QString(), this);
  pnlClient->setObjectName(QStringLiteral("pnlClient"));
  ClientLayout = new QVBoxLayout(pnlClient);
  ClientLayout->setContentsMargins(5, 5, 5, 5);
  ClientLayout->setSpacing(0);

  dgLog = new plat::TDrawGrid(pnlClient);
  dgLog->setObjectName(QStringLiteral("dgLog"));
  dgLog->setAccessibleName(QStringLiteral("Log"));
  QFont gridFont = font();
  gridFont.setKerning(false);
  dgLog->setFont(gridFont);
  dgLog->SetDefaultRowHeight(16);
  dgLog->SetColWidth(400);
  dgLog->SetRowCount(1);
  dgLog->OnDrawCell = [this](QPainter& p, int row, const QRect& r) { dgLogDrawCell(p, row, r); };
  dgLog->OnResize = [this] { plat::Safely([this] { FormResize(); }); };
  // The rows are drawn by hand: readers get their texts from here.
  dgLog->OnRowText = [this](int row) {
    return row >= 0 && row < Lines.Count() ? Displayed(Lines.Items[static_cast<std::size_t>(row)].Text) : QString();
  };
  ClientLayout->addWidget(dgLog, 1);
  outer->addWidget(pnlClient, 1);

  pnlBottom = new plat::TPanel(QString(), this);
  pnlBottom->setObjectName(QStringLiteral("pnlBottom"));
  pnlBottom->setFixedHeight(36);
  outer->addWidget(pnlBottom);

  Measure_ = std::make_unique<Measure>(gridFont);
  resize(400, 220);

  FormStore = MakeProgramFormStore(Place_);
  FormStore->Load();
}

TfrmLog::~TfrmLog() {
  // Saves the placement while the window is still whole.
  FormStore.reset();
  if (!TaskWindows.empty()) FormHide();
  if (CursorSet_) QApplication::restoreOverrideCursor();
}

void TfrmLog::AbortFtp() {
  if (!Project || !Project->Form) return;
  if (TSimpleFTP* ftp = Project->Form->FtpServer()) ftp->Abort();
}

// ---- lines -----------------------------------------------------------------------

void TfrmLog::AddLog(std::uint8_t kind, const std::string& text) {
  if (Lines.AddLog(kind, text)) LineAdded();
}

void TfrmLog::AddLine(TColor fontColor, TColor backColor, const std::string& text) {
  Lines.AddLine(fontColor, backColor, text);
  LineAdded();
}

void TfrmLog::LineAdded() {
  int last = Lines.Count() - 1;
  dgLog->SetRowCount(Lines.Count());
  // Only the new row needs measuring, unless the column changed.
  if (!FitColumn()) UpdateRowHeight(last);
  dgLog->SetRow(last);
  // The walks run on this thread: paint now so the line shows during the
  // run, but not for every line of a burst.
  std::int64_t now = plat::TickMs();
  if (now - LastPaint_ >= kRepaintEveryMs || now < LastPaint_) {
    LastPaint_ = now;
    dgLog->RepaintNow();
  }
}

void TfrmLog::ClearLines() {
  dgLog->SetRowCount(0);
  Lines.Clear();
  dgLog->SetRowHeight(0, dgLog->DefaultRowHeight());
  dgLog->SetRow(0);
}

void TfrmLog::UpdateRowHeight(int index) {
  if (index < 0 || index >= Lines.Count()) return;
  int h = LogRowHeight(Measure_->Canvas, dgLog->ColWidth(), Lines.Items[static_cast<std::size_t>(index)].Text);
  if (h != dgLog->RowHeight(index)) dgLog->SetRowHeight(index, h);
}

void TfrmLog::UpdateRowHeights() {
  for (int i = 0; i < Lines.Count(); ++i) UpdateRowHeight(i);
}

bool TfrmLog::FitColumn() {
  int w = dgLog->ClientWidth() - 1;
  if (w == dgLog->ColWidth()) return false;
  dgLog->SetColWidth(w);
  UpdateRowHeights();
  return true;
}

// ---- run ---------------------------------------------------------------------------

void TfrmLog::BeginRun() {
  Lines.BeginRun();
  ClearLines();
  if (!CursorSet_) QApplication::setOverrideCursor(Qt::BusyCursor);
  CursorSet_ = true;
  FitColumn();
  KeepInFront();
  show();
  raise();
  activateWindow();
}

void TfrmLog::KeepInFront() {
  QWidget* main = Project ? dynamic_cast<QWidget*>(Project->Form) : nullptr;
  if (!main || !main->windowHandle()) return;
  // The transient parent is read when the window is mapped: set it first.
  if (!windowHandle()) create();
  windowHandle()->setTransientParent(main->windowHandle());
}

void TfrmLog::EndRun() {
  Lines.EndRun();
  if (CursorSet_) QApplication::restoreOverrideCursor();
  CursorSet_ = false;
}

// ---- window ------------------------------------------------------------------------

void TfrmLog::FormCloseQuery(bool& CanClose) { CanClose = !Busy(); }

void TfrmLog::FormKeyPress(char& Key) {
  if (Key == 27) close();
}

void TfrmLog::FormResize() { FitColumn(); }

void TfrmLog::FormShow() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w == this || !w->isWindow() || !w->isVisible() || !w->isEnabled()) continue;
    Qt::WindowType type = w->windowType();
    if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::Desktop) continue;
    w->setEnabled(false);
    w->installEventFilter(this);
    TaskWindows.emplace_back(w);
  }
}

void TfrmLog::FormHide() {
  for (const QPointer<QWidget>& w : TaskWindows) {
    if (!w) continue;
    w->removeEventFilter(this);
    w->setEnabled(true);
  }
  TaskWindows.clear();
  if (windowHandle()) windowHandle()->setTransientParent(nullptr);
}

bool TfrmLog::eventFilter(QObject* watched, QEvent* event) {
  // One of the disabled windows was activated: the log comes back on top,
  // once that activation has been dealt with.
  if (event->type() == QEvent::WindowActivate && isVisible()) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!isVisible() || TaskWindows.empty()) return;
          raise();
          activateWindow();
        },
        Qt::QueuedConnection);
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmLog::dgLogDrawCell(QPainter& painter, int row, const QRect& rect) {
  if (Lines.Count() == 0 || row < 0 || row >= Lines.Count()) return;
  const TLogString& line = Lines.Items[static_cast<std::size_t>(row)];
  painter.fillRect(rect, ToQColor(line.BackColor));
  painter.setPen(ToQColor(line.FontColor));
  painter.setFont(dgLog->font());
  TRect cell{rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
  TTextCanvas canvas = Measure_->Drawing(painter);
  DrawWrappedText(canvas, LogTextRect(cell), line.Text);
}

void TfrmLog::closeEvent(QCloseEvent* e) {
  bool canClose = true;
  plat::Safely([&] { FormCloseQuery(canClose); });
  if (!canClose) {
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

void TfrmLog::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    char key = 27;
    plat::Safely([&] { FormKeyPress(key); });
    e->accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

void TfrmLog::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  plat::Safely([this] { FormResize(); });
}

void TfrmLog::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  // A window coming back from the task bar is no new showing.
  if (!e->spontaneous()) plat::Safely([this] { FormShow(); });
}

void TfrmLog::hideEvent(QHideEvent* e) {
  QDialog::hideEvent(e);
  if (!e->spontaneous()) plat::Safely([this] { FormHide(); });
}

// The common log window of the publishing program: coloured, word-wrapped
// lines in a one-column grid, the run state the walks read, and a bottom
// panel for the buttons of the upload and delete-old logs. While it is shown
// the program's other windows are disabled. Never shown on its own.
#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sitepublishing/gui/FormPlacement.h"
#include "sitepublishing/gui/LogLines.h"

class QPainter;
class QVBoxLayout;
namespace plat {
class TDrawGrid;
class TPanel;
}  // namespace plat

class TfrmLog : public QDialog {
  Q_OBJECT
 public:
  // A window of its own: a parent would be disabled with the others and
  // take this window with it.
  TfrmLog();
  ~TfrmLog() override;

  void AddLog(std::uint8_t kind, const std::string& text);
  void AddLine(TColor fontColor, TColor backColor, const std::string& text);
  void ClearLines();
  void UpdateRowHeight(int index);
  void UpdateRowHeights();
  void BeginRun();
  void EndRun();
  bool Aborted() const { return Lines.Aborted; }
  int ErrorCount() const { return Lines.ErrorCount; }
  bool Busy() const { return Lines.Busy; }

  void FormCloseQuery(bool& CanClose);
  void FormKeyPress(char& Key);
  virtual void FormResize();
  void FormShow();
  void FormHide();
  void dgLogDrawCell(QPainter& painter, int row, const QRect& rect);

  TLogLines Lines;
  // The windows FormShow disabled, for FormHide to enable again.
  std::vector<QPointer<QWidget>> TaskWindows;

  plat::TPanel* pnlClient = nullptr;
  plat::TDrawGrid* dgLog = nullptr;
  plat::TPanel* pnlBottom = nullptr;
  std::unique_ptr<TFormStore> FormStore;

 protected:
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

  bool eventFilter(QObject* watched, QEvent* event) override;

  // The main window's FTP component stops the call it is blocked in.
  static void AbortFtp();
  QVBoxLayout* ClientLayout = nullptr;

 private:
  class Measure;
  // Column width := client width - 1; true when it changed, and then every
  // row was measured again.
  bool FitColumn();
  void LineAdded();
  // Stacked above the program's main window while shown, and brought back
  // to the front when one of the windows it disabled is activated (a click
  // on them must not hide the log behind them).
  void KeepInFront();

  TWidgetForm Place_;
  std::unique_ptr<Measure> Measure_;
  std::int64_t LastPaint_ = 0;
  bool CursorSet_ = false;
};

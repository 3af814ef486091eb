// An owner-drawn grid in the one-column form the programs use: rows of
// their own heights under a vertical scroll bar, a current row that is kept
// in view, every cell drawn by OnDrawCell. Row tops are summed lazily from
// the first changed row, so appending rows or changing the last one costs
// the same however many rows there are.
//
// Screen readers see the grid as a list whose items are the rows, each
// with the text OnRowText gives; new rows are announced as added, and a
// new current row as focused while the grid has the focus.
#pragma once

#include <QAbstractScrollArea>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

class QAccessibleEvent;

namespace plat {

// Where the grids' announcements to screen readers go: Qt's accessibility
// layer, which passes them on only while a reader listens. A test puts a
// listener of its own here (null: back to Qt), as the offscreen platform
// has no reader.
void SetGridAnnouncementsForTests(void (*listener)(QAccessibleEvent* event));

class TDrawGrid : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit TDrawGrid(QWidget* parent = nullptr);

  int RowCount() const { return static_cast<int>(Heights_.size()); }
  // At least one row is kept; new rows get the default height.
  void SetRowCount(int count);
  // The rows as last set, 0 included (the one row kept then is empty):
  // the ones screen readers see.
  int ListedRowCount() const { return ListedRows_; }
  int DefaultRowHeight() const { return DefaultRowHeight_; }
  void SetDefaultRowHeight(int height);
  int ColWidth() const { return ColWidth_; }
  void SetColWidth(int width);
  int RowHeight(int row) const;
  void SetRowHeight(int row, int height);
  // The current row; setting it scrolls it into view.
  int Row() const { return Row_; }
  void SetRow(int row);
  // The first row shown at the top.
  int TopRow() const;
  // Pixels from the grid's top to the row's top (RowCount gives the total).
  std::int64_t RowTop(int row) const;
  // The area the rows are drawn in.
  int ClientWidth() const;
  int ClientHeight() const;
  // A row's rectangle in client coordinates.
  QRect CellRect(int row) const;
  // Paints the visible rows now rather than at the next turn of the loop.
  void RepaintNow();

  std::function<void(QPainter& painter, int row, const QRect& rect)> OnDrawCell;
  // What a screen reader reads for a row (its text must be in place before
  // the row count grows to take it in).
  std::function<QString(int row)> OnRowText;
  // The client area changed size (the window, or the scroll bar coming or going).
  std::function<void()> OnResize;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;
  void focusInEvent(QFocusEvent* e) override;

 private:
  void Changed(int fromRow);
  void EnsureTops() const;
  void UpdateScrollRange();
  int RowAt(std::int64_t y) const;
  // Tells screen readers (when one listens) about listed rows come and gone.
  void RowsChanged(int oldListed);
  void AnnounceCurrentRow();

  std::vector<int> Heights_;
  mutable std::vector<std::int64_t> Tops_;  // Tops_[i] = top of row i; one more than rows
  mutable int ValidTops_ = 0;               // Tops_[0 .. ValidTops_] are right
  int DefaultRowHeight_ = 24;
  int ColWidth_ = 64;
  int Row_ = 0;
  int ListedRows_ = 1;
  QTimer Layout_;
};

}  // namespace plat

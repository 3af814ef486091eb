#include "platform/qt/drawgrid.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>

namespace plat {

TDrawGrid::TDrawGrid(QWidget* parent) : QAbstractScrollArea(parent) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAutoFillBackground(false);
  Heights_.assign(1, DefaultRowHeight_);
  Tops_.assign(2, 0);
  // Many row changes in a row settle the scroll range once.
  Layout_.setSingleShot(true);
  Layout_.setInterval(0);
  connect(&Layout_, &QTimer::timeout, this, [this] { UpdateScrollRange(); });
}

void TDrawGrid::SetRowCount(int count) {
  count = std::max(count, 1);
  int old = RowCount();
  if (count == old) return;
  Heights_.resize(static_cast<std::size_t>(count), DefaultRowHeight_);
  Tops_.resize(static_cast<std::size_t>(count) + 1, 0);
  if (Row_ >= count) Row_ = count - 1;
  Changed(std::min(old, count));
}

void TDrawGrid::SetDefaultRowHeight(int height) {
  if (height == DefaultRowHeight_) return;
  for (int& h : Heights_) {
    if (h == DefaultRowHeight_) h = height;
  }
  DefaultRowHeight_ = height;
  verticalScrollBar()->setSingleStep(std::max(height, 1));
  Changed(0);
}

void TDrawGrid::SetColWidth(int width) {
  if (width == ColWidth_) return;
  ColWidth_ = width;
  viewport()->update();
}

int TDrawGrid::RowHeight(int row) const {
  if (row < 0 || row >= RowCount()) return DefaultRowHeight_;
  return Heights_[static_cast<std::size_t>(row)];
}

void TDrawGrid::SetRowHeight(int row, int height) {
  if (row < 0 || row >= RowCount()) return;
  height = std::max(height, 0);
  int& h = Heights_[static_cast<std::size_t>(row)];
  if (h == height) return;
  h = height;
  Changed(row);
}

void TDrawGrid::Changed(int fromRow) {
  ValidTops_ = std::min(ValidTops_, fromRow);
  if (!Layout_.isActive()) Layout_.start();
  viewport()->update();
}

void TDrawGrid::EnsureTops() const {
  int n = static_cast<int>(Heights_.size());
  for (int i = ValidTops_; i < n; ++i) {
    Tops_[static_cast<std::size_t>(i) + 1] = Tops_[static_cast<std::size_t>(i)] + Heights_[static_cast<std::size_t>(i)];
  }
  ValidTops_ = n;
}

std::int64_t TDrawGrid::RowTop(int row) const {
  EnsureTops();
  row = std::clamp(row, 0, RowCount());
  return Tops_[static_cast<std::size_t>(row)];
}

void TDrawGrid::UpdateScrollRange() {
  Layout_.stop();
  std::int64_t total = RowTop(RowCount());
  std::int64_t range = std::clamp<std::int64_t>(total - viewport()->height(), 0, INT_MAX);
  QScrollBar* bar = verticalScrollBar();
  bar->setPageStep(std::max(viewport()->height(), 1));
  bar->setSingleStep(std::max(DefaultRowHeight_, 1));
  bar->setRange(0, static_cast<int>(range));
}

int TDrawGrid::RowAt(std::int64_t y) const {
  EnsureTops();
  auto it = std::upper_bound(Tops_.begin(), Tops_.end() - 1, y);
  int row = static_cast<int>(it - Tops_.begin()) - 1;
  return std::clamp(row, 0, RowCount() - 1);
}

int TDrawGrid::TopRow() const { return RowAt(verticalScrollBar()->value()); }

int TDrawGrid::ClientWidth() const { return viewport()->width(); }
int TDrawGrid::ClientHeight() const { return viewport()->height(); }

QRect TDrawGrid::CellRect(int row) const {
  std::int64_t top = RowTop(row) - verticalScrollBar()->value();
  return QRect(0, static_cast<int>(std::clamp<std::int64_t>(top, INT_MIN / 2, INT_MAX / 2)), ColWidth_,
               RowHeight(row));
}

void TDrawGrid::SetRow(int row) {
  row = std::clamp(row, 0, RowCount() - 1);
  Row_ = row;
  UpdateScrollRange();
  QScrollBar* bar = verticalScrollBar();
  std::int64_t top = RowTop(row), bottom = RowTop(row + 1), view = viewport()->height();
  std::int64_t pos = bar->value();
  if (bottom > pos + view) pos = bottom - view;
  if (top < pos) pos = top;
  bar->setValue(static_cast<int>(std::clamp<std::int64_t>(pos, 0, INT_MAX)));
  viewport()->update();
}

void TDrawGrid::RepaintNow() {
  if (Layout_.isActive()) UpdateScrollRange();
  viewport()->repaint();
}

void TDrawGrid::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  QRect area = viewport()->rect();
  p.fillRect(area, palette().color(QPalette::Base));
  if (!OnDrawCell) return;
  std::int64_t offset = verticalScrollBar()->value();
  for (int row = RowAt(offset); row < RowCount(); ++row) {
    QRect cell = CellRect(row);
    if (cell.top() >= area.bottom() + 1) break;
    if (cell.height() <= 0) continue;
    p.save();
    OnDrawCell(p, row, cell);
    p.restore();
  }
}

void TDrawGrid::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  UpdateScrollRange();
  if (OnResize) OnResize();
}

void TDrawGrid::keyPressEvent(QKeyEvent* e) {
  int page = std::max(1, ClientHeight() / std::max(DefaultRowHeight_, 1));
  switch (e->key()) {
    case Qt::Key_Up:
      SetRow(Row_ - 1);
      break;
    case Qt::Key_Down:
      SetRow(Row_ + 1);
      break;
    case Qt::Key_PageUp:
      SetRow(Row_ - page);
      break;
    case Qt::Key_PageDown:
      SetRow(Row_ + page);
      break;
    case Qt::Key_Home:
      SetRow(0);
      break;
    case Qt::Key_End:
      SetRow(RowCount() - 1);
      break;
    default:
      // Esc, Enter and the rest belong to the window.
      e->ignore();
      return;
  }
  e->accept();
}

void TDrawGrid::mousePressEvent(QMouseEvent* e) {
  setFocus(Qt::MouseFocusReason);
  SetRow(RowAt(verticalScrollBar()->value() + static_cast<std::int64_t>(e->position().y())));
}

void TDrawGrid::scrollContentsBy(int, int) { viewport()->update(); }

}  // namespace plat

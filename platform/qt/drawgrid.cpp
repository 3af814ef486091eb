#include "platform/qt/drawgrid.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

void (*gAnnouncementListener)(QAccessibleEvent*) = nullptr;

void Announce(QAccessibleEvent& event) {
  if (gAnnouncementListener) {
    gAnnouncementListener(&event);
  } else {
    QAccessible::updateAccessibility(&event);
  }
}

// One row as a list item.
class TDrawGridRow : public QAccessibleInterface {
 public:
  TDrawGridRow(TDrawGrid* grid, int row) : Grid_(grid), Row_(row) {}

  int Row() const { return Row_; }
  TDrawGrid* Grid() const { return Grid_; }

  bool isValid() const override { return Grid_ && Row_ < Grid_->ListedRowCount(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return Grid_ ? Grid_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(Grid_.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* focusChild() const override { return nullptr; }
  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name || !isValid() || !Grid_->OnRowText) return QString();
    return Grid_->OnRowText(Row_);
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!isValid()) return QRect();
    QRect cell = Grid_->CellRect(Row_);
    return QRect(Grid_->viewport()->mapToGlobal(cell.topLeft()), cell.size());
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) return s;
    s.selectable = true;
    s.focusable = true;
    s.readOnly = true;
    s.selected = Row_ == Grid_->Row();
    s.focused = s.selected && Grid_->hasFocus();
    const QRect cell = Grid_->CellRect(Row_);
    s.offscreen = cell.bottom() < 0 || cell.top() >= Grid_->ClientHeight();
    s.invisible = !Grid_->isVisible();
    return s;
  }

 private:
  QPointer<TDrawGrid> Grid_;
  int Row_;
};

// The grid as a list of its rows. Row interfaces are made when first asked
// for and kept (readers hold on to them) until their row goes.
class TDrawGridAccessible : public QAccessibleWidget {
 public:
  explicit TDrawGridAccessible(TDrawGrid* grid) : QAccessibleWidget(grid, QAccessible::List), Key_(grid) {
    GridInterfaces()[grid] = this;
  }
  ~TDrawGridAccessible() override {
    // By the key kept: the grid may be gone already.
    auto it = GridInterfaces().find(Key_);
    if (it != GridInterfaces().end() && it->second == this) GridInterfaces().erase(it);
    for (QAccessible::Id id : Rows_) QAccessible::deleteAccessibleInterface(id);
  }

  // Each grid's interface of ours, so that the one Qt hands back for a grid
  // is known as ours by its address alone.
  static std::unordered_map<const TDrawGrid*, TDrawGridAccessible*>& GridInterfaces() {
    static std::unordered_map<const TDrawGrid*, TDrawGridAccessible*> interfaces;
    return interfaces;
  }

  TDrawGrid* Grid() const { return static_cast<TDrawGrid*>(widget()); }

  int childCount() const override { return Grid()->ListedRowCount(); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= Grid()->ListedRowCount()) return nullptr;
    if (static_cast<std::size_t>(index) >= Rows_.size()) Rows_.resize(static_cast<std::size_t>(index) + 1, 0);
    QAccessible::Id& id = Rows_[static_cast<std::size_t>(index)];
    if (!id) {
      auto* row = new TDrawGridRow(Grid(), index);
      id = QAccessible::registerAccessibleInterface(row);
      RowOf_[row] = index;
    }
    return QAccessible::accessibleInterface(id);
  }
  // The interface handed in may be anyone's, the web engine's included,
  // whose library carries no type information: it is looked up among this
  // grid's own rows by address, never cast or called.
  int indexOfChild(const QAccessibleInterface* c) const override {
    const auto it = RowOf_.find(c);
    return it != RowOf_.end() && Grid() && it->second < Grid()->ListedRowCount() ? it->second : -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    const QPoint p = Grid()->viewport()->mapFromGlobal(QPoint(x, y));
    if (!Grid()->viewport()->rect().contains(p)) return nullptr;
    for (int row = Grid()->TopRow(); row < Grid()->ListedRowCount(); ++row) {
      const QRect cell = Grid()->CellRect(row);
      if (cell.top() > p.y()) break;
      if (cell.contains(p)) return child(row);
    }
    return nullptr;
  }
  QAccessibleInterface* focusChild() const override { return Grid()->hasFocus() ? child(Grid()->Row()) : nullptr; }

  // The rows from `count` on are gone: readers are told, then their
  // interfaces go.
  void DropRows(int count) {
    for (std::size_t i = static_cast<std::size_t>(count); i < Rows_.size(); ++i) {
      if (!Rows_[i]) continue;
      QAccessibleEvent gone(QAccessible::accessibleInterface(Rows_[i]), QAccessible::ObjectDestroyed);
      Announce(gone);
      RowOf_.erase(QAccessible::accessibleInterface(Rows_[i]));
      QAccessible::deleteAccessibleInterface(Rows_[i]);
    }
    if (Rows_.size() > static_cast<std::size_t>(count)) Rows_.resize(static_cast<std::size_t>(count));
  }

 private:
  mutable std::vector<QAccessible::Id> Rows_;
  mutable std::unordered_map<const QAccessibleInterface*, int> RowOf_;
  const TDrawGrid* Key_;
};

QAccessibleInterface* DrawGridAccessibleFactory(const QString& className, QObject* object) {
  // The name first: the object may be one of the web engine's, on which no
  // member may be called (see the chart's factory).
  if (object && className == QLatin1String(TDrawGrid::staticMetaObject.className()))
    return new TDrawGridAccessible(static_cast<TDrawGrid*>(object));
  return nullptr;
}

// Null while nobody listens: then no row interfaces are made.
TDrawGridAccessible* AccessibleOf(TDrawGrid* grid) {
  if (!QAccessible::isActive() && !gAnnouncementListener) return nullptr;
  // Another factory may have made the grid's interface: only ours is used.
  QAccessibleInterface* made = QAccessible::queryAccessibleInterface(grid);
  const auto& ours = TDrawGridAccessible::GridInterfaces();
  const auto it = ours.find(grid);
  return it != ours.end() && made == it->second ? it->second : nullptr;
}

}  // namespace

void SetGridAnnouncementsForTests(void (*listener)(QAccessibleEvent* event)) { gAnnouncementListener = listener; }

TDrawGrid::TDrawGrid(QWidget* parent) : QAbstractScrollArea(parent) {
  static const bool factoryInstalled = (QAccessible::installFactory(DrawGridAccessibleFactory), true);
  (void)factoryInstalled;
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
  const int oldListed = ListedRows_;
  ListedRows_ = std::max(count, 0);
  count = std::max(count, 1);
  int old = RowCount();
  if (count != old) {
    Heights_.resize(static_cast<std::size_t>(count), DefaultRowHeight_);
    Tops_.resize(static_cast<std::size_t>(count) + 1, 0);
    if (Row_ >= count) Row_ = count - 1;
    Changed(std::min(old, count));
  }
  if (ListedRows_ != oldListed) RowsChanged(oldListed);
}

void TDrawGrid::RowsChanged(int oldListed) {
  TDrawGridAccessible* a = AccessibleOf(this);
  if (!a) return;
  if (ListedRows_ < oldListed) a->DropRows(ListedRows_);
  for (int row = oldListed; row < ListedRows_; ++row) {
    QAccessibleEvent added(a->child(row), QAccessible::ObjectCreated);
    Announce(added);
  }
}

void TDrawGrid::AnnounceCurrentRow() {
  TDrawGridAccessible* a = AccessibleOf(this);
  QAccessibleInterface* row = a && hasFocus() ? a->child(Row_) : nullptr;
  if (!row) return;
  QAccessibleEvent focus(row, QAccessible::Focus);
  Announce(focus);
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
  const bool moved = row != Row_;
  Row_ = row;
  UpdateScrollRange();
  QScrollBar* bar = verticalScrollBar();
  std::int64_t top = RowTop(row), bottom = RowTop(row + 1), view = viewport()->height();
  std::int64_t pos = bar->value();
  if (bottom > pos + view) pos = bottom - view;
  if (top < pos) pos = top;
  bar->setValue(static_cast<int>(std::clamp<std::int64_t>(pos, 0, INT_MAX)));
  viewport()->update();
  if (moved) AnnounceCurrentRow();
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

void TDrawGrid::focusInEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusInEvent(e);
  // The reader hears the row the focus lands on.
  AnnounceCurrentRow();
}

}  // namespace plat

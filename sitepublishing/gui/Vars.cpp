#include "sitepublishing/gui/Vars.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>

#include "platform/qt/panel.h"
#include "platform/qt/qtext.h"
#include "platform/ui/dialogs.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/gui/Widgets.h"

using plat::FromQ;
using plat::ToQ;
using gui::Named;

TfrmVars* frmVars = nullptr;

namespace {

constexpr int kSysdateRow = 1;
const QColor kSysdateBack(230, 230, 230);

// The grid, telling whether its in-place editor is open.
class TVarGrid : public QTableView {
 public:
  using QTableView::QTableView;
  bool Editing() const { return state() == EditingState; }
  // Hands the open editor's text to the list and closes it.
  void CommitEdit() {
    if (QWidget* editor = Editing() ? indexWidget(currentIndex()) : nullptr) {
      commitData(editor);
      closeEditor(editor, QAbstractItemDelegate::NoHint);
    }
  }
};

// The cell editor's maker and the filter on its keys. The window sees a key
// before the editor does (its key preview): Esc hides the window (the
// editor still drops the edit, as Esc does there), and every key released
// in the editor is the grid's key-up, as for the grid itself.
class TVarDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  std::function<void()> OnEscape;
  std::function<void(int key, Qt::KeyboardModifiers shift)> OnKeyUp;

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    // A screen reader tells which cell is being edited: the column, and
    // for a value the variable's name.
    if (editor) {
      editor->setAccessibleName(index.model()->headerData(index.column(), Qt::Horizontal).toString());
      if (index.column() == 1) editor->setAccessibleDescription(index.siblingAtColumn(0).data().toString());
    }
    return editor;
  }

  bool eventFilter(QObject* editor, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
      QStyledItemDelegate::eventFilter(editor, event);
      if (OnEscape) plat::Safely(OnEscape);
      return true;
    }
    if (event->type() == QEvent::KeyRelease) {
      auto* k = static_cast<QKeyEvent*>(event);
      if (!k->isAutoRepeat() && OnKeyUp) plat::Safely([&] { OnKeyUp(k->key(), k->modifiers()); });
      // The line editor takes the release in, so it does not reach the grid
      // a second time.
    }
    return QStyledItemDelegate::eventFilter(editor, event);
  }
};

}  // namespace

// The grid's rows over the variable list. The header row is the view's
// header, so view row v is list row v + 1.
class TVarsModel : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  int Rows() const { return Rows_; }
  void SetRows(int rows) {
    rows = std::max(rows, 1);
    if (rows > Rows_) {
      beginInsertRows(QModelIndex(), Rows_ - 1, rows - 2);
      Rows_ = rows;
      endInsertRows();
    } else if (rows < Rows_) {
      beginRemoveRows(QModelIndex(), rows - 1, Rows_ - 2);
      Rows_ = rows;
      endRemoveRows();
    }
    // Rows keep their numbers, the entries behind them may have moved.
    if (Rows_ > 1) emit dataChanged(index(0, 0), index(Rows_ - 2, 1));
    emit headerDataChanged(Qt::Horizontal, 0, 1);
  }

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : Rows_ - 1; }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }

  QVariant data(const QModelIndex& index, int role) const override {
    const int r = index.row() + 1;
    if (!index.isValid() || r >= VarList->Count()) return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole) return ToQ(CellText(index.column(), r));
    if (role == Qt::BackgroundRole && r == kSysdateRow) return kSysdateBack;
    return {};
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || VarList->Count() == 0) return {};
    return ToQ(CellText(section, 0));
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.row() + 1 != kSysdateRow) f |= Qt::ItemIsEditable;
    return f;
  }

  bool setData(const QModelIndex& index, const QVariant& value, int role) override {
    const int r = index.row() + 1;
    if (role != Qt::EditRole || r >= VarList->Count() || r == kSysdateRow) return false;
    TVar* v = VarList->Items(r);
    const std::string text = FromQ(value.toString());
    if (text == (index.column() == 0 ? v->Name : v->Value)) return true;
    if (index.column() == 0)
      VarList->SetName(r, text);
    else
      v->Value = text;
    emit dataChanged(index, index);
    if (Project->Form) Project->Form->SetModified();
    return true;
  }

  static std::string CellText(int col, int row) {
    const TVar* v = VarList->Items(row);
    return col == 0 ? v->Name : v->Value;
  }

 private:
  int Rows_ = 1;
};

TfrmVars::TfrmVars(QWidget* parent) : QWidget(parent, Qt::Window) {
  frmVars = this;
  setObjectName(QStringLiteral("frmVars"));
  setWindowTitle(QStringLiteral("Variables"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  resize(398, 375);

  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);

  Panel2 = Named(new plat::TPanel(QString(), this), "Panel2");
  Panel2->setFixedHeight(5);
  Panel2->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  v->addWidget(Panel2);

  Panel3 = Named(new plat::TPanel(QString(), this), "Panel3");
  Panel3->setFixedHeight(36);
  sbAddRow = Named(new QToolButton(Panel3), "sbAddRow");
  spDeleteRow = Named(new QToolButton(Panel3), "spDeleteRow");
  sbAddRow->setText(QStringLiteral("+"));
  spDeleteRow->setText(QStringLiteral("-"));
  for (auto [b, hint] : {std::pair{sbAddRow, "Add variable (Ctrl+N)"}, std::pair{spDeleteRow, "Delete variable (Delete)"}}) {
    b->setAutoRaise(true);
    b->setFixedSize(31, 30);
    b->setToolTip(QString::fromLatin1(hint));
    b->setAccessibleName(QString::fromLatin1(hint));
  }
  spDeleteRow->setEnabled(false);
  auto* tb = new QHBoxLayout(Panel3);
  tb->setContentsMargins(3, 3, 3, 3);
  tb->setSpacing(0);
  tb->addWidget(sbAddRow);
  tb->addWidget(spDeleteRow);
  tb->addStretch(1);
  v->addWidget(Panel3);

  Panel1 = Named(new plat::TPanel(QString(), this), "Panel1");
  Panel1->setFrameStyle(QFrame::NoFrame);
  auto* gl = new QVBoxLayout(Panel1);
  gl->setContentsMargins(0, 0, 0, 0);
  Model_ = new TVarsModel(this);
  dgVars = Named(new TVarGrid(Panel1), "dgVars");
  dgVars->setModel(Model_);
  auto* delegate = new TVarDelegate(dgVars);
  delegate->OnEscape = [this] { FormKeyPress(Qt::Key_Escape); };
  delegate->OnKeyUp = [this](int key, Qt::KeyboardModifiers shift) { dgVarsKeyUp(key, shift); };
  dgVars->setItemDelegate(delegate);
  dgVars->setAccessibleName(QStringLiteral("Variables"));
  dgVars->verticalHeader()->hide();
  dgVars->verticalHeader()->setDefaultSectionSize(std::max(19, dgVars->fontMetrics().height() + 4));
  dgVars->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  dgVars->horizontalHeader()->setStretchLastSection(false);
  dgVars->horizontalHeader()->setSectionsClickable(false);
  dgVars->setSelectionMode(QAbstractItemView::ContiguousSelection);
  dgVars->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                          QAbstractItemView::AnyKeyPressed);
  dgVars->setShowGrid(true);
  dgVars->setColumnWidth(0, 125);
  dgVars->setColumnWidth(1, 255);
  gl->addWidget(dgVars);
  v->addWidget(Panel1, 1);

  pnlStatusBar = gui::StatusPanel(this, "pnlStatusBar", 23, lblStatus);
  v->addWidget(pnlStatusBar);

  Model_->SetRows(VarList->Count());

  FormStore = MakeProgramFormStore(Place_);
  FormStore->OnSave = [this](plat::TObject* sender, plat::TRegistry& reg) { FormStoreSave(sender, reg); };
  FormStore->Load();

  connect(dgVars->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
    if (!current.isValid()) return;
    plat::Safely([&] {
      bool can = true;
      dgVarsSelectCell(current.column(), current.row() + 1, can);
    });
  });
  gui::Bind(this, sbAddRow, &QToolButton::clicked, [this] { sbAddRowClick(); });
  gui::Bind(this, spDeleteRow, &QToolButton::clicked, [this] { spDeleteRowClick(); });
  dgVars->installEventFilter(this);
  dgVars->viewport()->installEventFilter(this);
  dgVars->horizontalHeader()->viewport()->installEventFilter(this);
}

TfrmVars::~TfrmVars() {
  // Saves the placement while the window is still whole.
  FormStore.reset();
  if (frmVars == this) frmVars = nullptr;
}

// ---- the grid ------------------------------------------------------------------

int TfrmVars::RowCount() const { return Model_->Rows(); }

void TfrmVars::SetRowCount(int rows) { Model_->SetRows(rows); }

int TfrmVars::Row() const {
  QModelIndex i = dgVars->currentIndex();
  return i.isValid() ? i.row() + 1 : kSysdateRow;
}

int TfrmVars::Col() const {
  QModelIndex i = dgVars->currentIndex();
  return i.isValid() ? i.column() : 0;
}

void TfrmVars::SetCurrentCell(int col, int row) { dgVars->setCurrentIndex(Model_->index(row - 1, col)); }

bool TfrmVars::Editing() const { return static_cast<const TVarGrid*>(dgVars)->Editing(); }

bool TfrmVars::CellEditing() const { return Model_->flags(dgVars->currentIndex()) & Qt::ItemIsEditable; }

int TfrmVars::ColWidth(int col) const { return dgVars->columnWidth(col); }

void TfrmVars::SetColWidth(int col, int width) { dgVars->setColumnWidth(col, width); }

int TfrmVars::GridClientWidth() const { return dgVars->viewport()->width(); }

void TfrmVars::MarkModified() {
  Project->Modified = true;
  if (Project->Form) Project->Form->SetModified();
}

// ---- handlers ------------------------------------------------------------------

void TfrmVars::dgVarsSelectCell(int, int row, bool& CanSelect) {
  spDeleteRow->setEnabled(row != kSysdateRow);
  std::string name = row >= 0 && row < VarList->Count() ? VarList->Items(row)->Name : std::string();
  if (!plat::Trim(name).empty()) {
    lblStatus->setText(ToQ("For including variable use the tag <iVar " + name + ">"));
  } else {
    lblStatus->clear();
  }
  CanSelect = true;
}

void TfrmVars::dgVarsKeyUp(int key, Qt::KeyboardModifiers shift) {
  if ((shift & Qt::ControlModifier) && key == Qt::Key_N) {
    sbAddRowClick();
  } else if (key == Qt::Key_Delete && spDeleteRow->isEnabled() && !Editing()) {
    spDeleteRowClick();
  }
}

void TfrmVars::dgVarsMouseUp(int, int) { SetColWidth(1, GridClientWidth() - ColWidth(0) - 1); }

void TfrmVars::sbAddRowClick() {
  // Ctrl+N in a cell's editor: the text typed there is kept, not reset by
  // the rows being redrawn.
  static_cast<TVarGrid*>(dgVars)->CommitEdit();
  VarList->AddVar("", "", DateTimeIdText(DateTimeNow()));
  SetRowCount(RowCount() + 1);
  FormResize();
  SetCurrentCell(Col(), RowCount() - 1);
  SetCurrentCell(0, RowCount() - 1);
  dgVars->setFocus();
  MarkModified();
}

void TfrmVars::spDeleteRowClick() {
  VarList->DeleteVar(Row());
  SetRowCount(RowCount() - 1);
  FormResize();
  MarkModified();
}

void TfrmVars::FormResize() {
  const int w0 = ColWidth(0);
  const int w1 = ColWidth(1);
  // Both columns squeezed to nothing leave no ratio to keep.
  if (w0 + w1 <= 0) return;
  const int total = GridClientWidth();
  const int col0 = static_cast<int>(static_cast<long long>(w0) * total / (w0 + w1));
  SetColWidth(0, col0);
  SetColWidth(1, total - col0 - 1);
}

void TfrmVars::FormKeyPress(int key) {
  if (key == Qt::Key_Escape) hide();
}

void TfrmVars::ToggleVariablesWindow() { setVisible(!isVisible()); }

void TfrmVars::FormStoreSave(plat::TObject*, plat::TRegistry&) {}

bool TfrmVars::eventFilter(QObject* watched, QEvent* event) {
  if (watched == dgVars && event->type() == QEvent::KeyRelease) {
    auto* k = static_cast<QKeyEvent*>(event);
    if (!k->isAutoRepeat()) plat::Safely([&] { dgVarsKeyUp(k->key(), k->modifiers()); });
  } else if (watched == dgVars->viewport() && event->type() == QEvent::Resize) {
    plat::Safely([this] { FormResize(); });
  } else if (watched == dgVars->horizontalHeader()->viewport() && event->type() == QEvent::MouseButtonRelease) {
    auto* m = static_cast<QMouseEvent*>(event);
    const QPoint p = m->position().toPoint();
    plat::Safely([&] { dgVarsMouseUp(p.x(), p.y()); });
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmVars::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    FormKeyPress(Qt::Key_Escape);
    return;
  }
  QWidget::keyPressEvent(e);
}

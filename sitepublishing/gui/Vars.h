// The variables editor: the project's variables in a two-column grid,
// edited in place in the program's one variable list. Grid rows count as
// the list does: row 0 is the header ("Name"/"Value"), row 1 the built-in
// sysdate row, the user's variables follow.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "sitepublishing/gui/FormPlacement.h"

class QLabel;
class QTableView;
class QToolButton;

namespace plat {
class TObject;
class TPanel;
class TRegistry;
}  // namespace plat

class TVarsModel;

class TfrmVars : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmVars(QWidget* parent = nullptr);
  ~TfrmVars() override;

  // ---- components ----
  plat::TPanel* Panel2 = nullptr;
  plat::TPanel* Panel3 = nullptr;
  QToolButton* sbAddRow = nullptr;
  QToolButton* spDeleteRow = nullptr;
  plat::TPanel* Panel1 = nullptr;
  QTableView* dgVars = nullptr;
  plat::TPanel* pnlStatusBar = nullptr;
  QLabel* lblStatus = nullptr;
  std::unique_ptr<TFormStore> FormStore;

  // ---- the grid, in the list's row numbers ----
  int RowCount() const;
  // Set after the list was cleared or loaded, and on add and delete.
  void SetRowCount(int rows);
  int Row() const;  // current row; 1 when nothing is current
  int Col() const;  // current column; 0 when nothing is current
  void SetCurrentCell(int col, int row);
  // The in-place editor is open.
  bool Editing() const;
  // The current row's cells can be edited.
  bool CellEditing() const;
  int ColWidth(int col) const;
  void SetColWidth(int col, int width);
  // The grid's client width (without its scroll bar).
  int GridClientWidth() const;

  // ---- handlers ----
  void dgVarsSelectCell(int col, int row, bool& CanSelect);
  void dgVarsKeyUp(int key, Qt::KeyboardModifiers shift);
  void dgVarsMouseUp(int x, int y);
  void sbAddRowClick();
  void spDeleteRowClick();
  void FormResize();
  void FormKeyPress(int key);
  void ToggleVariablesWindow();
  void FormStoreSave(plat::TObject* Sender, plat::TRegistry& Reg);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void MarkModified();

  TVarsModel* Model_ = nullptr;
  TWidgetForm Place_{this};
};

// The program's one variables window (set while it exists).
extern TfrmVars* frmVars;

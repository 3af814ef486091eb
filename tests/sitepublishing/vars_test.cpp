// The variables editor offscreen, beside the main window whose Save button
// it enables: the fixed rows, adding, deleting, editing, the status hint and
// the column refit.
#include <QAbstractItemModel>
#include <QAccessible>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include "platform/qt/qtext.h"
#include "tests/sitepublishing/windows_fixture.h"

using plat::FromQ;
using plat::ToQ;

namespace {

using pubtest::Settle;

class VarsWindow : public pubtest::WindowsTest {
 protected:
  void SetUp() override {
    pubtest::WindowsTest::SetUp();
    Start();
    Vars->show();
    Vars->activateWindow();
    Settle();
  }
  TfrmVars& V() { return *Vars; }
  // What the grid shows in a cell, in the list's row numbers.
  std::string Cell(int col, int row) {
    QAbstractItemModel* m = V().dgVars->model();
    if (row == 0) return FromQ(m->headerData(col, Qt::Horizontal).toString());
    return FromQ(m->index(row - 1, col).data().toString());
  }
  QColor Back(int row) { return V().dgVars->model()->index(row - 1, 0).data(Qt::BackgroundRole).value<QColor>(); }
  std::string Status() { return FromQ(V().lblStatus->text()); }
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(V().dgVars, Qt::Key(key), mods); }
  // The grid's in-place editor while it is open.
  QLineEdit* Editor() { return V().dgVars->viewport()->findChild<QLineEdit*>(); }
  void AddVar(const std::string& name, const std::string& value) {
    VarList->AddVar(name, value, "1");
    V().SetRowCount(VarList->Count());
  }
};

TEST_F(VarsWindow, FixedRows) {
  EXPECT_EQ(FromQ(V().windowTitle()), "Variables");
  EXPECT_EQ(V().RowCount(), 2);
  EXPECT_EQ(Cell(0, 0), "Name");
  EXPECT_EQ(Cell(1, 0), "Value");
  EXPECT_EQ(Cell(0, 1), "sysdate");
  EXPECT_EQ(Cell(1, 1), VarList->Items(1)->Value);
  EXPECT_EQ(Back(1), QColor(230, 230, 230));
  EXPECT_EQ(FromQ(V().sbAddRow->toolTip()), "Add variable (Ctrl+N)");
  EXPECT_EQ(FromQ(V().spDeleteRow->toolTip()), "Delete variable (Delete)");
  EXPECT_FALSE(V().spDeleteRow->isEnabled());

  V().SetCurrentCell(1, 1);
  EXPECT_FALSE(V().CellEditing());
  EXPECT_FALSE(V().spDeleteRow->isEnabled());
  EXPECT_EQ(Status(), "For including variable use the tag <iVar sysdate>");
  // Typing on the sysdate row opens no editor.
  Key(Qt::Key_A);
  EXPECT_FALSE(V().Editing());
  Key(Qt::Key_Delete);
  EXPECT_EQ(VarList->Count(), 2);
}

TEST_F(VarsWindow, CtrlNAddsARowReadyForItsName) {
  ASSERT_FALSE(Main->sbSave->isEnabled());
  V().dgVars->setFocus();
  Key(Qt::Key_N, Qt::ControlModifier);
  ASSERT_EQ(VarList->Count(), 3);
  EXPECT_EQ(V().RowCount(), 3);
  EXPECT_EQ(VarList->Items(2)->Name, "");
  EXPECT_FALSE(VarList->Items(2)->Id.empty());
  EXPECT_EQ(V().Row(), 2);
  EXPECT_EQ(V().Col(), 0);
  EXPECT_TRUE(V().dgVars->hasFocus());
  EXPECT_TRUE(V().CellEditing());
  EXPECT_TRUE(V().spDeleteRow->isEnabled());
  EXPECT_TRUE(Project->Modified);
  EXPECT_TRUE(Main->sbSave->isEnabled());

  // The name typed into the new cell lands in the list.
  Key(Qt::Key_T);
  ASSERT_TRUE(V().Editing());
  QTest::keyClicks(Editor(), QStringLiteral("itle"));
  QTest::keyClick(Editor(), Qt::Key_Return);
  Settle();  // the grid takes the text back from its queue
  EXPECT_FALSE(V().Editing());
  EXPECT_EQ(VarList->Items(2)->Name, "title");
  V().SetCurrentCell(1, 1);
  V().SetCurrentCell(0, 2);
  EXPECT_EQ(Status(), "For including variable use the tag <iVar title>");
}

TEST_F(VarsWindow, EditingAValueMarksTheProjectModified) {
  AddVar("title", "old");
  V().SetCurrentCell(1, 2);
  Project->Modified = false;
  Main->UpdateButtons();
  QTest::keyClick(V().dgVars, Qt::Key_F2);
  ASSERT_TRUE(V().Editing());
  QLineEdit* editor = Editor();
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClicks(editor, QStringLiteral("a=b <c>"));
  QTest::keyClick(editor, Qt::Key_Return);
  Settle();
  EXPECT_EQ(VarList->Items(2)->Value, "a=b <c>");
  EXPECT_TRUE(Project->Modified);
  EXPECT_TRUE(Main->sbSave->isEnabled());
}

// A name edited in the grid is the one a page's tag finds next.
TEST_F(VarsWindow, ARenamedVariableIsWhatPagesFind) {
  AddVar("title", "My Site");
  ASSERT_EQ(VarList->GetValue("title"), "My Site");
  V().SetCurrentCell(0, 2);
  QTest::keyClick(V().dgVars, Qt::Key_F2);
  ASSERT_TRUE(V().Editing());
  Editor()->selectAll();
  QTest::keyClicks(Editor(), QStringLiteral("heading"));
  QTest::keyClick(Editor(), Qt::Key_Return);
  Settle();
  EXPECT_EQ(VarList->Items(2)->Name, "heading");
  EXPECT_EQ(VarList->GetValue("Heading"), "My Site");
  EXPECT_EQ(VarList->GetValue("title"), "");
}

TEST_F(VarsWindow, StatusHint) {
  struct Case {
    std::string Name, Status;
  } cases[] = {
      {"", ""},
      {"   ", ""},
      {" my var ", "For including variable use the tag <iVar  my var >"},
      {"x", "For including variable use the tag <iVar x>"},
  };
  for (const Case& c : cases) AddVar(c.Name, "v");
  for (int i = 0; i < 4; ++i) {
    V().SetCurrentCell(0, 1);
    V().SetCurrentCell(1, i + 2);
    EXPECT_EQ(Status(), cases[i].Status) << "'" << cases[i].Name << "'";
  }
}

TEST_F(VarsWindow, DeleteOnlyWhenNotEditing) {
  AddVar("a", "1");
  AddVar("b", "2");
  V().SetCurrentCell(0, 3);
  V().dgVars->setFocus();
  QTest::keyClick(V().dgVars, Qt::Key_F2);
  ASSERT_TRUE(V().Editing());
  // Delete inside the editor edits the text, the row stays, also when the
  // key's release reaches the grid.
  QTest::keyClick(Editor(), Qt::Key_Delete);
  V().dgVarsKeyUp(Qt::Key_Delete, Qt::NoModifier);
  EXPECT_EQ(VarList->Count(), 4);
  QTest::keyClick(Editor(), Qt::Key_Return);
  Settle();
  ASSERT_FALSE(V().Editing());

  Project->Modified = false;
  Key(Qt::Key_Delete);
  ASSERT_EQ(VarList->Count(), 3);
  EXPECT_EQ(VarList->Items(2)->Name, "a");
  EXPECT_EQ(V().RowCount(), 3);
  EXPECT_TRUE(Project->Modified);
  // The current row was the last: it moves up and the rules run again.
  EXPECT_EQ(V().Row(), 2);
  Key(Qt::Key_Delete);
  EXPECT_EQ(VarList->Count(), 2);
  EXPECT_EQ(V().Row(), 1);
  EXPECT_FALSE(V().spDeleteRow->isEnabled());
  Key(Qt::Key_Delete);
  EXPECT_EQ(VarList->Count(), 2);
}

TEST_F(VarsWindow, DeletingAMiddleRowShowsTheNextOne) {
  AddVar("a", "1");
  AddVar("b", "2");
  V().SetCurrentCell(0, 2);
  V().spDeleteRow->click();
  EXPECT_EQ(V().Row(), 2);
  EXPECT_EQ(Cell(0, 2), "b");
  EXPECT_EQ(V().RowCount(), 3);
}

TEST_F(VarsWindow, ColumnsKeepTheirRatioAndTheHeaderGivesTheRest) {
  V().SetColWidth(0, 100);
  V().SetColWidth(1, 200);
  V().resize(600, 400);
  Settle();
  int w = V().GridClientWidth();
  EXPECT_EQ(V().ColWidth(0), 100 * w / 300);
  EXPECT_EQ(V().ColWidth(1), w - 100 * w / 300 - 1);

  V().SetColWidth(0, 50);
  QWidget* header = V().dgVars->horizontalHeader()->viewport();
  QTest::mouseRelease(header, Qt::LeftButton, Qt::NoModifier, QPoint(50, 5));
  EXPECT_EQ(V().ColWidth(1), w - 50 - 1);
}

TEST_F(VarsWindow, EscAndTheVariablesButtonShowAndHide) {
  QTest::keyClick(&V(), Qt::Key_Escape);
  EXPECT_FALSE(V().isVisible());
  Main->sbVariables->click();
  EXPECT_TRUE(V().isVisible());
  Main->sbVariables->click();
  EXPECT_FALSE(V().isVisible());
}

// The window sees Ctrl+N and Esc before the cell editor does.
TEST_F(VarsWindow, CtrlNAndEscReachTheWindowWhileACellIsEdited) {
  AddVar("title", "old");
  V().SetCurrentCell(0, 2);
  V().dgVars->setFocus();
  QTest::keyClick(V().dgVars, Qt::Key_F2);
  ASSERT_TRUE(V().Editing());
  Editor()->selectAll();
  QTest::keyClicks(Editor(), QStringLiteral("name"));
  QTest::keyClick(Editor(), Qt::Key_N, Qt::ControlModifier);
  Settle();
  // A row is added; the edit in the row left behind is kept.
  ASSERT_EQ(VarList->Count(), 4);
  EXPECT_EQ(VarList->Items(2)->Name, "name");
  EXPECT_EQ(V().Row(), 3);
  EXPECT_EQ(V().Col(), 0);
  EXPECT_FALSE(V().Editing());

  // Esc in the editor drops its edit and hides the window.
  V().SetCurrentCell(1, 2);
  QTest::keyClick(V().dgVars, Qt::Key_F2);
  ASSERT_TRUE(V().Editing());
  Editor()->selectAll();
  QTest::keyClicks(Editor(), QStringLiteral("new"));
  QTest::keyClick(Editor(), Qt::Key_Escape);
  Settle();
  EXPECT_FALSE(V().isVisible());
  EXPECT_FALSE(V().Editing());
  EXPECT_EQ(VarList->Items(2)->Value, "old");
  EXPECT_EQ(VarList->Count(), 4);
}

// The cell editor, as a screen reader reaches it from the window through
// the focus: named after its column, and for a value after its variable.
TEST_F(VarsWindow, TheCellEditorIsReachableByAReader) {
  AddVar("title", "My Site");
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&V());
  QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(V().dgVars);
  ASSERT_NE(window, nullptr);
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->text(QAccessible::Name), "Variables");
  struct Case {
    int Col;
    QString Name, Description, Text;
  } cases[] = {{0, "Name", "", "title"}, {1, "Value", "title", "My Site"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name.toStdString());
    V().SetCurrentCell(c.Col, 2);
    V().dgVars->setFocus();
    QTest::keyClick(V().dgVars, Qt::Key_F2);
    ASSERT_TRUE(V().Editing());
    // A widget with the focus is its own focus child.
    QAccessibleInterface* editor = window;
    for (int depth = 0; depth < 20; ++depth) {
      QAccessibleInterface* next = editor->focusChild();
      if (!next || next == editor) break;
      editor = next;
    }
    EXPECT_EQ(editor->object(), Editor());
    EXPECT_EQ(editor->role(), QAccessible::EditableText);
    EXPECT_EQ(editor->text(QAccessible::Name), c.Name);
    EXPECT_EQ(editor->text(QAccessible::Description), c.Description);
    ASSERT_NE(editor->textInterface(), nullptr);
    EXPECT_EQ(editor->textInterface()->text(0, editor->textInterface()->characterCount()), c.Text);
    EXPECT_TRUE(editor->state().focused);
    // Up from the editor, the reader comes to the grid.
    QAccessibleInterface* up = editor->parent();
    while (up && up != grid) up = up->parent();
    EXPECT_EQ(up, grid);
    QTest::keyClick(Editor(), Qt::Key_Return);
    Settle();
  }
}

TEST_F(VarsWindow, NewProjectResetsTheGrid) {
  AddVar("a", "1");
  V().SetCurrentCell(0, 2);
  Main->sbNewClick();
  EXPECT_EQ(V().RowCount(), 2);
  EXPECT_EQ(VarList->Count(), 2);
}

}  // namespace

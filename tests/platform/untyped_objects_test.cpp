// Our accessibility factories and interfaces, and the application's event
// filter, meet objects of every library in the program, the web engine's
// among them, which carry no C++ type information: they must pass such
// objects over or compare them by address, never cast or call them (a page
// taking the focus used to end the program).
#include <gtest/gtest.h>

#include <QAccessible>
#include <QMenu>
#include <QWidget>

#include "platform/qt/chart.h"
#include "platform/qt/drawgrid.h"
#include "platform/qt/qtbridge.h"
#include "tests/platform/untyped_objects.h"
#include "tests/support/qt_app.h"

namespace {

TEST(UntypedObjects, FactoriesPassThemOverToQt) {
  testsupport::QtApp();
  QWidget window;
  // Their factories are in place once a chart and a grid exist.
  auto* chart = new plat::TChart(&window);
  auto* grid = new plat::TDrawGrid(&window);
  QWidget* untyped = untyped::MakeWidget(&window);
  window.show();
  // What Qt's own factory makes of a plain widget.
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(untyped);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->object(), untyped);
  EXPECT_EQ(a->role(), QAccessible::Client);
  // Ours still make theirs.
  EXPECT_EQ(QAccessible::queryAccessibleInterface(chart)->role(), QAccessible::Chart);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(grid)->role(), QAccessible::List);
}

TEST(UntypedObjects, ChildIndexesAreOursOnly) {
  testsupport::QtApp();
  QWidget window;
  auto* chart = new plat::TChart(&window);
  QMenu menu;
  chart->SetPopupMenu(&menu);
  auto* grid = new plat::TDrawGrid(&window);
  grid->OnRowText = [](int row) { return QString::number(row); };
  grid->SetRowCount(3);
  window.show();
  QAccessibleInterface* foreign = untyped::MakeInterface(grid);
  struct Case {
    const char* name;
    QAccessibleInterface* parent;
    QAccessibleInterface* own;
    int ownIndex;
  };
  QAccessibleInterface* chartA = QAccessible::queryAccessibleInterface(chart);
  QAccessibleInterface* gridA = QAccessible::queryAccessibleInterface(grid);
  const Case cases[] = {
      {"chart and its menu", chartA, QAccessible::queryAccessibleInterface(&menu), chartA->childCount() - 1},
      {"grid and its last row", gridA, gridA->child(2), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.own, nullptr);
    EXPECT_EQ(c.parent->indexOfChild(c.own), c.ownIndex);
    EXPECT_EQ(c.parent->indexOfChild(foreign), -1);
    EXPECT_EQ(c.parent->indexOfChild(nullptr), -1);
  }
  untyped::FreeInterface(foreign);
}

TEST(UntypedObjects, TheirEventsPassTheApplicationsFilter) {
  testsupport::QtApp();
  plat::InstallQtBridge();
  QWidget window;
  QWidget* untyped = untyped::MakeWidget(&window);
  // The sanitizer build stops at a member call on such an event.
  QEvent* e = untyped::MakeEvent();
  QCoreApplication::sendEvent(untyped, e);
  untyped::FreeEvent(e);
}

}  // namespace

// The folder picker over the Qt browse dialog, driven by a timer while the
// dialog runs modally, as a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <functional>

#include "ftpcomponents/PathDialog.h"
#include "platform/qt/browsedialog.h"
#include "platform/qt/qtext.h"
#include "tests/support/dialog_recorder.h"
#include "tests/support/private_home.h"
#include "tests/support/qt_app.h"

namespace {

// Runs `step` on the browse dialog once it is up.
void WhenDialogUp(std::function<void(plat::TBrowseFolderDialog&)> step) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, step] {
    auto* dlg = qobject_cast<plat::TBrowseFolderDialog*>(QApplication::activeModalWidget());
    if (!dlg || !dlg->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    step(*dlg);
  });
  timer->start();
}

void Click(plat::TBrowseFolderDialog& dlg, QDialogButtonBox::StandardButton which) {
  dlg.Buttons->button(which)->click();
}

// What the user does by clicking a folder in the tree.
void ClickFolder(plat::TBrowseFolderDialog& dlg, const std::string& path) {
  auto* model = qobject_cast<QFileSystemModel*>(dlg.tvFolders->model());
  dlg.tvFolders->setCurrentIndex(model->index(plat::ToQ(path)));
}

class PathDialogQt : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::QtApp();
    plat::InstallQtBrowseForFolder();
    root_.MakeFolder("site/img");
    root_.MakeFolder("other");
  }
  void TearDown() override { plat::SetBrowseForFolderHandler(nullptr); }
  std::string P(const std::string& rel) const { return root_.Path(rel); }
  testsupport::TempFolder root_{"picker"};
  testsupport::DialogRecorder rec_;
};

TEST_F(PathDialogQt, ConfirmedChoiceAfterTheUserMovesTheSelection) {
  TPathDialog d(nullptr);
  d.Title = "Enter path for upload";
  d.RootItem = riDesktop;
  d.ShowStatus = true;
  d.SetStatusText("Choose the site");
  d.SetDirectory(P("site") + "/");
  int shown = 0;
  std::vector<std::string> selected;
  d.OnShow = [&](plat::TObject*) { ++shown; };
  d.OnSelect = [&](plat::TObject*, const std::string& path) { selected.push_back(path); };
  std::string atStart, status, title;
  WhenDialogUp([&](plat::TBrowseFolderDialog& dlg) {
    atStart = dlg.SelectedPath();
    status = plat::FromQ(dlg.lblStatus->text());
    title = plat::FromQ(dlg.lblTitle->text());
    ClickFolder(dlg, P("other"));
    Click(dlg, QDialogButtonBox::Ok);
  });
  ASSERT_TRUE(d.Execute());
  EXPECT_EQ(atStart, P("site"));
  EXPECT_EQ(status, "Choose the site");
  EXPECT_EQ(title, "Enter path for upload");
  EXPECT_EQ(shown, 1);
  ASSERT_FALSE(selected.empty());
  EXPECT_EQ(selected.back(), P("other"));
  EXPECT_EQ(d.Directory(), P("other"));
}

TEST_F(PathDialogQt, CancelAndAFailingHandlerLeaveTheDialogUsable) {
  TPathDialog d(nullptr);
  d.SetDirectory(P("site/img"));
  d.OnSelect = [](plat::TObject*, const std::string&) { throw plat::Exception("Not that one"); };
  bool stillOpen = false;
  bool noStatusLine = false;
  WhenDialogUp([&](plat::TBrowseFolderDialog& dlg) {
    noStatusLine = dlg.lblStatus == nullptr;
    ClickFolder(dlg, P("other"));
    stillOpen = dlg.isVisible();
    Click(dlg, QDialogButtonBox::Cancel);
  });
  EXPECT_FALSE(d.Execute());
  EXPECT_TRUE(noStatusLine);
  EXPECT_TRUE(stillOpen);
  // Once for the selection made at initialisation, once for the click.
  EXPECT_EQ(rec_.Messages, (std::vector<std::string>{"Not that one", "Not that one"}));
  EXPECT_EQ(d.Directory(), P("site/img"));
}

TEST_F(PathDialogQt, TheTreeStartsAtHome) {
  plat::BROWSEINFO info;
  info.Root = "/";
  plat::TBrowseFolderDialog dlg(info);
  EXPECT_EQ(dlg.SelectedPath(), plat::FromQ(QDir::homePath()));
}

}  // namespace

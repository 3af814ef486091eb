// The folder picker over a scripted browse dialog: the Directory writer, what
// the dialog is given, what its callback does, and what Execute returns.
#include "ftpcomponents/PathDialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <vector>

#include "platform/shell/browsefolder.h"
#include "tests/support/dialog_recorder.h"

namespace {

std::string Cwd() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? buf : "";
}

// A browse dialog that records what it is told and plays a script: the
// initialisation, then the selection moves, then the user's answer.
struct ScriptedBrowser : plat::IBrowseWindow {
  std::vector<std::string> Selections, Statuses;
  std::vector<std::string> SelectionMoves;
  bool Confirm = true;
  std::string Chosen;
  plat::BROWSEINFO Seen;
  std::vector<int> CallbackResults;
  std::function<void()> AfterInit;

  void SetSelection(const std::string& path) override { Selections.push_back(path); }
  void SetStatusText(const std::string& text) override { Statuses.push_back(text); }

  void Install() {
    plat::SetBrowseForFolderHandler([this](const plat::BROWSEINFO& info, std::string& path) {
      Seen = info;
      CallbackResults.push_back(info.Callback(*this, plat::BFFM_INITIALIZED, ""));
      if (AfterInit) AfterInit();
      for (const std::string& move : SelectionMoves)
        CallbackResults.push_back(info.Callback(*this, plat::BFFM_SELCHANGED, move));
      if (!Confirm) return false;
      path = Chosen;
      return true;
    });
  }
  ~ScriptedBrowser() { plat::SetBrowseForFolderHandler(nullptr); }
};

TEST(PathDialog, DirectoryWriter) {
  struct Case {
    std::string In, Stored;
  } cases[] = {
      {"/srv/web/", "/srv/web"}, {"/srv/web//", "/srv/web/"}, {"/srv/web", "/srv/web"},
      {"/", "/"},                {"site/", "site"},           {"", Cwd()},
  };
  TPathDialog d(nullptr);
  for (const Case& c : cases) {
    d.SetDirectory(c.In);
    EXPECT_EQ(d.Directory(), c.Stored) << "'" << c.In << "'";
  }
}

TEST(PathDialog, InitialisationAppliesDirectoryAndStatusThenShows) {
  testsupport::DialogRecorder rec;
  ScriptedBrowser b;
  b.Install();
  b.Chosen = "/srv";
  TPathDialog d(nullptr);
  d.Title = "Enter path for upload";
  d.RootItem = riDesktop;
  d.ShowStatus = true;
  d.SetDirectory("/srv/web/");
  d.SetStatusText("first");
  std::vector<std::string> seenAtShow;
  d.OnShow = [&](plat::TObject* sender) {
    EXPECT_EQ(sender, &d);
    seenAtShow = b.Selections;
    // While the dialog is open both writers reach it.
    d.SetStatusText("second");
    d.SetDirectory("/srv/other/");
  };
  ASSERT_TRUE(d.Execute());
  EXPECT_EQ(b.Seen.Title, "Enter path for upload");
  EXPECT_EQ(b.Seen.Root, "/");
  EXPECT_EQ(b.Seen.Flags, plat::BIF_RETURNONLYFSDIRS | plat::BIF_STATUSTEXT);
  EXPECT_EQ(seenAtShow, std::vector<std::string>{"/srv/web"});
  EXPECT_EQ(b.Selections, (std::vector<std::string>{"/srv/web", "/srv/other"}));
  EXPECT_EQ(b.Statuses, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(d.Directory(), "/srv");
  EXPECT_TRUE(rec.Messages.empty());

  // Closed: the writers only store.
  d.SetDirectory("/var/");
  d.SetStatusText("third");
  EXPECT_EQ(b.Selections.size(), 2u);
  EXPECT_EQ(b.Statuses.size(), 2u);
}

TEST(PathDialog, WithoutStatusLineTheStatusTextIsOnlyStored) {
  ScriptedBrowser b;
  b.Install();
  b.Confirm = false;
  TPathDialog d(nullptr);
  d.SetStatusText("kept");
  d.OnShow = [&](plat::TObject*) { d.SetStatusText("also kept"); };
  EXPECT_FALSE(d.Execute());
  EXPECT_EQ(b.Seen.Flags, plat::BIF_RETURNONLYFSDIRS);
  EXPECT_TRUE(b.Statuses.empty());
  EXPECT_EQ(d.StatusText(), "also kept");
}

TEST(PathDialog, ExecuteResults) {
  struct Case {
    const char* Name;
    std::string Initial;
    bool Confirm;
    std::string Chosen;
    bool Result;
    std::string Directory;
  } cases[] = {
      {"confirmed", "/srv/web/", true, "/home/site", true, "/home/site"},
      {"the root keeps its slash", "/srv", true, "/", true, "/"},
      {"cancelled keeps the re-applied value", "/srv/web/", false, "", false, "/srv/web"},
      {"cancelled with nothing set gives the current directory", "", false, "", false, Cwd()},
      {"no folder chosen", "/srv/", true, "", false, "/srv"},
  };
  for (const Case& c : cases) {
    ScriptedBrowser b;
    b.Install();
    b.Confirm = c.Confirm;
    b.Chosen = c.Chosen;
    TPathDialog d(nullptr);
    if (!c.Initial.empty()) d.SetDirectory(c.Initial);
    EXPECT_EQ(d.Execute(), c.Result) << c.Name;
    EXPECT_EQ(d.Directory(), c.Directory) << c.Name;
  }
}

TEST(PathDialog, HandlerErrorsAreShownAndTheDialogGoesOn) {
  testsupport::DialogRecorder rec;
  ScriptedBrowser b;
  b.Install();
  b.SelectionMoves = {"/srv", "", "/srv/web"};
  b.Chosen = "/srv/web";
  TPathDialog d(nullptr);
  std::vector<std::string> selected;
  d.OnShow = [](plat::TObject*) { throw plat::Exception("not ready"); };
  d.OnSelect = [&](plat::TObject*, const std::string& path) {
    selected.push_back(path);
    if (path.empty()) throw plat::Exception("no folder");
  };
  EXPECT_TRUE(d.Execute());
  EXPECT_EQ(selected, (std::vector<std::string>{"/srv", "", "/srv/web"}));
  EXPECT_EQ(rec.Messages, (std::vector<std::string>{"not ready", "no folder"}));
  EXPECT_EQ(b.CallbackResults, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(d.Directory(), "/srv/web");
}

TEST(PathDialog, NoDialogCountsAsCancelled) {
  plat::SetBrowseForFolderHandler(nullptr);
  TPathDialog d(nullptr);
  d.SetDirectory("/srv");
  bool shown = false;
  d.OnShow = [&](plat::TObject*) { shown = true; };
  EXPECT_FALSE(d.Execute());
  EXPECT_FALSE(shown);
  EXPECT_EQ(d.Directory(), "/srv");
}

}  // namespace

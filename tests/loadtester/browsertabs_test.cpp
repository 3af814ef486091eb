// The browser tabs of the load tester's window with scripted browsers in
// place of the engine: the URL edits, the download tab's states and texts,
// failed navigations, and the results browser's rule and late start.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <functional>
#include <map>

#include "loadtester/BrowserText.h"
#include "loadtester/HttpAsy1.h"
#include "loadtester/splash.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/qtext.h"
#include "platform/qt/webengine/webbrowser.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"
#include "tests/support/fake_browser.h"
#include "tests/support/private_home.h"
#include "tests/support/qt_app.h"

using testsupport::FakeBrowser;

namespace {

struct Recorder : plat::IUserDialogs {
  std::vector<std::string> errors;
  std::vector<unsigned> beeps;
  void ShowMessage(const std::string&) override {}
  void MessageBeep(unsigned type) override { beeps.push_back(type); }
  bool ShellOpen(const std::string&) override { return true; }
  void ErrorBox(const std::string& m) override { errors.push_back(m); }
};

std::string Text(const QLabel* l) { return plat::FromQ(l->text()); }

class BrowserTabs : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::QtApp();
    versionstr = "3.04";
    plat::SetCommandLine(std::vector<std::string>{"browsertabs_test"});
    old_ = plat::SetUserDialogs(&rec_);
    plat::InstallErrorBoxHook();
    plat::SetTickSourceForTests([this] { return tick_; });
    // Each browser the window starts is a fake, found by its place's name.
    plat::SetWebBrowserMaker([this](QWidget* host, const plat::TBrowserOptions& o) {
      auto b = std::make_unique<FakeBrowser>();
      made_[plat::FromQ(host->objectName())] = b.get();
      options_[plat::FromQ(host->objectName())] = o;
      return b;
    });
    form_ = std::make_unique<THttpAsyForm>();
    form_->show();
    Settle();
  }
  void TearDown() override {
    form_.reset();
    plat::SetWebBrowserMaker(nullptr);
    plat::SetTickSourceForTests(nullptr);
    plat::SetUserDialogs(old_);
    plat::SetApplicationErrorHook(nullptr);
  }
  static void Settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
  }
  FakeBrowser* Made(const std::string& name) { return made_.count(name) ? made_[name] : nullptr; }

  testsupport::PrivateHome home_;
  Recorder rec_;
  plat::IUserDialogs* old_ = nullptr;
  std::int64_t tick_ = 100000;
  std::map<std::string, FakeBrowser*> made_;
  std::map<std::string, plat::TBrowserOptions> options_;
  std::unique_ptr<THttpAsyForm> form_;
};

TEST_F(BrowserTabs, NoBrowserStartsUntilOneIsNeeded) {
  EXPECT_TRUE(made_.empty());
  // Stop and Back before any page: nothing to stop, no earlier page.
  form_->stopbutton->click();
  form_->Button7->click();
  EXPECT_TRUE(made_.empty());
  form_->Backbutton->click();
  EXPECT_TRUE(made_.empty());
  ASSERT_EQ(rec_.errors.size(), 1u);
  EXPECT_EQ(rec_.errors[0], "There is no earlier page to go back to");
}

TEST_F(BrowserTabs, GoToUrlAndEveryNavigationOfTheBrowseTabFillAllThreeEdits) {
  form_->url1->setText("http://first.example/");
  form_->gotobutton->click();
  FakeBrowser* b = Made("WebBrowser2");
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(options_["WebBrowser2"].confineLocalContent);
  EXPECT_EQ(b->calls, std::vector<std::string>{"Navigate http://first.example/"});
  // A link or a frame inside the page: the last address asked for stays.
  for (const char* url : {"http://first.example/link.htm", "http://first.example/frame.htm"}) {
    bool cancel = false;
    b->DoBeforeNavigate(url, cancel);
    EXPECT_FALSE(cancel);
    for (QLineEdit* e : {form_->url1, form_->URLEdit, form_->Edit2}) EXPECT_EQ(plat::FromQ(e->text()), url);
  }
  b->DoStatusTextChange("Done");
  EXPECT_EQ(Text(form_->Label15), "Status: Done");
  form_->stopbutton->click();
  b->canGoBack = true;
  form_->Backbutton->click();
  EXPECT_EQ(b->calls.back(), "GoBack");
  EXPECT_EQ(b->calls[1], "Stop");
  EXPECT_TRUE(rec_.errors.empty());
  // Back without an earlier page reaches the error box.
  b->canGoBack = false;
  form_->Backbutton->click();
  EXPECT_EQ(rec_.errors, std::vector<std::string>{"There is no earlier page to go back to"});
}

TEST_F(BrowserTabs, FailedNavigationsAreShownInTheirTabWithTheStopBeep) {
  struct Case {
    const char* tab;
    QLabel* THttpAsyForm::*label;
    QPushButton* THttpAsyForm::*button;
  };
  for (Case c : {Case{"WebBrowser2", &THttpAsyForm::Label15, &THttpAsyForm::gotobutton},
                 Case{"WebBrowser1", &THttpAsyForm::Label11, &THttpAsyForm::Button6}}) {
    SCOPED_TRACE(c.tab);
    rec_.beeps.clear();
    // An empty address starts no browser at all.
    form_->URLEdit->setText("");
    (form_.get()->*c.button)->click();
    EXPECT_EQ(Text(form_.get()->*c.label), "Unable to navigate to . No address was given.");
    EXPECT_EQ(Made(c.tab), nullptr);
    // The browser's own refusal, with its message.
    form_->URLEdit->setText("http://[bad");
    (form_.get()->*c.button)->click();
    ASSERT_NE(Made(c.tab), nullptr);
    Made(c.tab)->navigateError = "The address is not valid";
    (form_.get()->*c.button)->click();
    EXPECT_EQ(Text(form_.get()->*c.label), "Unable to navigate to http://[bad. The address is not valid.");
    EXPECT_EQ(rec_.beeps, (std::vector<unsigned>{plat::MB_ICONHAND, plat::MB_ICONHAND}));
  }
  // The download tab still waits for its first document after a failure.
  EXPECT_TRUE(form_->reloadpending);
  EXPECT_EQ(form_->loadstart, 0);
}

// One step of the download tab: what happens, then what the two lines say.
struct Step {
  std::function<void(THttpAsyForm&, FakeBrowser&, std::int64_t& tick)> act;
  const char* time;    // Label11 afterwards
  const char* status;  // Label12 afterwards (nullptr: not checked)
};

void Start(THttpAsyForm& f, FakeBrowser&, std::int64_t&) { f.Button6->click(); }
void Abort(THttpAsyForm& f, FakeBrowser&, std::int64_t&) { f.Button7->click(); }
void Document(THttpAsyForm&, FakeBrowser& b, std::int64_t&) { b.DoDocumentComplete("http://page/"); }
void Downloaded(THttpAsyForm&, FakeBrowser& b, std::int64_t&) { b.DoDownloadComplete(); }
auto Progress(int p, int max) {
  return [=](THttpAsyForm&, FakeBrowser& b, std::int64_t&) { b.DoProgressChange(p, max); };
}
auto Later(int ms) {
  return [=](THttpAsyForm&, FakeBrowser&, std::int64_t& tick) { tick += ms; };
}
auto Status(const char* text) {
  return [=](THttpAsyForm&, FakeBrowser& b, std::int64_t&) { b.DoStatusTextChange(text); };
}

TEST_F(BrowserTabs, DownloadTabStatesAsEventSequences) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> calls;  // on the download tab's browser
  };
  const std::vector<Case> cases = {
      {"the first load is untimed, its document completion starts the timed complete reload",
       {{Start, "Time: 0ms", "Status:"},
        {Progress(50, 100), "Time: 0ms", nullptr},
        {Later(40), "Time: 0ms", nullptr},
        {Downloaded, "Time: 0ms", nullptr},
        {Document, "Time: 0ms", nullptr},
        {Later(123), "Time: 0ms", nullptr},
        {Progress(512, 1024), "Time: 123 msec (HTML is 50% done)", nullptr},
        {Progress(1, 3), "Time: 123 msec (HTML is 33% done)", nullptr},
        {Progress(7, 0), "Time: 123 msec ", nullptr},
        {Later(77), "Time: 123 msec ", nullptr},
        {Downloaded, "Time: 200 msec ", nullptr},
        // The reload's own completion and later ones start nothing more.
        {Document, "Time: 200 msec ", nullptr},
        {Later(5), "Time: 200 msec ", nullptr},
        {Downloaded, "Time: 205 msec ", nullptr}},
       {"Navigate http://page/", "Refresh2 3"}},
      {"halves of a percent go to the even whole number",
       {{Start, "Time: 0ms", nullptr},
        {Document, "Time: 0ms", nullptr},
        {Progress(1, 200), "Time: 0 msec (HTML is 0% done)", nullptr},
        {Progress(3, 200), "Time: 0 msec (HTML is 2% done)", nullptr},
        {Progress(5, 200), "Time: 0 msec (HTML is 2% done)", nullptr},
        {Progress(100, 100), "Time: 0 msec (HTML is 100% done)", nullptr}},
       {"Navigate http://page/", "Refresh2 3"}},
      {"abort during the first load keeps waiting for a document",
       {{Start, "Time: 0ms", nullptr},
        {Abort, "", "Status: Canceled"},
        {Progress(10, 100), "", nullptr},
        {Status("Loading"), "", "Status: Loading"},
        {Document, "", nullptr},
        {Later(9), "", nullptr},
        {Downloaded, "Time: 9 msec ", nullptr}},
       {"Navigate http://page/", "Stop", "Refresh2 3"}},
      {"abort after the timed reload: the time line counts on from its start",
       {{Start, "Time: 0ms", nullptr},
        {Document, "Time: 0ms", nullptr},
        {Later(30), "Time: 0ms", nullptr},
        {Abort, "", "Status: Canceled"},
        {Later(20), "", nullptr},
        {Downloaded, "Time: 50 msec ", nullptr}},
       {"Navigate http://page/", "Refresh2 3", "Stop"}},
      {"a new start resets the time and waits again",
       {{Start, "Time: 0ms", nullptr},
        {Document, "Time: 0ms", nullptr},
        {Later(10), "Time: 0ms", nullptr},
        {Downloaded, "Time: 10 msec ", nullptr},
        {Start, "Time: 0ms", "Status:"},
        {Later(10), "Time: 0ms", nullptr},
        {Downloaded, "Time: 0ms", nullptr},
        {Document, "Time: 0ms", nullptr}},
       {"Navigate http://page/", "Refresh2 3", "Navigate http://page/", "Refresh2 3"}},
  };
  form_->Edit2->setText("http://page/");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    form_ = std::make_unique<THttpAsyForm>();
    made_.clear();
    form_->show();
    Settle();
    form_->Edit2->setText("http://page/");
    EXPECT_EQ(Text(form_->Label11), "Time: ");
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      FakeBrowser* b = Made("WebBrowser1");
      FakeBrowser dummy;
      c.steps[i].act(*form_, b ? *b : dummy, tick_);
      EXPECT_EQ(Text(form_->Label11), c.steps[i].time);
      if (c.steps[i].status) {
        EXPECT_EQ(Text(form_->Label12), c.steps[i].status);
      }
    }
    ASSERT_NE(Made("WebBrowser1"), nullptr);
    EXPECT_EQ(Made("WebBrowser1")->calls, c.calls);
  }
}

TEST_F(BrowserTabs, ResultsBrowserRule) {
  // Show the results page and start its browser with something to show.
  form_->PageControl2->setCurrentWidget(form_->TabSheet6);
  form_->PageControl1->setCurrentWidget(form_->TabSheet1);
  Settle();
  form_->NavigateResults("about:blank");
  FakeBrowser* b = Made("WebBrowser_V11");
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(options_["WebBrowser_V11"].confineLocalContent);
  struct Case {
    bool show;
    bool testRuns;
    bool cancelled;
  };
  for (Case c : {Case{true, false, false}, Case{true, true, false}, Case{false, true, false}, Case{false, false, true}}) {
    SCOPED_TRACE(std::string("show ") + (c.show ? "on" : "off") + ", test " + (c.testRuns ? "running" : "idle"));
    form_->CheckBox2->setChecked(c.show);
    form_->ExecButton->setEnabled(!c.testRuns);
    bool cancel = false;
    b->DoBeforeNavigate("http://clicked.example/", cancel);
    EXPECT_EQ(cancel, c.cancelled);
    // The view shows exactly when the box is on.
    EXPECT_EQ(form_->WebBrowser_V11->isVisibleTo(form_->TabSheet1), c.show);
  }
}

TEST_F(BrowserTabs, ResultsBrowserStartsWhenItComesUpWithTheLastPageAskedFor) {
  // During a test, with the page out of sight: no browser yet.
  form_->ExecButton->setEnabled(false);
  form_->NavigateResults("about:blank");
  form_->NavigateResults("file:///tmp/temp.htm");
  form_->ExecButton->setEnabled(true);
  EXPECT_EQ(Made("WebBrowser_V11"), nullptr);
  // Looking at the page brings it up with the test's first response.
  form_->PageControl2->setCurrentWidget(form_->TabSheet6);
  form_->PageControl1->setCurrentWidget(form_->TabSheet1);
  Settle();
  ASSERT_NE(Made("WebBrowser_V11"), nullptr);
  EXPECT_EQ(Made("WebBrowser_V11")->calls, std::vector<std::string>{"Navigate file:///tmp/temp.htm"});
  EXPECT_EQ(Made("WebBrowser_V11")->shown, "file:///tmp/temp.htm");
}

TEST_F(BrowserTabs, ResultsBrowserKeepsNoPageItsRuleRefused) {
  // Box off, no test: the address is refused as the browser would refuse it.
  form_->CheckBox2->setChecked(false);
  form_->NavigateResults("file:///tmp/temp.htm");
  EXPECT_EQ(form_->resultsurl, "file:///tmp/temp.htm");
  form_->PageControl2->setCurrentWidget(form_->TabSheet6);
  form_->PageControl1->setCurrentWidget(form_->TabSheet1);
  form_->CheckBox2->setChecked(true);
  Settle();
  EXPECT_EQ(Made("WebBrowser_V11"), nullptr);
}

}  // namespace

// The browser tabs of the load tester's window with scripted browsers in
// place of the engine: the URL edits, the download tab's states and texts,
// failed navigations, stops, the status lines' room, and the results
// browser's rule and late start. The cases where it matters run with
// browsers that answer at once and with browsers that answer after the
// call has returned, as the engine does.
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
#include "platform/qt/statuslabel.h"
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
      b->deferred = deferred_;
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
  // A new window whose browsers answer at once or later.
  void Remake(bool deferred) {
    deferred_ = deferred;
    form_.reset();
    made_.clear();
    form_ = std::make_unique<THttpAsyForm>();
    form_->show();
    Settle();
  }
  void ShowResultsPage() {
    form_->PageControl2->setCurrentWidget(form_->TabSheet6);
    form_->PageControl1->setCurrentWidget(form_->TabSheet1);
    Settle();
  }

  testsupport::PrivateHome home_;
  Recorder rec_;
  plat::IUserDialogs* old_ = nullptr;
  std::int64_t tick_ = 100000;
  bool deferred_ = false;
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
  ShowResultsPage();
  form_->NavigateResults("about:blank");
  FakeBrowser* b = Made("WebBrowser_V11");
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(options_["WebBrowser_V11"].confineLocalContent);
  // Whatever the browser asks about, a frame's navigation as well as the
  // page's, is put to the rule.
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
  for (bool deferred : {false, true}) {
    SCOPED_TRACE(deferred ? "deferred" : "at once");
    Remake(deferred);
    // During a test, with the page out of sight: no browser yet.
    form_->ExecButton->setEnabled(false);
    form_->NavigateResults("about:blank");
    form_->NavigateResults("file:///tmp/temp.htm");
    form_->ExecButton->setEnabled(true);
    EXPECT_EQ(Made("WebBrowser_V11"), nullptr);
    // Looking at the page brings it up with the test's first response, let
    // through by the rule when it was asked for and not asked again.
    ShowResultsPage();
    FakeBrowser* b = Made("WebBrowser_V11");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->calls, std::vector<std::string>{"NavigateApproved file:///tmp/temp.htm"});
    b->Deliver();
    EXPECT_EQ(b->shown, "file:///tmp/temp.htm");
  }
}

// With one user the first response is asked for while the test runs and
// the browser loads it after the run has ended, with "Show HTML-Results in
// Browser" off: the rule was decided when the program navigated.
TEST_F(BrowserTabs, ResultsBrowserLoadsWhatTheRuleLetThroughWhenTheProgramNavigated) {
  for (bool deferred : {false, true}) {
    SCOPED_TRACE(deferred ? "deferred" : "at once");
    Remake(deferred);
    ShowResultsPage();
    form_->NavigateResults("about:blank");
    FakeBrowser* b = Made("WebBrowser_V11");
    ASSERT_NE(b, nullptr);
    b->Deliver();
    form_->CheckBox2->setChecked(false);

    form_->ExecButton->setEnabled(false);  // the run
    form_->NavigateResults("file:///tmp/temp.htm");
    form_->ExecButton->setEnabled(true);  // its end
    b->Deliver();
    EXPECT_EQ(b->shown, "file:///tmp/temp.htm");
    // No test running and the box off: the program's navigation is refused
    // at once, and so is a navigation of the page's own.
    form_->NavigateResults("file:///tmp/other.htm");
    bool cancel = false;
    b->DoBeforeNavigate("http://clicked.example/", cancel);
    EXPECT_TRUE(cancel);
    b->Deliver();
    EXPECT_EQ(b->shown, "file:///tmp/temp.htm");
    EXPECT_EQ(b->calls,
              (std::vector<std::string>{"NavigateApproved about:blank", "NavigateApproved file:///tmp/temp.htm"}));
  }
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

// Stop on the browse tab and Abort on the download tab leave "Status:
// Canceled": the stopped load says nothing more, neither "Done" nor a
// completion that would start or end a timed reload.
TEST_F(BrowserTabs, StopAndAbortEndCanceled) {
  struct Case {
    const char* name;
    const char* browser;
    QPushButton* THttpAsyForm::*start;
    QPushButton* THttpAsyForm::*stop;
    QLabel* THttpAsyForm::*status;
    bool firstLoadDone;  // stopped during the timed reload
  };
  const Case cases[] = {
      {"browse tab", "WebBrowser2", &THttpAsyForm::gotobutton, &THttpAsyForm::stopbutton, &THttpAsyForm::Label15,
       false},
      {"download tab, first load", "WebBrowser1", &THttpAsyForm::Button6, &THttpAsyForm::Button7,
       &THttpAsyForm::Label12, false},
      {"download tab, timed reload", "WebBrowser1", &THttpAsyForm::Button6, &THttpAsyForm::Button7,
       &THttpAsyForm::Label12, true},
  };
  for (bool deferred : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (deferred ? ", deferred" : ", at once"));
      Remake(deferred);
      form_->url1->setText("http://page/");
      (form_.get()->*c.start)->click();
      FakeBrowser* b = Made(c.browser);
      ASSERT_NE(b, nullptr);
      if (c.firstLoadDone) {
        // The first load ends as a browser ends it: at once the test fires it.
        if (deferred) {
          b->Deliver();
        } else {
          b->DoStatusTextChange("Done");
          b->DoDownloadComplete();
          b->DoDocumentComplete("http://page/");
        }
        ASSERT_NE(form_->loadstart, 0);
      }
      b->DoStatusTextChange("Loading http://page/");
      tick_ += 50;
      (form_.get()->*c.stop)->click();
      b->Deliver();
      EXPECT_EQ(Text(form_.get()->*c.status), "Status: Canceled");
      EXPECT_EQ(b->calls.back(), "Stop");
      if (std::string(c.browser) == "WebBrowser1") {
        EXPECT_EQ(Text(form_->Label11), "");
        EXPECT_EQ(form_->reloadpending, !c.firstLoadDone);
      }
      if (deferred) {
        EXPECT_EQ(b->shown, c.firstLoadDone ? "http://page/" : "");
      }
    }
  }
}

// A long status or time text takes the room its band leaves and is cut
// there; the buttons and the URL field keep their places and sizes.
TEST_F(BrowserTabs, LongStatusTextsMoveNothing) {
  const std::string url = "http://example.com/" + std::string(400, 'x') + ".htm";
  struct Case {
    QWidget* THttpAsyForm::*tab;
    QLabel* THttpAsyForm::*label;
  };
  const Case cases[] = {
      {&THttpAsyForm::TabSheet8, &THttpAsyForm::Label15},
      {&THttpAsyForm::TabSheet7, &THttpAsyForm::Label12},
      {&THttpAsyForm::TabSheet7, &THttpAsyForm::Label11},
  };
  for (const Case& c : cases) {
    QLabel* label = form_.get()->*c.label;
    SCOPED_TRACE(plat::FromQ(label->objectName()));
    form_->PageControl2->setCurrentWidget(form_.get()->*c.tab);
    Settle();
    QWidget* band = label->parentWidget();
    auto places = [&] {
      std::vector<QRect> r;
      for (QWidget* w : band->findChildren<QWidget*>())
        if (w != label) r.push_back(w->geometry());
      return r;
    };
    const std::vector<QRect> before = places();
    const QString text = plat::ToQ("Status: Loading " + url);
    label->setText(text);
    Settle();
    EXPECT_EQ(places(), before);
    EXPECT_LE(label->geometry().right(), band->contentsRect().right());
    EXPECT_GT(label->width(), 0);
    // The whole text stays the label's, for the screen reader too; the
    // drawn one is cut to the width.
    EXPECT_EQ(label->text(), text);
    auto* status = qobject_cast<plat::TStatusLabel*>(label);
    ASSERT_NE(status, nullptr);
    const QString shown = status->ShownText();
    EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << plat::FromQ(shown);
    EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->contentsRect().width());
    // A short text is drawn whole.
    label->setText(QStringLiteral("Status: Done"));
    EXPECT_EQ(status->ShownText(), QStringLiteral("Status: Done"));
  }
}

}  // namespace

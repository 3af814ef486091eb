// The run engine in the window, offscreen, against the scripted HTTP server
// (which answers from its own threads while the start loop holds this one).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "loadtester/HttpAsy1.h"
#include "loadtester/HttpAsy1Engine.h"
#include "loadtester/splash.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtext.h"
#include "platform/ui/dialogs.h"
#include "tests/httpclient/http_fixture.h"
#include "tests/support/private_home.h"

using httptest::Script;
using httptest::ScriptedHttpServer;

namespace {

QApplication* App() {
  static int argc = 1;
  static char arg0[] = "engine_test";
  static char* argv[] = {arg0, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

class Recorder : public plat::IUserDialogs {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void MessageBeep(unsigned type) override { beeps.push_back(type); }
  bool ShellOpen(const std::string&) override { return false; }
  void ErrorBox(const std::string& message) override { errors.push_back(message); }
  std::vector<std::string> messages, errors;
  std::vector<unsigned> beeps;
};

std::vector<std::string> Lines(const QString& text) {
  std::vector<std::string> out;
  std::istringstream in(plat::FromQ(text));
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

std::string Http200(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n" + extra + "\r\n" + body;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    plat::InstallQtBridge();
    previousDialogs = plat::SetUserDialogs(&dialogs);
    plat::InstallErrorBoxHook();
    versionstr = "3.04";
    dir = home.MakeFolder("run");
    oldcwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    programfolderoverride = dir + "/";
    form = new THttpAsyForm;
    form->Checkshowgraph->setChecked(false);
    form->SpinEdit1->SetValue(1);
    form->SpinEdit2->SetValue(1);
    form->SpinEdit3->SetValue(0);
    form->ExecButton->setEnabled(true);
    server.SetDefault(Script::Respond(Http200("<html>ok</html>")));
    SetUrl(server.Url("/"));
  }
  void TearDown() override {
    delete form;
    plat::SetTickSourceForTests({});
    programfolderoverride.clear();
    std::filesystem::current_path(oldcwd);
    plat::SetUserDialogs(previousDialogs);
  }

  void SetUrl(const std::string& u) { form->URLEdit->setText(plat::ToQ(u)); }
  void Settings(int users, int runs, int wait = 0) {
    form->SpinEdit1->SetValue(users);
    form->SpinEdit2->SetValue(runs);
    form->SpinEdit3->SetValue(wait);
  }

  bool Idle() const {
    return form->activeclients.empty() && !form->Timer1->isActive() && form->ExecButton->isEnabled();
  }
  bool PumpUntil(const std::function<bool()>& done, int timeoutMs = testsupport::kPatienceMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
      if (t.elapsed() > timeoutMs) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
  }
  void RunTest() {
    form->ExecButtonClick();
    ASSERT_TRUE(PumpUntil([this] { return Idle(); })) << plat::FromQ(form->DisplayMemo->toPlainText());
  }

  // Log lines without their date stamps.
  std::vector<std::string> Log() const {
    form->FlushLog();
    std::vector<std::string> out;
    for (const std::string& l : Lines(form->DisplayMemo->toPlainText())) {
      std::size_t p = l.find(": ");
      out.push_back(p == std::string::npos ? l : l.substr(p + 2));
    }
    return out;
  }
  std::vector<std::string> Results() const { return Lines(form->datamemo->toPlainText()); }
  bool ResultBold(const std::string& line) const {
    for (QTextBlock b = form->datamemo->document()->begin(); b.isValid(); b = b.next())
      if (plat::FromQ(b.text()) == line) return b.charFormat().fontWeight() == QFont::Bold ||
                                               (b.begin() != b.end() && b.begin().fragment().charFormat().fontWeight() == QFont::Bold);
    return false;
  }
  int CountLog(const std::string& s) const {
    int n = 0;
    for (const std::string& l : Log()) n += l == s;
    return n;
  }
  bool LogHasPrefix(const std::string& s) const {
    for (const std::string& l : Log())
      if (l.rfind(s, 0) == 0) return true;
    return false;
  }
  std::string Foot(int i) const { return form->Chart1->Foot()->Strings(i); }

  Recorder dialogs;
  plat::IUserDialogs* previousDialogs = nullptr;
  testsupport::PrivateHome home;
  std::string dir;
  std::filesystem::path oldcwd;
  ScriptedHttpServer server;
  THttpAsyForm* form = nullptr;
};

TEST_F(EngineTest, SeveralRunsEndToEnd) {
  Settings(3, 2, 0);
  form->useagent->setChecked(true);
  form->agent->setEditText("TestAgent/1.0");
  RunTest();
  // The log view gets its lines once the event loop has run.
  PumpUntil([this] { return form->logpending.empty(); });
  EXPECT_TRUE(form->logpending.empty());
  EXPECT_NE(plat::FromQ(form->DisplayMemo->toPlainText()).find(": RUN DONE\n"), std::string::npos);
  auto log = Log();
  ASSERT_GE(log.size(), 13u);
  const std::string url = server.Url("/");
  std::vector<std::string> head(log.begin(), log.begin() + 9);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "Server Load Test Logfile (by Brontavel Version 3.04)", "Tested URL: " + url, " ",
                      "Settings: 3 simultaneous users - 2 runs", "Settings: Proxy: :",
                      "Settings: User Agent: TestAgent/1.0", "Settings: User Agent: TestAgent/1.0", "Test is started",
                      std::string(52, '-')}));
  EXPECT_EQ(log[9], "START RUN: 1");
  EXPECT_EQ(CountLog("START RUN: 2"), 1);
  EXPECT_EQ(CountLog("RUN DONE"), 2);
  EXPECT_EQ(CountLog("Starting Request 3"), 2);
  EXPECT_EQ(CountLog("Average Results of All Runs:"), 2);
  EXPECT_TRUE(LogHasPrefix("Request 1 Done: "));
  EXPECT_TRUE(LogHasPrefix("  Total Bytes: 45 Bytes (0 KB)"));
  EXPECT_TRUE(LogHasPrefix("Time to first byte of request "));
  EXPECT_TRUE(LogHasPrefix("Data is being saved to " + dir + "/temp.htm"));
  EXPECT_TRUE(LogHasPrefix("Received 17 Bytes (1st Request)"));

  auto res = Results();
  ASSERT_GE(res.size(), 8u);
  EXPECT_EQ(res[0], "Server Load Test Results (by Brontavel Version 3.04)");
  EXPECT_EQ(res[1], " ");
  EXPECT_EQ(res[2], "Tested URL: " + url);
  EXPECT_TRUE(ResultBold("Tested URL: " + url));
  EXPECT_EQ(res[4], "Settings: 3 simultaneous users - 2 runs");
  EXPECT_EQ(res[6].rfind("Test run on ", 0), 0u);
  EXPECT_FALSE(ResultBold(res[4]));

  EXPECT_EQ(Foot(0), "Statuscodes: 200:6  ");
  EXPECT_EQ(Foot(1), "3 simultaneous users - 2 runs");
  EXPECT_EQ(Foot(2).rfind("  Average Request Time after 2 runs: ", 0), 0u) << Foot(2);
  EXPECT_TRUE(ResultBold(plat::Trim(Foot(2))));
  EXPECT_EQ(form->Chart1->Title()->Strings(0), "Load test: " + url);

  // Every request carried the agent; green bars and yellow points, no label.
  ASSERT_EQ(server.ConnectionCount(), 6);
  for (const std::string& r : server.Requests()) EXPECT_NE(r.find("User-Agent: TestAgent/1.0\r\n"), std::string::npos);
  ASSERT_EQ(form->Series1->Count(), 6);
  ASSERT_EQ(form->Series2->Count(), 6);
  EXPECT_EQ(form->Series1->ValueColor(0), QColor(0, 128, 0));
  EXPECT_EQ(form->Series2->ValueColor(0), QColor(255, 255, 0));
  EXPECT_EQ(form->Series1->Label(0), "");
  // The first response went to the source and header views and the browser.
  EXPECT_EQ(plat::FromQ(form->Memo1->toPlainText()),
            "HTML Source (17 Bytes)\n" + std::string(44, '-') + "\n<html>ok</html>\n");
  EXPECT_EQ(Lines(form->Memo2->toPlainText()).front(), "HTTP/1.0 200 OK");
  EXPECT_EQ(form->resultsurl, "file://" + dir + "/temp.htm");
  EXPECT_EQ(plat::FromQ(form->label3->text()), form->resultsurl);
  EXPECT_TRUE(form->Chart1->isVisibleTo(form->Panel3));
  EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(EngineTest, WaitZeroStartsTheNextRunFiveMillisecondsLater) {
  Settings(1, 2, 0);
  // The wait's timer runs for 5 ms only, too short to be seen by polling on
  // a busy machine: what it shows is taken when it fires.
  bool fired = false;
  std::int64_t end1 = 0;
  int interval = 0;
  QMetaObject::Connection seen = QObject::connect(form->Timer1, &QTimer::timeout, [&] {
    if (fired) return;
    fired = true;
    end1 = form->endstamp;  // the first run's end: the second's requests have not ended yet
    interval = form->Timer1->interval();
  });
  form->ExecButtonClick();
  ASSERT_TRUE(PumpUntil([&] { return fired; }));
  EXPECT_EQ(interval, 5);
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  QObject::disconnect(seen);
  EXPECT_GE(runstart - end1, 4);
  EXPECT_EQ(CountLog("START RUN: 2"), 1);
  // The tick writes a stamp-only line before the run's announcement.
  form->FlushLog();
  auto log = Lines(form->DisplayMemo->toPlainText());
  for (std::size_t i = 1; i < log.size(); ++i) {
    if (log[i].size() > 12 && log[i].substr(log[i].size() - 12) == "START RUN: 2") {
      EXPECT_EQ(log[i - 1].substr(log[i - 1].size() - 2), ": ");
    }
  }
}

TEST_F(EngineTest, SettingsTextTitlesAndProxyFooter) {
  // A path that makes the URL exactly 59, then 60 characters long.
  std::string base = server.Url("/");
  std::string u59 = base + std::string(59 - base.size(), 'a');
  std::string u60 = u59 + "b";
  Settings(2, 1, 2);
  form->useusername->setChecked(true);
  form->username->setText("bob");
  SetUrl(u59);
  RunTest();
  EXPECT_EQ(form->Chart1->Title()->Strings(0), "Load test: " + u59);
  EXPECT_EQ(Foot(1), "2 simultaneous users Username=\"bob\"  - wait for 2s");
  ASSERT_EQ(server.ConnectionCount(), 2);
  // "bob:" in Base64.
  EXPECT_NE(server.Request(0).find("Authorization: Basic Ym9iOg==\r\n"), std::string::npos);

  form->Ramp->setChecked(true);
  form->useusername->setChecked(false);
  form->checkproxy->setChecked(true);
  form->proxy->setText("127.0.0.1");
  form->port->setText(plat::ToQ(std::to_string(server.Port())));
  Settings(2, 1, 1);
  SetUrl(u60);
  RunTest();
  EXPECT_EQ(form->Chart1->Title()->Count(), 1);
  EXPECT_EQ(form->Chart1->Title()->Strings(0), "Ramp test: " + u60.substr(0, 60) + "...");
  EXPECT_EQ(form->Chart2->Title()->Strings(0), "Ramp test: " + u60.substr(0, 60) + "...");
  EXPECT_EQ(Foot(1), "ramp test with up to 2 simultaneous users - using proxy: 127.0.0.1:" +
                         std::to_string(server.Port()));
  // Through the proxy the request line names the whole URL.
  ASSERT_EQ(server.ConnectionCount(), 4);
  EXPECT_EQ(server.Request(2).rfind("GET " + u60 + " HTTP/1.0\r\n", 0), 0u) << server.Request(2);
  EXPECT_EQ(Foot(2).rfind("  Average Request Time for 2 simultaneous users: ", 0), 0u) << Foot(2);
}

TEST_F(EngineTest, KeyOffsetInTheUrlAndTheLog) {
  Settings(2, 1);
  SetUrl(server.Url("/?id=@@&copy=@@"));
  form->usekey->setChecked(true);
  form->offset->SetValue(100);
  RunTest();
  ASSERT_EQ(server.ConnectionCount(), 2);
  std::vector<std::string> lines;
  for (const std::string& r : server.Requests()) lines.push_back(r.substr(0, r.find("\r\n")));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"GET /?id=101&copy=101 HTTP/1.0", "GET /?id=102&copy=102 HTTP/1.0"}));
  EXPECT_EQ(CountLog("Starting Request 1, Key: 101"), 1);
  EXPECT_EQ(CountLog("Starting Request 2, Key: 102"), 1);

  form->usekey->setChecked(false);
  Settings(1, 1);
  RunTest();
  EXPECT_EQ(server.Request(2).rfind("GET /?id=@@&copy=@@ HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(CountLog("Starting Request 1"), 1);
}

TEST_F(EngineTest, CookiesOfTheFirstRunAreReplayedAndSurplusUsersSendNone) {
  server.SetDefault(Script::Respond(Http200("x", "Set-Cookie: a=1; path=/\r\nset-cookie: b=2\r\n")));
  // Ramp over 2 runs: 2 users, then 4.
  form->Ramp->setChecked(true);
  form->Checkcookie->setChecked(true);
  Settings(4, 2);
  RunTest();
  std::ifstream f(dir + "/cookies.txt", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "a=1; path=/@@b=2\r\na=1; path=/@@b=2\r\n");
  ASSERT_EQ(server.ConnectionCount(), 6);
  int withCookies = 0;
  for (int i = 0; i < 6; ++i) {
    const std::string r = server.Request(i);
    bool has = r.find("Cookie: ") != std::string::npos;
    if (i < 2) {
      EXPECT_FALSE(has) << r;
    } else if (has) {
      ++withCookies;
      EXPECT_NE(r.find("\r\nCookie: a=1; path=/\r\nCookie: b=2\r\n"), std::string::npos) << r;
    }
  }
  EXPECT_EQ(withCookies, 2);
}

TEST_F(EngineTest, CookieFileThatCannotBeWrittenIsReportedAndTheRunStillEnds) {
  // A folder where the file should be: no one can create it, not even root.
  std::filesystem::create_directory(dir + "/cookies.txt");
  form->Checkcookie->setChecked(true);
  Settings(2, 2);
  RunTest();
  ASSERT_EQ(dialogs.errors.size(), 1u);
  EXPECT_EQ(dialogs.errors[0], "Cannot create file cookies.txt");
  EXPECT_EQ(CountLog("Cannot create file cookies.txt"), 1);
  EXPECT_EQ(CountLog("RUN DONE"), 2);
  EXPECT_EQ(server.ConnectionCount(), 4);
  for (const std::string& r : server.Requests()) EXPECT_EQ(r.find("Cookie: "), std::string::npos);
}

TEST_F(EngineTest, AbortDuringARun) {
  server.SetDefault(Script().ReadRequest().Hold());
  Settings(3, 2);
  form->Checkshowgraph->setChecked(true);
  form->ExecButtonClick();
  EXPECT_FALSE(form->Chart1->isVisibleTo(form->Panel3));
  EXPECT_FALSE(form->ExecButton->isEnabled());
  ASSERT_TRUE(PumpUntil([this] { return server.ConnectionCount() == 3; }));
  form->AbortButtonClick();
  EXPECT_EQ(form->activeclients.size(), 3u);  // completions come later
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  EXPECT_EQ(CountLog("RUN DONE"), 0);
  EXPECT_EQ(CountLog("START RUN: 2"), 0);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(LogHasPrefix("Request " + std::to_string(i) + " Done: "));
  for (const std::string& l : Log()) {
    if (l.rfind("Request ", 0) == 0 && l.find(" Done: ") != std::string::npos) {
      EXPECT_NE(l.find(", StatusCode = 404, Error = 3"), std::string::npos) << l;
    }
  }
  EXPECT_EQ(Foot(0), "Statuscodes: 200:0  404:3  ");
  EXPECT_EQ(form->Series1->Label(0), "E404");
  EXPECT_EQ(form->Series1->ValueColor(0), QColor(255, 0, 0));
  EXPECT_TRUE(form->Chart1->isVisibleTo(form->Panel3));
  EXPECT_TRUE(form->PageControl1->isVisibleTo(form->Panel2));
}

TEST_F(EngineTest, AbortDuringTheWait) {
  Settings(1, 3, 10);
  form->ExecButtonClick();
  ASSERT_TRUE(PumpUntil([this] { return form->Timer1->isActive(); }));
  EXPECT_EQ(form->Timer1->interval(), 10005);
  EXPECT_TRUE(form->ExecButton->isEnabled());
  form->AbortButtonClick();
  EXPECT_FALSE(form->Timer1->isActive());
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);  // what is queued would start a run here
  EXPECT_EQ(CountLog("START RUN: 2"), 0);
  EXPECT_EQ(server.ConnectionCount(), 1);
  EXPECT_TRUE(form->Chart1->isVisibleTo(form->Panel3));
}

TEST_F(EngineTest, StartTestDuringAnEarlierTestsWaitStopsItsTimer) {
  Settings(1, 2, 10);
  form->ExecButtonClick();
  ASSERT_TRUE(PumpUntil([this] { return form->Timer1->isActive(); }));
  Settings(1, 1, 0);
  RunTest();
  EXPECT_EQ(CountLog("START RUN: 2"), 0);
  EXPECT_EQ(CountLog("RUN DONE"), 1);
  EXPECT_TRUE(dialogs.beeps.empty());
}

TEST_F(EngineTest, EmptyUrlShowsTheErrorAndAbortEndsIt) {
  SetUrl("");
  Settings(2, 1);
  // As the button's click runs it: an exception ends in the error box.
  plat::Safely([this] { form->ExecButtonClick(); });
  ASSERT_EQ(dialogs.errors.size(), 1u);
  EXPECT_EQ(dialogs.errors[0], "DNS lookup: invalid host name.");
  EXPECT_EQ(form->activeclients.size(), 1u);
  EXPECT_EQ(CountLog("Starting Request 2"), 0);
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_FALSE(form->ExecButton->isEnabled());
  form->AbortButtonClick();
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  EXPECT_TRUE(LogHasPrefix("Request 1 Done: "));
  EXPECT_EQ(CountLog("RUN DONE"), 0);
}

TEST_F(EngineTest, ColoursLabelsAndStatusFooterPerStatus) {
  server.Add(Script::Respond(Http200("a")));
  server.Add(Script::Respond("HTTP/1.0 404 Not Found\r\n\r\nnope"));
  server.Add(Script::Respond("HTTP/1.0 500 Oops\r\n\r\nbad"));
  // A status line the server never ended is no answer: a time-out.
  server.Add(Script::Respond("HTTP/1.0 204 No Content"));
  server.Add(Script::Respond("HTTP/1.0 404 Not Found\r\n\r\nnope"));
  Settings(1, 5);
  RunTest();
  EXPECT_EQ(Foot(0), "Statuscodes: 200:1  404:2  500:1  0:1  ");
  ASSERT_EQ(form->Series1->Count(), 5);
  struct Want {
    QColor bar, point;
    std::string label;
  } want[] = {{QColor(0, 128, 0), QColor(255, 255, 0), ""},
              {QColor(255, 0, 0), QColor(255, 0, 0), "E404"},
              {QColor(255, 0, 0), QColor(255, 0, 0), "E500"},
              {QColor(255, 255, 255), QColor(255, 255, 255), "TimeOut"},
              {QColor(255, 0, 0), QColor(255, 0, 0), "E404"}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(form->Series1->ValueColor(i), want[i].bar) << i;
    EXPECT_EQ(form->Series2->ValueColor(i), want[i].point) << i;
    EXPECT_EQ(form->Series1->Label(i), want[i].label) << i;
    EXPECT_EQ(form->Series2->Label(i), want[i].label) << i;
  }
  // Later points lie later on the time axis.
  EXPECT_LT(form->Series2->XValue(0), form->Series2->XValue(4));
  EXPECT_EQ(Foot(2).rfind("  Average Request Time after 5 runs: ", 0), 0u);
}

TEST_F(EngineTest, BarsOnlyBelowAThousandConfiguredRequests) {
  for (int runs : {49, 50}) {
    Settings(20, runs, 100);
    form->ExecButtonClick();
    ASSERT_TRUE(PumpUntil([this] { return form->Timer1->isActive(); }));
    EXPECT_EQ(form->Series1->Count(), runs == 49 ? 20 : 0) << runs;
    EXPECT_EQ(form->Series2->Count(), 20);
    // Twenty bars are thin but drawn with the gradient.
    if (runs == 49) {
      EXPECT_EQ(form->Series1->CustomBarWidth(), 0);
    }
    form->AbortButtonClick();
  }
  // Many bars in a narrow chart: plain, thin rectangles.
  form->Chart1->resize(150, 100);
  form->Chart1Resize(form->Chart1);
  EXPECT_EQ(form->Series1->BarStyle(), plat::bsRectangle);
  EXPECT_FALSE(form->Series1->Dark3D());
  EXPECT_EQ(dialogs.messages.size(), 0u);
}

TEST_F(EngineTest, MoreThanAHundredUsersBringsTheTimingWarning) {
  Settings(101, 1);
  form->SpinEdit1->SetValue(101);
  server.SetDefault(Script::Respond(Http200("")));
  RunTest();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].rfind("Please remember: With more than 100 concurrent users", 0), 0u);
  EXPECT_EQ(CountLog("Starting Request 101"), 1);
  EXPECT_EQ(Foot(0), "Statuscodes: 200:101  ");
  // 101 bars in a chart narrower than 301 pixels are plain and thin.
  EXPECT_EQ(form->Series1->CustomBarWidth(), 2);
}

TEST_F(EngineTest, SourceViewOfALongFirstResponse) {
  std::string body = std::string(63999, 'x') + "\r\n";
  server.SetDefault(Script::Respond(Http200(body)));
  form->Checkshowgraph->setChecked(true);  // shown at the end of the run
  RunTest();
  const std::string memo = plat::FromQ(form->Memo1->toPlainText());
  EXPECT_EQ(memo, "HTML Source (64001 Bytes) truncated to 60kb by Brontavel\n" + std::string(44, '-') + "\n" +
                      std::string(60000, 'x') + "\ntruncated by Brontavel");
  EXPECT_EQ(CountLog("Received 64001 Bytes (1st Request)"), 1);
  auto res = Results();
  EXPECT_NE(std::find(res.begin(), res.end(), "Number of Bytes in Result: 64001 Bytes (1st Request)"), res.end());
  EXPECT_TRUE(LogHasPrefix("  Total Bytes: 64001 Bytes (64 KB)"));
}

TEST_F(EngineTest, RunFiguresWithAnInjectedClock) {
  std::atomic<std::int64_t> now{5000000};
  std::atomic<bool> step{true};
  plat::SetTickSourceForTests([&] { return step ? ++now : now.load(); });
  Settings(10, 1);
  form->ExecButtonClick();
  const std::int64_t start = runstart;
  now = start + 2000;
  step = false;
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
  EXPECT_EQ(CountLog("  Overall Time: 2000 msec"), 1);
  EXPECT_EQ(CountLog("  Average Request Time: 200 msec (equals ~18000 Requests/h)"), 1);
  EXPECT_EQ(Foot(2), "  Average Request Time after 1 runs: 200 msec (equals ~18000 Requests/h)");
  auto res = Results();
  EXPECT_NE(std::find(res.begin(), res.end(), "Average Request Time after 1 runs: 200 msec (equals ~18000 Requests/h)"),
            res.end());
  // The time to the first byte is counted from the start of the run.
  EXPECT_NE(std::find(res.begin(), res.end(), "Time to first byte: ~2000 msec"), res.end());
}

TEST_F(EngineTest, RampErrorPercentages) {
  auto ok = Script::Respond(Http200("y"));
  auto bad = Script::Respond("HTTP/1.0 500 Oops\r\n\r\n");
  // Step 1: 5 users, 2 of them fail; step 2: 10 users, 3 fail.
  for (int i = 0; i < 3; ++i) server.Add(ok);
  for (int i = 0; i < 2; ++i) server.Add(bad);
  for (int i = 0; i < 7; ++i) server.Add(ok);
  for (int i = 0; i < 3; ++i) server.Add(bad);
  form->Ramp->setChecked(true);
  Settings(10, 2);
  RunTest();
  ASSERT_EQ(form->ramps2->Count(), 2);
  EXPECT_EQ(form->ramps2->XValue(0), 5);
  EXPECT_EQ(form->ramps2->YValue(0), 40);
  EXPECT_EQ(form->ramps2->XValue(1), 10);
  EXPECT_EQ(form->ramps2->YValue(1), 30);
  ASSERT_EQ(form->ramps->Count(), 2);
  EXPECT_EQ(form->ramps->XValue(1), 10);
  EXPECT_EQ(CountLog("Average Results of All Runs:"), 0);
  EXPECT_EQ(CountLog("Starting Request 10"), 1);
}

TEST_F(EngineTest, RedirectAndHeaderLoggingWithWriteOnErrorOnly) {
  server.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\nmoved"));
  server.Add(Script::Respond(Http200("final body")));
  form->HeaderCheckBox->setChecked(true);
  form->DataCheckBox->setChecked(true);
  form->onerroronlyCheckBox->setChecked(true);
  RunTest();
  EXPECT_EQ(CountLog("Headers: HTTP/1.0 302 Found"), 1);
  EXPECT_EQ(CountLog("Headers: Location: /next"), 1);
  EXPECT_EQ(CountLog("Headers: HTTP/1.0 200 OK"), 0);
  EXPECT_EQ(CountLog("final body"), 0);
  EXPECT_TRUE(LogHasPrefix("Request 1 Redirect: "));
  bool found = false;
  for (const std::string& l : Log())
    if (l.rfind("Request 1 Redirect: ", 0) == 0) {
      found = true;
      EXPECT_NE(l.find(" ms, StatusCode = 302: redirected to 127.0.0.1/next"), std::string::npos) << l;
    }
  EXPECT_TRUE(found);
  auto res = Results();
  EXPECT_NE(std::find(res.begin(), res.end(), "Redirected to: 127.0.0.1/next"), res.end());

  // Without "Write On Error Only" the 200 response is logged too.
  form->onerroronlyCheckBox->setChecked(false);
  RunTest();
  EXPECT_EQ(CountLog("Headers: HTTP/1.0 200 OK"), 1);
  EXPECT_EQ(CountLog("<html>ok</html>"), 1);
  EXPECT_EQ(CountLog(std::string(42, '-')), 2);
  form->HeaderCheckBox->setChecked(false);
  RunTest();
  EXPECT_FALSE(LogHasPrefix("Headers: "));
}

TEST_F(EngineTest, BodyBytesCountUpToTheFirstNulOfAChunk) {
  server.SetDefault(Script::Respond(Http200(std::string("ab\0cd", 5))));
  form->DataCheckBox->setChecked(true);
  Settings(2, 1);
  RunTest();
  EXPECT_TRUE(LogHasPrefix("  Total Bytes: 4 Bytes (0 KB)"));
  EXPECT_EQ(CountLog("ab"), 2);
  EXPECT_EQ(CountLog("abcd"), 0);
}

TEST_F(EngineTest, TempFileFallsBackToTheDataFolder) {
  programfolderoverride = "/dev/null/";
  RunTest();
  const std::string fallback = EngineDataFolder() + "temp.htm";
  EXPECT_EQ(CountLog("Data is being saved to " + fallback), 1);
  EXPECT_EQ(form->resultsurl, "file://" + fallback);
  std::remove(fallback.c_str());
}

TEST_F(EngineTest, MissingTempFileSkipsTheDisplayButNotTheSummary) {
  programfolderoverride = "/dev/null/";
  testsupport::ScopedEnv data("XDG_DATA_HOME", "/dev/null/data");
  form->Checkshowgraph->setChecked(true);
  RunTest();
  EXPECT_TRUE(LogHasPrefix("Could not save data to /dev/null/data/brontavel2/temp.htm"));
  EXPECT_TRUE(LogHasPrefix("No first response to show: "));
  EXPECT_EQ(CountLog("RUN DONE"), 1);
  EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(EngineTest, ClosingTheWindowDuringATestFreesTheClients) {
  server.SetDefault(Script().ReadRequest().Hold());
  Settings(4, 1);
  form->ExecButtonClick();
  ASSERT_TRUE(PumpUntil([this] { return server.ConnectionCount() == 4; }));
  delete form;
  form = nullptr;
  // Whatever is still queued for the clients finds no one.
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  form = new THttpAsyForm;
  EXPECT_TRUE(form->activeclients.empty());
}

TEST_F(EngineTest, StartingWhileClientsAreActiveOnlyBeeps) {
  server.SetDefault(Script().ReadRequest().Hold());
  form->ExecButtonClick();
  form->startsimultrun();
  ASSERT_EQ(dialogs.beeps.size(), 1u);
  EXPECT_EQ(dialogs.beeps[0], 0u);
  EXPECT_EQ(form->activeclients.size(), 1u);
  form->AbortButtonClick();
  ASSERT_TRUE(PumpUntil([this] { return Idle(); }));
}

// What the graph page shows where a chart draws a value, or `lift` pixels
// above (the plot's bottom line cuts a mark at 0 in half).
QColor Shown(const QImage& shot, QWidget* window, plat::TChart* chart, double x, double y,
             plat::TVertAxis axis = plat::aLeftAxis, int lift = 0) {
  const QPointF at = chart->Layout(chart->rect()).Map(x, y, axis);
  const QPoint p = chart->mapTo(window, QPoint(static_cast<int>(at.x()), static_cast<int>(at.y()) - lift));
  return QColor::fromRgb(shot.pixel(p));
}

TEST_F(EngineTest, AFinishedRampTestShowsBothChartsInTheColoursOfItsAnswers) {
  // Steps of 2, 4 and 6 users; the second step meets a 404 and an answer
  // without a header, so the error line rises and falls again.
  for (int i = 0; i < 2; ++i) server.Add(Script::Respond(Http200("ok")));
  server.Add(Script::Respond("HTTP/1.0 404 Not Found\r\n\r\nnope"));
  server.Add(Script::Respond("<HTML>no header</HTML>"));
  // Every reading of the clock moves it on, so that the requests' start
  // stamps lie apart on the time axis and no bar covers another's middle.
  std::atomic<std::int64_t> now{5000000};
  plat::SetTickSourceForTests([&] { return now += 1; });
  // Showing reads the settings file, so the settings come after it.
  form->resize(731, 826);
  form->show();
  form->PageControl2->setCurrentWidget(form->TabSheet6);
  SetUrl(server.Url("/"));
  form->Checkshowgraph->setChecked(true);  // hidden while it runs
  form->Ramp->setChecked(true);
  Settings(6, 3);
  RunTest();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_TRUE(form->PageControl1->isVisible());
  ASSERT_TRUE(form->Chart1->isVisible());
  ASSERT_TRUE(form->Chart2->isVisible());
  EXPECT_LE(form->Chart1->geometry().bottom(), form->Chart2->geometry().top());
  const QImage shot = form->grab().toImage();

  ASSERT_EQ(form->Series2->Count(), 12);
  std::map<std::string, int> seen;
  for (int i = 0; i < 12; ++i) {
    const std::string label = form->Series2->Label(i);
    ++seen[label];
    const double x = form->Series2->XValue(i), y = form->Series2->YValue(i);
    SCOPED_TRACE("request " + std::to_string(i) + " " + label);
    // Each request's mark on its bar (yellow for a success, else red or
    // white) and the bar's middle (green, red or white).
    const QColor mark = Shown(shot, form, form->Chart1, x, y);
    const QColor bar = Shown(shot, form, form->Chart1, x, y / 2);
    if (label.empty()) {
      EXPECT_EQ(mark, QColor(255, 255, 0));
      EXPECT_GT(bar.green(), bar.red() + 60);
      EXPECT_GT(bar.green(), bar.blue() + 60);
    } else if (label == "E404") {
      EXPECT_EQ(mark, QColor(255, 0, 0));
      EXPECT_GT(bar.red(), bar.green() + 150);
    } else {
      EXPECT_EQ(label, "TimeOut");
      EXPECT_EQ(mark, QColor(255, 255, 255));
      EXPECT_GT(std::min({bar.red(), bar.green(), bar.blue()}), 245);
    }
  }
  EXPECT_EQ(seen, (std::map<std::string, int>{{"", 10}, {"E404", 1}, {"TimeOut", 1}}));

  // The ramp chart: the error line (red, right axis) at 0, 50 and 0 per
  // cent, the average time line (blue) beside it.
  ASSERT_EQ(form->ramps2->Count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(form->ramps2->YValue(i), i == 1 ? 50 : 0);
    EXPECT_EQ(Shown(shot, form, form->Chart2, form->ramps2->XValue(i), form->ramps2->YValue(i), plat::aRightAxis, 1),
              QColor(255, 0, 0));
  }
  const QRect plot = form->Chart2->Layout(form->Chart2->rect()).plot;
  const QImage ramp = shot.copy(QRect(form->Chart2->mapTo(form, plot.topLeft()), plot.size()));
  int blue = 0;
  for (int y = 0; y < ramp.height(); ++y)
    for (int x = 0; x < ramp.width(); ++x) blue += QColor::fromRgb(ramp.pixel(x, y)) == QColor(0, 0, 255);
  EXPECT_GT(blue, ramp.width() / 2);
}

}  // namespace

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "loadtester/AgentList.h"
#include "loadtester/HttpAsy1.h"
#include "loadtester/splash.h"
#include "platform/profile/inifile.h"
#include "platform/qt/qtdialogs.h"
#include "platform/qt/spinedit.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"
#include "tests/support/private_home.h"

namespace fs = std::filesystem;

namespace {

QApplication& App() {
  static int argc = 1;
  static char arg0[] = "window_test";
  static char* argv[] = {arg0, nullptr};
  static plat::TApplication* app = new plat::TApplication(argc, argv);
  return *app;
}

struct Recorder : plat::IUserDialogs {
  std::vector<std::string> messages, errors, opened;
  std::vector<unsigned> beeps;
  void ShowMessage(const std::string& t) override { messages.push_back(t); }
  void MessageBeep(unsigned type) override { beeps.push_back(type); }
  bool ShellOpen(const std::string& d) override {
    opened.push_back(d);
    return true;
  }
  void ErrorBox(const std::string& m) override { errors.push_back(m); }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Key names of the file in the order they stand.
std::vector<std::string> KeysOf(const std::string& text) {
  std::vector<std::string> keys;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '[') {
      keys.push_back(line);
    } else {
      keys.push_back(line.substr(0, line.find('=')));
    }
  }
  return keys;
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    versionstr = "3.04";
    plat::SetCommandLine(std::vector<std::string>{"window_test"});
    old_ = plat::SetUserDialogs(&rec_);
    plat::InstallErrorBoxHook();
  }
  void TearDown() override {
    plat::SetUserDialogs(old_);
    plat::SetApplicationErrorHook(nullptr);
  }
  std::string IniPath() const {
    return plat::ProfilePath(plat::LowerCase(plat::ExtractFileName(plat::ExeName())) + ".ini");
  }
  void PutIni(const std::string& text) { std::ofstream(IniPath(), std::ios::binary) << text; }
  static void Settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
  }
  testsupport::PrivateHome home_;
  const std::string cfg_ = home_.ConfigDir();
  Recorder rec_;
  plat::IUserDialogs* old_ = nullptr;
};

TEST_F(Window, FirstStartShowsTheDefaults) {
  THttpAsyForm form;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Brontavel V3.04"));
  EXPECT_EQ(form.inifilename, plat::ExtractFileName(IniPath()));
  form.show();
  Settle();
  EXPECT_EQ(form.PageControl2->currentWidget(), form.TabSheet8);
  EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet4);
  EXPECT_TRUE(form.URLEdit->text().isEmpty());
  EXPECT_EQ(form.SpinEdit1->Value(), 5);
  EXPECT_EQ(form.SpinEdit2->Value(), 1);
  EXPECT_EQ(form.SpinEdit3->Value(), 0);
  EXPECT_TRUE(form.Checkshowgraph->isChecked());
  EXPECT_TRUE(form.CheckBox2->isChecked());
  for (QCheckBox* c : {form.Ramp, form.Checkcookie, form.HeaderCheckBox, form.DataCheckBox, form.onerroronlyCheckBox,
                       form.checkproxy, form.useusername, form.useagent, form.usekey}) {
    EXPECT_FALSE(c->isChecked()) << c->objectName().toStdString();
  }
  EXPECT_EQ(form.offset->Value(), 0);
  EXPECT_FALSE(form.Timer1->isActive());
  EXPECT_TRUE(form.ExecButton->isEnabled());
  EXPECT_FALSE(form.Chart2->isVisible());
  EXPECT_TRUE(form.Chart1->Title()->Lines().empty());
  EXPECT_TRUE(form.activeclients.empty());
  // Design size (as far as the screen allows), centred.
  QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(form.width(), std::min(731, avail.width()));
  EXPECT_EQ(form.height(), std::min(826, avail.height()));
  EXPECT_NEAR(form.pos().x(), avail.left() + (avail.width() - form.width()) / 2, 1);
  EXPECT_NEAR(form.pos().y(), avail.top() + (avail.height() - form.height()) / 2, 1);
  EXPECT_TRUE(rec_.errors.empty());
}

TEST_F(Window, SettingsRoundTrip) {
  {
    THttpAsyForm form;
    form.show();
    Settle();
    form.URLEdit->setText("http://127.0.0.1:8080/page?id=@@");
    form.username->setText("bob");
    form.agent->setEditText("Mozilla/4.0 (compatible; MSIE 5.*; Windows 98*)");
    form.proxy->setText("proxy.local");
    form.port->setText("3128");
    form.HeaderCheckBox->setChecked(true);
    form.DataCheckBox->setChecked(true);
    form.onerroronlyCheckBox->setChecked(true);
    form.checkproxy->setChecked(true);
    form.useusername->setChecked(true);
    form.useagent->setChecked(true);
    form.Checkshowgraph->setChecked(false);
    form.Checkcookie->setChecked(true);
    form.Ramp->setChecked(true);
    form.CheckBox2->setChecked(false);
    form.SpinEdit1->SetValue(250);
    form.SpinEdit2->SetValue(12);
    form.SpinEdit3->SetValue(7);
    form.usekey->setChecked(true);
    form.offset->SetValue(100);
    form.pw->setText("secret-word");
    form.move(40, 30);
    form.resize(700, 500);
    Settle();
    EXPECT_TRUE(form.close());
  }
  const std::string text = Slurp(IniPath());
  EXPECT_EQ(KeysOf(text),
            (std::vector<std::string>{"[Data]", "URLEdit", "username", "agent", "Proxy", "Port", "DisplayHeader",
                                      "DisplayData", "only", "Simultaneous", "UseProxy", "Useusername", "Useagent",
                                      "Usecookie", "Useramp", "showgraph", "showbrowser", "requests", "runs", "Wait",
                                      "[Window]", "Top", "Left", "Width", "Height"}));
  EXPECT_EQ(text.find("secret-word"), std::string::npos);
  EXPECT_NE(text.find("Simultaneous=1"), std::string::npos);

  THttpAsyForm form;
  form.show();
  Settle();
  EXPECT_EQ(form.URLEdit->text(), QStringLiteral("http://127.0.0.1:8080/page?id=@@"));
  EXPECT_EQ(form.url1->text(), form.URLEdit->text());
  EXPECT_EQ(form.Edit2->text(), form.URLEdit->text());
  EXPECT_EQ(form.username->text(), QStringLiteral("bob"));
  EXPECT_EQ(form.agent->currentText(), QStringLiteral("Mozilla/4.0 (compatible; MSIE 5.*; Windows 98*)"));
  EXPECT_EQ(form.proxy->text(), QStringLiteral("proxy.local"));
  EXPECT_EQ(form.port->text(), QStringLiteral("3128"));
  for (QCheckBox* c : {form.HeaderCheckBox, form.DataCheckBox, form.onerroronlyCheckBox, form.checkproxy,
                       form.useusername, form.useagent, form.Checkcookie, form.Ramp}) {
    EXPECT_TRUE(c->isChecked()) << c->objectName().toStdString();
  }
  EXPECT_FALSE(form.Checkshowgraph->isChecked());
  EXPECT_FALSE(form.CheckBox2->isChecked());
  EXPECT_FALSE(form.WebBrowser_V11->isVisibleTo(form.TabSheet1));
  EXPECT_EQ(form.SpinEdit1->Value(), 250);
  EXPECT_EQ(form.SpinEdit2->Value(), 12);
  EXPECT_EQ(form.SpinEdit3->Value(), 7);
  EXPECT_TRUE(form.Chart2->isVisibleTo(form.Panel3));
  // Not kept: the password, the key offset.
  EXPECT_TRUE(form.pw->text().isEmpty());
  EXPECT_FALSE(form.usekey->isChecked());
  EXPECT_EQ(form.offset->Value(), 0);
  EXPECT_EQ(form.pos(), QPoint(40, 30));
  EXPECT_EQ(form.size(), QSize(700, 500));
}

TEST_F(Window, StoredValuesAreReadByTheRules) {
  struct Case {
    const char* file;
    std::function<void(THttpAsyForm&)> check;
  } cases[] = {
      {"[Data]\nRequests=0\n", [](THttpAsyForm& f) { EXPECT_EQ(f.SpinEdit1->Value(), 1); }},
      {"[Data]\nRequests=30000\n", [](THttpAsyForm& f) { EXPECT_EQ(f.SpinEdit1->Value(), 20000); }},
      {"[Data]\nRequests=0x10\nRuns=0X0A\n",
       [](THttpAsyForm& f) {
         EXPECT_EQ(f.SpinEdit1->Value(), 16);
         EXPECT_EQ(f.SpinEdit2->Value(), 10);
       }},
      {"[Data]\nRequests=12abc\n", [](THttpAsyForm& f) { EXPECT_EQ(f.SpinEdit1->Value(), 5); }},
      {"[Data]\nRuns=70000\nWait=-3\n",
       [](THttpAsyForm& f) {
         EXPECT_EQ(f.SpinEdit2->Value(), 65536);
         EXPECT_EQ(f.SpinEdit3->Value(), 0);
       }},
      {"[Data]\nshowgraph=0\nshowbrowser=0\nSimultaneous=0\n",
       [](THttpAsyForm& f) {
         EXPECT_FALSE(f.Checkshowgraph->isChecked());
         EXPECT_FALSE(f.CheckBox2->isChecked());
       }},
      {"[DATA]\nURLEDIT=http://upper/\nuseramp=1\nuseusername=7\nREQUESTS=9\n",
       [](THttpAsyForm& f) {
         EXPECT_EQ(f.Edit2->text(), QStringLiteral("http://upper/"));
         EXPECT_TRUE(f.Ramp->isChecked());
         EXPECT_TRUE(f.Chart2->isVisibleTo(f.Panel3));
         EXPECT_TRUE(f.useusername->isChecked());
         EXPECT_EQ(f.SpinEdit1->Value(), 9);
       }},
      {"[Data]\nUseProxy=2\n",
       [](THttpAsyForm& f) {
         EXPECT_TRUE(f.checkproxy->isChecked());
         EXPECT_TRUE(f.proxy->isEnabled());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    PutIni(c.file);
    THttpAsyForm form;
    form.show();
    Settle();
    c.check(form);
    form.close();
  }
  // The last case was written back as a plain 1.
  EXPECT_NE(Slurp(IniPath()).find("UseProxy=1"), std::string::npos);
}

TEST_F(Window, SettingsAreReadOnlyOnTheFirstShowing) {
  PutIni("[Data]\nRequests=42\n");
  THttpAsyForm form;
  form.show();
  Settle();
  EXPECT_EQ(form.SpinEdit1->Value(), 42);
  form.SpinEdit1->SetValue(7);
  form.hide();
  form.show();
  Settle();
  EXPECT_EQ(form.SpinEdit1->Value(), 7);
}

TEST_F(Window, CheckBoxesEnableAndColourTheirInputs) {
  THttpAsyForm form;
  form.show();
  Settle();
  const QColor window = QApplication::palette().color(QPalette::Base);
  const QColor face = QApplication::palette().color(QPalette::Button);
  ASSERT_NE(window, face);
  struct Case {
    QCheckBox* box;
    std::vector<QWidget*> inputs;
  } cases[] = {
      {form.checkproxy, {form.proxy, form.port}},
      {form.useusername, {form.username, form.pw}},
      {form.useagent, {form.agent}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box->objectName().toStdString());
    for (bool on : {true, false}) {
      c.box->setChecked(on);
      for (QWidget* w : c.inputs) {
        EXPECT_EQ(w->isEnabled(), on) << w->objectName().toStdString();
        EXPECT_EQ(w->palette().color(QPalette::Base), on ? window : face) << w->objectName().toStdString();
      }
    }
  }
}

TEST_F(Window, RampShowsChart2InTheLowerHalf) {
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  Settle();
  QRect r = form.Panel3->contentsRect();
  ASSERT_GT(r.height(), 50);
  EXPECT_FALSE(form.Chart2->isVisible());
  EXPECT_EQ(form.Chart1->geometry(), r);

  form.Ramp->setChecked(true);
  Settle();
  EXPECT_TRUE(form.Chart2->isVisible());
  int half = r.height() / 2;
  EXPECT_EQ(form.Chart2->geometry(), QRect(r.left(), r.bottom() + 1 - half, r.width(), half));
  EXPECT_EQ(form.Chart1->geometry(), QRect(r.left(), r.top(), r.width(), r.height() - half));

  // The split follows the panel's size.
  form.resize(form.width(), form.height() - 60);
  Settle();
  r = form.Panel3->contentsRect();
  EXPECT_EQ(form.Chart2->height(), r.height() / 2);
  EXPECT_EQ(form.Chart1->height() + form.Chart2->height(), r.height());

  form.Ramp->setChecked(false);
  Settle();
  EXPECT_FALSE(form.Chart2->isVisible());
  EXPECT_EQ(form.Chart1->geometry(), r);
}

TEST_F(Window, FirstArgumentLandsInAllThreeUrlEdits) {
  PutIni("[Data]\nURLEdit=http://stored/\n");
  plat::SetCommandLine(std::vector<std::string>{"Brontavel2", "http://from-the-command-line/"});
  THttpAsyForm form;
  form.show();
  Settle();
  for (QLineEdit* e : {form.url1, form.URLEdit, form.Edit2}) {
    EXPECT_EQ(e->text(), QStringLiteral("http://from-the-command-line/")) << e->objectName().toStdString();
  }
  // Typing in any of them changes the other two.
  QTest::keyClicks(form.Edit2, "x");
  EXPECT_EQ(form.URLEdit->text(), QStringLiteral("http://from-the-command-line/x"));
  EXPECT_EQ(form.url1->text(), form.URLEdit->text());
  form.url1->setText("http://b/");
  EXPECT_EQ(form.Edit2->text(), QStringLiteral("http://b/"));
}

TEST_F(Window, FailedSettingsWriteIsShownAndTheWindowStillCloses) {
  // The configuration folder cannot be made: its parent is a file.
  std::string blocker = cfg_ + "/file";
  std::ofstream(blocker) << "x";
  std::string bad = blocker + "/config";
  testsupport::ScopedEnv config("XDG_CONFIG_HOME", bad);
  THttpAsyForm form;
  form.show();
  Settle();
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(form.isVisible());
  ASSERT_EQ(rec_.errors.size(), 1u);
  EXPECT_EQ(rec_.errors[0], "Unable to write to " + bad + "/" + form.inifilename);
}

// The program's end comes with the window's close, once the settings are
// written, and also after a write that failed (the window closes anyway).
TEST_F(Window, TheCloseTellsTheProgramOnceTheSettingsAreWritten) {
  for (bool writable : {true, false}) {
    SCOPED_TRACE(writable ? "settings written" : "settings not writable");
    std::string blocker = cfg_ + "/file";
    std::ofstream(blocker) << "x";
    testsupport::ScopedEnv config("XDG_CONFIG_HOME", writable ? cfg_ : blocker + "/config");
    std::remove(IniPath().c_str());
    THttpAsyForm form;
    form.show();
    Settle();
    form.URLEdit->setText(QStringLiteral("http://127.0.0.1:1/closed"));
    int told = 0;
    std::string written;
    form.OnClosed = [&] {
      ++told;
      written = Slurp(IniPath());
    };
    EXPECT_TRUE(form.close());
    EXPECT_EQ(told, 1);
    if (writable) {
      EXPECT_NE(written.find("URLEdit=http://127.0.0.1:1/closed\n"), std::string::npos) << written;
    }
    rec_.errors.clear();
  }
}

TEST_F(Window, LabelsNameTheirInputsAndTabOrderFollowsTheLayout) {
  THttpAsyForm form;
  struct Named {
    QLabel* label;
    QWidget* input;
  } named[] = {
      {form.Label1, form.URLEdit},  {form.Label2, form.SpinEdit1}, {form.Label5, form.SpinEdit2},
      {form.Label6, form.SpinEdit3}, {form.Label4, form.port},      {form.Label7, form.pw},
      {form.Label8, form.offset},   {form.Label13, form.url1},     {form.Label10, form.Edit2},
  };
  for (const Named& n : named) {
    EXPECT_EQ(n.label->buddy(), n.input) << n.label->objectName().toStdString();
    EXPECT_EQ(n.input->accessibleName(), n.label->text()) << n.label->objectName().toStdString();
  }
  EXPECT_EQ(form.proxy->accessibleName(), QStringLiteral("Use Proxy:"));
  EXPECT_EQ(form.username->accessibleName(), QStringLiteral("Use User:"));
  EXPECT_EQ(form.agent->accessibleName(), QStringLiteral("Use Agent:"));
  EXPECT_FALSE(form.label3->accessibleName().isEmpty());
  EXPECT_TRUE(form.label3->isHidden());

  std::vector<QWidget*> expected = {form.URLEdit,   form.SpinEdit1,   form.SpinEdit2,      form.SpinEdit3,
                                    form.Ramp,      form.Checkcookie, form.Checkshowgraph, form.HeaderCheckBox,
                                    form.DataCheckBox, form.onerroronlyCheckBox, form.checkproxy, form.proxy,
                                    form.port,      form.useusername, form.username,       form.pw,
                                    form.useagent,  form.agent,       form.usekey,         form.offset,
                                    form.ExecButton, form.AbortButton, form.Button1};
  std::vector<QWidget*> seen;
  QWidget* w = form.URLEdit;
  for (int i = 0; i < 400 && seen.size() < expected.size(); ++i, w = w->nextInFocusChain()) {
    if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
        std::find(seen.begin(), seen.end(), w) == seen.end())
      seen.push_back(w);
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(Window, SpinEditRules) {
  plat::TSpinEdit users;
  users.SetBounds(1, 20000);
  plat::TSpinEdit unbounded;
  unbounded.SetBounds(0, 0);
  struct Case {
    plat::TSpinEdit* edit;
    std::int64_t set;
    std::int64_t shows;
  } cases[] = {
      {&users, 0, 1},          {&users, 30000, 20000},   {&users, 250, 250},       {&users, -7, 1},
      {&unbounded, -5, -5},    {&unbounded, 123456, 123456}, {&unbounded, 1LL << 40, INT32_MAX},
  };
  for (const Case& c : cases) {
    c.edit->SetValue(c.set);
    EXPECT_EQ(c.edit->Value(), c.shows) << c.set;
  }
  // A text that is not a whole number reads as the lower bound.
  for (const char* text : {"", "abc", "12x", "-"}) {
    users.SetText(QString::fromLatin1(text));
    EXPECT_EQ(users.Value(), 1) << text;
    unbounded.SetText(QString::fromLatin1(text));
    EXPECT_EQ(unbounded.Value(), 0) << text;
  }
}

TEST_F(Window, AgentListHasItsGroups) {
  const auto& lines = AgentPresetLines();
  ASSERT_EQ(lines.size(), 272u);
  const std::vector<std::pair<std::string, int>> groups = {
      {"* IE 1.5 *", 2},       {"* IE 2.0 *", 17},
      {"* IE 3.0 *", 37},      {"* IE 4.0 *", 12},
      {"* IE 5.0 *", 4},       {"* Microsoft Pocket Internet Explorer/0.6 *", 1},
      {"* Netscape 4.00 *", 5}, {"* Netscape 3.01 *", 25},
      {"* Netscape 3.0 \xDC", 98}, {"* Netscape 2.0 *", 49},
      {"* Oracle 1.5 *", 1}};
  std::size_t i = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    ASSERT_LT(i, lines.size());
    EXPECT_EQ(lines[i++], groups[g].first);
    for (int k = 0; k < groups[g].second; ++k, ++i) {
      ASSERT_LT(i, lines.size());
      EXPECT_FALSE(lines[i].empty()) << groups[g].first << " entry " << k;
      EXPECT_EQ(lines[i].rfind("Mozilla/", 0), 0u) << lines[i];
    }
    if (g + 1 < groups.size()) {
      EXPECT_EQ(lines[i++], "") << "after " << groups[g].first;
    }
  }
  EXPECT_EQ(i, lines.size());
  for (const char* sample : {"Mozilla/1.22 (compatible; MSIE 1.5; Windows NT)",
                             "Mozilla/4.0 (compatible; MSIE 4.0; Windows 95)", "Mozilla/3.01Gold (Macintosh; I; 68K)",
                             "Mozilla/2.01 (Compatible) Oracle(tm) PowerBrowser(tm)/1.0a",
                             "Mozilla/4.0 (compatible; MSIE 5.*; Windows 98*)"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), sample), lines.end()) << sample;
  }
  THttpAsyForm form;
  ASSERT_EQ(form.agent->count(), 272);
  EXPECT_EQ(form.agent->itemText(0), QStringLiteral("* IE 1.5 *"));
  EXPECT_EQ(form.agent->itemText(static_cast<int>(std::find(lines.begin(), lines.end(), "* Netscape 3.0 \xDC") - lines.begin())),
            QString::fromLatin1("* Netscape 3.0 \xDC"));
  // Choosing a line puts exactly that text into the field.
  form.agent->setCurrentIndex(3);
  EXPECT_EQ(form.agent->currentText(), QString::fromLatin1(lines[3].c_str()));
}

TEST_F(Window, PrintGraphGoesToThePrinterInLandscape) {
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.Series1->AddXY(10, 100, "", QColor(0, 128, 0));
  Settle();
  std::string pdf = std::string(std::getenv("SITETOOLS_BINARY_DIR")) + "/window_test_graph.pdf";
  fs::remove(pdf);
  form.Printer()->setOutputFormat(QPrinter::PdfFormat);
  form.Printer()->setOutputFileName(QString::fromStdString(pdf));
  form.Printer()->setPageOrientation(QPageLayout::Portrait);
  form.MenuItem1->trigger();
  EXPECT_EQ(form.Printer()->pageLayout().orientation(), QPageLayout::Landscape);
  QFile f(QString::fromStdString(pdf));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.read(4).startsWith("%PDF"));
  f.close();
  fs::remove(pdf);
  form.PrintGraph21->trigger();
  EXPECT_TRUE(fs::exists(pdf));
  EXPECT_TRUE(rec_.messages.empty());
}

TEST_F(Window, PrintGraphWithoutAPrinterSaysSo) {
  THttpAsyForm form;
  QPrinter* p = form.Printer();
  if (p->outputFormat() == QPrinter::NativeFormat && !QPrinterInfo::availablePrinters().isEmpty())
    GTEST_SKIP() << "this machine has a printer";
  form.PrintGraph1Click();
  ASSERT_EQ(rec_.messages.size(), 1u);
  EXPECT_NE(rec_.messages[0].find("No printer"), std::string::npos);
}

TEST_F(Window, CopyGraphLeavesABitmapOnTheClipboard) {
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.Ramp->setChecked(true);
  Settle();
  QGuiApplication::clipboard()->clear();
  form.MenuItem2->trigger();
  QImage img = QGuiApplication::clipboard()->image();
  ASSERT_FALSE(img.isNull());
  EXPECT_EQ(img.size(), form.Chart1->size());
  QGuiApplication::clipboard()->clear();
  form.CopyGraph21->trigger();
  img = QGuiApplication::clipboard()->image();
  ASSERT_FALSE(img.isNull());
  EXPECT_EQ(img.size(), form.Chart2->size());
  EXPECT_EQ(form.Chart1->PopupMenu(), form.PopupMenu2);
  EXPECT_EQ(form.Chart2->PopupMenu(), form.PopupMenu1);
  EXPECT_EQ(form.MenuItem1->text(), QStringLiteral("Print Graph"));
  EXPECT_EQ(form.CopyGraph21->text(), QStringLiteral("Copy Graph"));
}

// A screen reader walks down from the window: the charts' right-click menus
// and their items must be found there, below their chart, and work when
// pressed, whether the menu is open or not.
TEST_F(Window, ChartMenusAreInTheAccessibilityTree) {
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.Ramp->setChecked(true);
  Settle();
  struct Item {
    QAccessibleInterface* item;
    QObject* chart;  // the chart the walk passed through on its way down
  };
  auto walk = [&] {
    std::vector<Item> items;
    std::function<void(QAccessibleInterface*, QObject*, int)> down = [&](QAccessibleInterface* a, QObject* chart,
                                                                        int depth) {
      if (!a || depth > 40) return;
      if (a->object() == form.Chart1 || a->object() == form.Chart2) chart = a->object();
      if (a->role() == QAccessible::MenuItem) items.push_back({a, chart});
      for (int i = 0; i < a->childCount(); ++i) down(a->child(i), chart, depth + 1);
    };
    down(QAccessible::queryAccessibleInterface(&form), nullptr, 0);
    return items;
  };
  auto find = [](const std::vector<Item>& items, QObject* chart, const QString& name) -> QAccessibleInterface* {
    for (const Item& i : items)
      if (i.chart == chart && i.item->text(QAccessible::Name) == name) return i.item;
    return nullptr;
  };
  for (int open = 0; open < 2; ++open) {
    SCOPED_TRACE(open ? "menu open" : "menu closed");
    if (open) {
      QContextMenuEvent e(QContextMenuEvent::Keyboard, QPoint(10, 10), form.Chart1->mapToGlobal(QPoint(10, 10)));
      QApplication::sendEvent(form.Chart1, &e);
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.PopupMenu2->isVisible(); }, 10000));
    }
    const std::vector<Item> items = walk();
    for (plat::TChart* chart : {form.Chart1, form.Chart2}) {
      SCOPED_TRACE(chart->objectName().toStdString());
      for (const char* name : {"Print Graph", "Copy Graph"}) {
        QAccessibleInterface* item = find(items, chart, QString::fromLatin1(name));
        ASSERT_NE(item, nullptr) << name;
        ASSERT_NE(item->parent(), nullptr);
        EXPECT_EQ(item->parent()->role(), QAccessible::PopupMenu);
        EXPECT_EQ(item->parent()->object(), chart->PopupMenu());
      }
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(chart);
      EXPECT_EQ(a->indexOfChild(QAccessible::queryAccessibleInterface(chart->PopupMenu())), a->childCount() - 1);
    }
    if (open) {
      EXPECT_FALSE(QAccessible::queryAccessibleInterface(form.PopupMenu2)->state().invisible);
    }
    QAccessibleInterface* copy = find(items, open ? form.Chart1 : form.Chart2, QStringLiteral("Copy Graph"));
    ASSERT_NE(copy->actionInterface(), nullptr);
    QGuiApplication::clipboard()->clear();
    copy->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    const QImage img = QGuiApplication::clipboard()->image();
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), (open ? form.Chart1 : form.Chart2)->size());
    form.PopupMenu2->close();
  }
}

TEST_F(Window, ExceptionsInHandlersEndAtTheErrorBox) {
  QTimer::singleShot(0, [] { throw plat::Exception("handler failed"); });
  QTimer::singleShot(20, [] { QCoreApplication::quit(); });
  App().exec();
  ASSERT_EQ(rec_.errors.size(), 1u);
  EXPECT_EQ(rec_.errors[0], "handler failed");
}

// Pixels of `img` inside `r` for which `pick` holds.
int Pixels(const QImage& img, const QRect& r, const std::function<bool(const QColor&)>& pick) {
  int n = 0;
  const QRect area = r.intersected(img.rect());
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) n += pick(QColor::fromRgb(img.pixel(x, y)));
  return n;
}

bool Dark(const QColor& c) { return c.red() < 100 && c.green() < 100 && c.blue() < 100; }

TEST_F(Window, CaptionsAndStatusTextAreDrawnWhereTheyBelong) {
  THttpAsyForm form;
  form.show();
  Settle();
  // The browse tab's hint stands in the highlight colour.
  const QColor hl = form.Panel7->palette().color(QPalette::Highlight);
  auto highlighted = [&](const QColor& c) {
    return std::abs(c.red() - hl.red()) + std::abs(c.green() - hl.green()) + std::abs(c.blue() - hl.blue()) < 60;
  };
  const QImage hint = form.Panel7->grab().toImage();
  EXPECT_GT(Pixels(hint, hint.rect(), highlighted), 20);

  // With the result pages hidden, as while an exactly timed test runs, the
  // panel under them says that the program is working.
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.PageControl1->setVisible(false);
  Settle();
  QImage under = form.Panel2->grab().toImage();
  const QRect middle(0, under.height() / 2 - 10, under.width(), 20);
  EXPECT_GT(Pixels(under, middle, Dark), 30);

  // The status bar shows the engine's progress text, and nothing once it is
  // emptied.
  form.SetStatusText(0, "Request 20 of run 1 done.");
  Settle();
  EXPECT_EQ(form.StatusText(0), "Request 20 of run 1 done.");
  QImage bar = form.StatusBar1->grab().toImage();
  EXPECT_GT(Pixels(bar, bar.rect(), Dark), 30);
  form.SetStatusText(0, "");
  Settle();
  bar = form.StatusBar1->grab().toImage();
  EXPECT_EQ(Pixels(bar, bar.rect().adjusted(0, 0, -20, 0), Dark), 0);
}

// ---- the about box and splash ------------------------------------------------------

TForm1* OpenBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* f = qobject_cast<TForm1*>(w); f && f->isVisible()) return f;
  }
  return nullptr;
}

// The part of a button of the box that the logo does not overlap.
QRect ButtonBelowLogo(const TForm1* box, const QPushButton* b) {
  QRect r = b->geometry();
  r.setTop(box->Image2->geometry().bottom() + 1);
  return r;
}

TEST_F(Window, SplashClosesByItsTimer) {
  bool seen = false;
  QTimer::singleShot(200, [&] {
    TForm1* box = OpenBox();
    ASSERT_NE(box, nullptr);
    seen = true;
    EXPECT_TRUE(box->isModal());
    EXPECT_EQ(box->height(), 235);
    EXPECT_EQ(box->width(), 678);
    EXPECT_FALSE(box->BitBtn1->isVisible());
    EXPECT_FALSE(box->BitBtn2->isVisible());
    EXPECT_EQ(box->Label2->text(), QStringLiteral("Version 3.04"));
    EXPECT_EQ(box->Label1->text(), QStringLiteral("Anso's Brontavel"));
    EXPECT_TRUE(box->windowFlags() & Qt::FramelessWindowHint);
    // On screen: plain white where the buttons' lower edges would stand out
    // below the logo, the logo's green bars and red curve, and the title in
    // dark letters.
    const QImage shot = box->grab().toImage();
    auto white = [](const QColor& c) { return c == Qt::white; };
    for (QPushButton* b : {box->BitBtn1, box->BitBtn2}) {
      const QRect r = ButtonBelowLogo(box, b);
      ASSERT_GT(r.height(), 3);
      EXPECT_EQ(Pixels(shot, r, white), r.width() * r.height()) << b->objectName().toStdString();
    }
    const QRect logo = box->Image2->geometry();
    EXPECT_GT(Pixels(shot, logo, [](const QColor& c) { return c.green() > 100 && c.red() < 60 && c.blue() < 60; }), 500);
    EXPECT_GT(Pixels(shot, logo, [](const QColor& c) { return c.red() > 150 && c.green() < 60 && c.blue() < 60; }), 100);
    EXPECT_GT(Pixels(shot, box->Label1->geometry(), Dark), 200);
  });
  QElapsedTimer t;
  t.start();
  ShowSplash();
  EXPECT_TRUE(seen);
  EXPECT_GE(t.elapsed(), 2995);
  EXPECT_LT(t.elapsed(), 60000);
  EXPECT_EQ(OpenBox(), nullptr);
}

TEST_F(Window, AClickOnTheSplashClosesItAtOnce) {
  for (const char* part : {"Label1", "Label2", "Image2", "Memo1", "Form1"}) {
    SCOPED_TRACE(part);
    QTimer::singleShot(50, [part] {
      TForm1* box = OpenBox();
      ASSERT_NE(box, nullptr);
      QWidget* w = box->objectName() == QLatin1String(part) ? box : box->findChild<QWidget*>(part);
      ASSERT_NE(w, nullptr);
      QPoint at = w == box ? QPoint(300, 220) : w->rect().center();
      QTest::mouseClick(w, Qt::LeftButton, {}, at);
    });
    QElapsedTimer t;
    t.start();
    ShowSplash();
    EXPECT_LT(t.elapsed(), 2500);
  }
}

TEST_F(Window, AboutBoxStaysUntilTheUserClosesIt) {
  THttpAsyForm form;
  form.show();
  Settle();
  bool checked = false;
  QTimer::singleShot(100, [&] {
    TForm1* box = OpenBox();
    ASSERT_NE(box, nullptr);
    checked = true;
    EXPECT_FALSE(box->Timer1->isActive());
    EXPECT_TRUE(box->BitBtn1->isVisible());
    EXPECT_TRUE(box->BitBtn2->isVisible());
    EXPECT_EQ(box->BitBtn1->text(), QStringLiteral("OK"));
    EXPECT_EQ(box->BitBtn2->text(), QStringLiteral("Homepage"));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("About Brontavel"));
    EXPECT_TRUE((box->windowFlags() & Qt::WindowType_Mask) == Qt::Tool);
    EXPECT_FALSE(box->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(box->Label2->text(), QStringLiteral("Version 3.04"));
    EXPECT_EQ(box->size(), QSize(678, 260));
    // On screen both buttons stand out from the white box.
    const QImage shot = box->grab().toImage();
    for (QPushButton* b : {box->BitBtn1, box->BitBtn2}) {
      const QRect r = ButtonBelowLogo(box, b);
      EXPECT_GT(Pixels(shot, r, [](const QColor& c) { return c != Qt::white; }), r.width() * r.height() / 2)
          << b->objectName().toStdString();
    }
    QTest::mouseClick(box->BitBtn2, Qt::LeftButton);
    EXPECT_EQ(OpenBox(), box);  // "Homepage" leaves it open
    QTest::mouseClick(box->BitBtn1, Qt::LeftButton);
  });
  form.Button8->click();
  EXPECT_TRUE(checked);
  EXPECT_EQ(OpenBox(), nullptr);
  ASSERT_EQ(rec_.opened.size(), 1u);
  EXPECT_EQ(rec_.opened[0], kHomepage);
}

}  // namespace

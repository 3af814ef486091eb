// The browser tabs on the real engine (offscreen) against a local page
// server: a page with a frame and two images.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <filesystem>
#include <fstream>

#include "loadtester/HttpAsy1.h"
#include "loadtester/splash.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtext.h"
#include "platform/qt/webengine/webbrowser.h"
#include "platform/sysutils/sysutils.h"
#include "tests/support/page_server.h"
#include "tests/support/private_home.h"
#include "tests/support/qt_app.h"

// The engine's own library frees some objects with a size other than the
// one they were made with (its allocator does not mind); the sanitizer
// build would stop there. Only this program, which runs the engine, skips
// that one check; every other test keeps it.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0"; }

namespace {

const char kPng[] =
    "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x06\0\0\0\x1f\x15\xc4\x89\0\0\0\rIDATx\xda"
    "c\xfc\xcf\xc0\xf0\x1f\0\x05\0\x01\xff\x89\x99=\x1d\0\0\0\0IEND\xae"
    "B`\x82";

class BrowserEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::QtApp();
    plat::InstallQtBridge();
    versionstr = "3.04";
    plat::SetCommandLine(std::vector<std::string>{"browser_engine_test"});
    server_.Page("/index.htm", "text/html",
                 "<html><body><img src=\"a.png\"><img src=\"b.png\"><iframe src=\"frame.htm\"></iframe></body></html>");
    server_.Page("/frame.htm", "text/html", "<html><body>frame</body></html>");
    server_.Page("/a.png", "image/png", std::string(kPng, sizeof kPng - 1));
    server_.Page("/b.png", "image/png", std::string(kPng, sizeof kPng - 1));
  }
  testsupport::PrivateHome home_;
  testsupport::PageServer server_;
};

TEST_F(BrowserEngine, GoToUrlLeavesTheFramesUrlInAllThreeEdits) {
  THttpAsyForm form;
  form.show();
  form.url1->setText(plat::ToQ(server_.Url("/index.htm")));
  form.gotobutton->click();
  const QString frame = plat::ToQ(server_.Url("/frame.htm"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.url1->text() == frame && server_.CountOf("/b.png") == 1; }, 30000))
      << plat::FromQ(form.url1->text());
  for (QLineEdit* e : {form.url1, form.URLEdit, form.Edit2}) EXPECT_EQ(e->text(), frame);
}

TEST_F(BrowserEngine, TimedReloadFetchesThePageAndItsImagesAgain) {
  THttpAsyForm form;
  form.show();
  form.Edit2->setText(plat::ToQ(server_.Url("/index.htm")));
  form.Button6->click();
  // The untimed load, then the complete reload timed to its end.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return form.loadstart != 0 && form.Label11->text().contains(QStringLiteral(" msec ")) && !form.reloadpending &&
                   server_.CountOf("/b.png") == 2 && form.Label12->text() == QStringLiteral("Status: Done"); },
      30000))
      << plat::FromQ(form.Label11->text());
  QTest::qWait(300);  // a third fetch would come within this window
  for (const char* path : {"/index.htm", "/a.png", "/b.png", "/frame.htm"}) EXPECT_EQ(server_.CountOf(path), 2) << path;
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^Time: \\d+ msec $")).match(form.Label11->text()).hasMatch())
      << plat::FromQ(form.Label11->text());
}

// A script in the results view's local page reads another local file: it
// must not succeed there, while a browser without the restriction shows
// that the script works.
TEST_F(BrowserEngine, ResultsViewCannotReadLocalFiles) {
  const std::string dir = home_.ConfigDir();
  const std::string secret = dir + "/secret.txt";
  std::ofstream(secret) << "SECRET";
  const std::string page = dir + "/temp.htm";
  std::ofstream(page) << "<html><head><title>start</title><script>"
                         "var x=new XMLHttpRequest();"
                         "x.onload=function(){document.title='read:'+x.responseText;};"
                         "x.onerror=function(){document.title='blocked';};"
                         "try{x.open('GET','file://" + secret + "');x.send();}catch(e){document.title='blocked';}"
                         "</script></head><body></body></html>";
  struct Case {
    bool confined;
    const char* title;
  };
  for (Case c : {Case{true, "blocked"}, Case{false, "read:SECRET"}}) {
    SCOPED_TRACE(c.confined ? "results view" : "unrestricted view");
    QWidget host;
    host.resize(200, 200);
    host.show();
    plat::TBrowserOptions o;
    o.confineLocalContent = c.confined;
    plat::TQtWebBrowser b(&host, o);
    b.Navigate("file://" + page);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return b.View()->title() == QStringLiteral("blocked") || b.View()->title().startsWith("read:"); }, 30000));
    EXPECT_EQ(plat::FromQ(b.View()->title()), c.title);
  }
  // The window's results browser is the confined one.
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.PageControl1->setCurrentWidget(form.TabSheet1);
  form.NavigateResults("file://" + page);
  auto* view = form.WebBrowser_V11->findChild<QWebEngineView*>();
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return view->title() == QStringLiteral("blocked") || view->title().startsWith("read:"); }, 30000));
  EXPECT_EQ(view->title(), QStringLiteral("blocked"));
}

}  // namespace

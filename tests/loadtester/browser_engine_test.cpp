// The browser tabs on the real engine (offscreen) against a local page
// server: a page with a frame and two images, a page whose frame completes
// long before the page itself, stops, and the results view's first
// response.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <filesystem>
#include <fstream>
#include <functional>

#include "loadtester/HttpAsy1.h"
#include "loadtester/HttpAsy1Engine.h"
#include "loadtester/splash.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtext.h"
#include "platform/qt/webengine/webbrowser.h"
#include "platform/sysutils/sysutils.h"
#include "tests/support/loopback.h"
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
    // Its frame completes at once, the page only when the test lets its
    // image through.
    server_.Page("/slow.htm", "text/html",
                 "<html><body><iframe src=\"frame.htm\"></iframe><img src=\"slow.png\"></body></html>");
    server_.Page("/slow.png", "image/png", std::string(kPng, sizeof kPng - 1));
    // A link over the top of the page, where a click lands.
    server_.Page("/links.htm", "text/html",
                 "<html><head><title>links</title></head><body style=\"margin:0\">"
                 "<a href=\"next.htm\" style=\"display:block;width:100%;height:300px\">next</a></body></html>");
    server_.Page("/next.htm", "text/html", "<html><head><title>next</title></head><body>next</body></html>");
    // Neither the page nor its frame completes while the frame's image is
    // held; the frame's link lies over the top of the page.
    server_.Page("/held.htm", "text/html",
                 "<html><body style=\"margin:0\"><iframe src=\"linkframe.htm\" "
                 "style=\"position:absolute;left:0;top:0;width:400px;height:300px;border:0\"></iframe></body></html>");
    server_.Page("/linkframe.htm", "text/html",
                 "<html><body style=\"margin:0\"><a href=\"next.htm\" "
                 "style=\"display:block;width:100%;height:200px\">next</a><img src=\"held.png\"></body></html>");
    server_.Page("/held.png", "image/png", std::string(kPng, sizeof kPng - 1));
  }
  // A case that changed the program folder leaves none behind, passed or not.
  void TearDown() override { programfolderoverride.clear(); }
  // The view a browser of the window has put into its place.
  static QWebEngineView* ViewIn(QWidget* place) { return place->findChild<QWebEngineView*>(); }
  // A left click into the page, where the window system's click lands: on
  // the widget that takes the view's input, which also gets the focus.
  static void ClickPage(QWebEngineView* view, QPoint at) {
    QWidget* input = view->focusProxy() ? view->focusProxy() : view;
    QTest::mouseClick(input, Qt::LeftButton, Qt::NoModifier, at);
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

// A frame's completion counts: the timed reload starts while the page
// itself still waits for its image.
TEST_F(BrowserEngine, TimedReloadStartsAtTheFramesCompletion) {
  server_.Hold("/slow.png");
  THttpAsyForm form;
  form.show();
  form.Edit2->setText(plat::ToQ(server_.Url("/slow.htm")));
  form.Button6->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.loadstart != 0; }, 30000)) << plat::FromQ(form.Label11->text());
  EXPECT_FALSE(form.reloadpending);
  EXPECT_EQ(server_.CountOf("/frame.htm"), 1);
  server_.Release("/slow.png");
  // The reload fetches the page again and is timed to its end.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return server_.CountOf("/slow.htm") == 2 && server_.CountOf("/frame.htm") == 2 &&
               form.Label12->text() == QStringLiteral("Status: Done") &&
               form.Label11->text().contains(QStringLiteral(" msec "));
      },
      30000))
      << plat::FromQ(form.Label11->text()) << " / " << plat::FromQ(form.Label12->text());
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^Time: \\d+ msec $")).match(form.Label11->text()).hasMatch())
      << plat::FromQ(form.Label11->text());
}

// Stop on the browse tab and Abort on the download tab while the page
// waits for its image: the engine's report of the stopped load changes
// neither line.
TEST_F(BrowserEngine, StopAndAbortEndCanceled) {
  struct Case {
    const char* name;
    QLineEdit* THttpAsyForm::*edit;
    QPushButton* THttpAsyForm::*start;
    QPushButton* THttpAsyForm::*stop;
    QLabel* THttpAsyForm::*status;
    QWidget* THttpAsyForm::*browser;
  };
  const Case cases[] = {
      {"browse tab", &THttpAsyForm::url1, &THttpAsyForm::gotobutton, &THttpAsyForm::stopbutton,
       &THttpAsyForm::Label15, &THttpAsyForm::WebBrowser2},
      {"download tab", &THttpAsyForm::Edit2, &THttpAsyForm::Button6, &THttpAsyForm::Button7,
       &THttpAsyForm::Label12, &THttpAsyForm::WebBrowser1},
  };
  server_.Hold("/slow.png");
  int requests = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    THttpAsyForm form;
    form.show();
    form.PageControl2->setCurrentWidget(c.browser == &THttpAsyForm::WebBrowser2 ? form.TabSheet8 : form.TabSheet7);
    (form.*c.edit)->setText(plat::ToQ(server_.Url("/slow.htm")));
    (form.*c.start)->click();
    auto* view = (form.*c.browser)->findChild<QWebEngineView*>();
    ASSERT_NE(view, nullptr);
    bool ended = false, ok = true;
    QObject::connect(view->page(), &QWebEnginePage::loadFinished, [&](bool finished) {
      ended = true;
      ok = finished;
    });
    ++requests;
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_.CountOf("/slow.png") == requests; }, 30000));
    (form.*c.stop)->click();
    EXPECT_EQ((form.*c.status)->text(), QStringLiteral("Status: Canceled"));
    // The engine's end of the stopped load reaches the browser before this
    // test hears of it: by then the line would have changed.
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 30000));
    EXPECT_FALSE(ok);
    EXPECT_EQ((form.*c.status)->text(), QStringLiteral("Status: Canceled"));
    if (c.browser == &THttpAsyForm::WebBrowser1) {
      EXPECT_EQ(form.Label11->text(), QString());
      EXPECT_TRUE(form.reloadpending);
      EXPECT_EQ(form.loadstart, 0);
    }
  }
}

// With one user and "Show HTML-Results in Browser" off, the first response
// is asked for while the run goes on and loaded after it has ended: it is
// shown, with the image, style and frame it takes from its server, from a
// program folder whose name needs escaping in an address.
TEST_F(BrowserEngine, ResultsViewShowsTheFirstResponseOfAOneUserRun) {
  server_.Page("/first.htm", "text/html",
               "<html><head><title>first</title><link rel=\"stylesheet\" href=\"" + server_.Url("/style.css") +
                   "\"></head><body><img src=\"" + server_.Url("/pic.png") +
                   "\" onload=\"document.title='image shown'\"><iframe src=\"" + server_.Url("/frame.htm") +
                   "\"></iframe></body></html>");
  server_.Page("/style.css", "text/css", "body { margin: 3px; }");
  server_.Page("/pic.png", "image/png", std::string(kPng, sizeof kPng - 1));
  const std::string folder = home_.MakeFolder("program folder \xc3\xbc");
  programfolderoverride = folder + "/";
  THttpAsyForm form;
  form.show();
  // The results browser is up, from an earlier look at its page.
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.PageControl1->setCurrentWidget(form.TabSheet1);
  form.NavigateResults("about:blank");
  auto* view = form.WebBrowser_V11->findChild<QWebEngineView*>();
  ASSERT_NE(view, nullptr);
  form.CheckBox2->setChecked(false);
  form.Checkshowgraph->setChecked(false);
  form.SpinEdit1->SetValue(1);
  form.SpinEdit2->SetValue(1);
  form.URLEdit->setText(plat::ToQ(server_.Url("/first.htm")));
  form.ExecButton->setEnabled(true);
  form.ExecButtonClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.activeclients.empty() && form.ExecButton->isEnabled(); }, 30000));
  EXPECT_EQ(plat::FromQ(form.label3->text()), "file://" + folder + "/temp.htm");
  // The engine takes the page up after the run, the box still off.
  const QUrl shown = QUrl::fromLocalFile(plat::ToQ(folder + "/temp.htm"));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return view->url() == shown && view->title() == QStringLiteral("image shown") &&
               server_.CountOf("/style.css") == 1 && server_.CountOf("/frame.htm") == 1;
      },
      30000))
      << plat::FromQ(view->url().toString()) << " " << plat::FromQ(view->title());
  form.CheckBox2->setChecked(true);
  EXPECT_TRUE(view->isVisible());
}

// The page of each browser of the window takes the focus and a click while
// the window with its charts is there (whose accessibility once faulted on
// the engine's objects): the link is followed as each tab's rule says.
TEST_F(BrowserEngine, ClickingALinkInEachBrowserFollowsIt) {
  THttpAsyForm form;
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  const QString links = plat::ToQ(server_.Url("/links.htm"));
  const QString next = plat::ToQ(server_.Url("/next.htm"));
  struct Case {
    const char* name;
    QWidget* THttpAsyForm::*tab;
    QWidget* THttpAsyForm::*place;
    std::function<void(THttpAsyForm&)> open;
    std::function<bool(THttpAsyForm&)> opened;
    // What the tab shows once the link's page is there.
    std::function<void(THttpAsyForm&)> followed;
  };
  const Case cases[] = {
      {"browse tab", &THttpAsyForm::TabSheet8, &THttpAsyForm::WebBrowser2,
       [&](THttpAsyForm& f) {
         f.url1->setText(links);
         f.gotobutton->click();
       },
       [&](THttpAsyForm& f) { return f.Label15->text() == QStringLiteral("Status: Done"); },
       // The link became the URL to test.
       [&](THttpAsyForm& f) {
         for (QLineEdit* e : {f.url1, f.URLEdit, f.Edit2}) EXPECT_EQ(plat::FromQ(e->text()), plat::FromQ(next));
       }},
      {"download tab", &THttpAsyForm::TabSheet7, &THttpAsyForm::WebBrowser1,
       [&](THttpAsyForm& f) {
         f.Edit2->setText(links);
         f.Button6->click();
       },
       [&](THttpAsyForm& f) {
         return f.loadstart != 0 && server_.CountOf("/links.htm") == 3 &&
                f.Label12->text() == QStringLiteral("Status: Done");
       },
       // Later completions start no other reload.
       [&](THttpAsyForm& f) {
         EXPECT_FALSE(f.reloadpending);
         EXPECT_EQ(server_.CountOf("/links.htm"), 3);
       }},
      {"results view, box on", &THttpAsyForm::TabSheet6, &THttpAsyForm::WebBrowser_V11,
       [&](THttpAsyForm& f) {
         f.PageControl1->setCurrentWidget(f.TabSheet1);
         f.NavigateResults(plat::FromQ(links));
       },
       [&](THttpAsyForm&) { return true; }, [&](THttpAsyForm&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    form.PageControl2->setCurrentWidget(form.*c.tab);
    c.open(form);
    QWebEngineView* view = ViewIn(form.*c.place);
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->title() == QStringLiteral("links") && c.opened(form); }, 30000));
    const int before = server_.CountOf("/next.htm");
    ClickPage(view, QPoint(40, 40));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_.CountOf("/next.htm") == before + 1; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->title() == QStringLiteral("next"); }, 30000));
    EXPECT_TRUE(view->focusProxy()->hasFocus());
    c.followed(form);
  }
  // The browse tab's Back comes back to the page, and Stop ends with
  // "Canceled".
  form.PageControl2->setCurrentWidget(form.TabSheet8);
  form.Backbutton->click();
  QWebEngineView* browse = ViewIn(form.WebBrowser2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return browse->title() == QStringLiteral("links"); }, 30000));
  EXPECT_EQ(plat::FromQ(form.url1->text()), plat::FromQ(links));
  form.stopbutton->click();
  EXPECT_EQ(form.Label15->text(), QStringLiteral("Status: Canceled"));
}

// Abort during the first load, then a link in the page's frame: that
// frame's completion is the next document completion, so the timed reload
// starts and the status line moves on.
TEST_F(BrowserEngine, AfterAbortAFramesNextDocumentStartsTheTimedReload) {
  server_.Hold("/held.png");
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet7);
  form.Edit2->setText(plat::ToQ(server_.Url("/held.htm")));
  form.Button6->click();
  QWebEngineView* view = ViewIn(form.WebBrowser1);
  ASSERT_NE(view, nullptr);
  bool ended = false;
  QObject::connect(view->page(), &QWebEnginePage::loadFinished, [&](bool) { ended = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return server_.CountOf("/held.png") == 1; }, 30000));
  form.Button7->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 30000));
  EXPECT_EQ(form.Label12->text(), QStringLiteral("Status: Canceled"));
  EXPECT_TRUE(form.reloadpending);
  EXPECT_EQ(form.loadstart, 0);

  ClickPage(view, QPoint(40, 40));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.loadstart != 0 && server_.CountOf("/held.htm") == 2; }, 30000))
      << plat::FromQ(form.Label12->text()) << " / " << server_.CountOf("/next.htm");
  EXPECT_EQ(server_.CountOf("/next.htm"), 1);
  EXPECT_FALSE(form.reloadpending);
  server_.Release("/held.png");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return form.Label12->text() == QStringLiteral("Status: Done") &&
               form.Label11->text().contains(QStringLiteral(" msec "));
      },
      30000))
      << plat::FromQ(form.Label11->text()) << " / " << plat::FromQ(form.Label12->text());
}

// The results view lets through the frames of the page the program showed;
// what a frame loads afterwards is put to the rule like everything else:
// refused with the box off and no test running, loaded with the box on.
TEST_F(BrowserEngine, ResultsViewPutsLaterFrameNavigationsToTheRule) {
  server_.Page("/framed.htm", "text/html",
               "<html><head><title>framed</title></head><body><iframe src=\"inner.htm\"></iframe></body></html>");
  server_.Page("/inner.htm", "text/html", "<html><body>inner</body></html>");
  const std::string next = server_.Url("/next.htm");
  for (bool show : {false, true}) {
    SCOPED_TRACE(show ? "box on" : "box off");
    const int inner = server_.CountOf("/inner.htm");
    THttpAsyForm form;
    form.show();
    form.PageControl2->setCurrentWidget(form.TabSheet6);
    form.PageControl1->setCurrentWidget(form.TabSheet1);
    std::vector<std::pair<std::string, bool>> asked;
    auto rule = form.WebBrowser_V11Control.OnBeforeNavigate;
    form.WebBrowser_V11Control.OnBeforeNavigate = [&](const std::string& url, bool& cancel) {
      rule(url, cancel);
      asked.emplace_back(url, cancel);
    };
    // Shown during a test; the test is over when the page loads.
    form.ExecButton->setEnabled(false);
    form.NavigateResults(server_.Url("/framed.htm"));
    form.ExecButton->setEnabled(true);
    form.CheckBox2->setChecked(show);
    QWebEngineView* view = ViewIn(form.WebBrowser_V11);
    ASSERT_NE(view, nullptr);
    bool loaded = false;
    QObject::connect(view->page(), &QWebEnginePage::loadFinished, [&](bool ok) { loaded = ok; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return loaded && server_.CountOf("/inner.htm") == inner + 1; }, 30000));
    EXPECT_TRUE(asked.empty()) << asked.front().first;

    // The frame's navigation, and after it an image the page fetches, which
    // is no navigation and comes either way.
    const int fetched = server_.CountOf("/next.htm");
    const int images = server_.CountOf("/a.png");
    view->page()->runJavaScript(plat::ToQ("document.querySelector('iframe').src = '" + next + "';" +
                                          "new Image().src = '" + server_.Url("/a.png") + "';"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !asked.empty(); }, 30000));
    EXPECT_EQ(asked.front(), std::make_pair(next, !show));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_.CountOf("/a.png") == images + 1; }, 30000));
    // A request let through goes out with the image: it gets its time to
    // come, and with the box off it must not.
    const bool came = QTest::qWaitFor([&] { return server_.CountOf("/next.htm") > fetched; }, show ? 30000 : 5000);
    EXPECT_EQ(came, show);
    EXPECT_EQ(server_.CountOf("/next.htm"), fetched + (show ? 1 : 0));
  }
}

// A program folder whose name holds what an address reads as a fragment,
// a query or an escape: the results view shows the first response from
// that folder, not a file elsewhere whose path the address would name.
TEST_F(BrowserEngine, ResultsViewShowsTheFirstResponseFromItsOwnFolder) {
  server_.Page("/first.htm", "text/html", "<html><head><title>first</title></head><body>first</body></html>");
  const std::string decoy = "<html><head><title>decoy</title></head><body>decoy</body></html>";
  std::ofstream(home_.Path("C")) << decoy;
  std::ofstream(home_.Path("a")) << decoy;
  std::ofstream(home_.MakeFolder("100A") + "/temp.htm") << decoy;
  THttpAsyForm form;
  form.show();
  form.PageControl2->setCurrentWidget(form.TabSheet6);
  form.PageControl1->setCurrentWidget(form.TabSheet1);
  form.NavigateResults("about:blank");
  QWebEngineView* view = ViewIn(form.WebBrowser_V11);
  ASSERT_NE(view, nullptr);
  form.Checkshowgraph->setChecked(false);
  form.SpinEdit1->SetValue(1);
  form.SpinEdit2->SetValue(1);
  form.URLEdit->setText(plat::ToQ(server_.Url("/first.htm")));
  for (const char* name : {"C#", "a?b", "100%41"}) {
    SCOPED_TRACE(name);
    const std::string folder = home_.MakeFolder(name);
    const std::string path = folder + "/temp.htm";
    programfolderoverride = folder + "/";
    form.ExecButtonClick();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return form.activeclients.empty() &&
                 (view->url() == QUrl::fromLocalFile(plat::ToQ(path)) || view->title() == QStringLiteral("decoy"));
        },
        30000))
        << plat::FromQ(view->url().toString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->title() == QStringLiteral("first") || view->title() == "decoy"; },
                                30000));
    EXPECT_EQ(view->title(), QStringLiteral("first")) << plat::FromQ(view->url().toString());
    EXPECT_EQ(plat::FromQ(form.label3->text()), "file://" + path);
  }
}

// A page the server answers with an error status and a page of its own is
// a page that has loaded: the browse tab says "Done", and on the download
// tab its completion starts the timed reload as any page's does.
TEST_F(BrowserEngine, AServersErrorPageIsALoadedPage) {
  const std::pair<const char*, const char*> statuses[] = {{"/e404.htm", "404 Not Found"},
                                                          {"/e500.htm", "500 Internal Server Error"}};
  for (const auto& [path, status] : statuses) {
    server_.Page(path, "text/html", std::string("<html><body><img src=\"a.png\">") + status + "</body></html>",
                 status);
  }
  for (const auto& [path, status] : statuses) {
    SCOPED_TRACE(status);
    const QString url = plat::ToQ(server_.Url(path));
    {
      SCOPED_TRACE("browse tab");
      THttpAsyForm form;
      form.show();
      const int images = server_.CountOf("/a.png");
      form.url1->setText(url);
      form.gotobutton->click();
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return form.Label15->text() == QStringLiteral("Status: Done") && server_.CountOf("/a.png") == images + 1; },
          30000))
          << plat::FromQ(form.Label15->text());
    }
    {
      SCOPED_TRACE("download tab");
      THttpAsyForm form;
      form.show();
      form.PageControl2->setCurrentWidget(form.TabSheet7);
      const int pages = server_.CountOf(path);
      form.Edit2->setText(url);
      form.Button6->click();
      // The untimed load, then the complete reload timed to its end.
      ASSERT_TRUE(QTest::qWaitFor(
          [&] {
            return server_.CountOf(path) == pages + 2 && form.Label12->text() == QStringLiteral("Status: Done") &&
                   form.Label11->text().contains(QStringLiteral(" msec "));
          },
          30000))
          << plat::FromQ(form.Label11->text()) << " / " << plat::FromQ(form.Label12->text());
      EXPECT_FALSE(form.reloadpending);
      EXPECT_NE(form.loadstart, 0);
      EXPECT_TRUE(QRegularExpression(QStringLiteral("^Time: \\d+ msec $")).match(form.Label11->text()).hasMatch())
          << plat::FromQ(form.Label11->text());
    }
  }
}

// A load that brought no document (nobody listening, or an error status
// without a page, for which the engine shows its own) completes nothing:
// the download tab still waits for its first completion, and each status
// line says why in plain words, naming the server the engine's text means.
TEST_F(BrowserEngine, ALoadThatBroughtNoDocumentCompletesNothing) {
  server_.Page("/bare500.htm", "text/html", "", "500 Internal Server Error");
  testsupport::RefusingPort refusing;
  struct Case {
    std::string url;
    std::string reason;  // what the status line says after the address
  };
  const Case cases[] = {
      {server_.Url("/bare500.htm"), "127.0.0.1 is currently unable to handle this request."},
      {"http://127.0.0.1:" + std::to_string(refusing.Port()) + "/", "net::ERR_CONNECTION_REFUSED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const std::string expected = "Status: Could not load " + c.url + ": " + c.reason;
    {
      SCOPED_TRACE("browse tab");
      THttpAsyForm form;
      form.show();
      form.url1->setText(plat::ToQ(c.url));
      form.gotobutton->click();
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.Label15->text().startsWith("Status: Could not load"); }, 30000))
          << plat::FromQ(form.Label15->text());
      EXPECT_EQ(plat::FromQ(form.Label15->text()), expected);
    }
    {
      SCOPED_TRACE("download tab");
      THttpAsyForm form;
      form.show();
      form.PageControl2->setCurrentWidget(form.TabSheet7);
      form.Edit2->setText(plat::ToQ(c.url));
      form.Button6->click();
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.Label12->text().startsWith("Status: Could not load"); }, 30000))
          << plat::FromQ(form.Label12->text());
      EXPECT_EQ(plat::FromQ(form.Label12->text()), expected);
      EXPECT_TRUE(form.reloadpending);
      EXPECT_EQ(form.loadstart, 0);
      EXPECT_EQ(form.Label11->text(), QStringLiteral("Time: 0ms"));
    }
  }
  EXPECT_EQ(server_.CountOf("/bare500.htm"), 2);
}

// The engine's messages come as pieces of its own error page.
TEST(BrowserEngineErrorText, TheEnginesMarkupBecomesPlainText) {
  const QUrl url(QStringLiteral("http://127.0.0.1:8080/a%20b.htm"));
  struct Case {
    const char* engine;
    const char* plain;
  };
  const Case cases[] = {
      {"<strong jscontent=\"hostName\"></strong> is currently unable to handle this request.",
       "127.0.0.1 is currently unable to handle this request."},
      {"No webpage was found for the web address: <strong jscontent=\"failedUrl\"></strong>",
       "No webpage was found for the web address: http://127.0.0.1:8080/a%20b.htm"},
      {"<span jscontent=\"other\">x</span>Try <b>again</b>\n later", "Try again later"},
      {"net::ERR_CONNECTION_REFUSED", "net::ERR_CONNECTION_REFUSED"},
      {"", "The page could not be loaded"},
      {"<br>", "The page could not be loaded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.engine);
    EXPECT_EQ(plat::FromQ(plat::TQtWebBrowser::PlainErrorText(QString::fromUtf8(c.engine), url)), c.plain);
  }
}

// What the engine is given for an address: as written when it names its
// scheme, so a faulty one is refused and not made into another address.
TEST(BrowserEngineAddress, TypedAddressesGoAsWrittenOrNotAtAll) {
  struct Case {
    const char* typed;
    const char* address;  // nullptr: refused with `error`
    const char* error;
  };
  const Case cases[] = {
      {"http://[::1", nullptr, "The address is not valid"},
      {"http://exa mple.com/", nullptr, "The address is not valid"},
      {"http://", nullptr, "The address names no server"},
      {"http:/x", nullptr, "The address names no server"},
      {"  ", nullptr, "No address was given"},
      {"http://[::1]:8080/a", "http://[::1]:8080/a", nullptr},
      {"HTTP://Example.COM/A b", "http://example.com/A%20b", nullptr},
      {"file:///tmp/a b/\xc3\xbc.htm", "file:///tmp/a%20b/%C3%BC.htm", nullptr},
      {"about:blank", "about:blank", nullptr},
      // Without a scheme, completed as an address bar does.
      {"127.0.0.1:8080/x", "http://127.0.0.1:8080/x", nullptr},
      {"localhost", "http://localhost", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    try {
      const QUrl u = plat::TQtWebBrowser::EngineAddress(c.typed);
      ASSERT_NE(c.address, nullptr) << plat::FromQ(u.toString());
      EXPECT_EQ(plat::FromQ(u.toString(QUrl::FullyEncoded)), c.address);
    } catch (const plat::EBrowserError& e) {
      ASSERT_NE(c.error, nullptr) << e.Message;
      EXPECT_EQ(e.Message, c.error);
    }
  }
}

// A refused address is shown in its tab and stays in the URL fields as
// typed.
TEST_F(BrowserEngine, AnAddressThatCannotBeNavigatedIsShownAsTyped) {
  THttpAsyForm form;
  form.show();
  struct Case {
    QLineEdit* THttpAsyForm::*edit;
    QPushButton* THttpAsyForm::*button;
    QLabel* THttpAsyForm::*label;
  };
  for (Case c : {Case{&THttpAsyForm::url1, &THttpAsyForm::gotobutton, &THttpAsyForm::Label15},
                 Case{&THttpAsyForm::Edit2, &THttpAsyForm::Button6, &THttpAsyForm::Label11}}) {
    (form.*c.edit)->setText(QStringLiteral("http://[::1"));
    (form.*c.button)->click();
    EXPECT_EQ((form.*c.label)->text(), QStringLiteral("Unable to navigate to http://[::1. The address is not valid."));
    for (QLineEdit* e : {form.url1, form.URLEdit, form.Edit2}) EXPECT_EQ(e->text(), QStringLiteral("http://[::1"));
  }
}

}  // namespace

#include "platform/qt/webengine/webbrowser.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QLayout>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <cstdio>

#include "platform/qt/qtext.h"
#include "platform/ui/dialogs.h"

namespace plat {

namespace {

WebBrowserMaker& Maker() {
  static WebBrowserMaker maker;
  return maker;
}

// Once, before the engine's first page: its sandbox needs a normal user; as
// root it cannot start at all, so there it is turned off, and the user is
// told.
void PrepareEngineProcess() {
  static bool done = false;
  if (done) return;
  done = true;
  if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    std::fprintf(stderr, "Running as root: the web browser runs without its sandbox.\n");
  }
}

}  // namespace

// A page that asks before every navigation, its frames' included.
class TQtWebBrowser::Page : public QWebEnginePage {
 public:
  Page(TQtWebBrowser* owner, QObject* parent) : QWebEnginePage(parent), owner_(owner) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
    bool cancel = false;
    // The engine calls this from its own code: nothing may be thrown into it.
    Safely([&] { owner_->DoBeforeNavigate(FromQ(url.toString(QUrl::FullyEncoded)), cancel); });
    return !cancel;
  }

 private:
  TQtWebBrowser* owner_;
};

void PrepareWebEngineApplication() { QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts); }

TQtWebBrowser::TQtWebBrowser(QWidget* host, const TBrowserOptions& options) {
  PrepareEngineProcess();
  view_ = new QWebEngineView(host);
  alive_ = view_;
  auto* page = new Page(this, view_);
  view_->setPage(page);
  if (options.confineLocalContent) {
    QWebEngineSettings* s = page->settings();
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
  }
  if (host) {
    QLayout* layout = host->layout();
    if (!layout) {
      layout = new QVBoxLayout(host);
      layout->setContentsMargins(0, 0, 0, 0);
    }
    layout->addWidget(view_);
    view_->setAccessibleName(host->accessibleName());
  }

  QObject::connect(page, &QWebEnginePage::loadStarted, view_, [this, page] {
    Safely([&] { DoStatusTextChange("Loading " + FromQ(page->requestedUrl().toString(QUrl::FullyEncoded))); });
  });
  QObject::connect(page, &QWebEnginePage::loadProgress, view_,
                   [this](int p) { Safely([&] { DoProgressChange(p, 100); }); });
  // A load that was stopped or failed has ended but brought no document.
  QObject::connect(page, &QWebEnginePage::loadFinished, view_, [this, page](bool ok) {
    Safely([&] {
      DoDownloadComplete();
      DoStatusTextChange("Done");
      if (ok) DoDocumentComplete(FromQ(page->url().toString(QUrl::FullyEncoded)));
    });
  });
  QObject::connect(page, &QWebEnginePage::linkHovered, view_,
                   [this](const QString& url) { Safely([&] { DoStatusTextChange(FromQ(url)); }); });
}

TQtWebBrowser::~TQtWebBrowser() {
  // The page must not call back into a browser that is going.
  if (QWebEngineView* v = View()) {
    QObject::disconnect(v->page(), nullptr, v, nullptr);
    delete v;
  }
}

void TQtWebBrowser::Navigate(const std::string& url) {
  CheckNavigable(url);
  QUrl u = QUrl::fromUserInput(ToQ(url).trimmed());
  if (!u.isValid()) throw EBrowserError("The address is not valid");
  const QString scheme = u.scheme();
  if ((scheme == QLatin1String("http") || scheme == QLatin1String("https")) && u.host().isEmpty())
    throw EBrowserError("The address names no server");
  if (QWebEngineView* v = View()) v->load(u);
}

void TQtWebBrowser::GoBack() {
  QWebEngineView* v = View();
  if (!v || !v->history()->canGoBack()) throw NoEarlierPageError();
  v->back();
}

void TQtWebBrowser::Refresh2(int level) {
  QWebEngineView* v = View();
  if (!v) return;
  v->page()->triggerAction(level == REFRESH_COMPLETELY ? QWebEnginePage::ReloadAndBypassCache
                                                           : QWebEnginePage::Reload);
}

void TQtWebBrowser::Stop() {
  if (QWebEngineView* v = View()) v->stop();
}

void SetWebBrowserMaker(WebBrowserMaker maker) { Maker() = std::move(maker); }

std::unique_ptr<IWebBrowser> MakeWebBrowser(QWidget* host, const TBrowserOptions& options) {
  if (Maker()) return Maker()(host, options);
  return std::make_unique<TQtWebBrowser>(host, options);
}

}  // namespace plat

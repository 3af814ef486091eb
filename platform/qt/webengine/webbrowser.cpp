#include "platform/qt/webengine/webbrowser.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QLayout>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QRegularExpression>
#include <QUuid>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
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

QString Encoded(const QUrl& url) { return url.toString(QUrl::FullyEncoded); }

// The engine reports the end of the page's own load only. A script in
// every frame, in a world of its own that the page's scripts cannot see,
// reports each frame's end through the console.
const QString kFrameScript = QStringLiteral("frame-complete");

QWebEngineScript FrameCompleteScript(const QString& token) {
  QWebEngineScript s;
  s.setName(kFrameScript);
  s.setWorldId(QWebEngineScript::ApplicationWorld);
  s.setInjectionPoint(QWebEngineScript::DocumentCreation);
  s.setRunsOnSubFrames(true);
  s.setSourceCode(QStringLiteral("(function () {"
                                 "  if (window === window.top) return;"
                                 "  window.addEventListener('load', function () { console.log('%1' + location.href); });"
                                 "})();")
                      .arg(token));
  return s;
}

}  // namespace

// A page that asks before every navigation, but for the frames an approved
// page loads with itself, and hears the frames' completions.
class TQtWebBrowser::Page : public QWebEnginePage {
 public:
  Page(TQtWebBrowser* owner, QObject* parent) : QWebEnginePage(parent), owner_(owner) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
    if (isMainFrame) {
      owner_->approvedLoad_.clear();
      if (!owner_->approved_.isEmpty()) {
        const bool approved = Encoded(url) == owner_->approved_;
        owner_->approved_.clear();
        if (approved) {
          owner_->approvedLoad_ = Encoded(url);
          owner_->stopped_ = false;
          return true;
        }
      }
    } else if (!owner_->approvedLoad_.isEmpty() && type != NavigationTypeLinkClicked &&
               type != NavigationTypeFormSubmitted) {
      // A frame the approved page loads with itself: it was decided with
      // the page, in the state the program navigated in.
      return true;
    }
    bool cancel = false;
    // The engine calls this from its own code: nothing may be thrown into it.
    Safely([&] { owner_->DoBeforeNavigate(FromQ(Encoded(url)), cancel); });
    // A new load of the page or of one of its frames (a link, a script, the
    // view's own menu): whatever the program stopped before is over.
    if (!cancel) owner_->stopped_ = false;
    return !cancel;
  }

  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override {
    if (source == QStringLiteral("userscript:") + kFrameScript && message.startsWith(owner_->frameToken_)) {
      owner_->FrameComplete(message.mid(owner_->frameToken_.size()));
      return;
    }
    QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
  }

 private:
  TQtWebBrowser* owner_;
};

void PrepareWebEngineApplication() { QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts); }

// A hidden widget of the kind that draws through OpenGL is enough: the
// window takes its surface from the widgets it holds when it is first made.
// Without OpenGL the engine draws in software and the window keeps its plain
// surface; one asked for OpenGL there would show nothing.
void PrepareWindowForPages(QWidget* window) {
  if (!window || window->findChild<QOpenGLWidget*>(QStringLiteral("PagesSurface"), Qt::FindDirectChildrenOnly)) return;
  QOpenGLContext probe;
  if (!probe.create()) return;
  auto* surface = new QOpenGLWidget(window);
  surface->setObjectName(QStringLiteral("PagesSurface"));
  surface->hide();
}

TQtWebBrowser::TQtWebBrowser(QWidget* host, const TBrowserOptions& options)
    : frameToken_(QUuid::createUuid().toString(QUuid::Id128) + QLatin1Char(' ')) {
  PrepareEngineProcess();
  view_ = new QWebEngineView(host);
  alive_ = view_;
  auto* page = new Page(this, view_);
  view_->setPage(page);
  page->scripts().insert(FrameCompleteScript(frameToken_));
  if (options.confineLocalContent) {
    QWebEngineSettings* s = page->settings();
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
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

  QObject::connect(page, &QWebEnginePage::loadingChanged, view_, [this](const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
      case QWebEngineLoadingInfo::LoadStartedStatus:
        if (!stopped_) Safely([&] { DoStatusTextChange("Loading " + FromQ(Encoded(info.url()))); });
        break;
      case QWebEngineLoadingInfo::LoadSucceededStatus:
        ApprovedLoadEnded(info.url());
        LoadEnded(true, QString());
        break;
      case QWebEngineLoadingInfo::LoadFailedStatus:
        ApprovedLoadEnded(info.url());
        // The engine counts every error status as a failure, also one the
        // server answered with a page of its own: that page is shown, its
        // images are fetched, and it has loaded as any other. Only an
        // answer without a body, for which the engine shows its own page,
        // brought no document.
        if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain && !info.isErrorPage()) {
          LoadEnded(true, QString());
        } else {
          LoadEnded(false, PlainErrorText(info.errorString(), info.url()));
        }
        break;
      case QWebEngineLoadingInfo::LoadStoppedStatus:
        ApprovedLoadEnded(info.url());
        break;
    }
  });
  QObject::connect(page, &QWebEnginePage::loadProgress, view_, [this](int p) {
    if (!stopped_) Safely([&] { DoProgressChange(p, 100); });
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

// A stopped load or a failed one has brought no document.
void TQtWebBrowser::LoadEnded(bool finished, const QString& error) {
  if (stopped_) return;
  QWebEngineView* v = View();
  if (!v) return;
  const std::string url = FromQ(Encoded(v->page()->url()));
  Safely([&] {
    if (!finished) {
      DoStatusTextChange("Could not load " + url + ": " + FromQ(error));
      return;
    }
    DoDownloadComplete();
    DoStatusTextChange("Done");
    DoDocumentComplete(url);
  });
}

// The end of an earlier load may come after the approved one has begun:
// only the approved page's own end closes its frames' way in.
void TQtWebBrowser::ApprovedLoadEnded(const QUrl& url) {
  if (Encoded(url) == approvedLoad_) approvedLoad_.clear();
}

void TQtWebBrowser::FrameComplete(const QString& url) {
  if (stopped_) return;
  Safely([&] { DoDocumentComplete(FromQ(url)); });
}

QString TQtWebBrowser::PlainErrorText(const QString& engineText, const QUrl& url) {
  // The engine's texts are pieces of its own error page, with elements its
  // page script fills in: the ones we know get their values, the rest of
  // the markup goes.
  static const QRegularExpression filled(QStringLiteral("<(\\w+)[^>]*\\bjscontent=\"(\\w+)\"[^>]*>[^<]*</\\1>"));
  static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
  static const QRegularExpression space(QStringLiteral("\\s+"));
  QString text;
  qsizetype from = 0;
  for (auto it = filled.globalMatch(engineText); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    text += engineText.mid(from, m.capturedStart() - from);
    const QString name = m.captured(2);
    if (name == QLatin1String("hostName")) text += url.host();
    if (name == QLatin1String("failedUrl")) text += Encoded(url);
    from = m.capturedEnd();
  }
  text += engineText.mid(from);
  text.remove(tag);
  text = text.replace(space, QStringLiteral(" ")).trimmed();
  return text.isEmpty() ? QStringLiteral("The page could not be loaded") : text;
}

QUrl TQtWebBrowser::EngineAddress(const std::string& url) {
  CheckNavigable(url);
  const QString text = ToQ(url).trimmed();
  // An address bar's completion would turn a faulty address that names its
  // scheme into another one ("http://[::1" into "http://http//[::1"): such
  // an address goes as written or not at all.
  static const QRegularExpression namesScheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
  QUrl u = namesScheme.match(text).hasMatch() ? QUrl(text, QUrl::TolerantMode) : QUrl::fromUserInput(text);
  if (!u.isValid()) throw EBrowserError("The address is not valid");
  const QString scheme = u.scheme();
  if ((scheme == QLatin1String("http") || scheme == QLatin1String("https")) && u.host().isEmpty())
    throw EBrowserError("The address names no server");
  return u;
}

void TQtWebBrowser::Load(const QUrl& url) {
  stopped_ = false;
  approvedLoad_.clear();
  if (QWebEngineView* v = View()) v->load(url);
}

void TQtWebBrowser::Navigate(const std::string& url) {
  const QUrl u = EngineAddress(url);
  approved_.clear();
  Load(u);
}

void TQtWebBrowser::NavigateApproved(const std::string& url) {
  const QUrl u = EngineAddress(url);
  approved_ = Encoded(u);
  Load(u);
}

void TQtWebBrowser::GoBack() {
  QWebEngineView* v = View();
  if (!v || !v->history()->canGoBack()) throw NoEarlierPageError();
  approved_.clear();
  stopped_ = false;
  v->back();
}

void TQtWebBrowser::Refresh2(int level) {
  QWebEngineView* v = View();
  if (!v) return;
  approved_.clear();
  stopped_ = false;
  v->page()->triggerAction(level == REFRESH_COMPLETELY ? QWebEnginePage::ReloadAndBypassCache
                                                           : QWebEnginePage::Reload);
}

void TQtWebBrowser::Stop() {
  QWebEngineView* v = View();
  if (!v) return;
  stopped_ = true;
  approvedLoad_.clear();
  v->stop();
}

void SetWebBrowserMaker(WebBrowserMaker maker) { Maker() = std::move(maker); }

std::unique_ptr<IWebBrowser> MakeWebBrowser(QWidget* host, const TBrowserOptions& options) {
  if (Maker()) return Maker()(host, options);
  return std::make_unique<TQtWebBrowser>(host, options);
}

}  // namespace plat

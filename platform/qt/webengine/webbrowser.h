// The embedded browser on Qt WebEngine: a view placed into a host widget of
// a window, behind plat::IWebBrowser. Only the programs that show web pages
// link it (library platform_webengine).
#pragma once

#include <QPointer>
#include <functional>
#include <memory>

#include "platform/browser/browser.h"

class QWidget;
class QWebEngineView;

namespace plat {

// Before the QApplication exists: WebEngine shares OpenGL contexts between
// its views, which Qt must know before it sets up the GUI.
void PrepareWebEngineApplication();

class TQtWebBrowser : public IWebBrowser {
 public:
  // The view fills `host` (its layout or, without one, a new one) and goes
  // with this object.
  TQtWebBrowser(QWidget* host, const TBrowserOptions& options);
  ~TQtWebBrowser() override;
  TQtWebBrowser(const TQtWebBrowser&) = delete;
  TQtWebBrowser& operator=(const TQtWebBrowser&) = delete;

  void Navigate(const std::string& url) override;
  void GoBack() override;
  void Refresh2(int level) override;
  void Stop() override;

  // The view, or null once its window has taken it away.
  QWebEngineView* View() const { return alive_ ? view_ : nullptr; }

 private:
  class Page;
  QWebEngineView* view_ = nullptr;
  QPointer<QObject> alive_;
};

// How the programs get their browsers: TQtWebBrowser unless a test has put
// its own maker in place (an empty function restores the real one).
using WebBrowserMaker = std::function<std::unique_ptr<IWebBrowser>(QWidget* host, const TBrowserOptions& options)>;
void SetWebBrowserMaker(WebBrowserMaker maker);
std::unique_ptr<IWebBrowser> MakeWebBrowser(QWidget* host, const TBrowserOptions& options);

}  // namespace plat

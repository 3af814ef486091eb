// The embedded browser on Qt WebEngine: a view placed into a host widget of
// a window, behind plat::IWebBrowser. Only the programs that show web pages
// link it (library platform_webengine).
#pragma once

#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>

#include "platform/browser/browser.h"

class QWidget;
class QWebEngineView;

namespace plat {

// Before the QApplication exists: WebEngine shares OpenGL contexts between
// its views, which Qt must know before it sets up the GUI.
void PrepareWebEngineApplication();

// Before `window` is first shown, for a window whose browsers start later:
// the engine draws its pages through the window's OpenGL surface where the
// display has one, and a window shown with a plain surface is destroyed and
// made again at its first page. It flickers, and whatever was sent to the
// window as it was, a close among them, is lost. This gives the window that
// surface from its first showing.
void PrepareWindowForPages(QWidget* window);

class TQtWebBrowser : public IWebBrowser {
 public:
  // The view fills `host` (its layout or, without one, a new one) and goes
  // with this object.
  TQtWebBrowser(QWidget* host, const TBrowserOptions& options);
  ~TQtWebBrowser() override;
  TQtWebBrowser(const TQtWebBrowser&) = delete;
  TQtWebBrowser& operator=(const TQtWebBrowser&) = delete;

  void Navigate(const std::string& url) override;
  void NavigateApproved(const std::string& url) override;
  void GoBack() override;
  void Refresh2(int level) override;
  void Stop() override;

  // The view, or null once its window has taken it away.
  QWebEngineView* View() const { return alive_ ? view_ : nullptr; }

  // What the engine is given for an address: the address as written when
  // it names its scheme ("http://..."), else completed as an address bar
  // does ("127.0.0.1:8080/x" is "http://127.0.0.1:8080/x"). Raises
  // EBrowserError for one that cannot be navigated.
  static QUrl EngineAddress(const std::string& url);
  // The engine's message for a load that brought no document, as plain
  // text: its markup taken out, the names it stands for (the server, the
  // address) put in.
  static QString PlainErrorText(const QString& engineText, const QUrl& url);

 private:
  class Page;
  void Load(const QUrl& url);
  // The load under way has ended; reports only one that finished.
  void LoadEnded(bool finished, const QString& error);
  void ApprovedLoadEnded(const QUrl& url);
  void FrameComplete(const QString& url);

  QWebEngineView* view_ = nullptr;
  QPointer<QObject> alive_;
  // The address of the program's last NavigateApproved, until the engine's
  // next question about the page's own navigation (it is that one's or no
  // longer meant).
  QString approved_;
  // The address of the approved page while it loads: the frames it loads
  // with itself go ahead unasked; links and forms in them, and every frame
  // navigation after the page's load, are asked.
  QString approvedLoad_;
  // The program stopped the load: nothing of it is reported until the
  // program, the page or one of its frames starts a new one.
  bool stopped_ = false;
  // Marks the frames' completion messages, which come through the page's
  // console: the pages cannot see it, so they cannot forge one.
  QString frameToken_;
};

// How the programs get their browsers: TQtWebBrowser unless a test has put
// its own maker in place (an empty function restores the real one).
using WebBrowserMaker = std::function<std::unique_ptr<IWebBrowser>(QWidget* host, const TBrowserOptions& options)>;
void SetWebBrowserMaker(WebBrowserMaker maker);
std::unique_ptr<IWebBrowser> MakeWebBrowser(QWidget* host, const TBrowserOptions& options);

}  // namespace plat

// The embedded web browser as the programs use it: four operations and the
// events a page load reports. No Qt here: the windows hold an IWebBrowser,
// the Qt WebEngine one comes from platform/qt/webengine, tests script a fake.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/classes/classes.h"

namespace plat {

// A browser operation that cannot be done; Message says why (no final
// period: callers build sentences around it).
class EBrowserError : public Exception {
 public:
  using Exception::Exception;
};

// Refresh2 levels: 0 a normal reload, 3 everything again from the server,
// past every cache.
constexpr int REFRESH_NORMAL = 0;
constexpr int REFRESH_COMPLETELY = 3;

class IWebBrowser {
 public:
  virtual ~IWebBrowser() = default;

  // Starts loading `url`; raises EBrowserError for an empty or unusable one.
  // Before-navigate is asked for it, possibly after this call has returned.
  virtual void Navigate(const std::string& url) = 0;
  // Navigate for a caller that has put `url` through its own before-navigate
  // rule already, in the state it navigates in: the browser asks neither
  // for this load nor for the frames the page loads with itself (a later
  // question could meet another state). A link or form followed in a frame,
  // and every navigation after the page's load, a frame's included, are
  // asked as usual.
  virtual void NavigateApproved(const std::string& url) = 0;
  // Back in the view's history; raises EBrowserError without an earlier page.
  virtual void GoBack() = 0;
  virtual void Refresh2(int level) = 0;
  // Stops the load under way (none: nothing happens). The stopped load
  // reports nothing more: no completion and no status text of its end.
  virtual void Stop() = 0;

  // Before every navigation, the page's own and its frames' included;
  // setting cancel keeps it from happening.
  std::function<void(const std::string& url, bool& cancel)> OnBeforeNavigate;
  std::function<void(const std::string& text)> OnStatusTextChange;
  // Progress of the load under way, as progress of progressMax.
  std::function<void(int progress, int progressMax)> OnProgressChange;
  // The page's load has finished (one that was stopped or failed does not
  // report this).
  std::function<void()> OnDownloadComplete;
  // The document at url has been loaded completely: a frame's as well as
  // the page's own, each as it completes.
  std::function<void(const std::string& url)> OnDocumentComplete;

  virtual void DoBeforeNavigate(const std::string& url, bool& cancel) {
    if (OnBeforeNavigate) OnBeforeNavigate(url, cancel);
  }
  virtual void DoStatusTextChange(const std::string& text) {
    if (OnStatusTextChange) OnStatusTextChange(text);
  }
  virtual void DoProgressChange(int progress, int progressMax) {
    if (OnProgressChange) OnProgressChange(progress, progressMax);
  }
  virtual void DoDownloadComplete() {
    if (OnDownloadComplete) OnDownloadComplete();
  }
  virtual void DoDocumentComplete(const std::string& url) {
    if (OnDocumentComplete) OnDocumentComplete(url);
  }
};

// What a browser may do beyond showing pages.
struct TBrowserOptions {
  // Pages loaded from local files may read no other local file (for a view
  // that shows bytes some server sent); what they show from web servers,
  // images, styles and frames, loads as in any page.
  bool confineLocalContent = false;
};

// Raises EBrowserError when `url` is nothing to navigate to (empty or blank).
void CheckNavigable(const std::string& url);
// The error GoBack raises when there is no earlier page.
EBrowserError NoEarlierPageError();

// A browser that starts the real one only when it is first needed: the
// engine and its helper processes cost start-up time and memory that a
// program run which never shows a page should not pay. Until then Stop and
// Refresh2 have nothing to act on and GoBack has no earlier page.
class TLazyWebBrowser : public IWebBrowser {
 public:
  using Maker = std::function<std::unique_ptr<IWebBrowser>()>;
  explicit TLazyWebBrowser(Maker make) : make_(std::move(make)) {}

  bool Started() const { return inner_ != nullptr; }
  // The real browser, made now if it is not there yet.
  IWebBrowser& Start();

  void Navigate(const std::string& url) override;
  void NavigateApproved(const std::string& url) override;
  void GoBack() override;
  void Refresh2(int level) override;
  void Stop() override;

 private:
  Maker make_;
  std::unique_ptr<IWebBrowser> inner_;
};

}  // namespace plat

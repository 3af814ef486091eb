#include "platform/browser/browser.h"

#include <algorithm>

namespace plat {

void CheckNavigable(const std::string& url) {
  bool blank = std::all_of(url.begin(), url.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
  if (blank) throw EBrowserError("No address was given");
}

EBrowserError NoEarlierPageError() { return EBrowserError("There is no earlier page to go back to"); }

IWebBrowser& TLazyWebBrowser::Start() {
  if (inner_) return *inner_;
  std::unique_ptr<IWebBrowser> made = make_();
  if (!made) throw EBrowserError("The web browser could not be started");
  // The events go out through this object, so that handlers bound before
  // the start (and after it) are the ones called.
  made->OnBeforeNavigate = [this](const std::string& url, bool& cancel) { DoBeforeNavigate(url, cancel); };
  made->OnStatusTextChange = [this](const std::string& text) { DoStatusTextChange(text); };
  made->OnProgressChange = [this](int progress, int progressMax) { DoProgressChange(progress, progressMax); };
  made->OnDownloadComplete = [this] { DoDownloadComplete(); };
  made->OnDocumentComplete = [this](const std::string& url) { DoDocumentComplete(url); };
  inner_ = std::move(made);
  return *inner_;
}

void TLazyWebBrowser::Navigate(const std::string& url) {
  // An address that no browser could load starts none.
  CheckNavigable(url);
  Start().Navigate(url);
}

void TLazyWebBrowser::NavigateApproved(const std::string& url) {
  CheckNavigable(url);
  Start().NavigateApproved(url);
}

void TLazyWebBrowser::GoBack() {
  if (!inner_) throw NoEarlierPageError();
  inner_->GoBack();
}

void TLazyWebBrowser::Refresh2(int level) {
  if (inner_) inner_->Refresh2(level);
}

void TLazyWebBrowser::Stop() {
  if (inner_) inner_->Stop();
}

}  // namespace plat

#include "tests/support/fake_browser.h"

namespace testsupport {

void FakeBrowser::Begin(const std::string& url, bool ask) {
  if (deferred) {
    pending_.push_back({url, ask});
    return;
  }
  bool cancel = false;
  if (ask) DoBeforeNavigate(url, cancel);
  if (!cancel) shown = url;
}

void FakeBrowser::Navigate(const std::string& url) {
  calls.push_back("Navigate " + url);
  if (!navigateError.empty()) throw plat::EBrowserError(navigateError);
  Begin(url, true);
}

void FakeBrowser::NavigateApproved(const std::string& url) {
  calls.push_back("NavigateApproved " + url);
  if (!navigateError.empty()) throw plat::EBrowserError(navigateError);
  Begin(url, false);
}

void FakeBrowser::GoBack() {
  calls.push_back("GoBack");
  if (!canGoBack) throw plat::NoEarlierPageError();
}

void FakeBrowser::Refresh2(int level) {
  calls.push_back("Refresh2 " + std::to_string(level));
  if (deferred && !shown.empty()) pending_.push_back({shown, false});
}

void FakeBrowser::Stop() {
  calls.push_back("Stop");
  pending_.clear();
  ++stops_;
}

void FakeBrowser::Deliver() {
  std::vector<Load> loads;
  loads.swap(pending_);
  const int stops = stops_;
  for (const Load& l : loads) {
    if (stops_ != stops) break;  // stopped by one of these events
    bool cancel = false;
    if (l.ask) DoBeforeNavigate(l.url, cancel);
    if (cancel) continue;
    shown = l.url;
    DoStatusTextChange("Done");
    DoDownloadComplete();
    DoDocumentComplete(l.url);
  }
}

}  // namespace testsupport

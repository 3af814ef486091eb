#include "tests/support/fake_browser.h"

namespace testsupport {

void FakeBrowser::Navigate(const std::string& url) {
  calls.push_back("Navigate " + url);
  if (!navigateError.empty()) throw plat::EBrowserError(navigateError);
  bool cancel = false;
  DoBeforeNavigate(url, cancel);
  if (!cancel) shown = url;
}

void FakeBrowser::GoBack() {
  calls.push_back("GoBack");
  if (!canGoBack) throw plat::NoEarlierPageError();
}

void FakeBrowser::Refresh2(int level) { calls.push_back("Refresh2 " + std::to_string(level)); }

void FakeBrowser::Stop() { calls.push_back("Stop"); }

}  // namespace testsupport

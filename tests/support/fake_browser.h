// A scripted browser for window tests: it records the operations called on
// it, fails them on request, and fires the events the test names. Navigate
// asks before-navigate as a real browser does and "shows" the address
// unless that cancelled it.
#pragma once

#include <string>
#include <vector>

#include "platform/browser/browser.h"

namespace testsupport {

class FakeBrowser : public plat::IWebBrowser {
 public:
  void Navigate(const std::string& url) override;
  void GoBack() override;
  void Refresh2(int level) override;
  void Stop() override;

  // "Navigate <url>", "GoBack", "Refresh2 <level>", "Stop", in order.
  std::vector<std::string> calls;
  // The address last navigated to and not cancelled.
  std::string shown;
  // Non-empty: Navigate raises plat::EBrowserError with this message.
  std::string navigateError;
  bool canGoBack = false;
};

}  // namespace testsupport

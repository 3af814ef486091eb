// A scripted browser for window tests: it records the operations called on
// it, fails them on request, and fires the events the test names.
//
// Two ways of answering, as the browser controls do: at once, where
// Navigate asks before-navigate inside the call and "shows" the address
// unless that cancelled it (completions are the test's to fire); or
// deferred, as the real engine does, where the question and the load's
// completions ("Done", download complete, document complete) come only when
// the test calls Deliver, after Navigate has returned. A stop drops the
// loads not yet delivered: a stopped load reports nothing more.
#pragma once

#include <string>
#include <vector>

#include "platform/browser/browser.h"

namespace testsupport {

class FakeBrowser : public plat::IWebBrowser {
 public:
  void Navigate(const std::string& url) override;
  void NavigateApproved(const std::string& url) override;
  void GoBack() override;
  void Refresh2(int level) override;
  void Stop() override;

  // Deferred: the events of the loads begun so far, in order. Loads that
  // these events begin wait for the next call.
  void Deliver();

  // "Navigate <url>", "NavigateApproved <url>", "GoBack", "Refresh2 <level>",
  // "Stop", in order.
  std::vector<std::string> calls;
  // The address last navigated to and not cancelled.
  std::string shown;
  // Non-empty: Navigate raises plat::EBrowserError with this message.
  std::string navigateError;
  bool canGoBack = false;
  bool deferred = false;

 private:
  struct Load {
    std::string url;
    bool ask;  // before-navigate still to be asked
  };
  void Begin(const std::string& url, bool ask);
  std::vector<Load> pending_;
  int stops_ = 0;
};

}  // namespace testsupport

// The browser tabs' texts and the browser that starts on first use.
#include <gtest/gtest.h>

#include "loadtester/BrowserText.h"
#include "platform/browser/browser.h"
#include "tests/support/fake_browser.h"

namespace {

TEST(BrowserText, TimeLines) {
  struct Case {
    std::int64_t ms;
    int progress, max;
    const char* text;
  };
  for (Case c : {Case{0, 0, 0, "Time: 0 msec "}, Case{15, 512, 1024, "Time: 15 msec (HTML is 50% done)"},
                 Case{7, 1, 8, "Time: 7 msec (HTML is 12% done)"}, Case{7, 3, 8, "Time: 7 msec (HTML is 38% done)"},
                 Case{1, 5, -1, "Time: 1 msec "}, Case{2, 2000, 1000, "Time: 2 msec (HTML is 200% done)"}}) {
    EXPECT_EQ(browsertext::ProgressTimeText(c.ms, c.progress, c.max), c.text) << c.progress << "/" << c.max;
  }
  EXPECT_EQ(browsertext::DownloadTimeText(1234), "Time: 1234 msec ");
  EXPECT_EQ(browsertext::NavigateFailedText("x", "No address was given"), "Unable to navigate to x. No address was given.");
}

TEST(BrowserText, ElapsedMsFromProgramClockStamps) {
  struct Case {
    std::int64_t start, now, ms;
  };
  for (Case c : {Case{1, 1, 0}, Case{1000, 1234, 234}, Case{86399999, 86400001, 2},
                 Case{5'000'000'000, 5'000'000'999, 999}}) {
    EXPECT_EQ(browsertext::ElapsedMs(browsertext::TickDateTime(c.now), browsertext::TickDateTime(c.start)), c.ms)
        << c.start << " to " << c.now;
  }
  // Fractions of a millisecond: the nearest, halves to even.
  const double ms = 1.0 / (24.0 * 60 * 60 * 1000);
  EXPECT_EQ(browsertext::ElapsedMs(10 + 2.4 * ms, 10), 2);
  EXPECT_EQ(browsertext::ElapsedMs(10 + 2.6 * ms, 10), 3);
}

TEST(BrowserText, ResultsRule) {
  EXPECT_FALSE(browsertext::ResultsNavigationCancelled(true, true));
  EXPECT_FALSE(browsertext::ResultsNavigationCancelled(true, false));
  EXPECT_FALSE(browsertext::ResultsNavigationCancelled(false, false));
  EXPECT_TRUE(browsertext::ResultsNavigationCancelled(false, true));
}

// Characters an address gives a meaning of its own stay part of the path.
TEST(BrowserText, FileAddressOfALocalPath) {
  struct Case {
    const char* path;
    const char* address;
  };
  for (Case c : {Case{"/opt/Brontavel2/temp.htm", "file:///opt/Brontavel2/temp.htm"},
                 Case{"/tmp/C#/temp.htm", "file:///tmp/C%23/temp.htm"},
                 Case{"/tmp/a?b/temp.htm", "file:///tmp/a%3Fb/temp.htm"},
                 Case{"/tmp/100%41/temp.htm", "file:///tmp/100%2541/temp.htm"},
                 Case{"/tmp/a b;c=d&e+f/temp.htm", "file:///tmp/a%20b%3Bc%3Dd%26e%2Bf/temp.htm"},
                 Case{"/tmp/\xc3\xbc~x_y-z/temp.htm", "file:///tmp/%C3%BC~x_y-z/temp.htm"}}) {
    EXPECT_EQ(browsertext::FileAddress(c.path), c.address) << c.path;
  }
}

TEST(LazyWebBrowser, StartsOnTheFirstNavigationAndPassesEventsOn) {
  int made = 0;
  testsupport::FakeBrowser* inner = nullptr;
  plat::TLazyWebBrowser lazy([&] {
    ++made;
    auto b = std::make_unique<testsupport::FakeBrowser>();
    inner = b.get();
    return b;
  });
  std::vector<std::string> seen;
  lazy.OnBeforeNavigate = [&](const std::string& url, bool& cancel) {
    seen.push_back("before " + url);
    cancel = url == "http://refused/";
  };
  lazy.OnDocumentComplete = [&](const std::string& url) { seen.push_back("complete " + url); };
  lazy.Stop();
  lazy.Refresh2(plat::REFRESH_COMPLETELY);
  EXPECT_THROW(lazy.GoBack(), plat::EBrowserError);
  for (const char* blank : {"", "  ", "\t\r\n"}) {
    try {
      lazy.Navigate(blank);
      ADD_FAILURE() << "no error for '" << blank << "'";
    } catch (const plat::EBrowserError& e) {
      EXPECT_EQ(e.Message, "No address was given");
    }
  }
  EXPECT_EQ(made, 0);

  lazy.Navigate("http://a/");
  lazy.Navigate("http://refused/");
  ASSERT_EQ(made, 1);
  EXPECT_EQ(inner->shown, "http://a/");
  inner->DoDocumentComplete("http://a/");
  lazy.Refresh2(plat::REFRESH_COMPLETELY);
  lazy.Stop();
  // An address the caller has approved is not asked about again.
  lazy.NavigateApproved("http://refused/");
  EXPECT_EQ(inner->shown, "http://refused/");
  EXPECT_EQ(inner->calls, (std::vector<std::string>{"Navigate http://a/", "Navigate http://refused/", "Refresh2 3",
                                                    "Stop", "NavigateApproved http://refused/"}));
  EXPECT_EQ(seen, (std::vector<std::string>{"before http://a/", "before http://refused/", "complete http://a/"}));
}

}  // namespace

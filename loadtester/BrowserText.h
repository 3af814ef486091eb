// The texts and rules of the browser tabs, apart from the window: what the
// download tab's time line says, how long the timed reload has taken, what
// a failed navigation shows, and when the results browser may navigate.
#pragma once

#include <cstdint>
#include <string>

namespace browsertext {

// "Unable to navigate to " + url + ". " + message + "."
std::string NavigateFailedText(const std::string& url, const std::string& message);

// Whole milliseconds from the date-time `start` to `now` (days and
// fraction), the nearest with halves to even.
std::int64_t ElapsedMs(double now, double start);
// The date-time of a stamp of the program clock (plat::TickMs).
double TickDateTime(std::int64_t tickMs);

// The time line while the timed reload loads: "Time: " + ms + " msec ",
// then "(HTML is " + progress × 100 ÷ progressMax, the nearest, + "% done)"
// when progressMax is above 0.
std::string ProgressTimeText(std::int64_t ms, int progress, int progressMax);
// The time line once a download has completed: "Time: " + ms + " msec ".
std::string DownloadTimeText(std::int64_t ms);

// The address of a local file for the browser: "file://" + the path with
// every byte but letters, digits, "-._~" and "/" written as %XX, so that a
// folder named "C#", "a?b" or "100%41" is that folder and no other.
std::string FileAddress(const std::string& path);

// A navigation of the results browser is cancelled exactly when "Show
// HTML-Results in Browser" is off and no test runs (its start button is
// enabled).
bool ResultsNavigationCancelled(bool showResults, bool startEnabled);

}  // namespace browsertext

// The texts and figures of a load test, apart from the window: the settings
// line, the ramp step sizes, the status code table, the cookie lines, the
// source view and the run summary. No Qt here, so all of it is tested as
// plain functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {
class TStringList;
}

namespace runtext {

// Every occurrence of `pattern` replaced by `replacement`, in one pass from
// the left (a replacement is never searched again, so it cannot loop).
std::string replacestr(const std::string& source, const std::string& pattern, const std::string& replacement);

// Nearest integer, ties to the even one. NaN, infinities and values beyond
// the 64-bit range give 0: a figure with nothing to divide by shows 0.
std::int64_t Nearest(long double v);
std::string NearestStr(long double v);
// a / b, or 0 when b is 0 or the quotient is not finite.
long double SafeDiv(long double a, long double b);

// The URL as the chart titles show it: whole below 60 characters, else its
// first 60 and "...".
std::string TitleUrl(const std::string& url);

struct TestSettings {
  std::int64_t users = 5;
  std::int64_t runs = 1;
  std::int64_t wait = 0;
  bool ramp = false;
  bool useusername = false;
  std::string username;
};
// The one line that names the settings in the footer, the log and the results.
std::string SettingsText(const TestSettings& s);

// Users of ramp step `runindex` (0-based): users / runs * (runindex + 1),
// nearest with ties to even, at least 1.
std::int32_t RampUsers(std::int64_t users, std::int64_t runs, std::int32_t runindex);

// The status code table: slot 1 (index 0) holds 200 from the start; codes in
// the order first seen. It grows as far as new codes come.
struct StatusTable {
  std::vector<std::int32_t> codes;
  std::vector<std::int64_t> counts;
  void Reset();
  void Add(std::int32_t code);
  std::int64_t CountOf(std::int32_t code) const;
  // Completions with a code other than 200.
  std::int64_t Errors() const;
  // "Statuscodes: 200:5  404:2  "
  std::string FooterLine() const;
};

// The cookie line of one first-run response: the values of its Set-Cookie
// lines (each from the 13th character, at most 5000 characters), joined by
// "@@".
std::string CookieLine(const plat::TStringList& header);
// A stored cookie line as the client's Cookie text: one header line per value.
std::string CookieHeader(const std::string& line);

// Reads a text file as the source view does: lines end at CR, LF or CR LF, a
// NUL byte ends the text, and every line comes back followed by CR LF.
// Raises plat::EFOpenError when the file cannot be opened.
std::string ReadTextLines(const std::string& path);
// The source view's text for the file text T (from ReadTextLines).
std::string SourceViewText(const std::string& t);

// The run summary written to the log at the end of a run: the run took `ms`
// milliseconds for `users` requests and `bytes` body bytes.
std::vector<std::string> RunSummaryLines(long double ms, std::int32_t users, std::int64_t bytes);
// Footer line 2 after a run: A is the average of the run averages so far.
std::string AverageLine(bool ramp, std::int32_t runusers, long double runsaveraged, long double A);
// Error percentage of a ramp step.
long double RampErrorPercent(std::int64_t errors, std::int64_t preverrors, std::int32_t runusers);

// Local wall-clock date and time in the locale's short form (the log
// stamp and "Test run on ...").
std::string NowText();

}  // namespace runtext

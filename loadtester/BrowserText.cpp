#include "loadtester/BrowserText.h"

#include "loadtester/RunText.h"

namespace browsertext {

std::string NavigateFailedText(const std::string& url, const std::string& message) {
  return "Unable to navigate to " + url + ". " + message + ".";
}

std::int64_t ElapsedMs(double now, double start) {
  return runtext::Nearest(static_cast<long double>(now - start) * 24 * 60 * 60 * 1000);
}

double TickDateTime(std::int64_t tickMs) { return static_cast<double>(tickMs) / (24.0 * 60 * 60 * 1000); }

std::string ProgressTimeText(std::int64_t ms, int progress, int progressMax) {
  std::string p;
  if (progressMax > 0)
    p = "(HTML is " + runtext::NearestStr(static_cast<long double>(progress) * 100 / progressMax) + "% done)";
  return DownloadTimeText(ms) + p;
}

std::string DownloadTimeText(std::int64_t ms) { return "Time: " + std::to_string(ms) + " msec "; }

std::string FileAddress(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

bool ResultsNavigationCancelled(bool showResults, bool startEnabled) { return !showResults && startEnabled; }

}  // namespace browsertext

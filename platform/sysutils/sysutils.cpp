#include "platform/sysutils/sysutils.h"

#include <unistd.h>

#include <climits>
#include <mutex>

namespace plat {

namespace {
std::mutex g_mutex;
std::vector<std::string> g_args;
}  // namespace

void SetCommandLine(int argc, char** argv) {
  std::vector<std::string> a;
  for (int i = 0; i < argc && argv[i]; ++i) a.emplace_back(argv[i]);
  SetCommandLine(std::move(a));
}

void SetCommandLine(std::vector<std::string> args) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_args = std::move(args);
}

int ParamCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_args.empty() ? 0 : static_cast<int>(g_args.size()) - 1;
}

std::string ParamStr(int i) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (i < 0 || static_cast<std::size_t>(i) >= g_args.size()) return {};
  return g_args[static_cast<std::size_t>(i)];
}

std::string ExeName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string ExtractFileName(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace plat

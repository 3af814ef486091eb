// The publishing program's long lists: emptying and searching a variable
// list of many rows, reading a large registry file (many values in one key,
// or many keys side by side), and building the History menu from a long
// history some of whose files have gone.
//
//   build/bench-release/bench/biglists/bench_biglists [vars N] [registry MB] [keys MB] [history N GONE]
//
// Without arguments: vars 1000000, registry 50, keys 50, history 20000 1000.
// Each case prints one line per measurement, in milliseconds, and the
// process's peak memory so far (run one case a process to see its own).
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "sitepublishing/PrjCls.h"

namespace {

using Clock = std::chrono::steady_clock;

long PeakMb() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024;
}

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

std::string Padded(long i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%07ld", i);
  return buf;
}

void Vars(long n) {
  VarList->Clear();
  VarList->AddFixedRows();
  auto t0 = Clock::now();
  for (long i = 0; i < n; ++i) VarList->AddVar("var" + Padded(i), "value of " + Padded(i), "46366.5");
  std::printf("vars %ld: fill %.1f ms\n", n, MsSince(t0));

  // Pages that name the last row and a missing name, 100 tags each; the
  // first lookup after a change pays for any index.
  const std::string last = "VAR" + Padded(n - 1);
  t0 = Clock::now();
  std::size_t bytes = VarList->GetValue(last).size();
  std::printf("vars %ld: first lookup %.3f ms\n", n, MsSince(t0));
  t0 = Clock::now();
  for (int i = 0; i < 100; ++i) bytes += VarList->GetValue(last).size();
  for (int i = 0; i < 100; ++i) bytes += VarList->GetValue("nothing").size();
  std::printf("vars %ld: 200 lookups (last row, missing) %.1f ms (%zu bytes)\n", n, MsSince(t0), bytes);

  t0 = Clock::now();
  Project->Clear();
  std::printf("vars %ld: project Clear %.1f ms (rows left %d)\n", n, MsSince(t0), VarList->Count());
}

// A registry root of `mb` megabytes: the history key with one value per
// project path, as a long history fills it.
void WriteHistoryRegistry(const std::string& folder, long values, const std::string& sites) {
  std::string text = "[Software\\Korvane\\Zentavox]\nDefaultProject=s:\n[Software\\Korvane\\Zentavox\\Projects]\n";
  for (long i = 0; i < values; ++i) text += sites + "/site-" + Padded(i) + "/project.zvp=s:\n";
  std::filesystem::create_directories(folder);
  FILE* f = std::fopen((folder + "/current-user.reg").c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

void Registry(long mb, const std::string& top) {
  const std::string folder = top + "/registry-" + std::to_string(mb);
  ::setenv("SITETOOLS_REGISTRY_DIR", folder.c_str(), 1);
  const std::string sites = "/home/somebody/web/sites/of/a/long/folder/name";
  const long perLine = static_cast<long>(sites.size() + std::string("/site-0000000/project.zvp=s:\n").size());
  const long values = mb * 1000000 / perLine;
  WriteHistoryRegistry(folder, values, sites);

  auto t0 = Clock::now();
  plat::TRegistry reg;
  bool open = reg.OpenKey("\\Software\\Korvane\\Zentavox\\Projects", false);
  std::printf("registry %ld MB (%ld values in one key): open %.1f ms (%s)\n", mb, values, MsSince(t0),
              open ? "ok" : "failed");
  t0 = Clock::now();
  bool there = reg.ValueExists(sites + "/site-" + Padded(values - 1) + "/project.zvp");
  std::printf("registry %ld MB: value lookup %.1f ms (%s)\n", mb, MsSince(t0), there ? "found" : "missing");

  std::filesystem::remove_all(folder);
}

// A registry root of `mb` megabytes of keys side by side, one value each.
void Keys(long mb, const std::string& top) {
  const std::string folder = top + "/registry-keys-" + std::to_string(mb);
  ::setenv("SITETOOLS_REGISTRY_DIR", folder.c_str(), 1);
  std::filesystem::create_directories(folder);
  std::string keys;
  long n = 0;
  for (; keys.size() < static_cast<std::size_t>(mb) * 1000000; ++n)
    keys += "[Software\\Many\\key" + Padded(n) + "]\nv=i:" + std::to_string(n) + "\n";
  FILE* f = std::fopen((folder + "/local-machine.reg").c_str(), "wb");
  std::fwrite(keys.data(), 1, keys.size(), f);
  std::fclose(f);

  auto t0 = Clock::now();
  plat::TRegistry lm;
  lm.SetRootKey(plat::HKEY_LOCAL_MACHINE);
  bool open = lm.OpenKey("\\Software\\Many\\key" + Padded(n - 1), false);
  std::printf("registry %ld MB (%ld keys side by side): open %.1f ms (%s)\n", mb, n, MsSince(t0),
              open ? "ok" : "failed");
  std::filesystem::remove_all(folder);
}

void History(long n, long gone, const std::string& top) {
  const std::string folder = top + "/registry-history";
  ::setenv("SITETOOLS_REGISTRY_DIR", folder.c_str(), 1);
  const std::string sites = top + "/sites";
  WriteHistoryRegistry(folder, n, sites);
  // The files of all but `gone` projects exist, the missing ones spread
  // over the list.
  const long step = gone > 0 ? std::max(1L, n / gone) : n + 1;
  long made = 0, goneLeft = gone;
  for (long i = 0; i < n; ++i) {
    if (goneLeft > 0 && i % step == 0) {
      --goneLeft;
      continue;
    }
    const std::string dir = sites + "/site-" + Padded(i);
    std::filesystem::create_directories(dir);
    FILE* f = std::fopen((dir + "/project.zvp").c_str(), "wb");
    std::fclose(f);
    ++made;
  }
  std::vector<THistoryEntry> menu;
  auto t0 = Clock::now();
  Project->FillHistoryMenu(menu);
  std::printf("history %ld entries, %ld files gone: menu %.1f ms (%zu entries)\n", n, n - made, MsSince(t0),
              menu.size());
  std::filesystem::remove_all(folder);
  std::filesystem::remove_all(sites);
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/bench-biglists-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string top = tmpl;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) args = {"vars", "1000000", "registry", "50", "keys", "50", "history", "20000", "1000"};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "vars" && i + 1 < args.size()) {
      Vars(std::atol(args[++i].c_str()));
    } else if (args[i] == "registry" && i + 1 < args.size()) {
      Registry(std::atol(args[++i].c_str()), top);
    } else if (args[i] == "keys" && i + 1 < args.size()) {
      Keys(std::atol(args[++i].c_str()), top);
    } else if (args[i] == "history" && i + 2 < args.size()) {
      long n = std::atol(args[i + 1].c_str()), gone = std::atol(args[i + 2].c_str());
      i += 2;
      History(n, gone, top);
    } else {
      std::fprintf(stderr, "usage: bench_biglists [vars N] [registry MB] [keys MB] [history N GONE]\n");
      return 2;
    }
    std::printf("  peak memory of the process so far: %ld MB\n", PeakMb());
    std::fflush(stdout);
  }
  std::filesystem::remove_all(top);
  return 0;
}

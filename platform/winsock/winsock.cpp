// Loading the stand-in library by name, its process-wide state, and the
// hooks through which tests steer it.
#include "platform/winsock/winsock.h"

#include <strings.h>

#include <mutex>

#include "platform/winsock/winsock_internal.h"

namespace plat {

namespace winsock_detail {

Globals& G() {
  static Globals* g = new Globals;
  return *g;
}

bool Started() {
  if (G().started.load(std::memory_order_acquire)) return true;
  SetWsaError(WSANOTINITIALISED);
  return false;
}

void CleanupAll() {
  std::vector<Sock*> socks;
  {
    std::lock_guard<std::mutex> lock(G().sockMutex);
    for (auto& [h, k] : G().socks) socks.push_back(k);
    G().socks.clear();
  }
  for (Sock* k : socks) DestroySock(k);
  std::lock_guard<std::mutex> lock(G().lookupMutex);
  while (!G().tasks.empty()) DropTask(G().tasks.begin());
}

}  // namespace winsock_detail

using winsock_detail::CleanupAll;
using winsock_detail::G;

namespace {
thread_local std::uint32_t t_lastError = 0;
}  // namespace

// ---- loading libraries -------------------------------------------------------------

HMODULE LoadLibrary(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  if (::strcasecmp(fileName.c_str(), "wsock32.dll") != 0 || G().loadFails) {
    t_lastError = ERROR_MOD_NOT_FOUND;
    return 0;
  }
  if (G().moduleRefs++ == 0) {
    G().moduleHandle = NewHandle();
    G().stats.Loads++;
  }
  return G().moduleHandle;
}

FARPROC GetProcAddress(HMODULE module, const std::string& procName) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  if (module == 0 || module != G().moduleHandle || G().moduleRefs == 0) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!G().hidden.empty() && procName == G().hidden) {
    t_lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  if (FARPROC p = winsock_detail::FindProc(procName)) return p;
  t_lastError = ERROR_PROC_NOT_FOUND;
  return nullptr;
}

bool FreeLibrary(HMODULE module) {
  bool cleanup = false;
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    if (module == 0 || module != G().moduleHandle || G().moduleRefs == 0) {
      t_lastError = ERROR_INVALID_HANDLE;
      return false;
    }
    if (--G().moduleRefs > 0) return true;
    G().moduleHandle = 0;
    G().stats.Unloads++;
    // An unloaded library keeps nothing: a start-up not cleaned up ends here.
    if (G().startCount > 0) {
      G().startCount = 0;
      G().started.store(false, std::memory_order_release);
      G().stats.Cleanups++;
      cleanup = true;
    }
  }
  if (cleanup) CleanupAll();
  return true;
}

std::uint32_t GetLastError() { return t_lastError; }
void SetLastError(std::uint32_t code) { t_lastError = code; }

// ---- test hooks ----------------------------------------------------------------------

namespace winsock_testing {

void SetLoadFails(bool fail) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  G().loadFails = fail;
}

void HideFunction(const std::string& name) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  G().hidden = name;
}

void SetStartupError(int code) {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  G().startupError = code;
}

WinsockStats Stats() {
  WinsockStats s;
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    s = G().stats;
  }
  {
    std::lock_guard<std::mutex> lock(G().sockMutex);
    s.OpenSockets = static_cast<int>(G().socks.size());
  }
  {
    std::lock_guard<std::mutex> lock(G().lookupMutex);
    s.PendingLookups = static_cast<int>(G().tasks.size());
    s.IdleLookupWorkers = G().idleWorkers;
    s.LookupWorkers = G().workers;
    s.QueuedLookups = static_cast<int>(G().jobQueue.size());
  }
  return s;
}

bool IsLoaded() {
  std::lock_guard<std::mutex> lock(G().stateMutex);
  return G().moduleRefs > 0;
}

bool IsStarted() { return G().started.load(); }

void SetNameResolver(NameResolver resolver) {
  std::lock_guard<std::mutex> lock(G().resolverMutex);
  G().resolver = std::move(resolver);
}

int ResolutionCount() { return G().resolutions.load(); }

void Reset() {
  {
    std::lock_guard<std::mutex> lock(G().stateMutex);
    G().loadFails = false;
    G().hidden.clear();
    G().startupError = 0;
  }
  SetNameResolver(nullptr);
}

}  // namespace winsock_testing

}  // namespace plat

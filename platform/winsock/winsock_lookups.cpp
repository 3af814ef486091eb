// The stand-in's name lookups: host entries from the system's resolver (or
// a test's), and the small worker pool behind the asynchronous lookups.
#include <netdb.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/winsock/winsock_internal.h"

namespace plat::winsock_detail {

namespace {

int MapGai(int rc) {
  switch (rc) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

}  // namespace

HostAnswer ResolveName(const std::string& name) {
  HostAnswer a;
  G().resolutions.fetch_add(1);
  winsock_testing::NameResolver hook;
  {
    std::lock_guard<std::mutex> lock(G().resolverMutex);
    hook = G().resolver;
  }
  if (hook) {
    a.error = hook(name, a.addrs);
    a.name = name;
    if (a.error == 0 && a.addrs.empty()) a.error = WSANO_DATA;
    return a;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    a.error = MapGai(rc);
    return a;
  }
  a.name = (res && res->ai_canonname) ? res->ai_canonname : name;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    std::uint32_t v = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (auto x : a.addrs) seen = seen || x == v;
    if (!seen) a.addrs.push_back(v);
  }
  ::freeaddrinfo(res);
  if (a.addrs.empty()) a.error = WSANO_DATA;
  return a;
}

HostAnswer ResolveAddr(std::uint32_t addr) {
  HostAnswer a;
  G().resolutions.fetch_add(1);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) {
    a.error = MapGai(rc);
    return a;
  }
  a.name = host;
  a.addrs.push_back(addr);
  return a;
}

// Packs a host entry into buf: the record, the alias and address pointer
// lists, the addresses, then the name. Addresses that do not fit are left
// out. Returns the bytes used, or 0 when not even the record fits.
int PackHostEnt(const HostAnswer& a, char* buf, int buflen) {
  if (!buf || reinterpret_cast<std::uintptr_t>(buf) % alignof(HOSTENT) != 0) return 0;
  const int fixed = static_cast<int>(sizeof(HOSTENT) + 2 * sizeof(char*));
  std::string name = a.name;
  int room = buflen - fixed - 1;
  if (room < 0) return 0;
  if (static_cast<int>(name.size()) > room) name.resize(static_cast<std::size_t>(room));
  room -= static_cast<int>(name.size());
  int per = static_cast<int>(sizeof(char*) + 4);
  int n = std::min(static_cast<int>(a.addrs.size()), room / per);
  auto* h = reinterpret_cast<HOSTENT*>(buf);
  char** aliases = reinterpret_cast<char**>(buf + sizeof(HOSTENT));
  char** list = aliases + 1;
  char* addrBytes = reinterpret_cast<char*>(list + n + 1);
  char* nameAt = addrBytes + 4 * n;
  aliases[0] = nullptr;
  for (int i = 0; i < n; ++i) {
    std::memcpy(addrBytes + 4 * i, &a.addrs[static_cast<std::size_t>(i)], 4);
    list[i] = addrBytes + 4 * i;
  }
  list[n] = nullptr;
  std::memcpy(nameAt, name.data(), name.size());
  nameAt[name.size()] = '\0';
  h->h_name = nameAt;
  h->h_aliases = aliases;
  h->h_addrtype = WS_AF_INET;
  h->h_length = 4;
  h->h_addr_list = list;
  return static_cast<int>(nameAt + name.size() + 1 - buf);
}

// ---- asynchronous lookups -------------------------------------------------------

constexpr std::size_t kDeliveredKept = 65536;

void NoteDelivered(HANDLE h) {
  G().delivered.insert(h);
  G().deliveredOrder.push_back(h);
  if (G().deliveredOrder.size() > kDeliveredKept) {
    G().delivered.erase(G().deliveredOrder.front());
    G().deliveredOrder.pop_front();
  }
}

// On the owning thread: pack the answer and post the completion, unless
// the task was cancelled in the meantime.
void Deliver(HANDLE h, const std::shared_ptr<HostAnswer>& a) {
  LookupTask t;
  int used = 0;
  int err = a->error;
  {
    std::lock_guard<std::mutex> lock(G().lookupMutex);
    auto it = G().tasks.find(h);
    if (it == G().tasks.end()) return;
    t = it->second;
    G().tasks.erase(it);
    NoteDelivered(h);
    if (err == 0) {
      used = PackHostEnt(*a, t.buf, t.buflen);
      if (used == 0) err = WSAENOBUFS;
    }
  }
  PostMessage(t.hwnd, t.msg, h, MAKELONG(static_cast<std::uint16_t>(used), static_cast<std::uint16_t>(err)));
}

void WorkerLoop() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(G().lookupMutex);
      ++G().idleWorkers;
      G().lookupCv.wait(lock, [] { return !G().jobQueue.empty(); });
      --G().idleWorkers;
      job = G().jobQueue.front();
      G().jobQueue.pop_front();
      job->taken = true;
    }
    auto answer = std::make_shared<HostAnswer>(job->byAddr ? ResolveAddr(job->addr) : ResolveName(job->name));
    std::vector<std::pair<HANDLE, ThreadQueueId>> targets;
    {
      std::lock_guard<std::mutex> lock(G().lookupMutex);
      if (auto it = G().jobs.find(job->key); it != G().jobs.end() && it->second == job) G().jobs.erase(it);
      for (HANDLE h : job->waiting) {
        auto t = G().tasks.find(h);
        if (t != G().tasks.end()) targets.emplace_back(h, t->second.thread);
      }
    }
    for (auto& [h, thread] : targets) {
      HANDLE hh = h;
      if (!RunOnThread(thread, [hh, answer] { Deliver(hh, answer); })) {
        std::lock_guard<std::mutex> lock(G().lookupMutex);
        G().tasks.erase(hh);
      }
    }
  }
}

void DropTask(std::unordered_map<HANDLE, LookupTask>::iterator task) {
  std::shared_ptr<Job> job = std::move(task->second.job);
  HANDLE h = task->first;
  G().tasks.erase(task);
  if (!job) return;
  auto& waiting = job->waiting;
  waiting.erase(std::remove(waiting.begin(), waiting.end(), h), waiting.end());
  // A job still queued that nobody waits for is never resolved: a name
  // looked up and replaced again and again costs nothing.
  if (job->taken || !waiting.empty()) return;
  auto& queue = G().jobQueue;
  queue.erase(std::remove(queue.begin(), queue.end(), job), queue.end());
  if (auto it = G().jobs.find(job->key); it != G().jobs.end() && it->second == job) G().jobs.erase(it);
}

HANDLE StartLookup(HWND hwnd, UINT msg, bool byAddr, const std::string& name, std::uint32_t addr, char* buf,
                   int buflen) {
  if (!Started()) return 0;
  if (!buf || buflen <= 0 || !IsWindow(hwnd)) {
    SetWsaError(WSAEINVAL);
    return 0;
  }
  LookupTask t;
  t.handle = NewHandle();
  t.hwnd = hwnd;
  t.msg = msg;
  t.buf = buf;
  t.buflen = buflen;
  t.thread = MyQueue();
  std::string key = byAddr ? "a:" + std::to_string(addr) : "n:" + name;
  bool spawn = false;
  {
    std::lock_guard<std::mutex> lock(G().lookupMutex);
    auto it = G().jobs.find(key);
    if (it != G().jobs.end()) {
      t.job = it->second;
      it->second->waiting.push_back(t.handle);
      G().tasks.emplace(t.handle, t);
    } else {
      auto job = std::make_shared<Job>();
      job->byAddr = byAddr;
      job->name = name;
      job->addr = addr;
      job->key = key;
      job->waiting.push_back(t.handle);
      t.job = job;
      G().tasks.emplace(t.handle, t);
      G().jobs.emplace(key, job);
      G().jobQueue.push_back(job);
      // An idle worker counts until it has woken up and taken a job: two
      // lookups started back to back must not both count on the same one,
      // or the second waits for the first however long that takes.
      if (G().jobQueue.size() > static_cast<std::size_t>(G().idleWorkers) && G().workers < kMaxLookupWorkers) {
        ++G().workers;
        spawn = true;
      }
    }
  }
  if (spawn) {
    try {
      std::thread(WorkerLoop).detach();
    } catch (...) {
      std::lock_guard<std::mutex> lock(G().lookupMutex);
      --G().workers;
    }
  }
  G().lookupCv.notify_one();
  return t.handle;
}

}  // namespace plat::winsock_detail

// Clients that hold the preview web server's connections, and a probe, for
// the server's benchmark: beside the clients of one scenario, one normal
// request at a time, timed from its connect to the server's close.
//
//   bench_trickle PORT SCENARIO SECONDS PATH
//
// SCENARIO is one of
//   trickle:N:EVERY_MS  N connections that send a request a byte every
//                       EVERY_MS and never finish it; a client the server
//                       ends connects again at once
//   trickle-keep:N:EVERY_MS  the same, the ended connections kept open,
//                       unread, until the end
//   burst:N             N clients that send a whole request, read nothing
//                       and never close, all at once before the probing
//   rate:N              such clients, N a second throughout the probing
//   silent:N            N clients that connect, send nothing and never close
//   stuck:N             after one normal request, N clients that ask for
//                       /big.bin with a 64 KB receive buffer, read nothing
//                       and never close, all at once before the probing
//                       (each keeps a connection thread writing)
//   probe               no clients: the probe alone, beside what else the
//                       caller runs
//
// Prints "ready" once the scenario's clients are there, then probes for
// SECONDS (each probe waits up to 60 s, with 100 ms between probes; one
// still waiting at the end is waited for) and prints one line:
// "probes=N ok=N failed=N timeouts=N p50_ms=... max_ms=... ended=N
// answered=N connected=N" (failed: closed without the page; ended: the
// scenario's connections the server ended while probing; answered: those
// that got any answer; connected: those open at the end).
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/trickling_clients.h"

using testsupport::NowMs;
using testsupport::RawClient;

namespace {

constexpr int kProbePatienceMs = 60000;

struct Counts {
  int Ended = 0, Answered = 0, Connected = 0;
};

// Clients on plain connections, opened by one thread and tallied at the end.
class HeldClients {
 public:
  HeldClients(int port, std::string request, int receiveBuffer = 0)
      : Port_(port), Request_(std::move(request)), ReceiveBuffer_(receiveBuffer) {}
  // One more client: connected, its request (if any) sent.
  void Add() {
    auto c = std::make_unique<RawClient>();
    c->ReceiveBuffer = ReceiveBuffer_;
    if (!c->Connect("127.0.0.1", Port_, 10000)) return;
    if (!Request_.empty()) c->Send(Request_);
    std::lock_guard<std::mutex> lock(M_);
    Clients_.push_back(std::move(c));
  }
  std::size_t Size() {
    std::lock_guard<std::mutex> lock(M_);
    return Clients_.size();
  }
  // Reads what each has been sent, without waiting.
  Counts Tally() {
    std::lock_guard<std::mutex> lock(M_);
    Counts n;
    char buf[65536];
    for (auto& c : Clients_) {
      bool got = false, ended = false;
      for (;;) {
        ssize_t r = ::recv(c->Fd(), buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) {
          got = true;
          continue;
        }
        ended = r == 0 || (errno != EAGAIN && errno != EINTR);
        break;
      }
      n.Answered += got;
      n.Ended += ended;
      n.Connected += !ended;
    }
    return n;
  }

 private:
  int Port_;
  std::string Request_;
  int ReceiveBuffer_;
  std::mutex M_;
  std::vector<std::unique_ptr<RawClient>> Clients_;
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = s.find(sep, from);
    parts.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_trickle PORT SCENARIO SECONDS PATH\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::vector<std::string> scenario = Split(argv[2], ':');
  const int seconds = std::atoi(argv[3]);
  const std::string path = argv[4];
  const std::string kind = scenario[0];
  const int count = kind == "probe" ? 1 : scenario.size() > 1 ? std::atoi(scenario[1].c_str()) : 0;
  const int everyMs = scenario.size() > 2 ? std::atoi(scenario[2].c_str()) : 2000;
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
  const bool trickle = kind == "trickle" || kind == "trickle-keep";
  if (count <= 0 ||
      !(trickle || kind == "burst" || kind == "rate" || kind == "silent" || kind == "stuck" || kind == "probe")) {
    std::fprintf(stderr, "bench_trickle: unknown scenario %s\n", argv[2]);
    return 2;
  }

  // Ended connections kept open, clients arriving at a rate: many more
  // descriptors than clients at a time.
  std::size_t most = static_cast<std::size_t>(kind == "rate" ? count * (seconds + 60) : count);
  testsupport::AllowDescriptors((kind == "trickle-keep" ? 4 : 1) * most + 100);

  std::unique_ptr<testsupport::TricklingClients> tricklers;
  std::unique_ptr<HeldClients> held;
  if (trickle) {
    tricklers = std::make_unique<testsupport::TricklingClients>(
        port, count, everyMs, "GET " + path + " HTTP/1.0\r\nHost: localhost\r\nX-Slow: ", kind == "trickle-keep");
    if (!tricklers->WaitFor([&](const auto& c) { return c.EverConnected == count; }, 60000)) {
      std::fprintf(stderr, "bench_trickle: only %d of %d clients connected\n", tricklers->Now().EverConnected, count);
      return 1;
    }
  } else if (kind == "stuck") {
    // One normal request first: on a fresh server that leaves one idle
    // connection thread beside the burst.
    RawClient first;
    if (first.Connect("127.0.0.1", port, kProbePatienceMs)) {
      first.Send(request);
      first.ReadAll(kProbePatienceMs);
    }
    held = std::make_unique<HeldClients>(port, "GET /big.bin HTTP/1.0\r\nHost: localhost\r\n\r\n", 64 * 1024);
    for (int i = 0; i < count; ++i) held->Add();
  } else {
    held = std::make_unique<HeldClients>(port, kind == "silent" ? std::string() : request);
    if (kind != "rate" && kind != "probe")
      for (int i = 0; i < count; ++i) held->Add();
  }
  std::printf("ready\n");
  std::fflush(stdout);

  int endedBefore = tricklers ? tricklers->Now().Ended : 0;
  std::atomic<bool> stop{false};
  std::thread arrivals;
  if (kind == "rate") {
    arrivals = std::thread([&] {
      const std::int64_t start = NowMs();
      for (long i = 0; !stop.load(); ++i) {
        std::int64_t due = start + i * 1000 / count;
        while (!stop.load() && NowMs() < due) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!stop.load()) held->Add();
      }
    });
  }

  std::vector<std::int64_t> ms;
  int probes = 0, ok = 0, failed = 0, timeouts = 0;
  const std::int64_t end = NowMs() + seconds * 1000LL;
  while (NowMs() < end) {
    ++probes;
    RawClient c;
    std::int64_t t0 = NowMs();
    if (!c.Connect("127.0.0.1", port, kProbePatienceMs)) {
      ++timeouts;
      continue;
    }
    c.Send(request);
    bool closed = false;
    std::string r = c.ReadAll(static_cast<int>(kProbePatienceMs - (NowMs() - t0)), &closed);
    std::int64_t took = NowMs() - t0;
    if (!closed) {
      ++timeouts;
    } else if (r.rfind("HTTP/1.1 200 OK\r\n\r\n", 0) == 0) {
      ++ok;
      ms.push_back(took);
    } else {
      ++failed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop.store(true);
  if (arrivals.joinable()) arrivals.join();

  Counts n;
  if (tricklers) {
    auto t = tricklers->Now();
    n.Ended = t.Ended - endedBefore;
    n.Answered = t.Answered;
    n.Connected = t.Connected;
  } else {
    n = held->Tally();
  }
  std::sort(ms.begin(), ms.end());
  std::printf("probes=%d ok=%d failed=%d timeouts=%d p50_ms=%s max_ms=%s ended=%d answered=%d connected=%d\n", probes,
              ok, failed, timeouts, ms.empty() ? "-" : std::to_string(ms[ms.size() / 2]).c_str(),
              ms.empty() ? "-" : std::to_string(ms.back()).c_str(), n.Ended, n.Answered, n.Connected);
  return 0;
}

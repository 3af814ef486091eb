// Trickling clients and a probe, for the preview web server's benchmark:
// CLIENTS connections that send a request a byte every EVERY_MS and never
// finish it (a client the server ends connects again at once), and beside
// them one normal request at a time, timed from its send to the server's
// close.
//
//   bench_trickle PORT CLIENTS EVERY_MS SECONDS PATH
//
// Prints "ready" once every client has connected, then probes for SECONDS
// (each probe waits up to 10 s, with 100 ms between probes) and prints one
// line: "probes=N ok=N failed=N timeouts=N p50_ms=... max_ms=... ended=N
// answered=N connected=N" (failed: closed without the page; ended:
// trickling connections the server ended while probing; answered:
// trickling connections that got any answer).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/trickling_clients.h"

using testsupport::NowMs;

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: bench_trickle PORT CLIENTS EVERY_MS SECONDS PATH\n");
    return 2;
  }
  int port = std::atoi(argv[1]);
  int clients = std::atoi(argv[2]);
  int everyMs = std::atoi(argv[3]);
  int seconds = std::atoi(argv[4]);
  std::string path = argv[5];

  testsupport::AllowDescriptors(static_cast<std::size_t>(clients) + 100);
  testsupport::TricklingClients tricklers(port, clients, everyMs,
                                          "GET " + path + " HTTP/1.0\r\nHost: localhost\r\nX-Slow: ");
  if (!tricklers.WaitFor([&](const auto& c) { return c.EverConnected == clients; }, 60000)) {
    std::fprintf(stderr, "bench_trickle: only %d of %d clients connected\n", tricklers.Now().EverConnected, clients);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  int endedBefore = tricklers.Now().Ended;
  std::vector<std::int64_t> ms;
  int probes = 0, ok = 0, failed = 0, timeouts = 0;
  std::int64_t end = NowMs() + seconds * 1000LL;
  while (NowMs() < end) {
    ++probes;
    testsupport::RawClient c;
    if (!c.Connect("127.0.0.1", port, 10000)) {
      ++timeouts;
      continue;
    }
    std::int64_t t0 = NowMs();
    c.Send("GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
    bool closed = false;
    std::string r = c.ReadAll(10000, &closed);
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
  std::sort(ms.begin(), ms.end());
  auto counts = tricklers.Now();
  std::printf("probes=%d ok=%d failed=%d timeouts=%d p50_ms=%s max_ms=%s ended=%d answered=%d connected=%d\n", probes,
              ok, failed, timeouts, ms.empty() ? "-" : std::to_string(ms[ms.size() / 2]).c_str(),
              ms.empty() ? "-" : std::to_string(ms.back()).c_str(), counts.Ended - endedBefore, counts.Answered,
              counts.Connected);
  return 0;
}

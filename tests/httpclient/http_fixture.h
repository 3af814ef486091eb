// A scripted HTTP server for tests: it listens on 127.0.0.1 in a thread of
// its own, plays one script per accepted connection (bytes to send, pauses,
// an orderly close or a reset) and records every byte each connection sent
// to it. Plus a message pump with a deadline for the client side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace httptest {

class Script {
 public:
  // Reads until the request header has ended (an empty line), and then as
  // many body bytes as its Content-Length names.
  Script& ReadRequest();
  Script& Send(std::string bytes);
  Script& Delay(int ms);
  // Orderly close: no more sending, read what the client still sends until
  // it closes (at most a few seconds), then close.
  Script& Close();
  // Abortive close: the client sees a reset.
  Script& Reset();
  // Keeps the connection open, reading, until the client closes it or the
  // server stops.
  Script& Hold();

  // The common case: read the request, send the response, close.
  static Script Respond(std::string response);

  struct Step {
    enum Kind { kRead, kSend, kDelay, kClose, kReset, kHold } kind;
    std::string bytes;
    int ms = 0;
  };
  std::vector<Step> steps;
};

class ScriptedHttpServer {
 public:
  ScriptedHttpServer();
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  int Port() const { return listener_.Port(); }
  std::string HostPort() const;  // "127.0.0.1:<port>"
  std::string Url(const std::string& path = "/") const;

  // Scripts for the next connections, in the order they are accepted.
  void Add(Script s);
  // For connections beyond the queued scripts (default: close at once).
  void SetDefault(Script s);

  // Everything each connection sent, in accept order.
  std::vector<std::string> Requests() const;
  std::string Request(int i) const;
  int ConnectionCount() const;
  // Connections whose script has run to its end.
  int FinishedCount() const;
  bool WaitForFinished(int n, int timeoutMs) const;

 private:
  void AcceptLoop();
  void Serve(int fd, int index, Script script);

  testsupport::LoopbackListener listener_;
  std::atomic<bool> stop_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Script> queue_;
  bool haveDefault_ = false;
  Script default_;
  std::vector<std::string> received_;
  int finished_ = 0;
  std::vector<std::thread> workers_;
};

using testsupport::PumpFor;
using testsupport::PumpUntil;

}  // namespace httptest

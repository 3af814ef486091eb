// Client-side helpers for tests of servers on this machine: free loopback
// ports, ports held by "another program", a raw TCP client, and pumping the
// test thread's message queue while other work runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace testsupport {

// A port free right now on 127.0.0.1 and on ::1 (where the machine has it),
// picked below the ephemeral range so that no outgoing connection takes it
// before the caller's server does.
int FreeLoopbackPort();

// Listens on a port, as another program would, until destroyed.
class PortHolder {
 public:
  // address: "127.0.0.1" or "::1".
  PortHolder(int port, const std::string& address = "127.0.0.1");
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  // False when the port could not be bound (it may be held elsewhere).
  bool Held() const { return Fd_ >= 0; }

 private:
  int Fd_ = -1;
};

// A blocking TCP client with time-outs; never raises SIGPIPE.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // address: an IPv4 or IPv6 literal.
  bool Connect(const std::string& address, int port, int timeoutMs = 5000);
  bool Send(const std::string& bytes);
  // Everything until the server closes, or until timeoutMs; `closed` tells
  // which of the two ended it.
  std::string ReadAll(int timeoutMs, bool* closed = nullptr);
  // At most n bytes, waiting up to timeoutMs for the first.
  std::string ReadSome(std::size_t n, int timeoutMs);
  // Closes at once, with a reset when unread data is left.
  void Reset();
  void Close();
  int Fd() const { return Fd_; }

 private:
  int Fd_ = -1;
};

// Runs work on a thread of its own while the calling thread keeps
// dispatching its message queue (as a GUI thread would); returns once work
// has returned.
void PumpWhile(const std::function<void()>& work);
// Dispatches the calling thread's queue for ms milliseconds.
void PumpFor(int ms);

// Milliseconds since an arbitrary start (real time, not the replaceable
// program clock).
std::int64_t NowMs();

}  // namespace testsupport

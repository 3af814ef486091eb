// Loopback sockets for tests that start their own peers: nothing listens
// beyond 127.0.0.1, and ports are the ones the system hands out, so tests
// running at the same time never collide. For tests of our own servers,
// which listen on ::1 as well: ports free on both loopback addresses, ports
// held by "another program", a raw client, and pumping the test thread's
// message queue while other work runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tests/support/wait.h"

namespace testsupport {

// A TCP socket listening on 127.0.0.1 (or ::1) at a free port.
class LoopbackListener {
 public:
  // Raises std::runtime_error when no socket can be had.
  explicit LoopbackListener(int backlog = 128, bool ipv6 = false);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int Fd() const { return Fd_; }
  int Port() const { return Port_; }
  // Caps the receive buffer of the connections accepted from now on (they
  // take it from the listener), so that a peer that does not read fills up
  // after a known, small amount whatever the machine's own limits are.
  void SetReceiveBuffer(int bytes);
  // The next connection as a blocking, close-on-exec descriptor; -1 when
  // none came within timeoutMs or the listener was closed.
  int Accept(int timeoutMs = 5000);
  // Stops accepting: an Accept waiting in another thread returns -1. The
  // descriptor stays open until the object goes, so no thread ever uses a
  // number the system has handed out again.
  void Close();

 private:
  int Fd_ = -1;
  int Port_ = 0;
};

// A port on 127.0.0.1 that refuses connections for as long as the object
// lives: bound but never listening, so no other test's server can take it
// in the meantime, as it could take a port that was merely free.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return Port_; }

 private:
  int Fd_ = -1;
  int Port_ = 0;
};

// Whether the machine has loopback ::1 to listen on.
bool Ipv6LoopbackAvailable();


// A port free right now on 127.0.0.1 and on ::1 (where the machine has it),
// for a server that binds both. Picked below the ephemeral range, so that no
// outgoing connection takes it before the caller's server does.
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
  // Set before Connect: the receive buffer the connection starts with, so
  // that a client reading little takes little whatever the system's sizes
  // (set later, the window already offered can outgrow the buffer). 0: the
  // system's.
  int ReceiveBuffer = 0;
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

// Milliseconds since an arbitrary start (real time, not the replaceable
// program clock).
std::int64_t NowMs();

}  // namespace testsupport

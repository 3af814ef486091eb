// Loopback sockets for tests that start their own peers: nothing listens
// beyond 127.0.0.1, and ports are the ones the system hands out, so tests
// running at the same time never collide.
#pragma once

namespace testsupport {

// A TCP socket listening on 127.0.0.1 at a free port.
class LoopbackListener {
 public:
  // Raises std::runtime_error when no socket can be had.
  explicit LoopbackListener(int backlog = 128);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int Fd() const { return Fd_; }
  int Port() const { return Port_; }
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

// A port on 127.0.0.1 that nothing listens on at the moment of the call.
int UnusedLoopbackPort();

}  // namespace testsupport

// Servers written by others that a test starts as programs of their own:
// each on a free loopback port, stopped with the test (or its fixture),
// and one rule for a machine where one cannot run.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class OutsideServer {
 public:
  virtual ~OutsideServer();
  // False with `why` set when the server did not start.
  virtual bool Start(std::string& why) = 0;
  virtual std::string Name() const = 0;
  int Port() const { return port_; }
  void Stop();
  // Set by Start when the failure lies with the machine (the program or
  // a right it needs is missing) rather than with the server.
  bool CannotRunHere() const { return cannotRunHere_; }

 protected:
  // Starts argv with the parent-death signal set, stdin on /dev/null and,
  // when asked, a pipe on its stdout.
  bool Spawn(const std::vector<std::string>& argv, int* stdoutFd = nullptr);
  // Waits until the program accepts on 127.0.0.1:Port(); false when the
  // time is up or the program has ended.
  bool WaitForPort(int timeoutMs);
  // Whether the listener on 127.0.0.1:Port() is the program's (or one of
  // its children's): a port picked free can be taken by another test's
  // server before this one binds it, and that one answers as well.
  bool ListenerIsOurs() const;
  // Whether the program is still running (false once it has ended).
  bool Running();

  pid_t pid_ = -1;
  int port_ = 0;
  bool cannotRunHere_ = false;
};

// Starts the server for the running test. False when the test cannot go
// on: it is skipped when the server cannot run on this machine, and fails
// when the server does not start for any other reason.
bool StartOrSkip(OutsideServer& server);

}  // namespace testsupport

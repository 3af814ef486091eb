// FTP peers for the tests: the distribution's pyftpdlib and vsftpd, each
// started on a free loopback port with a temporary root, and a scripted
// server of our own for replies that real servers never send.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/outside_server.h"
#include "tests/support/private_home.h"
#include "tests/support/wait.h"

namespace ftptest {

// Whether the path is there at all, and whether it is a folder.
bool Exists(const std::string& path);
bool IsDir(const std::string& path);

// A real server. After a successful Start: Port(), the login, and the
// folder the tests may write to, both on disk and as the server names it.
class FtpServer : public testsupport::OutsideServer {
 public:
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  // On disk, and as a remote path (no trailing '/').
  const std::string& DiskDir() const { return diskDir_; }
  const std::string& RemoteDir() const { return remoteDir_; }

 protected:
  // Waits up to timeoutMs for a "220" greeting on the port.
  bool WaitForGreeting(int timeoutMs);

  std::string user_, password_, diskDir_, remoteDir_;
  std::unique_ptr<testsupport::TempFolder> root_;
};

class PyFtpdServer : public FtpServer {
 public:
  // Where Start listens: by default a free port of 127.0.0.1. A program
  // that knows only one port (FTP's 21) is met on another loopback address.
  void ListenOn(const std::string& host, int port) {
    host_ = host;
    listenPort_ = port;
  }
  // Takes names ignoring letter case, as a Windows server does: an existing
  // entry is found by its name in any case, a new one keeps its own.
  void IgnoreLetterCase() { ignoreCase_ = true; }
  bool Start(std::string& why) override;
  std::string Name() const override { return "pyftpdlib"; }

 private:
  std::string host_ = "127.0.0.1";
  int listenPort_ = 0;
  bool ignoreCase_ = false;
};

class VsftpdServer : public FtpServer {
 public:
  bool Start(std::string& why) override;
  std::string Name() const override { return "vsftpd"; }
};

// Makes the server of that name ("pyftpdlib", "vsftpd", or "pyftpdlib-nocase"
// for a pyftpdlib that takes names ignoring letter case).
std::unique_ptr<FtpServer> MakeServer(const std::string& name);

// Starts the server for the running test: it is skipped when vsftpd cannot
// run on this machine, and fails when any other server does not start.
using testsupport::StartOrSkip;

// A listening socket whose one-slot queue is full, so that a further
// connect to it stalls (SYNs are dropped). Port() names it.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  int Port() const { return listener_.Port(); }

 private:
  testsupport::LoopbackListener listener_{0};
  int fillerFd_ = -1;
};

// One accepted connection of the scripted server.
class ScriptConn {
 public:
  ScriptConn(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}
  void Send(const std::string& text);
  // The next line the client sent, without CR LF; "" on end or time-out.
  std::string ReadLine(int timeoutMs = 5000);
  // Waits until the client closes (true) or the time-out passes or the
  // server stops (false).
  bool WaitClosed(int timeoutMs = 5000);
  // The usual greeting and login: "220", then any USER gets "331" and any
  // PASS "230".
  void AcceptLogin();
  std::vector<std::string> received;  // every line read so far

 private:
  int fd_;
  int stopFd_;
  std::string buf_;
};

// Runs `script` on its own thread for each connection, one after another,
// until stopped. Port() is where it listens.
class ScriptServer {
 public:
  explicit ScriptServer(std::function<void(ScriptConn&, int index)> script);
  ~ScriptServer();
  int Port() const { return listener_.Port(); }
  int Accepted() const { return accepted_.load(); }

 private:
  testsupport::LoopbackListener listener_{8};
  int wakeFd_ = -1;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace ftptest

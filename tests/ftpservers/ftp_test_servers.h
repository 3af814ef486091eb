// FTP peers for the tests: the distribution's pyftpdlib, vsftpd, proftpd
// and pure-ftpd, each started on a free loopback port with a temporary
// root, and a scripted server of our own for replies that real servers
// never send.
#pragma once

#include <pwd.h>

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
  // The user the server writes its files as, or nullptr when that is the
  // one who runs the tests. GiveToServer hands it a path (not followed
  // when a link) that a test wrote on its disk.
  const struct passwd* DiskUser() const;
  bool GiveToServer(const std::string& path) const;
  // How the server shows its disk, where the tests' expectations part.
  // Whether LIST names entries that start with a dot.
  virtual bool ListsDotFiles() const { return false; }
  // Whether its users see a root of their own rather than its disk's.
  virtual bool GivesOwnRoot() const { return true; }
  // Whether the folder that holds RemoteDir() takes writes.
  virtual bool RootWritable() const { return false; }
  // Whether it reads the disk as root, who can look into every folder.
  virtual bool ReadsAsRoot() const { return false; }
  // Whether it writes through a link to a file (rather than refusing).
  virtual bool WritesThroughFileLinks() const { return true; }

 protected:
  // Waits up to timeoutMs for a "220" greeting on the port.
  bool WaitForGreeting(int timeoutMs);
  // Makes root_ with the served root below it and, in that, the folder
  // RemoteDir() "/pub" that the 'ftp' user owns.
  bool MakeFtpUserRoot(const std::string& prefix, std::string& why);
  // Starts the program that argvForPort gives for a free port picked into
  // port_ (writing its settings for it), until it greets there.
  bool SpawnOnFreePort(const std::function<std::vector<std::string>()>& argvForPort, std::string& why);

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
  bool ListsDotFiles() const override { return true; }
  bool GivesOwnRoot() const override { return false; }
  bool RootWritable() const override { return true; }
  bool ReadsAsRoot() const override { return true; }

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

// Anonymous sessions in a root of their own, as the 'ftp' user.
class ProftpdServer : public FtpServer {
 public:
  bool Start(std::string& why) override;
  std::string Name() const override { return "proftpd"; }
};

// One virtual user of its own password file, in a root of its own, as
// the 'ftp' user.
class PureFtpdServer : public FtpServer {
 public:
  bool Start(std::string& why) override;
  std::string Name() const override { return "pure-ftpd"; }
  bool WritesThroughFileLinks() const override { return false; }
};

// The real servers by the names the tests give them (test names take no
// '-'): "pyftpdlib", "vsftpd", "proftpd" and "pureftpd".
extern const std::vector<std::string> kRealServers;
// Makes the server of that name (pyftpdlib for an unknown one;
// "pyftpdlib-nocase" for a pyftpdlib that takes names ignoring letter
// case).
std::unique_ptr<FtpServer> MakeServer(const std::string& name);

// Starts the server for the running test: it is skipped when vsftpd,
// proftpd or pure-ftpd cannot run on this machine, and fails when
// pyftpdlib does not start, or another for a reason of its own.
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

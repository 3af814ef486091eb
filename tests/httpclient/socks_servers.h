// SOCKS servers written by others, for the socket's SOCKS layer: the
// distribution's danted (SOCKS 4, 4A and 5, user codes checked against the
// system's accounts) and microsocks (SOCKS 5 with one user and password),
// each started on a free loopback port with a throw-away configuration,
// and the SOCKS 4, 4A and 5 listener of the OpenSSH client's dynamic
// forwarding, through its own sshd on loopback.
// Plus a system account that lives as long as the object, for danted.
#pragma once

#include <memory>
#include <string>

#include "tests/support/outside_server.h"
#include "tests/support/private_home.h"

namespace sockstest {

class DantedServer : public testsupport::OutsideServer {
 public:
  // method: "none" (no authentication, serves SOCKS 4 as well) or
  // "username" (SOCKS 5 user code and password of a system account).
  // external: the address it connects from, "127.0.0.1" or "::1"; from ::1
  // it reaches destinations on ::1 only, and names them in its replies by
  // an IPv6 address.
  explicit DantedServer(std::string method, std::string external = "127.0.0.1")
      : method_(std::move(method)), external_(std::move(external)) {}
  bool Start(std::string& why) override;
  std::string Name() const override { return "danted"; }

 private:
  std::string method_;
  std::string external_;
  std::unique_ptr<testsupport::TempFolder> dir_;
};

class MicrosocksServer : public testsupport::OutsideServer {
 public:
  MicrosocksServer(std::string user, std::string password)
      : user_(std::move(user)), password_(std::move(password)) {}
  bool Start(std::string& why) override;
  std::string Name() const override { return "microsocks"; }

 private:
  std::string user_, password_;
};

// `ssh -D` on a free loopback port, logged in as the running user to an
// sshd of its own on another one. Keys, configurations, known hosts and
// logs live in a temporary folder: neither program reads or writes the
// user's ~/.ssh. Needs root (sshd separates privileges).
class SshDynamicForward : public testsupport::OutsideServer {
 public:
  SshDynamicForward();
  ~SshDynamicForward() override;
  bool Start(std::string& why) override;
  std::string Name() const override { return "ssh -D"; }

 private:
  class Daemon;
  std::unique_ptr<testsupport::TempFolder> dir_;
  std::unique_ptr<Daemon> sshd_;
};

// A system account with a password, named after this process (test cases
// run side by side), removed again when the object goes, also when the
// test failed.
class SystemUser {
 public:
  SystemUser();
  ~SystemUser();
  SystemUser(const SystemUser&) = delete;
  SystemUser& operator=(const SystemUser&) = delete;
  // False with `why` set when it cannot be made; CannotRunHere() tells
  // whether that is for want of root.
  bool Create(const std::string& password, std::string& why);
  bool CannotRunHere() const { return cannotRunHere_; }
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  bool created_ = false;
  bool cannotRunHere_ = false;
};

}  // namespace sockstest

#include "tests/httpclient/socks_servers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/loopback.h"

namespace sockstest {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Account tools lock the account files: one running beside ours fails and
// is tried again.
bool RunAccountTool(const std::string& command, const std::string& input = "") {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int rc;
    if (input.empty()) {
      rc = std::system((command + " >/dev/null 2>&1").c_str());
    } else {
      FILE* p = ::popen((command + " >/dev/null 2>&1").c_str(), "w");
      if (!p) return false;
      std::fputs(input.c_str(), p);
      rc = ::pclose(p);
    }
    if (rc == 0) return true;
    ::usleep(100000);
  }
  return false;
}

}  // namespace

bool DantedServer::Start(std::string& why) {
  const std::string binary = "/usr/sbin/danted";
  if (::access(binary.c_str(), X_OK) != 0) {
    cannotRunHere_ = true;
    why = "dante-server is not installed";
    return false;
  }
  if (::geteuid() != 0) {
    cannotRunHere_ = true;
    why = "danted changes to its unprivileged user and checks passwords, which needs root";
    return false;
  }
  dir_ = std::make_unique<testsupport::TempFolder>("sitetools-danted");
  ::chmod(dir_->Top().c_str(), 0755);
  const std::string conf = dir_->Path("danted.conf"), log = dir_->Path("danted.log");
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = testsupport::UnusedLoopbackPort();
    std::ofstream c(conf, std::ios::trunc);
    c << "logoutput: " << log << "\n"
      << "internal: 127.0.0.1 port = " << port_ << "\n"
      << "external: 127.0.0.1\n"
      << "clientmethod: none\n"
      << "socksmethod: " << method_ << "\n"
      << "user.privileged: root\n"
      << "user.unprivileged: nobody\n"
      << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
      << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n";
    c.close();
    // -N 1: one mother process; it ends its helpers when told to stop.
    // It changes its user, which clears the parent-death signal: Stop (run
    // by the destructor) is what ends it.
    if (!Spawn({binary, "-f", conf, "-p", dir_->Path("danted.pid"), "-N", "1"})) {
      why = "cannot start danted";
      return false;
    }
    if (WaitForPort(5000)) return true;
    Stop();
  }
  why = "danted did not listen within 5 s; its log:\n" + ReadFile(log);
  return false;
}

bool MicrosocksServer::Start(std::string& why) {
  const std::string binary = "/usr/bin/microsocks";
  if (::access(binary.c_str(), X_OK) != 0) {
    cannotRunHere_ = true;
    why = "microsocks is not installed";
    return false;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = testsupport::UnusedLoopbackPort();
    if (!Spawn({binary, "-i", "127.0.0.1", "-p", std::to_string(port_), "-u", user_, "-P", password_})) {
      why = "cannot start microsocks";
      return false;
    }
    if (WaitForPort(5000)) return true;
    Stop();
  }
  why = "microsocks did not listen within 5 s";
  return false;
}

SystemUser::SystemUser() : name_("stsocks" + std::to_string(::getpid())) {}

SystemUser::~SystemUser() {
  if (created_) RunAccountTool("/usr/sbin/userdel " + name_);
}

bool SystemUser::Create(const std::string& password, std::string& why) {
  if (::geteuid() != 0) {
    cannotRunHere_ = true;
    why = "making a system account needs root";
    return false;
  }
  // Left over from an earlier process of the same number that was killed.
  if (::getpwnam(name_.c_str())) RunAccountTool("/usr/sbin/userdel " + name_);
  if (!RunAccountTool("/usr/sbin/useradd -M -N -s /usr/sbin/nologin " + name_)) {
    why = "useradd failed for " + name_;
    return false;
  }
  created_ = true;
  if (!RunAccountTool("/usr/sbin/chpasswd", name_ + ":" + password + "\n")) {
    why = "chpasswd failed for " + name_;
    return false;
  }
  return true;
}

}  // namespace sockstest

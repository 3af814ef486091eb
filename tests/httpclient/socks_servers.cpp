#include "tests/httpclient/socks_servers.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/wait.h"

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

// Runs a short tool to its end with its output thrown away; true when it
// succeeded.
bool RunQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid;
  int rc = ::posix_spawn(&pid, args[0], &files, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  int status = 0;
  return rc == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    port_ = testsupport::FreeLoopbackPort();
    std::ofstream c(conf, std::ios::trunc);
    c << "logoutput: " << log << "\n"
      << "internal: 127.0.0.1 port = " << port_ << "\n"
      << "external: " << external_ << "\n"
      << "clientmethod: none\n"
      << "socksmethod: " << method_ << "\n"
      << "user.privileged: root\n"
      << "user.unprivileged: nobody\n"
      << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
      << "socks pass { from: 127.0.0.0/8 to: " << (external_ == "::1" ? "::1/128" : "127.0.0.0/8")
      << " command: connect }\n";
    c.close();
    // -N 1: one mother process; it ends its helpers when told to stop.
    // It changes its user, which clears the parent-death signal: Stop (run
    // by the destructor) is what ends it.
    if (!Spawn({binary, "-f", conf, "-p", dir_->Path("danted.pid"), "-N", "1"})) {
      why = "cannot start danted";
      return false;
    }
    if (WaitForPort(testsupport::kPatienceMs)) return true;
    Stop();
  }
  why = "danted did not listen within 30 s; its log:\n" + ReadFile(log);
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
    port_ = testsupport::FreeLoopbackPort();
    if (!Spawn({binary, "-i", "127.0.0.1", "-p", std::to_string(port_), "-u", user_, "-P", password_})) {
      why = "cannot start microsocks";
      return false;
    }
    if (WaitForPort(testsupport::kPatienceMs)) return true;
    Stop();
  }
  why = "microsocks did not listen within 30 s";
  return false;
}

// The sshd that `ssh -D` logs in to, on a loopback port of its own.
class SshDynamicForward::Daemon : public testsupport::OutsideServer {
 public:
  explicit Daemon(const testsupport::TempFolder& dir) : dir_(dir) {}
  bool Start(std::string& why) override {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = testsupport::FreeLoopbackPort();
      std::ofstream c(dir_.Path("sshd_config"), std::ios::trunc);
      c << "ListenAddress 127.0.0.1:" << port_ << "\n"
        << "HostKey \"" << dir_.Path("host_key") << "\"\n"
        << "AuthorizedKeysFile \"" << dir_.Path("client_key.pub") << "\"\n"
        << "PidFile none\n"
        << "PermitRootLogin prohibit-password\n"
        << "PasswordAuthentication no\n"
        << "KbdInteractiveAuthentication no\n"
        << "UsePAM no\n"
        // The temporary folder's modes are not an account's home's.
        << "StrictModes no\n"
        << "AllowTcpForwarding yes\n";
      c.close();
      // sshd starts again from its absolute path for each connection.
      if (!Spawn({"/usr/sbin/sshd", "-D", "-f", dir_.Path("sshd_config"), "-E", dir_.Path("sshd.log")})) {
        why = "cannot start sshd";
        return false;
      }
      if (WaitForPort(testsupport::kPatienceMs)) return true;
      Stop();
    }
    why = "sshd did not listen within 30 s; its log:\n" + ReadFile(dir_.Path("sshd.log"));
    return false;
  }
  std::string Name() const override { return "sshd"; }

 private:
  const testsupport::TempFolder& dir_;
};

SshDynamicForward::SshDynamicForward() = default;

SshDynamicForward::~SshDynamicForward() {
  // The client first: sshd's session for it ends with the connection.
  Stop();
  sshd_.reset();
}

bool SshDynamicForward::Start(std::string& why) {
  for (const char* binary : {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen"}) {
    if (::access(binary, X_OK) != 0) {
      cannotRunHere_ = true;
      why = std::string(binary) + " is not installed (openssh-server, openssh-client)";
      return false;
    }
  }
  if (::geteuid() != 0) {
    cannotRunHere_ = true;
    why = "sshd separates privileges and logs users in, which needs root";
    return false;
  }
  const passwd* me = ::getpwuid(::geteuid());
  if (!me) {
    why = "the running user has no account entry";
    return false;
  }
  // sshd's unprivileged half runs in this folder; the package makes it
  // only for its own service.
  ::mkdir("/run/sshd", 0755);
  dir_ = std::make_unique<testsupport::TempFolder>("sitetools-sshd");
  ::chmod(dir_->Top().c_str(), 0755);
  for (const char* key : {"host_key", "client_key"}) {
    if (!RunQuietly({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir_->Path(key)})) {
      why = std::string("ssh-keygen failed for ") + key;
      return false;
    }
  }
  sshd_ = std::make_unique<Daemon>(*dir_);
  if (!sshd_->Start(why)) return false;

  const std::string conf = dir_->Path("ssh_config"), log = dir_->Path("ssh.log");
  std::ofstream c(conf, std::ios::trunc);
  c << "Host *\n"
    << "  IdentityFile \"" << dir_->Path("client_key") << "\"\n"
    << "  IdentitiesOnly yes\n"
    << "  IdentityAgent none\n"
    << "  BatchMode yes\n"
    << "  StrictHostKeyChecking no\n"
    << "  UserKnownHostsFile \"" << dir_->Path("known_hosts") << "\"\n"
    << "  GlobalKnownHostsFile /dev/null\n"
    << "  UpdateHostKeys no\n"
    << "  CheckHostIP no\n"
    << "  ControlMaster no\n"
    << "  ControlPath none\n"
    << "  ConnectTimeout 5\n"
    // A taken port ends the client, and the next attempt takes another.
    << "  ExitOnForwardFailure yes\n";
  c.close();
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = testsupport::FreeLoopbackPort();
    if (!Spawn({"/usr/bin/ssh", "-F", conf, "-i", dir_->Path("client_key"), "-E", log, "-N", "-p",
                std::to_string(sshd_->Port()), "-D", "127.0.0.1:" + std::to_string(port_),
                std::string(me->pw_name) + "@127.0.0.1"})) {
      why = "cannot start ssh";
      return false;
    }
    // It listens once it has logged in.
    if (WaitForPort(testsupport::kPatienceMs)) return true;
    Stop();
  }
  why = "ssh -D did not listen within 30 s; its log:\n" + ReadFile(log) + "\nsshd's log:\n" +
        ReadFile(dir_->Path("sshd.log"));
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

#include "tests/ftpservers/ftp_test_servers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

namespace ftptest {

namespace fs = std::filesystem;
using testsupport::NowMs;

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::string SourceDir() {
  const char* s = std::getenv("SITETOOLS_SOURCE_DIR");
  return s ? s : ".";
}

}  // namespace

// ---- files ------------------------------------------------------------------------

bool Exists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- real servers --------------------------------------------------------------------

bool FtpServer::WaitForGreeting(int timeoutMs) {
  std::int64_t end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port_);
    timeval tv{0, 500000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      char buf[256];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      ::close(fd);
      if (n >= 3 && std::memcmp(buf, "220", 3) == 0 && ListenerIsOurs()) return true;
    } else {
      ::close(fd);
    }
    if (!Running()) return false;
    ::usleep(20000);
  }
  return false;
}

bool PyFtpdServer::Start(std::string& why) {
  const std::string python = "/usr/bin/python3";
  if (::access(python.c_str(), X_OK) != 0) {
    why = "the distribution's python3 is missing";
    return false;
  }
  root_ = std::make_unique<testsupport::TempFolder>("sitetools-pyftpd");
  ::chmod(root_->Top().c_str(), 0755);
  diskDir_ = root_->Top() + "/pub";
  remoteDir_ = "/pub";
  fs::create_directory(diskDir_);
  user_ = "tester";
  password_ = "secret";
  int out = -1;
  std::vector<std::string> argv = {python, SourceDir() + "/tests/ftpservers/pyftpd_server.py", root_->Top(), user_,
                                   password_, host_, std::to_string(listenPort_)};
  if (ignoreCase_) argv.push_back("nocase");
  if (!Spawn(argv, &out)) {
    why = "cannot start python3";
    return false;
  }
  // Bounded: the server says where it listens, or we give up.
  std::string line;
  std::int64_t end = NowMs() + testsupport::kPatienceMs;
  while (line.find('\n') == std::string::npos && NowMs() < end) {
    pollfd p{out, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[128];
    ssize_t n = ::read(out, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out);
  if (line.rfind("PORT ", 0) != 0) {
    why = "pyftpdlib did not start (is python3-pyftpdlib installed?)";
    Stop();
    return false;
  }
  port_ = std::atoi(line.c_str() + 5);
  return port_ > 0;
}

namespace {

// The first of the places a program may be: installed, or unpacked beside
// a conflicting package (scripts/install-deps); "" when in neither.
std::string FindProgram(std::initializer_list<const char*> places) {
  for (const char* p : places)
    if (::access(p, X_OK) == 0) return p;
  return "";
}

}  // namespace

const struct passwd* FtpServer::DiskUser() const {
  return dynamic_cast<const PyFtpdServer*>(this) ? nullptr : ::getpwnam("ftp");
}

bool FtpServer::GiveToServer(const std::string& path) const {
  const struct passwd* user = DiskUser();
  return !user || ::lchown(path.c_str(), user->pw_uid, user->pw_gid) == 0;
}

// The servers that chroot their users as the 'ftp' user need root, that
// user, and a root folder that the user cannot write holding "pub", which
// it can. Whatever of that is missing is taken as the machine's.
bool FtpServer::MakeFtpUserRoot(const std::string& prefix, std::string& why) {
  cannotRunHere_ = true;
  if (::geteuid() != 0) {
    why = "it gives its users a root of their own (a chroot), which needs root";
    return false;
  }
  const struct passwd* ftpUser = ::getpwnam("ftp");
  if (!ftpUser) {
    why = "there is no 'ftp' user for it to write as";
    return false;
  }
  root_ = std::make_unique<testsupport::TempFolder>(prefix);
  ::chmod(root_->Top().c_str(), 0755);
  const std::string served = root_->Top() + "/root";
  fs::create_directory(served);
  ::chmod(served.c_str(), 0755);
  diskDir_ = served + "/pub";
  remoteDir_ = "/pub";
  fs::create_directory(diskDir_);
  ::chmod(diskDir_.c_str(), 0755);
  if (::chown(diskDir_.c_str(), ftpUser->pw_uid, ftpUser->pw_gid) != 0) {
    why = "cannot hand the upload folder to the 'ftp' user";
    return false;
  }
  // From here on a failure is the server's.
  cannotRunHere_ = false;
  return true;
}

bool FtpServer::SpawnOnFreePort(const std::function<std::vector<std::string>()>& argvForPort, std::string& why) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = testsupport::FreeLoopbackPort();
    if (!Spawn(argvForPort(), nullptr)) {
      why = "cannot start " + Name();
      return false;
    }
    if (WaitForGreeting(testsupport::kPatienceMs)) return true;
    Stop();
  }
  why = Name() + " did not answer on its port within 30 s";
  return false;
}

bool VsftpdServer::Start(std::string& why) {
  const std::string binary = FindProgram({"/usr/sbin/vsftpd"});
  if (binary.empty()) {
    cannotRunHere_ = true;
    why = "vsftpd is not installed";
    return false;
  }
  if (!MakeFtpUserRoot("sitetools-vsftpd", why)) return false;
  const std::string base = root_->Top();
  fs::create_directory(base + "/empty");
  user_ = "anonymous";
  password_ = "guest@example.org";
  const std::string conf = base + "/vsftpd.conf";
  return SpawnOnFreePort(
      [&] {
        std::ofstream c(conf, std::ios::trunc);
        c << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_ << "\n"
          << "background=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
          << "anon_upload_enable=YES\nanon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
          << "anon_umask=022\nanon_world_readable_only=NO\nno_anon_password=NO\nftp_username=ftp\n"
          << "anon_root=" << base << "/root\nsecure_chroot_dir=" << base << "/empty\n"
          << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
          << "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
          << "ascii_upload_enable=YES\nxferlog_enable=NO\nsyslog_enable=NO\ndirmessage_enable=NO\nhide_ids=NO\n"
          << "use_localtime=NO\nftpd_banner=vsftpd test server ready.\n";
        c.close();
        ::chmod(conf.c_str(), 0600);
        return std::vector<std::string>{binary, conf};
      },
      why);
}

bool ProftpdServer::Start(std::string& why) {
  const std::string binary =
      FindProgram({"/usr/sbin/proftpd", "/opt/sitetools-peers/proftpd-core/usr/sbin/proftpd"});
  if (binary.empty()) {
    cannotRunHere_ = true;
    why = "proftpd is neither installed nor unpacked (scripts/install-deps)";
    return false;
  }
  if (!MakeFtpUserRoot("sitetools-proftpd", why)) return false;
  const std::string base = root_->Top();
  const struct group* ftpGroup = ::getgrgid(::getpwnam("ftp")->pw_gid);
  const std::string group = ftpGroup ? ftpGroup->gr_name : "nogroup";
  user_ = "anonymous";
  password_ = "guest@example.org";
  const std::string conf = base + "/proftpd.conf";
  return SpawnOnFreePort(
      [&] {
        std::ofstream c(conf, std::ios::trunc);
        c << "ServerType standalone\nServerName \"proftpd test server\"\nServerIdent on \"proftpd test server ready.\"\n"
          << "DefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\nPort " << port_ << "\n"
          << "User ftp\nGroup " << group << "\nUmask 022\nAllowOverwrite on\n"
          << "PidFile " << base << "/proftpd.pid\nScoreboardFile " << base << "/proftpd.scoreboard\n"
          << "DelayEngine off\nDelayTable none\nWtmpLog off\nTransferLog none\nUseReverseDNS off\n"
          << "AuthOrder mod_auth_unix.c\nRequireValidShell off\n"
          << "<Anonymous " << base << "/root>\n  User ftp\n  Group " << group << "\n  UserAlias anonymous ftp\n"
          << "  RequireValidShell off\n  <Limit WRITE>\n    AllowAll\n  </Limit>\n</Anonymous>\n";
        c.close();
        ::chmod(conf.c_str(), 0600);
        return std::vector<std::string>{binary, "-n", "-q", "-c", conf};
      },
      why);
}

bool PureFtpdServer::Start(std::string& why) {
  const std::string binary =
      FindProgram({"/usr/sbin/pure-ftpd", "/opt/sitetools-peers/pure-ftpd/usr/sbin/pure-ftpd"});
  const std::string passwords = FindProgram({"/usr/bin/pure-pw", "/opt/sitetools-peers/pure-ftpd/usr/bin/pure-pw"});
  if (binary.empty() || passwords.empty()) {
    cannotRunHere_ = true;
    why = "pure-ftpd is neither installed nor unpacked (scripts/install-deps)";
    return false;
  }
  if (!MakeFtpUserRoot("sitetools-pure-ftpd", why)) return false;
  const std::string base = root_->Top();
  user_ = "tester";
  password_ = "secret";  // as hashed below
  // The user's password file, turned into the server's database by its
  // own tool. The password is stored hashed with SHA-512 crypt, which the
  // server checks at once: the tool's own hash takes seconds per login.
  // "/./" ends the user's root.
  const struct passwd* ftpUser = ::getpwnam("ftp");
  {
    std::ofstream p(base + "/passwd", std::ios::trunc);
    p << user_ << ":$6$sitetools$HNVxpp1SgZlIAZlf/BD8SnqbK5JzzbW6YSIGYZ9xHyE8gYk5zoTRJ2VeM7IipeB29m13J2aXbwwqkWLWd73pu1:"
      << ftpUser->pw_uid << ":" << ftpUser->pw_gid << "::" << base << "/root/./::::::::::::\n";
  }
  const std::string mkdb = "'" + passwords + "' mkdb '" + base + "/passwd.pdb' -f '" + base + "/passwd' >/dev/null";
  if (std::system(mkdb.c_str()) != 0) {
    why = "pure-pw could not make the password database";
    return false;
  }
  return SpawnOnFreePort(
      [&] {
        return std::vector<std::string>{binary,
                                        "--bind", "127.0.0.1," + std::to_string(port_),
                                        "--login", "puredb:" + base + "/passwd.pdb",
                                        "--noanonymous", "--chrooteveryone", "--dontresolve", "--ipv4only",
                                        "--syslogfacility", "none", "--pidfile", base + "/pure-ftpd.pid"};
      },
      why);
}

const std::vector<std::string> kRealServers = {"pyftpdlib", "vsftpd", "proftpd", "pureftpd"};

std::unique_ptr<FtpServer> MakeServer(const std::string& name) {
  if (name == "vsftpd") return std::make_unique<VsftpdServer>();
  if (name == "proftpd") return std::make_unique<ProftpdServer>();
  if (name == "pureftpd" || name == "pure-ftpd") return std::make_unique<PureFtpdServer>();
  if (name == "pyftpdlib-nocase") {
    auto server = std::make_unique<PyFtpdServer>();
    server->IgnoreLetterCase();
    return server;
  }
  return std::make_unique<PyFtpdServer>();
}

StalledListener::StalledListener() {
  fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(listener_.Port());
  ::connect(fillerFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

StalledListener::~StalledListener() {
  if (fillerFd_ >= 0) ::close(fillerFd_);
}

// ---- the scripted server -------------------------------------------------------------

void ScriptConn::Send(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string ScriptConn::ReadLine(int timeoutMs) {
  std::int64_t end = NowMs() + timeoutMs;
  for (;;) {
    std::size_t lf = buf_.find('\n');
    if (lf != std::string::npos) {
      std::string line = buf_.substr(0, lf);
      buf_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      received.push_back(line);
      return line;
    }
    std::int64_t left = end - NowMs();
    if (left <= 0) return "";
    pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    // What the client sent before the stop is still read.
    if (::poll(p, 2, static_cast<int>(left)) <= 0 || (p[1].revents && !p[0].revents)) return "";
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return "";
    buf_.append(buf, static_cast<std::size_t>(n));
  }
}

bool ScriptConn::WaitClosed(int timeoutMs) {
  std::int64_t end = NowMs() + timeoutMs;
  for (;;) {
    std::int64_t left = end - NowMs();
    if (left <= 0) return false;
    pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left)) <= 0 || p[1].revents) return false;
    char buf[4096];
    if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
  }
}

void ScriptConn::AcceptLogin() {
  Send("220 scripted\r\n");
  ReadLine();
  Send("331 pw\r\n");
  ReadLine();
  Send("230 in\r\n");
}

ScriptServer::ScriptServer(std::function<void(ScriptConn&, int)> script) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this, script = std::move(script)] {
    for (int index = 0;; ++index) {
      pollfd p[2] = {{listener_.Fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      if (::poll(p, 2, -1) <= 0 || p[1].revents) return;
      int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      accepted_++;
      ScriptConn conn(fd, wakeFd_);
      script(conn, index);
      ::close(fd);
    }
  });
}

ScriptServer::~ScriptServer() {
  std::uint64_t one = 1;
  ssize_t n = ::write(wakeFd_, &one, sizeof one);
  (void)n;
  thread_.join();
  ::close(wakeFd_);
}

}  // namespace ftptest

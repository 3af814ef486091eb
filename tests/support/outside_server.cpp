#include "tests/support/outside_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/loopback.h"

namespace testsupport {

OutsideServer::~OutsideServer() { Stop(); }

void OutsideServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  std::int64_t end = NowMs() + 3000;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (NowMs() > end) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    ::usleep(10000);
  }
  pid_ = -1;
}

bool OutsideServer::Spawn(const std::vector<std::string>& argv, int* stdoutFd) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipeFd[2] = {-1, -1};
  if (stdoutFd && ::pipe2(pipeFd, O_CLOEXEC) != 0) return false;
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A server never outlives the test that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (stdoutFd) ::dup2(pipeFd[1], 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  pid_ = pid;
  if (stdoutFd) {
    ::close(pipeFd[1]);
    *stdoutFd = pipeFd[0];
  }
  return true;
}

bool OutsideServer::Running() {
  if (pid_ <= 0) return false;
  int status;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;  // it gave up
    return false;
  }
  return true;
}

namespace {

// The inodes of the sockets listening on port of 127.0.0.1 or of every
// IPv4 address, from the system's table.
std::set<std::string> ListenerInodes(int port) {
  char local[2][32];
  std::snprintf(local[0], sizeof local[0], "0100007F:%04X", port);
  std::snprintf(local[1], sizeof local[1], "00000000:%04X", port);
  std::set<std::string> inodes;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state == "0A" && (address == local[0] || address == local[1])) inodes.insert(inode);
  }
  return inodes;
}

// Whether the process holds one of these sockets among its descriptors.
bool HoldsSocket(const std::string& pid, const std::set<std::string>& inodes) {
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0 && inodes.count(target.substr(8, target.size() - 9))) return true;
  }
  return false;
}

}  // namespace

bool OutsideServer::ListenerIsOurs() const {
  if (pid_ <= 0) return false;
  const std::set<std::string> inodes = ListenerInodes(port_);
  if (inodes.empty()) return false;
  const std::string self = std::to_string(pid_);
  if (HoldsSocket(self, inodes)) return true;
  // A server may listen in a child of the program started.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // The parent is the second field after the name, which ends at the last ')'.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state, parent;
    rest >> state >> parent;
    if (parent == self && HoldsSocket(pid, inodes)) return true;
  }
  return false;
}

bool OutsideServer::WaitForPort(int timeoutMs) {
  std::int64_t end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok && ListenerIsOurs()) return true;
    if (!Running()) return false;
    ::usleep(20000);
  }
  return false;
}

bool StartOrSkip(OutsideServer& server) {
  std::string why;
  if (server.Start(why)) return true;
  // The test macros return from the function they stand in.
  [&] {
    if (server.CannotRunHere()) GTEST_SKIP() << server.Name() << " cannot run here: " << why;
    FAIL() << server.Name() << ": " << why;
  }();
  return false;
}

}  // namespace testsupport

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
    if (ok) return true;
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

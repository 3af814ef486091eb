#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace testsupport {

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra, int fdForChild) {
  // The first of two entries of one name is the one read: replace, do not add.
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || nameOf(x) == nameOf(*e);
    if (!replaced) env.emplace_back(*e);
  }
  for (const std::string& x : extra) env.push_back(x);
  // Everything the child needs is built before the fork.
  std::vector<char*> a, e;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const std::string& s : env) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  if (fdForChild >= 0) ::dup2(fdForChild, 3);
  int devnull = ::open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
  }
  ::execve(a[0], a.data(), e.data());
  ::_exit(127);
}

std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void StopProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!WaitExit(pid, std::chrono::seconds(5))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace testsupport

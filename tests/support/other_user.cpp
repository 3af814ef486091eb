#include "tests/support/other_user.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace testsupport {

std::string AsOtherUser(const std::function<std::string()>& body, const std::vector<gid_t>& groups) {
  int fds[2];
  if (::pipe(fds) != 0) return "<no pipe>";
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return "<no child>";
  }
  if (pid == 0) {
    ::close(fds[0]);
    std::string out;
    if (::geteuid() == 0 && (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0)) {
      out = "<cannot change user>";
    } else {
      try {
        out = body();
      } catch (const std::exception& e) {
        out = std::string("<raised: ") + e.what() + ">";
      } catch (...) {
        out = "<raised>";
      }
    }
    for (std::size_t done = 0; done < out.size();) {
      ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ::_exit(2);
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return "<child killed by signal " + std::to_string(WTERMSIG(status)) + ">";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
  return got;
}

bool GiveToOtherUser(const std::string& path) {
  return ::geteuid() != 0 || ::chown(path.c_str(), kOtherUid, kOtherGid) == 0;
}

}  // namespace testsupport

// A small web server for browser tests: it serves fixed pages by path on
// 127.0.0.1, one request per connection (it answers "Connection: close"),
// from a thread of its own, and records the path of every request, so a
// test can see what a browser fetched and how often.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace testsupport {

class PageServer {
 public:
  PageServer();
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // Serves `body` at `path` ("/index.htm") with the given content type and
  // status line ("404 Not Found" for a server's own error page); other
  // paths get a plain 404. Set the pages before a browser asks for them.
  void Page(const std::string& path, const std::string& contentType, const std::string& body,
            const std::string& status = "200 OK");
  std::string Url(const std::string& path) const;

  // The paths requested so far, in the order their requests arrived.
  std::vector<std::string> Paths() const;
  int CountOf(const std::string& path) const;

  // Requests for `path` are recorded but answered only after Release, so
  // a page that needs it cannot complete before the test lets it.
  void Hold(const std::string& path);
  void Release(const std::string& path);

 private:
  void AcceptLoop();
  void Serve(int fd);

  LoopbackListener listener_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  struct Answer {
    std::string status, contentType, body;
  };
  std::map<std::string, Answer> pages_;
  std::vector<std::string> paths_;
  std::set<std::string> held_;
  std::condition_variable released_;
  std::vector<std::thread> workers_;
  std::thread acceptThread_;
};

}  // namespace testsupport

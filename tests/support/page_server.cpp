#include "tests/support/page_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace testsupport {

PageServer::PageServer() { acceptThread_ = std::thread([this] { AcceptLoop(); }); }

PageServer::~PageServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  released_.notify_all();
  listener_.Close();
  acceptThread_.join();
  for (std::thread& t : workers_) t.join();
}

void PageServer::Page(const std::string& path, const std::string& contentType, const std::string& body,
                      const std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  pages_[path] = {status, contentType, body};
}

std::string PageServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(listener_.Port()) + path;
}

std::vector<std::string> PageServer::Paths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return paths_;
}

int PageServer::CountOf(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(paths_.begin(), paths_.end(), path));
}

void PageServer::Hold(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.insert(path);
}

void PageServer::Release(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(path);
  }
  released_.notify_all();
}

void PageServer::AcceptLoop() {
  while (!stop_) {
    int fd = listener_.Accept(200);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

// Reads one request header (browsers also open connections they never use:
// those end when the client closes or the server stops), answers, closes.
void PageServer::Serve(int fd) {
  std::string in;
  char buf[4096];
  while (!stop_ && in.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<std::size_t>(n));
  }
  std::size_t sp1 = in.find(' ');
  std::size_t sp2 = sp1 == std::string::npos ? sp1 : in.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) {
    std::string path = in.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string response;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      paths_.push_back(path);
      released_.wait(lock, [&] { return stop_ || held_.count(path) == 0; });
      auto it = pages_.find(path);
      const Answer a = it == pages_.end() ? Answer{"404 Not Found", "text/plain", "not found"} : it->second;
      const std::string& status = a.status;
      const std::string& type = a.contentType;
      const std::string& body = a.body;
      response = "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    std::size_t sent = 0;
    while (sent < response.size()) {
      ssize_t n = send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    // Let the client read to the end before the socket goes.
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) > 0) (void)recv(fd, buf, sizeof buf, 0);
  }
  close(fd);
}

}  // namespace testsupport

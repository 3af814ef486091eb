#include "tests/httpclient/http_fixture.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/messaging/messaging.h"

namespace httptest {

using testsupport::NowMs;

namespace {

// Length of the request held so far, or 0 while it is not complete.
std::size_t CompleteRequestLength(const std::string& data) {
  std::size_t end = data.find("\r\n\r\n");
  std::size_t sep = 4;
  std::size_t lfEnd = data.find("\n\n");
  if (lfEnd != std::string::npos && (end == std::string::npos || lfEnd < end)) {
    end = lfEnd;
    sep = 2;
  }
  if (end == std::string::npos) return 0;
  std::size_t headerLen = end + sep;
  std::size_t body = 0;
  std::string header = data.substr(0, end);
  for (char& c : header) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::size_t p = header.find("\ncontent-length:");
  if (p != std::string::npos) body = std::strtoul(header.c_str() + p + 16, nullptr, 10);
  return data.size() >= headerLen + body ? headerLen + body : 0;
}

}  // namespace

Script& Script::ReadRequest() {
  steps.push_back({Step::kRead, {}, 0});
  return *this;
}
Script& Script::Send(std::string bytes) {
  steps.push_back({Step::kSend, std::move(bytes), 0});
  return *this;
}
Script& Script::Delay(int ms) {
  steps.push_back({Step::kDelay, {}, ms});
  return *this;
}
Script& Script::Close() {
  steps.push_back({Step::kClose, {}, 0});
  return *this;
}
Script& Script::Reset() {
  steps.push_back({Step::kReset, {}, 0});
  return *this;
}
Script& Script::Hold() {
  steps.push_back({Step::kHold, {}, 0});
  return *this;
}
Script Script::Respond(std::string response) {
  Script s;
  s.ReadRequest().Send(std::move(response)).Close();
  return s;
}

ScriptedHttpServer::ScriptedHttpServer() {
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  stop_ = true;
  acceptThread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
}

std::string ScriptedHttpServer::HostPort() const { return "127.0.0.1:" + std::to_string(Port()); }
std::string ScriptedHttpServer::Url(const std::string& path) const { return "http://" + HostPort() + path; }

void ScriptedHttpServer::Add(Script s) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(s));
}

void ScriptedHttpServer::SetDefault(Script s) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(s);
  haveDefault_ = true;
}

std::vector<std::string> ScriptedHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string ScriptedHttpServer::Request(int i) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return i >= 0 && i < static_cast<int>(received_.size()) ? received_[static_cast<std::size_t>(i)] : std::string();
}

int ScriptedHttpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(received_.size());
}

int ScriptedHttpServer::FinishedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

bool ScriptedHttpServer::WaitForFinished(int n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finished_ >= n; });
}

void ScriptedHttpServer::AcceptLoop() {
  while (!stop_) {
    int fd = listener_.Accept(20);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    Script s;
    if (!queue_.empty()) {
      s = std::move(queue_.front());
      queue_.erase(queue_.begin());
    } else if (haveDefault_) {
      s = default_;
    }
    int index = static_cast<int>(received_.size());
    received_.emplace_back();
    workers_.emplace_back([this, fd, index, s] { Serve(fd, index, s); });
  }
}

void ScriptedHttpServer::Serve(int fd, int index, Script script) {
  std::string mine;  // what this connection sent, for the read step
  bool peerClosed = false;
  // Reads what is there within `waitMs`; false once the peer closed or failed.
  auto readSome = [&](int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return !stop_.load();
    char buf[16384];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      peerClosed = true;
      return false;
    }
    mine.append(buf, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    received_[static_cast<std::size_t>(index)].append(buf, static_cast<std::size_t>(n));
    return true;
  };
  bool closed = false;
  for (const Script::Step& st : script.steps) {
    if (stop_ || closed) break;
    switch (st.kind) {
      case Script::Step::kRead: {
        std::int64_t end = NowMs() + 10000;
        while (!stop_ && !peerClosed && CompleteRequestLength(mine) == 0 && NowMs() < end) readSome(20);
        break;
      }
      case Script::Step::kSend: {
        std::size_t off = 0;
        while (off < st.bytes.size() && !stop_) {
          ssize_t n = ::send(fd, st.bytes.data() + off, st.bytes.size() - off, MSG_NOSIGNAL);
          if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
          }
          off += static_cast<std::size_t>(n);
        }
        break;
      }
      case Script::Step::kDelay: {
        std::int64_t end = NowMs() + st.ms;
        while (!stop_ && NowMs() < end) {
          if (peerClosed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          } else {
            readSome(5);
          }
        }
        break;
      }
      case Script::Step::kClose: {
        ::shutdown(fd, SHUT_WR);
        std::int64_t end = NowMs() + 5000;
        while (!stop_ && !peerClosed && NowMs() < end) readSome(20);
        closed = true;
        break;
      }
      case Script::Step::kReset: {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closed = true;
        break;
      }
      case Script::Step::kHold: {
        while (!stop_ && !peerClosed) readSome(20);
        closed = true;
        break;
      }
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  ++finished_;
  changed_.notify_all();
}

}  // namespace httptest

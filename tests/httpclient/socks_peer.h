// A scripted SOCKS server for the socket's tests: on 127.0.0.1, in a
// thread of its own, it plays one script on one connection (read so many
// bytes, send these, pause, close) and records every byte the client sent.
// When the script is done it keeps reading until the client closes.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/httpclient/wsocket_helpers.h"

namespace sockstest {

// Bytes from a list of values: B({5, 0}).
inline std::string B(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

class SocksPeer {
 public:
  // Reads exactly n bytes (recorded).
  SocksPeer& Expect(std::size_t n) { return Add({Step::kExpect, {}, n, 0}); }
  SocksPeer& Reply(std::string bytes) { return Add({Step::kSend, std::move(bytes), 0, 0}); }
  SocksPeer& Pause(int ms) { return Add({Step::kPause, {}, 0, ms}); }
  // Goes on once the test says so (done() holds), so that what comes next
  // reaches the client apart from what came before.
  SocksPeer& WaitFor(std::function<bool()> done) { return Add({Step::kWait, {}, 0, 0, std::move(done)}); }
  // Closes at once, without waiting for the client.
  SocksPeer& Close() { return Add({Step::kClose, {}, 0, 0}); }

  void Start() {
    thread_ = std::thread([this] {
      int fd = listener_.Accept(10000);
      if (fd < 0) return;
      accepted_ = true;
      Run(fd);
      ::close(fd);
      finished_ = true;
    });
  }
  ~SocksPeer() {
    listener_.Close();
    if (thread_.joinable()) thread_.join();
  }

  std::string Port() const { return std::to_string(listener_.Port()); }
  std::string Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool Accepted() const { return accepted_; }
  bool Finished() const { return finished_; }

 private:
  struct Step {
    enum Kind { kExpect, kSend, kPause, kWait, kClose } kind;
    std::string bytes;
    std::size_t count;
    int ms;
    std::function<bool()> done = nullptr;
  };
  SocksPeer& Add(Step s) {
    steps_.push_back(std::move(s));
    return *this;
  }
  void Record(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += bytes;
  }
  void Run(int fd) {
    for (const Step& s : steps_) {
      switch (s.kind) {
        case Step::kExpect: {
          std::string got = wstest::Peer::ReadExactly(fd, s.count);
          Record(got);
          if (got.size() < s.count) return;
          break;
        }
        case Step::kSend: wstest::Peer::SendAll(fd, s.bytes); break;
        case Step::kPause: ::usleep(static_cast<useconds_t>(s.ms) * 1000); break;
        case Step::kWait: testsupport::WaitUntil(s.done); break;
        case Step::kClose: return;
      }
    }
    Record(wstest::Peer::ReadAll(fd, 5000));
  }

  std::vector<Step> steps_;
  testsupport::LoopbackListener listener_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string received_;
  std::atomic<bool> accepted_{false};
  std::atomic<bool> finished_{false};
};

}  // namespace sockstest

// Helpers of the socket tests: a message pump with a deadline, an event
// recorder, and a plain POSIX peer on 127.0.0.1 driven by a script.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "httpclient/WSocket.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace wstest {

using testsupport::PumpFor;
using testsupport::PumpUntil;

// Caps the send buffer of a socket component's system socket (it must have
// one: after Connect, or once accepted), so that a peer that does not read
// stops taking bytes after a small amount whatever the machine's limits.
inline void SetSendBuffer(TCustomWSocket& s, int bytes) {
  auto setsockopt = reinterpret_cast<plat::PFN_setsockopt>(LoadWinsockProc("setsockopt"));
  std::int32_t v = bytes;
  ASSERT_EQ(setsockopt(s.SocketHandle(), plat::WS_SOL_SOCKET, plat::WS_SO_SNDBUF, reinterpret_cast<const char*>(&v),
                       sizeof v),
            0);
}

// The sizes a test sets to fill a pipe quickly: the client's send buffer,
// and the receive buffer of the peer's connection.
constexpr int kSmallSendBuffer = 32 * 1024;
constexpr int kSmallReceiveBuffer = 32 * 1024;

inline const char* StateName(TSocketState s) {
  static const char* names[] = {"invalid", "opened", "bound", "connecting",
                                "connected", "accepting", "listening", "closed"};
  return names[s];
}

// Records the events of one socket as short texts.
struct Recorder {
  std::vector<std::string> log;
  std::string data;  // bytes read by the default data handler

  void Attach(TCustomWSocket& s, bool readData = true, bool closedHandler = true) {
    s.OnChangeState = [this](plat::TObject*, TSocketState o, TSocketState n) {
      log.push_back(std::string("state ") + StateName(o) + ">" + StateName(n));
    };
    s.OnSessionConnected = [this](plat::TObject*, std::uint16_t e) { log.push_back("connected " + std::to_string(e)); };
    if (closedHandler)
      s.OnSessionClosed = [this](plat::TObject*, std::uint16_t e) { log.push_back("closed " + std::to_string(e)); };
    s.OnDataSent = [this](plat::TObject*, std::uint16_t e) { log.push_back("sent " + std::to_string(e)); };
    s.OnDnsLookupDone = [this](plat::TObject*, std::uint16_t e) { log.push_back("dns " + std::to_string(e)); };
    if (readData)
      s.OnDataAvailable = [this, &s](plat::TObject*, std::uint16_t e) {
        char buf[4096];
        int n = s.Receive(buf, sizeof buf);
        if (n > 0) data.append(buf, static_cast<std::size_t>(n));
        log.push_back("data " + std::to_string(e));
      };
  }
  bool Has(const std::string& what) const {
    for (auto& l : log)
      if (l == what) return true;
    return false;
  }
  std::vector<std::string> Without(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& l : log)
      if (l.rfind(prefix, 0) != 0) out.push_back(l);
    return out;
  }
};

// A listening POSIX socket on 127.0.0.1 with a thread that accepts
// `count` connections and runs `script` on each (blocking descriptor).
// receiveBuffer > 0 caps each connection's receive buffer.
class Peer {
 public:
  explicit Peer(std::function<void(int fd)> script, int count = 1, int receiveBuffer = 0)
      : script_(std::move(script)) {
    if (receiveBuffer > 0) listener_.SetReceiveBuffer(receiveBuffer);
    thread_ = std::thread([this, count] {
      for (int i = 0; i < count; ++i) {
        int c = listener_.Accept(10000);
        if (c < 0) break;
        script_(c);
        ::close(c);
      }
    });
  }
  ~Peer() {
    listener_.Close();
    if (thread_.joinable()) thread_.join();
  }
  std::string Port() const { return std::to_string(listener_.Port()); }
  int PortNumber() const { return listener_.Port(); }

  // Reads until the peer closes or `ms` pass.
  static std::string ReadAll(int fd, int ms = 5000) {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) break;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  static std::string ReadExactly(int fd, std::size_t want, int ms = testsupport::kPatienceMs) {
    std::string out;
    char buf[4096];
    while (out.size() < want) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) break;
      ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  static void SendAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<std::size_t>(n);
    }
  }

 private:
  std::function<void(int)> script_;
  testsupport::LoopbackListener listener_;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
inline std::string ClosedPort() {
  // Held for the whole program: no other server can take it meanwhile.
  static testsupport::RefusingPort refusing;
  return std::to_string(refusing.Port());
}

}  // namespace wstest

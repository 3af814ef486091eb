// Clients that hold a server's connections without ever finishing a
// request, for tests and benchmarks of servers that must not be locked out
// by them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// `count` clients, each on a connection of its own to 127.0.0.1:port,
// sending `head` and then "a" for ever, one byte every `everyMs`. A client
// whose connection the server ends connects again at once, as one that
// wants to hold the server would; one whose attempt fails tries again
// 100 ms later. With keepEnded, the ended connection is not closed but
// kept, unread, until the clients go, so a server that waits for its
// clients' close waits in vain. One thread drives them all, from
// construction on.
class TricklingClients {
 public:
  struct Counts {
    int Connected = 0;      // connections open now
    int EverConnected = 0;  // clients that have been connected at least once
    int Ended = 0;          // connections the server ended
    int Answered = 0;       // connections that got any byte back
    int Refused = 0;        // connection attempts that failed
  };

  TricklingClients(int port, int count, int everyMs, std::string head = "GET /a.html HTTP/1.0\r\nX-Slow: ",
                   bool keepEnded = false);
  ~TricklingClients();
  TricklingClients(const TricklingClients&) = delete;
  TricklingClients& operator=(const TricklingClients&) = delete;

  Counts Now();
  // Waits until done holds for the counts; false after timeoutMs.
  bool WaitFor(const std::function<bool(const Counts&)>& done, int timeoutMs);

 private:
  struct Slot {
    int Fd = -1;
    bool Connecting = false;
    bool Ever = false;
    bool Answered = false;
    std::size_t Sent = 0;
    std::int64_t Due = 0;  // next byte, or next attempt while not connected
  };

  void Run();
  void Open(Slot& s, std::int64_t now);
  void Drop(Slot& s, std::int64_t now, bool wasOpen);
  void Update(const std::function<void(Counts&)>& change);

  int Port_;
  int EveryMs_;
  std::string Head_;
  bool KeepEnded_;
  std::vector<int> Kept_;
  std::vector<Slot> Slots_;
  int Wake_[2] = {-1, -1};
  std::mutex M_;
  std::condition_variable Cv_;
  Counts Counts_;
  std::thread Thread_;
};

// Raises the soft limit of open descriptors, up to the hard one, so that
// `more` fit beside those open now.
void AllowDescriptors(std::size_t more);

}  // namespace testsupport

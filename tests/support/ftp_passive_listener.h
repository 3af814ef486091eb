// The data side of a scripted FTP server in passive mode: a listener on a
// free loopback port, the reply that names it, and the data connection the
// client opens to it (one at a time; the listener can take several).
#pragma once

#include <string>

#include "tests/support/loopback.h"

namespace testsupport {

class PassiveListener {
 public:
  PassiveListener() = default;
  ~PassiveListener();
  PassiveListener(const PassiveListener&) = delete;
  PassiveListener& operator=(const PassiveListener&) = delete;

  int Port() const { return listener_.Port(); }
  // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" with CR LF, naming the
  // dotted `address` (a client should ignore it) and Port().
  std::string PasvReply(const std::string& address = "127.0.0.1") const;
  // "229 Entering Extended Passive Mode (|||port|)" with CR LF.
  std::string EpsvReply() const;

  // Waits for the client's data connection (closing an earlier one); false
  // when none came in time.
  bool Accept(int timeoutMs = 5000);
  // On the accepted connection.
  void Send(const std::string& data);
  // Reads until the client closes it or the time-out passes.
  std::string ReadAll(int timeoutMs = 5000);
  // Closes the accepted connection: the end of a listing.
  void CloseData();

 private:
  LoopbackListener listener_{4};
  int dataFd_ = -1;
};

}  // namespace testsupport

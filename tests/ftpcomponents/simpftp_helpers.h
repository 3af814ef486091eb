// What the FTP component tests share: a component that counts the lines it
// sends, the message of a failure, and a component set up for a server on
// 127.0.0.1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ftpcomponents/SimpFTP.h"
#include "tests/support/loopback.h"

namespace simpftptest {

using plat::inet::DWORD;
using plat::inet::HINTERNET;
using testsupport::NowMs;

// Counts what goes to the server, to show that nothing was sent.
class CountingFTP : public TSimpleFTP {
 public:
  using TSimpleFTP::TSimpleFTP;
  void StatusChanged(DWORD Status, void* Info, DWORD InfoLength) override {
    if (Status == plat::inet::INTERNET_STATUS_REQUEST_SENT) ++sent;
    TSimpleFTP::StatusChanged(Status, Info, InfoLength);
  }
  int sent = 0;
  HINTERNET Session() const { return InetHandle_.load(); }
};

template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const plat::Exception& e) {
    return e.Message;
  }
  return "(no error)";
}

inline std::unique_ptr<CountingFTP> MakeFtp(int port, const std::string& user, const std::string& password) {
  auto ftp = std::make_unique<CountingFTP>(nullptr);
  ftp->HostName = "127.0.0.1";
  ftp->Port = port;
  ftp->UserName = user;
  ftp->Password = password;
  ftp->SilentExceptions = false;
  ftp->SetConnectTimeout(5000);
  return ftp;
}

}  // namespace simpftptest

// What the Internet-library stand-in tests share: recorded status
// notifications, a session and the last response.
#pragma once

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/inet/wininet.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"
#include "tests/support/ftp_passive_listener.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

using namespace plat::inet;
using ftptest::ScriptConn;
using ftptest::ScriptServer;
using testsupport::NowMs;

namespace {

struct Event {
  HINTERNET handle;
  DWORD status;
  std::string text;  // for the name and address notifications
  DWORD count = 0;   // for sent / received
};

// Records every notification; an optional hook runs inside the callback.
struct Recorder {
  std::mutex mutex;
  std::vector<Event> events;
  std::function<void(DWORD status, DWORD count)> hook;
  std::vector<DWORD> Statuses(bool withWaiting = false) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<DWORD> s;
    for (auto& e : events)
      if (withWaiting || e.status != INTERNET_STATUS_WAITING) s.push_back(e.status);
    return s;
  }
  std::size_t Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
  }
  DWORD Sent() {
    std::lock_guard<std::mutex> lock(mutex);
    DWORD n = 0;
    for (auto& e : events)
      if (e.status == INTERNET_STATUS_REQUEST_SENT) n += e.count;
    return n;
  }
};

inline void Callback(HINTERNET h, DWORD_PTR context, DWORD status, void* info, DWORD len) {
  auto* r = reinterpret_cast<Recorder*>(context);
  if (!r) return;
  Event e{h, status, "", 0};
  if (status == INTERNET_STATUS_REQUEST_SENT || status == INTERNET_STATUS_RESPONSE_RECEIVED) {
    EXPECT_EQ(len, sizeof(DWORD));
    std::memcpy(&e.count, info, sizeof e.count);
  } else if (info && len > 0) {
    e.text = static_cast<const char*>(info);
  }
  {
    std::lock_guard<std::mutex> lock(r->mutex);
    r->events.push_back(e);
  }
  if (r->hook) r->hook(status, e.count);
}

class Session {
 public:
  Session() {
    h = InternetOpenA("tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    InternetSetStatusCallback(h, Callback);
  }
  ~Session() {
    if (h) InternetCloseHandle(h);
  }
  void SetOption(DWORD option, DWORD value) { ASSERT_TRUE(InternetSetOptionA(h, option, &value, sizeof value)); }
  HINTERNET Connect(int port, const char* user, const char* password, Recorder& rec, DWORD flags = 0,
                    const char* host = "127.0.0.1") {
    return InternetConnectA(h, host, static_cast<INTERNET_PORT>(port), user, password, INTERNET_SERVICE_FTP, flags,
                            reinterpret_cast<DWORD_PTR>(&rec));
  }
  HINTERNET h = 0;
};

inline std::string LastResponse() {
  char buf[4096];
  DWORD err = 0, len = sizeof buf;
  if (!InternetGetLastResponseInfoA(&err, buf, &len)) return "";
  return buf;
}

}  // namespace

// The WinSock stand-in on its own: notification rules of the asynchronous
// select, handles, cancel results.
#include "platform/winsock/winsock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tests/support/loopback.h"

using namespace plat;

namespace {

struct Api {
  HMODULE mod = LoadLibrary("WSOCK32.DLL");
  template <class F>
  F Get(const char* name) {
    return reinterpret_cast<F>(GetProcAddress(mod, name));
  }
  PFN_WSAStartup startup = Get<PFN_WSAStartup>("WSAStartup");
  PFN_WSACleanup cleanup = Get<PFN_WSACleanup>("WSACleanup");
  PFN_WSAGetLastError lastError = Get<PFN_WSAGetLastError>("WSAGetLastError");
  PFN_socket socket = Get<PFN_socket>("socket");
  PFN_connect connect = Get<PFN_connect>("connect");
  PFN_closesocket closesocket = Get<PFN_closesocket>("closesocket");
  PFN_WSAAsyncSelect select = Get<PFN_WSAAsyncSelect>("WSAAsyncSelect");
  PFN_recv recv = Get<PFN_recv>("recv");
  PFN_WSACancelAsyncRequest cancel = Get<PFN_WSACancelAsyncRequest>("WSACancelAsyncRequest");
  Api() {
    WSADATA d;
    EXPECT_EQ(startup(0x0101, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);
  }
  ~Api() {
    cleanup();
    FreeLibrary(mod);
  }
};

std::vector<MSG> g_seen;
LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_USER + 1) g_seen.push_back(MSG{h, m, w, l});
  return DefWindowProc(h, m, w, l);
}

void Pump(int ms) {
  std::int64_t end = TickMs() + ms;
  while (TickMs() < end) {
    MSG m;
    if (PeekMessage(m, true))
      DispatchMessage(m);
    else
      ::usleep(300);
  }
}

int CountEvents(std::uint16_t bit, std::uint16_t* error = nullptr) {
  int n = 0;
  for (auto& m : g_seen)
    if (LOWORD(m.lParam) == bit) {
      ++n;
      if (error) *error = HIWORD(m.lParam);
    }
  return n;
}

// A listener on 127.0.0.1 with its address as the stand-in takes it;
// Accept() hands out the peer's descriptor.
struct Listener {
  testsupport::LoopbackListener listener{8};
  SOCKADDR_IN addr{};
  Listener() {
    addr.sin_family = WS_AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(listener.Port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  int Accept() { return listener.Accept(2000); }
};

class Stand : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterClass("WinsockTestWindow", Proc);
    hwnd = CreateWindow("WinsockTestWindow");
    g_seen.clear();
  }
  void TearDown() override { DestroyWindow(hwnd); }
  // A connected, registered socket and the peer's descriptor.
  SOCKET Connected(Api& api, Listener& l, int& peer) {
    SOCKET s = api.socket(WS_AF_INET, WS_SOCK_STREAM, 6);
    EXPECT_EQ(api.select(s, hwnd, WM_USER + 1, 0x3B), 0);
    EXPECT_EQ(api.connect(s, reinterpret_cast<SOCKADDR*>(&l.addr), sizeof l.addr), SOCKET_ERROR);
    EXPECT_EQ(api.lastError(), WSAEWOULDBLOCK) << "connect always completes through FD_CONNECT";
    peer = l.Accept();
    Pump(30);
    EXPECT_EQ(CountEvents(FD_CONNECT), 1);
    EXPECT_EQ(CountEvents(FD_WRITE), 1);
    g_seen.clear();
    return s;
  }
  HWND hwnd = 0;
};

TEST_F(Stand, OneReadNotificationOutstandingUntilRecv) {
  Api api;
  Listener l;
  int peer;
  SOCKET s = Connected(api, l, peer);
  for (int i = 0; i < 5; ++i) {
    ::send(peer, "abc", 3, 0);
    Pump(10);
  }
  EXPECT_EQ(CountEvents(FD_READ), 1) << "no second FD_READ before a recv";
  char buf[4];
  EXPECT_EQ(api.recv(s, buf, 4, 0), 4);
  Pump(20);
  EXPECT_EQ(CountEvents(FD_READ), 2) << "data remain after the recv: one more";
  char rest[64];
  EXPECT_EQ(api.recv(s, rest, sizeof rest, 0), 11);
  Pump(20);
  EXPECT_EQ(CountEvents(FD_READ), 2);
  api.closesocket(s);
  ::close(peer);
}

TEST_F(Stand, CloseReportedOnceOrderlyOrReset) {
  Api api;
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly");
    Listener l;
    int peer;
    g_seen.clear();
    SOCKET s = Connected(api, l, peer);
    if (reset) {
      ::linger lg{1, 0};
      ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(peer);
    Pump(50);
    std::uint16_t err = 99;
    EXPECT_EQ(CountEvents(FD_CLOSE, &err), 1);
    EXPECT_EQ(err, reset ? WSAECONNRESET : 0);
    EXPECT_EQ(CountEvents(FD_READ), 0) << "an end of stream is no data";
    api.closesocket(s);
  }
}

TEST_F(Stand, NothingAfterClosesocketAndHandlesAreNotReused) {
  Api api;
  Listener l;
  int peer;
  SOCKET s = Connected(api, l, peer);
  ::send(peer, "x", 1, 0);
  ::close(peer);
  EXPECT_EQ(api.closesocket(s), 0);
  Pump(50);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(api.closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(api.lastError(), WSAENOTSOCK);
  std::vector<SOCKET> seen{s};
  for (int i = 0; i < 5; ++i) {
    SOCKET t = api.socket(WS_AF_INET, WS_SOCK_STREAM, 6);
    for (SOCKET o : seen) EXPECT_NE(o, t);
    seen.push_back(t);
    api.closesocket(t);
  }
}

TEST_F(Stand, RefusedConnectIsReportedOnlyByConnectNotification) {
  Api api;
  SOCKADDR_IN a;
  {
    Listener l;
    a = l.addr;
  }
  SOCKET s = api.socket(WS_AF_INET, WS_SOCK_STREAM, 6);
  api.select(s, hwnd, WM_USER + 1, 0x3B);
  EXPECT_EQ(api.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), SOCKET_ERROR);
  EXPECT_EQ(api.lastError(), WSAEWOULDBLOCK);
  Pump(50);
  std::uint16_t err = 0;
  EXPECT_EQ(CountEvents(FD_CONNECT, &err), 1);
  EXPECT_EQ(err, WSAECONNREFUSED);
  EXPECT_EQ(CountEvents(FD_CLOSE), 0);
  EXPECT_EQ(CountEvents(FD_WRITE), 0);
  api.closesocket(s);
}

TEST_F(Stand, CancelOfUnknownTaskAndCallsAfterCleanup) {
  Api api;
  EXPECT_EQ(api.cancel(NewHandle()), SOCKET_ERROR);
  EXPECT_EQ(api.lastError(), WSAEINVAL);
  WSADATA d;
  ASSERT_EQ(api.startup(0x0101, &d), 0);  // a second start-up needs a second cleanup
  EXPECT_EQ(api.cleanup(), 0);
  EXPECT_NE(api.socket(WS_AF_INET, WS_SOCK_STREAM, 6), INVALID_SOCKET);
  EXPECT_EQ(api.cleanup(), 0);
  EXPECT_EQ(api.socket(WS_AF_INET, WS_SOCK_STREAM, 6), INVALID_SOCKET);
  EXPECT_EQ(api.lastError(), WSANOTINITIALISED);
  EXPECT_EQ(winsock_testing::Stats().OpenSockets, 0) << "cleanup closes what was left open";
  EXPECT_EQ(api.startup(0x0101, &d), 0);  // for the destructor's cleanup
}

}  // namespace

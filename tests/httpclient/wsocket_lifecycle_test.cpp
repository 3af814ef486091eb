// Loading and releasing the library, connect/listen/accept/close guards
// and error reports.
#include <gtest/gtest.h>

#include <memory>

#include "tests/httpclient/wsocket_helpers.h"

using namespace wstest;
using Log = std::vector<std::string>;
namespace wt = plat::winsock_testing;

namespace {

// Each case starts with the library unloaded: a resolver called by an
// earlier case loads it, and with no socket alive nothing releases it
// before the program ends.
class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LiveSocketCount(), 0);
    UnloadWinsock();
  }
  void TearDown() override { wt::Reset(); }
};

std::string MessageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ESocketException& e) {
    return e.Message;
  }
  return "no exception";
}

TEST_F(Library, LoadedOnFirstCallReleasedWithLastSocket) {
  ASSERT_FALSE(wt::IsLoaded());
  int loads = wt::Stats().Loads;
  {
    TWSocket idle(nullptr);
  }
  EXPECT_FALSE(wt::IsLoaded()) << "no WinSock call, no load";
  EXPECT_EQ(wt::Stats().Loads, loads);

  auto a = std::make_unique<TWSocket>(nullptr);
  auto b = std::make_unique<TWSocket>(nullptr);
  a->LookupName("10.0.0.1");
  EXPECT_TRUE(wt::IsLoaded());
  EXPECT_TRUE(wt::IsStarted());
  EXPECT_EQ(wt::Stats().Loads, loads + 1);
  a.reset();
  EXPECT_TRUE(wt::IsLoaded()) << "one socket is still alive";
  int cleanups = wt::Stats().Cleanups;
  b.reset();
  EXPECT_FALSE(wt::IsLoaded());
  EXPECT_EQ(wt::Stats().Cleanups, cleanups + 1);
  EXPECT_EQ(LiveSocketCount(), 0);

  // Afterwards the next call loads and starts it again, binding anew.
  TWSocket c(nullptr);
  c.LookupName("10.0.0.2");
  EXPECT_EQ(c.DnsResult(), "10.0.0.2");
  EXPECT_EQ(wt::Stats().Loads, loads + 2);
  EXPECT_TRUE(wt::IsStarted());
}

TEST_F(Library, FailureTexts) {
  TWSocket s(nullptr);
  s.OnError = [](plat::TObject*) { ADD_FAILURE() << "binding failures never pass through OnError"; };
  wt::SetLoadFails(true);
  EXPECT_EQ(MessageOf([&] { s.LookupName("10.0.0.1"); }), "Unable to load wsock32.dll Error #126");
  wt::SetLoadFails(false);

  wt::HideFunction("WSAStartup");
  EXPECT_EQ(MessageOf([&] { s.LookupName("10.0.0.1"); }), "Procedure WSAStartup not found in wsock32.dll Error #127");
  UnloadWinsock();
  wt::HideFunction("inet_addr");
  EXPECT_EQ(MessageOf([&] { s.LookupName("10.0.0.1"); }), "Procedure inet_addr not found in wsock32.dll Error #127");
  // The slot stayed empty: the next call binds again and works.
  wt::HideFunction("");
  s.LookupName("10.0.0.1");
  EXPECT_EQ(s.DnsResult(), "10.0.0.1");
  UnloadWinsock();

  wt::SetStartupError(10091);
  EXPECT_EQ(MessageOf([&] { s.LookupName("10.0.0.1"); }), "wsock32.dll: WSAStartup error #10091");
  wt::SetStartupError(0);
  // Start-up is not tried again while the library stays loaded: calls fail
  // with the library's own error.
  EXPECT_TRUE(wt::IsLoaded());
  EXPECT_FALSE(wt::IsStarted());
  s.OnError = nullptr;
  s.SetAddr("127.0.0.1");
  s.SetPort("80");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "connect: WSocketResolveProto: Cannot convert protocol 'tcp'");
  s.SetProto("6");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }),
            "Error 10093 in function Connect (socket)\r\nWinSock not initialized");
  UnloadWinsock();
}

TEST_F(Library, CallsAfterCleanupFailWithNotInitialised) {
  auto load = [](const char* name) { return LoadWinsockProc(name); };
  auto startup = reinterpret_cast<plat::PFN_WSACleanup>(load("WSACleanup"));
  auto sock = reinterpret_cast<plat::PFN_socket>(load("socket"));
  auto err = reinterpret_cast<plat::PFN_WSAGetLastError>(load("WSAGetLastError"));
  ASSERT_EQ(startup(), 0);
  EXPECT_EQ(sock(plat::WS_AF_INET, plat::WS_SOCK_STREAM, 6), plat::INVALID_SOCKET);
  EXPECT_EQ(err(), plat::WSANOTINITIALISED);
  UnloadWinsock();
}

TEST(ErrorTexts, Table) {
  struct {
    int code;
    const char* text;
  } rows[] = {{0, "No Error"},
              {10004, "Interrupted system call"},
              {10035, "Operation would block"},
              {10054, "Connection reset by peer"},
              {10061, "Connection refused"},
              {10093, "WinSock not initialized"},
              {11001, "Host not found"},
              {11004, "No Data"},
              {10099, "Not a WinSock error"},
              {20002, "Not a WinSock error"}};
  for (auto& r : rows) EXPECT_EQ(WinsockErrorText(r.code), r.text) << r.code;
}

TEST(ConnectGuards, MisuseIsReported) {
  Peer peer([](int fd) { Peer::ReadAll(fd, testsupport::kPatienceMs); });
  TWSocket s(nullptr);
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No Port Specified");
  s.SetPort(peer.Port());
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
  s.SetAddr("127.0.0.1");
  s.SetProto("");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
  s.SetProto("tcp");
  s.Connect();
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: Socket already in use");
  s.Close();
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No Port Specified");
  s.Close();  // closed already: nothing happens
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(ConnectGuards, UnresolvableNameCreatesNothing) {
  plat::winsock_testing::SetNameResolver(
      [](const std::string&, std::vector<std::uint32_t>&) { return plat::WSAHOST_NOT_FOUND; });
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.SetAddr("nowhere.test");
  s.SetPort("80");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }),
            "connect: WSocketResolveHost: Cannot convert host address 'nowhere.test'");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(plat::winsock_testing::Stats().OpenSockets, 0);
  plat::winsock_testing::Reset();
}

TEST(ConnectGuards, WithOnErrorOperationsReturnQuietly) {
  TWSocket s(nullptr);
  int errors = 0;
  s.OnError = [&](plat::TObject*) { ++errors; };
  s.Connect();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.Accept(), plat::INVALID_SOCKET);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(s.LastError(), 10022);
  s.OnError = nullptr;
  EXPECT_EQ(MessageOf([&] { s.Accept(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
  EXPECT_EQ(MessageOf([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  EXPECT_EQ(MessageOf([&] { s.Dup(0); }), "Error 10022 in function Dup\r\nInvalid argument");
  EXPECT_EQ(MessageOf([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
}

TEST(Server, ListenAcceptDupAndEcho) {
  TWSocket server(nullptr);
  TWSocket served(nullptr);
  TWSocket client(nullptr);
  Recorder rs, rc;
  rs.Attach(served);
  rc.Attach(client);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  std::vector<std::string> serverLog;
  server.OnChangeState = [&](plat::TObject*, TSocketState o, TSocketState n) {
    serverLog.push_back(std::string(StateName(o)) + ">" + StateName(n));
  };
  // Linger on with time 0 (the default) closes hard; close gracefully here.
  served.SetLingerOnOff(wsLingerNoSet);
  server.OnSessionAvailable = [&](plat::TObject*, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    served.Dup(server.Accept());
  };
  server.Listen();
  EXPECT_EQ(serverLog, (Log{"closed>bound", "bound>listening"}));
  std::string port = server.GetBoundPort();
  ASSERT_NE(port, "error");
  client.SetAddr("127.0.0.1");
  client.SetPort(port);
  client.Connect();
  ASSERT_TRUE(PumpUntil([&] { return served.State() == wsConnected && client.State() == wsConnected; }));
  EXPECT_EQ(rs.log.front(), "state closed>connected");
  EXPECT_FALSE(rs.Has("connected 0")) << "Dup does not fire OnSessionConnected";
  EXPECT_EQ(server.State(), wsListening);
  client.SendString("ping");
  ASSERT_TRUE(PumpUntil([&] { return rs.data == "ping"; }));
  served.SendString("pong");
  ASSERT_TRUE(PumpUntil([&] { return rc.data == "pong"; }));
  served.Close();
  ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
  EXPECT_TRUE(rc.Has("closed 0"));
  server.Close();
}

TEST(Server, AbortDropsQueueAndSkipsShutdown) {
  std::string got = "unset";
  Peer peer([&](int fd) { got = Peer::ReadAll(fd, 3000); });
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort(peer.Port());
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  std::string chunk(1 << 20, 'a');
  for (int i = 0; i < 16; ++i) s.Send(chunk.data(), 1 << 20);
  ASSERT_GT(s.SendQueueCount(), 0);
  s.Abort();
  EXPECT_EQ(s.SendQueueCount(), 0);
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn) << "the defaults are back";
}

TEST(Datagram, ConnectIsImmediateAndSendsToTheResolvedAddress) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(ntohs(a.sin_port)));
  s.Connect();
  EXPECT_EQ(r.log, (Log{"state closed>opened", "state opened>connected", "connected 0"}));
  EXPECT_NE(s.LocalPort(), "0") << "a datagram socket is bound to the port the system chose";
  s.SendString("datagram");
  char buf[64];
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  sockaddr_in from{};
  socklen_t fl = sizeof from;
  ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "datagram");
  EXPECT_EQ(std::to_string(ntohs(from.sin_port)), s.LocalPort());
  // SendTo goes to the address given, bypassing the queue.
  int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in b = a;
  b.sin_port = 0;
  ::bind(other, reinterpret_cast<sockaddr*>(&b), sizeof b);
  len = sizeof b;
  ::getsockname(other, reinterpret_cast<sockaddr*>(&b), &len);
  plat::SOCKADDR_IN dest{};
  dest.sin_family = plat::WS_AF_INET;
  dest.sin_port = b.sin_port;
  dest.sin_addr.s_addr = b.sin_addr.s_addr;
  EXPECT_EQ(s.SendTo(dest, sizeof dest, "elsewhere", 9), 9);
  pollfd q{other, POLLIN, 0};
  ASSERT_EQ(::poll(&q, 1, 2000), 1);
  n = ::recv(other, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "elsewhere");
  ::close(other);
  // And back: the reply arrives through ReceiveFrom.
  ::sendto(fd, "reply", 5, 0, reinterpret_cast<sockaddr*>(&from), fl);
  std::string got;
  s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    plat::SOCKADDR_IN src{};
    int sl = sizeof src;
    char reply[64];
    int m = s.ReceiveFrom(reply, sizeof reply, src, sl);
    if (m > 0) got.assign(reply, static_cast<std::size_t>(m));
  };
  ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
  EXPECT_EQ(got, "reply");
  EXPECT_EQ(s.ReadCount(), 5);
  s.Close();
  ::close(fd);
}

TEST(Timeval, Operations) {
  TTimeVal a{1, 2}, b{1, 2}, c{0, 0};
  EXPECT_TRUE(TCustomWSocket::TimevalIsSet(a));
  EXPECT_FALSE(TCustomWSocket::TimevalIsSet(c));
  EXPECT_TRUE(TCustomWSocket::TimevalCompare(a, b, true));
  EXPECT_FALSE(TCustomWSocket::TimevalCompare(a, b, false));
  EXPECT_TRUE(TCustomWSocket::TimevalCompare(a, c, false));
  TCustomWSocket::TimevalClear(a);
  EXPECT_FALSE(TCustomWSocket::TimevalIsSet(a));
}

}  // namespace

// GET requests of the HTTP client through SOCKS servers written by others
// (danted, microsocks and ssh's dynamic forwarding, started on free
// loopback ports) to the scripted HTTP server, and the refusals those
// servers give; and a line-mode socket through danted to a server that
// greets first, also with danted connecting out from ::1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "httpclient/HttpProt.h"
#include "tests/httpclient/http_fixture.h"
#include "tests/httpclient/socks_servers.h"
#include "tests/httpclient/wsocket_helpers.h"

using httptest::PumpUntil;
using httptest::Script;
using plat::TObject;
using sockstest::DantedServer;
using sockstest::MicrosocksServer;
using sockstest::SshDynamicForward;
using sockstest::SystemUser;

namespace {

const std::string kPage = "<html><body>through socks</body></html>";

struct SocksRoute {
  std::string level;
  std::string user, password;
  bool authenticate = false;
};

struct GetOutcome {
  bool done = false;
  int status = 0;
  std::uint16_t error = 0;
  std::string body;
  std::vector<std::string> socksErrors;  // "code text"
};

// One GET of `url` through the SOCKS server on 127.0.0.1:socksPort. Every
// close forgets the socket's SOCKS server, so the route is set each time
// the client is about to connect, after its name lookup.
GetOutcome GetThroughSocks(int socksPort, const SocksRoute& route, const std::string& url) {
  GetOutcome out;
  THttpCli cli(nullptr);
  cli.URL = url;
  cli.OnStateChange = [&](TObject*) {
    if (cli.State() != httpConnecting) return;
    TWSocket* s = cli.Socket();
    s->SetSocksServer("127.0.0.1");
    s->SetSocksPort(std::to_string(socksPort));
    s->SetSocksLevel(route.level);
    s->SetSocksUsercode(route.user);
    s->SetSocksPassword(route.password);
    s->SetSocksAuthentication(route.authenticate ? socksAuthenticateUsercode : socksNoAuthentication);
    s->OnSocksError = [&](TObject*, int code, const std::string& msg) {
      out.socksErrors.push_back(std::to_string(code) + " " + msg);
    };
  };
  cli.OnDocData = [&](TObject*, const void* data, int len) {
    out.body.append(static_cast<const char*>(data), static_cast<std::size_t>(len));
  };
  cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t error) {
    out.done = true;
    out.error = error;
    out.status = cli.StatusCode();
  };
  cli.StartGet();
  PumpUntil([&] { return out.done; }, 20000);
  return out;
}

// The socket alone, given a host name at level 4A: the name goes to the
// SOCKS server, which looks it up. Returns everything the HTTP server sent.
std::string GetByNameAt4A(int socksPort, const std::string& host, int httpPort, std::vector<std::string>& events) {
  TWSocket s(nullptr);
  std::string reply;
  bool closed = false;
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(socksPort));
  s.SetSocksLevel("4A");
  s.SetSocksUsercode("tester");
  s.SetAddr(host);
  s.SetPort(std::to_string(httpPort));
  s.SetProto("tcp");
  s.OnSocksError = [&](TObject*, int code, const std::string& msg) {
    events.push_back("socks error " + std::to_string(code) + " " + msg);
  };
  s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    events.push_back("connected " + std::to_string(e));
    if (e == 0) s.SendString("GET /page HTTP/1.0\r\n\r\n");
  };
  s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[4096];
    int n = s.Receive(buf, sizeof buf);
    if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
  };
  s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
  s.Connect();
  PumpUntil([&] { return closed; }, 20000);
  return reply;
}

// Shows which kind of bound address the connect reply named.
class ReplyTypeSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  int ReplyAddressType() const { return static_cast<std::uint8_t>(FSocksReplyBuffer[3]); }
};

struct SpeakFirstOutcome {
  std::vector<std::string> events;  // connected and SOCKS errors
  int addressType = -1;             // of the level 5 connect reply
  std::vector<std::string> lines;
  std::string heard;  // what the target server got
};

// A line-mode socket through the SOCKS server to a target of our own that
// greets first, as mail and file servers do, with two lines at once, and
// answers the client's reply to the greeting; the target listens on
// 127.0.0.1, or on ::1. The client reads what RcvdCount offers, or with a
// buffer of 4096 bytes.
SpeakFirstOutcome SpeakFirstThroughSocks(int socksPort, const std::string& level, bool ipv6, bool largeReads = false) {
  SpeakFirstOutcome out;
  testsupport::LoopbackListener target(16, ipv6);
  std::thread server([&] {
    int fd = target.Accept(testsupport::kPatienceMs);
    if (fd < 0) return;
    wstest::Peer::SendAll(fd, "220-hello\r\n220 ready\r\n");
    out.heard = wstest::Peer::ReadExactly(fd, 6);
    wstest::Peer::SendAll(fd, "221 bye\r\n");
    ::close(fd);
  });
  ReplyTypeSocket s(nullptr);
  bool closed = false;
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(socksPort));
  s.SetSocksLevel(level);
  s.SetAddr(ipv6 ? "::1" : "127.0.0.1");
  s.SetPort(std::to_string(target.Port()));
  s.SetLineMode(true);
  s.OnSocksError = [&](TObject*, int code, const std::string& msg) {
    out.events.push_back("socks error " + std::to_string(code) + " " + msg);
  };
  s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    out.events.push_back("connected " + std::to_string(e));
    if (e == 0 && level == "5") out.addressType = s.ReplyAddressType();
  };
  s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    int n = largeReads ? 4096 : s.RcvdCount();
    if (n <= 0) return;
    std::string line(static_cast<std::size_t>(n), '\0');
    n = s.Receive(line.data(), n);
    if (n <= 0) return;
    out.lines.push_back(line.substr(0, static_cast<std::size_t>(n)));
    if (out.lines.back() == "220 ready\r\n") s.SendString("QUIT\r\n");
  };
  s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
  s.Connect();
  PumpUntil([&] { return closed; }, 20000);
  target.Close();
  server.join();
  return out;
}

void ExpectConversation(const SpeakFirstOutcome& got) {
  EXPECT_EQ(got.events, std::vector<std::string>{"connected 0"});
  EXPECT_EQ(got.lines, (std::vector<std::string>{"220-hello\r\n", "220 ready\r\n", "221 bye\r\n"}));
  EXPECT_EQ(got.heard, "QUIT\r\n");
}

class SocksGet : public ::testing::Test {
 protected:
  void SetUp() override { http_.SetDefault(Script::Respond("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + kPage)); }

  // The page came, and the HTTP server saw the request itself.
  void ExpectPage(const GetOutcome& got) {
    ASSERT_TRUE(got.done);
    EXPECT_EQ(got.error, 0);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, kPage);
    EXPECT_TRUE(got.socksErrors.empty());
    ASSERT_TRUE(http_.WaitForFinished(1, 5000));
    EXPECT_EQ(http_.Request(http_.ConnectionCount() - 1).rfind("GET /page HTTP/1.0\r\n", 0), 0u);
  }
  void ExpectRefusal(const GetOutcome& got, int code, const std::string& text) {
    ASSERT_TRUE(got.done);
    EXPECT_EQ(got.error, code);
    EXPECT_EQ(got.status, 404);
    EXPECT_EQ(got.socksErrors, std::vector<std::string>{std::to_string(code) + " " + text});
  }

  httptest::ScriptedHttpServer http_;
};

TEST_F(SocksGet, DantedWithoutAuthenticationAtEveryLevel) {
  DantedServer danted("none");
  if (!testsupport::StartOrSkip(danted)) return;
  for (const std::string level : {"4", "5"}) {
    SCOPED_TRACE("level " + level);
    ExpectPage(GetThroughSocks(danted.Port(), {level, "", "", false}, http_.Url("/page")));
  }
  // danted speaks no 4A: it takes 0.0.0.1 for the destination (and the
  // name behind it for early data) and refuses; the refusal must come
  // through as one.
  SCOPED_TRACE("level 4A");
  ExpectRefusal(GetThroughSocks(danted.Port(), {"4A", "", "", false}, http_.Url("/page")), 20016,
                "request rejected or failed");
}

TEST_F(SocksGet, DantedRefusesADestinationThatIsNotListening) {
  DantedServer danted("none");
  if (!testsupport::StartOrSkip(danted)) return;
  testsupport::RefusingPort refusing;
  const std::string closed = "http://127.0.0.1:" + std::to_string(refusing.Port()) + "/page";
  SCOPED_TRACE("level 5");
  ExpectRefusal(GetThroughSocks(danted.Port(), {"5", "", "", false}, closed), 20008, "connection refused");
  SCOPED_TRACE("level 4");
  ExpectRefusal(GetThroughSocks(danted.Port(), {"4", "", "", false}, closed), 20016, "request rejected or failed");
}

TEST(SocksLines, DantedToAServerThatSpeaksFirst) {
  DantedServer danted("none");
  if (!testsupport::StartOrSkip(danted)) return;
  for (const std::string level : {"4", "5"}) {
    for (bool largeReads : {false, true}) {
      SCOPED_TRACE("level " + level + (largeReads ? ", reads of 4096" : ""));
      SpeakFirstOutcome got = SpeakFirstThroughSocks(danted.Port(), level, false, largeReads);
      ExpectConversation(got);
      if (level == "5") {
        EXPECT_EQ(got.addressType, 1);
      }
    }
  }
}

// Connecting out from ::1, danted names the bound address by an IPv6
// address (type 4) in its reply.
TEST(SocksLines, DantedConnectingFromIpv6) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "loopback ::1 is not available on this machine";
  DantedServer danted("none", "::1");
  if (!testsupport::StartOrSkip(danted)) return;
  SpeakFirstOutcome got = SpeakFirstThroughSocks(danted.Port(), "5", true);
  ExpectConversation(got);
  EXPECT_EQ(got.addressType, 4);
}

TEST_F(SocksGet, DantedWithUsercodeAuthentication) {
  SystemUser user;
  std::string why;
  if (!user.Create("Right-Pass-1", why)) {
    if (user.CannotRunHere()) GTEST_SKIP() << why;
    FAIL() << why;
  }
  DantedServer danted("username");
  if (!testsupport::StartOrSkip(danted)) return;
  ExpectPage(GetThroughSocks(danted.Port(), {"5", user.Name(), "Right-Pass-1", true}, http_.Url("/page")));
  ExpectRefusal(GetThroughSocks(danted.Port(), {"5", user.Name(), "wrong", true}, http_.Url("/page")), 20015,
                "socks authentication failed");
  // Without authentication offered the server has no method to agree on.
  ExpectRefusal(GetThroughSocks(danted.Port(), {"5", "", "", false}, http_.Url("/page")), 20003,
                "authentification method not acceptable");
}

TEST_F(SocksGet, MicrosocksWithUserAndPassword) {
  MicrosocksServer micro("tester", "Secret-2");
  if (!testsupport::StartOrSkip(micro)) return;
  ExpectPage(GetThroughSocks(micro.Port(), {"5", "tester", "Secret-2", true}, http_.Url("/page")));
  ExpectRefusal(GetThroughSocks(micro.Port(), {"5", "tester", "wrong", true}, http_.Url("/page")), 20015,
                "socks authentication failed");
  ExpectRefusal(GetThroughSocks(micro.Port(), {"5", "", "", false}, http_.Url("/page")), 20003,
                "authentification method not acceptable");
}

TEST_F(SocksGet, SshDynamicForwardingAtEveryLevelAndANameAt4A) {
  SshDynamicForward ssh;
  if (!testsupport::StartOrSkip(ssh)) return;
  // The HTTP client looks the host up itself, so at 4A the server gets the
  // address as text in the name field.
  const std::string url = "http://localhost:" + std::to_string(http_.Port()) + "/page";
  for (const std::string level : {"4", "4A", "5"}) {
    SCOPED_TRACE("level " + level);
    ExpectPage(GetThroughSocks(ssh.Port(), {level, "tester", "", false}, url));
  }
  // Given the name itself, the socket leaves the lookup to the server.
  std::vector<std::string> events;
  const std::string reply = GetByNameAt4A(ssh.Port(), "localhost", http_.Port(), events);
  EXPECT_EQ(events, std::vector<std::string>{"connected 0"});
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
  EXPECT_TRUE(reply.size() >= kPage.size() && reply.compare(reply.size() - kPage.size(), kPage.size(), kPage) == 0)
      << reply;
  ASSERT_TRUE(http_.WaitForFinished(4, 5000));
  EXPECT_EQ(http_.Request(3), "GET /page HTTP/1.0\r\n\r\n");
}

}  // namespace

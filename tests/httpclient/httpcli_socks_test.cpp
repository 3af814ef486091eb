// GET requests of the HTTP client through SOCKS servers written by others
// (danted and microsocks, started on free loopback ports) to the scripted
// HTTP server, and the refusals those servers give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "httpclient/HttpProt.h"
#include "tests/httpclient/http_fixture.h"
#include "tests/httpclient/socks_servers.h"

using httptest::PumpUntil;
using httptest::Script;
using plat::TObject;
using sockstest::DantedServer;
using sockstest::MicrosocksServer;
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
  const std::string closed = "http://127.0.0.1:" + std::to_string(testsupport::UnusedLoopbackPort()) + "/page";
  SCOPED_TRACE("level 5");
  ExpectRefusal(GetThroughSocks(danted.Port(), {"5", "", "", false}, closed), 20008, "connection refused");
  SCOPED_TRACE("level 4");
  ExpectRefusal(GetThroughSocks(danted.Port(), {"4", "", "", false}, closed), 20016, "request rejected or failed");
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

}  // namespace

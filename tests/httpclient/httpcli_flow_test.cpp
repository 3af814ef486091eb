// The HTTP client against the scripted server: redirects, failures, Abort
// and the end of a request.
#include "tests/httpclient/httpcli_client.h"
#include "tests/httpclient/socks_peer.h"

namespace {

// ---- redirects ------------------------------------------------------------------------------

TEST(HttpCliRedirect, RelativeAbsoluteAndBareLocations) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: /new\r\n\r\nignored"));
  srv.Add(Script::Respond("HTTP/1.0 301 Moved\r\nLocation:http://localhost/x\r\n\r\n"));
  srv.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: page2.htm\r\n\r\n"));
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\nfinal"));
  Client c;
  ASSERT_TRUE(c.Get(srv.Url("/start")));
  ASSERT_TRUE(srv.WaitForFinished(4, 5000));
  EXPECT_EQ(srv.Request(0), "GET /start HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(srv.Request(1), "GET /new HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  // Another host: the port stays.
  EXPECT_EQ(srv.Request(2), "GET /x HTTP/1.0\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(srv.Request(3), "GET http://localhost/page2.htm HTTP/1.0\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.body, "final");
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.cli->ConnectHost(), "localhost");
  EXPECT_EQ(c.cli->Location(), "http://localhost/page2.htm");
  ASSERT_EQ(c.cli->RcvdHeader()->Count(), 7);
  EXPECT_EQ(c.cli->RcvdHeader()->Strings(0), "HTTP/1.0 302 Found");
  EXPECT_EQ(c.cli->RcvdHeader()->Strings(6), "HTTP/1.0 200 OK");
  const std::vector<std::string> changes = {"LocationChange /new", "LocationChange /x",
                                            "LocationChange http://localhost/page2.htm"};
  std::vector<std::string> seen;
  for (const auto& e : c.events)
    if (e.rfind("LocationChange", 0) == 0) seen.push_back(e);
  EXPECT_EQ(seen, changes);
  EXPECT_EQ(c.body, "final");  // the redirects' own bodies were dropped
}

TEST(HttpCliRedirect, ThroughProxyTheTargetStaysAbsolute) {
  ScriptedHttpServer proxy;
  proxy.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: /new\r\n\r\n"));
  proxy.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: http://other.example.test/y\r\n\r\n"));
  proxy.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  Client c;
  c.cli->Proxy = proxy.HostPort();
  ASSERT_TRUE(c.Get("http://site.example.test/old"));
  ASSERT_TRUE(proxy.WaitForFinished(3, 5000));
  EXPECT_EQ(proxy.Request(1), "GET http://site.example.test/new HTTP/1.0\r\nHost: site.example.test\r\n\r\n");
  // The Host line keeps the first host: only the target changes.
  EXPECT_EQ(proxy.Request(2), "GET http://other.example.test/y HTTP/1.0\r\nHost: site.example.test\r\n\r\n");
  EXPECT_EQ(c.cli->StatusCode(), 200);
}

TEST(HttpCliRedirect, ChainIsCappedAndEmptyLocationIgnored) {
  ScriptedHttpServer srv;
  srv.SetDefault(Script::Respond("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\nloop body"));
  Client c;
  ASSERT_TRUE(c.Get(srv.Url()));
  EXPECT_EQ(srv.ConnectionCount(), THttpCli::MaxRedirects + 1);
  EXPECT_EQ(c.cli->StatusCode(), 302);
  EXPECT_EQ(c.body, "loop body");  // the last response is taken as it is
  EXPECT_EQ(c.error, 0);

  ScriptedHttpServer srv2;
  srv2.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: \r\n\r\nstay"));
  Client d;
  ASSERT_TRUE(d.Get(srv2.Url()));
  EXPECT_EQ(srv2.ConnectionCount(), 1);
  EXPECT_EQ(d.body, "stay");
}

TEST(HttpCliRedirect, AbortBeforeTheRestartStopsTheChain) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"));
  srv.SetDefault(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  Client c;
  c.cli->OnLocationChange = [&](TObject*) { c.cli->Abort(); };
  ASSERT_TRUE(c.Get(srv.Url()));
  PumpFor(100);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.error, httperrAborted);
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(srv.ConnectionCount(), 1);
  EXPECT_EQ(c.cli->State(), httpIdle);
}

// ---- failures, Abort and the end of a request ---------------------------------------------

TEST(HttpCliFailure, RefusedPortAndUnresolvableName) {
  Client c;
  std::vector<THttpState> states;
  c.cli->OnStateChange = [&](TObject*) { states.push_back(c.cli->State()); };
  testsupport::RefusingPort refusing;
  c.Start("http://127.0.0.1:" + std::to_string(refusing.Port()) + "/");
  // A dotted address is looked up inside the call.
  EXPECT_EQ(states, (std::vector<THttpState>{httpStarting, httpDnsLookup, httpConnecting}));
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Connection refused (Error #10061)");
  EXPECT_EQ(c.error, 10061);
  PumpFor(20);
  EXPECT_EQ(c.done, 1);

  Client d;
  ASSERT_TRUE(d.Get("http://no-such-host.invalid/"));
  EXPECT_EQ(d.cli->StatusCode(), 404);
  EXPECT_EQ(d.cli->ReasonPhrase(), "can't resolve hostname to IP address");
  EXPECT_NE(d.error, 0);
  EXPECT_EQ(d.ResponseEvents(), (std::vector<std::string>{"RequestDone"}));
}

TEST(HttpCliFailure, AbortOfAServerThatNeverAnswers) {
  ScriptedHttpServer srv;
  srv.Add(Script().ReadRequest().Hold());
  Client c;
  c.Start(srv.Url());
  ASSERT_TRUE(PumpUntil([&] { return c.cli->State() == httpReadingHeader && srv.Request(0).size() > 0; }));
  c.inCall = true;
  c.cli->Abort();
  c.inCall = false;
  EXPECT_EQ(c.done, 0);
  ASSERT_TRUE(c.Wait());
  PumpFor(50);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.error, httperrAborted);
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Connection aborted on request");
  EXPECT_TRUE(srv.WaitForFinished(1, 5000));  // the server saw the close
}

TEST(HttpCliFailure, AbortDuringLookupAndOnAnIdleClient) {
  Client idle;
  idle.cli->Abort();
  PumpFor(20);
  EXPECT_EQ(idle.done, 0);
  EXPECT_TRUE(idle.events.empty());

  Client c;
  c.Start("http://localhost:1/");
  ASSERT_EQ(c.cli->State(), httpDnsLookup);
  c.inCall = true;
  c.cli->Abort();
  c.inCall = false;
  ASSERT_TRUE(c.Wait());
  PumpFor(50);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.error, httperrAborted);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Connection aborted on request");
}

TEST(HttpCliFailure, EmptyUrlRaisesAndStaysBusyUntilAbort) {
  Client c;
  try {
    c.cli->StartGet();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message, "DNS lookup: invalid host name.");
  }
  EXPECT_EQ(c.cli->State(), httpDnsLookup);
  EXPECT_THROW(c.cli->StartGet(), EHttpException);
  c.cli->Abort();
  ASSERT_TRUE(c.Wait());
  PumpFor(20);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.error, httperrAborted);
  EXPECT_EQ(c.cli->StatusCode(), 404);
}

TEST(HttpCliLifetime, FreedInsideItsOwnRequestDone) {
  ScriptedHttpServer srv;
  srv.SetDefault(Script::Respond("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
  int done = 0;
  for (int i = 0; i < 5; ++i) {
    auto* cli = new THttpCli(nullptr);
    cli->URL = srv.Url("/" + std::to_string(i));
    cli->OnRequestDone = [&done, cli](TObject* s, THttpRequest, std::uint16_t e) {
      EXPECT_EQ(e, 0);
      EXPECT_EQ(s, cli);
      ++done;
      plat::Free(cli);
    };
    cli->StartGet();
  }
  ASSERT_TRUE(PumpUntil([&] { return done == 5; }));
  PumpFor(50);
  EXPECT_EQ(done, 5);
}

TEST(HttpCliLifetime, ANewRequestFromRequestDoneStartsClean) {
  ScriptedHttpServer srv;
  // The first response leaves a partial line behind when its 404 closes it.
  srv.Add(Script::Respond("HTTP/1.0 404 Not Found\r\nX: partial"));
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\nsecond"));
  Client c;
  bool restarted = false;
  c.cli->OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t) {
    ++c.done;
    if (!restarted) {
      restarted = true;
      EXPECT_EQ(c.cli->StatusCode(), 404);
      c.cli->StartGet();
    }
  };
  c.cli->URL = srv.Url();
  c.cli->StartGet();
  ASSERT_TRUE(PumpUntil([&] { return c.done == 2; }));
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.body, "second");
  ASSERT_EQ(c.cli->RcvdHeader()->Count(), 1);
  EXPECT_EQ(c.cli->RcvdHeader()->Strings(0), "HTTP/1.0 200 OK");
}

}  // namespace

namespace {

TEST(HttpCliLifetime, ExceptionFromRequestDoneGoesToTheErrorBox) {
  ScriptedHttpServer srv;
  srv.SetDefault(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  std::vector<std::string> shown;
  plat::SetApplicationErrorHook([&](const std::string& m) { shown.push_back(m); });
  Client c;
  c.cli->OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t) {
    ++c.done;
    throw plat::Exception("handler failed");
  };
  c.Start(srv.Url());
  ASSERT_TRUE(c.Wait());
  // The client is idle again and takes the next request.
  c.Start(srv.Url());
  ASSERT_TRUE(PumpUntil([&] { return c.done == 2; }));
  plat::SetApplicationErrorHook(nullptr);
  EXPECT_EQ(shown, (std::vector<std::string>{"handler failed", "handler failed"}));
}

// ---- a SOCKS server that drops the connection ----------------------------------------------

// A GET through a SOCKS server that ends the connection before it has
// connected the client ends with an error, and with a status that is not
// success, wherever the server stopped.
TEST(HttpCliSocks, ServerThatDropsTheNegotiationFailsTheRequest) {
  using sockstest::B;
  using sockstest::SocksPeer;
  const std::string request5 = B({5, 1, 0, 3, 9}) + "127.0.0.1" + B({0x1f, 0x90});
  struct DropCase {
    const char* name;
    std::string level;
    std::function<void(SocksPeer&)> script;
  };
  const std::vector<DropCase> cases = {
      {"after its greeting", "5", [](SocksPeer& p) { p.Expect(3).Reply(B({5, 0})).Close(); }},
      {"after the request", "5", [&](SocksPeer& p) { p.Expect(3).Reply(B({5, 0})).Expect(request5.size()).Close(); }},
      {"halfway through the reply", "5",
       [&](SocksPeer& p) { p.Expect(3).Reply(B({5, 0})).Expect(request5.size()).Reply(B({5, 0, 0, 1, 127})).Close(); }},
      {"level 4, halfway through the reply", "4", [](SocksPeer& p) { p.Expect(9).Reply(B({0, 90, 0})).Close(); }},
  };
  for (const DropCase& c : cases) {
    SCOPED_TRACE(c.name);
    SocksPeer peer;
    c.script(peer);
    peer.Start();
    Client client;
    std::vector<std::string> socksErrors;
    // Every close forgets the SOCKS server: it is set as the client connects.
    client.cli->OnStateChange = [&](TObject*) {
      if (client.cli->State() != httpConnecting) return;
      TWSocket* s = client.cli->Socket();
      s->SetSocksServer("127.0.0.1");
      s->SetSocksPort(peer.Port());
      s->SetSocksLevel(c.level);
      s->OnSocksError = [&](TObject*, int code, const std::string& msg) {
        socksErrors.push_back(std::to_string(code) + " " + msg);
      };
    };
    ASSERT_TRUE(client.Get("http://127.0.0.1:8080/page"));
    EXPECT_EQ(client.error, plat::WSAECONNRESET);
    EXPECT_EQ(client.cli->StatusCode(), 404);
    EXPECT_EQ(client.cli->ReasonPhrase(), WinsockErrorText(plat::WSAECONNRESET) + " (Error #10054)");
    EXPECT_EQ(socksErrors, std::vector<std::string>{"10054 data receive error"});
  }
}

}  // namespace

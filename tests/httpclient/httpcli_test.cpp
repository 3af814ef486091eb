// The HTTP client against the scripted server: the request bytes and the
// response forms.
#include "tests/httpclient/httpcli_client.h"

namespace {

// ---- the request text --------------------------------------------------------------

TEST(HttpCliRequest, GetCarriesEverySetHeaderInOrder) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  Client c;
  std::vector<std::string> commands;
  c.cli->OnCommand = [&](TObject*, const std::string& s) { commands.push_back(s); };
  c.cli->Agent = "Tester/1.0";
  c.cli->Sender = "me@example.test";
  c.cli->Reference = "http://ref.example.test/";
  c.cli->Username = "user";
  c.cli->Password = "pass";
  c.cli->NoCache = true;
  c.cli->ModifiedSince = 34644 + (8 * 3600 + 49 * 60 + 37) / 86400.0;
  c.cli->Cookie = "a=1\r\nCookie: b=2";
  ASSERT_TRUE(c.Get(srv.Url("/dir/page.htm?q=1")));
  ASSERT_TRUE(srv.WaitForFinished(1, 5000));
  const std::string expected =
      "GET /dir/page.htm?q=1 HTTP/1.0\r\n"
      "From: me@example.test\r\n"
      "Referer: http://ref.example.test/\r\n"
      "User-Agent: Tester/1.0\r\n" +
      Hdr("127.0.0.1") +
      "Pragma: no-cache\r\n"
      "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
      "Authorization: Basic dXNlcjpwYXNz\r\n"
      "Cookie: a=1\r\n"
      "Cookie: b=2\r\n"
      "\r\n";
  EXPECT_EQ(srv.Request(0), expected);
  ASSERT_EQ(commands.size(), 10u);  // the cookie joins travel in one line
  EXPECT_EQ(commands.front(), "GET /dir/page.htm?q=1 HTTP/1.0");
  EXPECT_EQ(commands.back(), "");
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.error, 0);
  EXPECT_EQ(c.doneType, httpGet);
  EXPECT_EQ(c.cli->DocName(), "page.htm");
}

TEST(HttpCliRequest, MinimalGetAndCredentialsFromTheUrl) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  Client c;
  ASSERT_TRUE(c.Get("http://" + srv.HostPort()));
  ASSERT_TRUE(srv.WaitForFinished(1, 5000));
  EXPECT_EQ(srv.Request(0), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(c.cli->DocName(), "document.htm");

  // A user without a password still sends the colon; the URL's user
  // replaces the property.
  Client d;
  d.cli->Username = "other";
  d.cli->Password = "";
  ASSERT_TRUE(d.Get("http://u@" + srv.HostPort() + "/x/"));
  ASSERT_TRUE(srv.WaitForFinished(2, 5000));
  EXPECT_EQ(srv.Request(1), "GET /x/ HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic dTo=\r\n\r\n");
  EXPECT_EQ(d.cli->Username, "u");
  EXPECT_EQ(d.cli->DocName(), "x");
}

TEST(HttpCliRequest, ProxyGetsTheAbsoluteTargetAndItsOwnCredentials) {
  ScriptedHttpServer proxy;
  proxy.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\nvia proxy"));
  proxy.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  Client c;
  c.cli->Proxy = "127.0.0.1";
  c.cli->ProxyPort = std::to_string(proxy.Port());
  c.cli->ProxyUsername = "pu";
  c.cli->ProxyPassword = "pp";
  c.cli->Username = "su";
  c.cli->Password = "sp";
  ASSERT_TRUE(c.Get("http://www.example.test:8080/a?b=c"));
  ASSERT_TRUE(proxy.WaitForFinished(1, 5000));
  EXPECT_EQ(proxy.Request(0),
            "GET http://www.example.test:8080/a?b=c HTTP/1.0\r\n"
            "Host: www.example.test\r\n"
            "Authorization: Basic c3U6c3A=\r\n"
            "Proxy-Authorization: Basic cHU6cHA=\r\n"
            "\r\n");
  EXPECT_EQ(c.cli->ConnectHost(), "127.0.0.1");
  EXPECT_EQ(c.body, "via proxy");

  // A port inside Proxy wins over ProxyPort; a URL without protocol counts as http.
  Client d;
  d.cli->Proxy = proxy.HostPort();
  d.cli->ProxyPort = "1";
  ASSERT_TRUE(d.Get("www.example.test/x"));
  ASSERT_TRUE(proxy.WaitForFinished(2, 5000));
  EXPECT_EQ(proxy.Request(1), "GET http://www.example.test/x HTTP/1.0\r\nHost: www.example.test\r\n\r\n");
}

TEST(HttpCliRequest, LineBreaksInSettingsNeverBecomeHeaderLines) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n"));
  Client c;
  c.cli->Agent = std::string("A\r\nX-Evil: 1\0Z", 15);
  c.cli->Username = "u\r\nX-Evil: 2";
  c.cli->Password = "p";
  c.cli->Cookie = "a=1\r\nX-Evil: 3\nCookie: b=2\r\nCookie: c=3";
  ASSERT_TRUE(c.Get(srv.Url("/p\r\nX-Evil: 4")));
  ASSERT_TRUE(srv.WaitForFinished(1, 5000));
  EXPECT_EQ(srv.Request(0),
            "GET /pX-Evil: 4 HTTP/1.0\r\n"
            "User-Agent: AX-Evil: 1Z\r\n" +
                Hdr("127.0.0.1") + "Authorization: Basic " + Base64Encode("u\r\nX-Evil: 2:p") +
                "\r\n"
                "Cookie: a=1X-Evil: 3Cookie: b=2\r\n"
                "Cookie: c=3\r\n"
                "\r\n");

  // The proxy setting is cleaned the same way.
  Client d;
  d.cli->Proxy = "127.0.0.1\r\n:" + std::to_string(srv.Port());
  ASSERT_TRUE(d.Get("http://h.example.test\r\n/x"));
  ASSERT_TRUE(srv.WaitForFinished(2, 5000));
  EXPECT_EQ(srv.Request(1), "GET http://h.example.test/x HTTP/1.0\r\nHost: h.example.test\r\n\r\n");
}

TEST(HttpCliRequest, PostSendsTheStreamInChunksAfterTheHeader) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\nposted"));
  Client c;
  plat::TMemoryStream body;
  std::string data;
  for (int i = 0; i < 20000; ++i) data += static_cast<char>('a' + i % 26);
  body.Write(data.data(), static_cast<std::int64_t>(data.size()));
  body.SetPosition(0);
  c.cli->SendStream = &body;
  std::vector<int> sent;
  int sendEnd = 0, sendBegin = 0;
  c.cli->OnSendBegin = [&](TObject*) { ++sendBegin; };
  c.cli->OnSendData = [&](TObject*, const void*, int n) { sent.push_back(n); };
  c.cli->OnSendEnd = [&](TObject*) { ++sendEnd; };
  c.Start(srv.Url("/form"), httpPost);
  ASSERT_TRUE(c.Wait());
  ASSERT_TRUE(srv.WaitForFinished(1, 5000));
  EXPECT_EQ(srv.Request(0),
            "POST /form HTTP/1.0\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n" +
                Hdr("127.0.0.1") + "Content-Length: 20000\r\n\r\n" + data);
  EXPECT_EQ(sent, (std::vector<int>{8193, 8193, 3614}));
  EXPECT_EQ(sendBegin, 1);
  EXPECT_EQ(sendEnd, 1);
  EXPECT_EQ(c.cli->SentByteCount(), 20000);
  EXPECT_EQ(c.body, "posted");
  EXPECT_EQ(c.doneType, httpPost);
}

TEST(HttpCliRequest, HeadAndMisuse) {
  ScriptedHttpServer srv;
  srv.Add(Script().ReadRequest().Delay(100).Send("HTTP/1.0 200 OK\r\n\r\n").Close());
  Client c;
  try {
    c.cli->StartPost();
    FAIL() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode, 2);
    EXPECT_EQ(e.Message, "HTTP component has nothing to post");
  }
  EXPECT_EQ(c.cli->State(), httpIdle);
  c.Start(srv.Url("/h"), httpHead);
  try {
    c.cli->StartGet();
    FAIL() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode, 1);
    EXPECT_EQ(e.Message, "HTTP component is busy");
  }
  ASSERT_TRUE(c.Wait());
  PumpFor(50);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.doneType, httpHead);
  EXPECT_EQ(c.cli->StatusCode(), 200);
  ASSERT_TRUE(srv.WaitForFinished(1, 5000));
  EXPECT_EQ(srv.Request(0), "HEAD /h HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

// ---- the response ---------------------------------------------------------------------

struct StatusCase {
  const char* response;
  int status;
  const char* reason;
  std::uint16_t error;
  const char* body;
};

TEST(HttpCliResponse, StatusLineForms) {
  const StatusCase cases[] = {
      {"HTTP/1.0 200 OK\r\n\r\nb", 200, "OK", 0, "b"},
      {"HTTP/1.1 301 Moved Permanently\r\n\r\nb", 301, "Moved Permanently", 0, "b"},
      {"HTTP/1.1 204\r\n\r\n", 204, "", 0, ""},
      {"http/1.0 200 OK\r\n\r\nb", 0, "", 0, "b"},
      {"HTTP/2 200\r\n\r\nb", 0, "", 0, "b"},
      {"HTTP/1.0 2x0 OK\r\n\r\nb", 0, "'2x0' is not a valid integer value", httperrBadResponse, ""},
      {"HTTP/1.0 200 OK\r\nContent-Length: ten\r\n\r\nb", 200, "'ten' is not a valid integer value",
       httperrBadResponse, ""},
      {"HTTP/1.0\r\n\r\n", 0, "'' is not a valid integer value", httperrBadResponse, ""},
      {"", 0, "", 0, ""},
  };
  ScriptedHttpServer srv;
  for (const StatusCase& k : cases) srv.Add(Script::Respond(k.response));
  for (const StatusCase& k : cases) {
    Client c;
    ASSERT_TRUE(c.Get(srv.Url())) << k.response;
    EXPECT_EQ(c.cli->StatusCode(), k.status) << k.response;
    EXPECT_EQ(c.cli->ReasonPhrase(), k.reason) << k.response;
    EXPECT_EQ(c.error, k.error) << k.response;
    EXPECT_EQ(c.body, k.body) << k.response;
  }
}

TEST(HttpCliResponse, HeaderValuesAndEventOrder) {
  ScriptedHttpServer srv;
  srv.Add(Script()
              .ReadRequest()
              .Send("HTTP/1.0 200 OK\nContent-Type: Text/HTML; Charset=X\r\nContent-Length:10\r\n"
                    "WWW-Authenticate: Basic realm=\"r\"\r\nX-Other: y\r\n\r\n0123456789")
              .Delay(50)
              .Send("ABCDEFGHIJ")
              .Close());
  Client c;
  ASSERT_TRUE(c.Get(srv.Url("/setup.exe")));
  EXPECT_EQ(c.cli->ContentType(), "text/html; charset=x");
  EXPECT_EQ(c.cli->ContentLength(), 10);
  EXPECT_EQ(c.cli->RcvdByteCount(), 20);
  EXPECT_EQ(c.body, "0123456789ABCDEFGHIJ");
  ASSERT_EQ(c.cli->WWWAuthenticate()->Count(), 1);
  EXPECT_EQ(c.cli->WWWAuthenticate()->Strings(0), "Basic realm=\"r\"");
  EXPECT_EQ(c.cli->DocName(), "setup.exe");  // content type is not exactly text/html
  ASSERT_EQ(c.cli->RcvdHeader()->Count(), 5);
  EXPECT_EQ(c.cli->RcvdHeader()->Strings(0), "HTTP/1.0 200 OK");
  const std::vector<std::string> expected = {
      "SessionConnected",
      "RequestHeaderBegin",
      "RequestHeaderEnd",
      "HeaderBegin",
      "HeaderData HTTP/1.0 200 OK",
      "HeaderData Content-Type: Text/HTML; Charset=X",
      "HeaderData Content-Length:10",
      "HeaderData WWW-Authenticate: Basic realm=\"r\"",
      "HeaderData X-Other: y",
      "HeaderEnd",
      "DocBegin",
      "DocData",
      "DocData",
      "DocEnd",
      "RequestDone",
  };
  EXPECT_EQ(c.events, expected);
  EXPECT_EQ(c.chunkSizes, (std::vector<int>{10, 10}));
}

TEST(HttpCliResponse, ExeNameFollowsTheContentType) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>"));
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nMZ"));
  Client a;
  ASSERT_TRUE(a.Get(srv.Url("/dl/setup.exe")));
  EXPECT_EQ(a.cli->DocName(), "setup.htm");
  Client b;
  ASSERT_TRUE(b.Get(srv.Url("/dl/setup.exe")));
  EXPECT_EQ(b.cli->DocName(), "setup.exe");
}

TEST(HttpCliResponse, BodyBytesComeUnchangedWhateverTheyHold) {
  std::string binary("\0\r\n\0\nHTTP/1.0 500 X\r\n\xff\x00z", 22);
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\n" + binary));
  Client c;
  plat::TMemoryStream out;
  c.cli->RcvdStream = &out;
  ASSERT_TRUE(c.Get(srv.Url()));
  EXPECT_EQ(c.body, binary);
  EXPECT_EQ(out.Data(), binary);
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_EQ(c.error, 0);
}

TEST(HttpCliResponse, LargeBodyAfterAHeaderLongerThanOneReadArrivesWhole) {
  // A header line of 6000 bytes spans several reads; the 300 KB body with
  // every byte value comes through in chunks of at most 8192 bytes, and two
  // clients reading at once do not mix their bytes.
  std::string body;
  for (int i = 0; i < 300 * 1024; ++i) body.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));
  std::string longValue(6000, 'v');
  std::string response = "HTTP/1.0 200 OK\r\nX-Long: " + longValue + "\r\n\r\n";
  ScriptedHttpServer srv;
  srv.Add(Script::Respond(response + body));
  std::string other = body.substr(1000) + "tail";
  srv.Add(Script::Respond(response + other));
  Client a, b;
  plat::TMemoryStream outA, outB;
  a.cli->RcvdStream = &outA;
  b.cli->RcvdStream = &outB;
  a.Start(srv.Url());
  b.Start(srv.Url());
  ASSERT_TRUE(PumpUntil([&] { return a.done > 0 && b.done > 0; }, 10000));
  const std::string* first = &a.body;
  const std::string* second = &b.body;
  if (a.body.size() != body.size()) std::swap(first, second);  // accept order may differ
  EXPECT_TRUE(*first == body);
  EXPECT_TRUE(*second == other);
  EXPECT_TRUE(outA.Data() == a.body);
  EXPECT_TRUE(outB.Data() == b.body);
  for (int n : a.chunkSizes) EXPECT_LE(n, 8192);
  bool sawLong = false;
  for (const auto& e : a.events) sawLong |= e == "HeaderData X-Long: " + longValue;
  EXPECT_TRUE(sawLong);
  EXPECT_EQ(a.error, 0);
  EXPECT_EQ(b.error, 0);
}

TEST(HttpCliResponse, HeaderlessResponseIsBodyWithItsLineEnds) {
  const std::string page = "<HtMl>\r\n<body>\nline\r\n</body></html>";
  ScriptedHttpServer srv;
  srv.Add(Script().ReadRequest().Send(page.substr(0, 20)).Delay(50).Send(page.substr(20)).Close());
  Client c;
  ASSERT_TRUE(c.Get(srv.Url()));
  EXPECT_EQ(c.body, page);
  EXPECT_EQ(c.cli->StatusCode(), 0);
  EXPECT_EQ(c.cli->ContentType(), "text/html");
  EXPECT_EQ(c.cli->RcvdHeader()->Count(), 0);
  const std::vector<std::string> expected = {"HeaderBegin", "HeaderEnd", "DocBegin", "DocData",
                                             "DocData",     "DocData",   "DocEnd",   "RequestDone"};
  EXPECT_EQ(c.ResponseEvents(), expected);
}

TEST(HttpCliResponse, ErrorStatusClosesAfterItsLine) {
  ScriptedHttpServer srv;
  srv.Add(Script().ReadRequest().Send("HTTP/1.1 404 Not Found\r\n").Delay(300).Send("X: y\r\n\r\nbody").Close());
  Client c;
  ASSERT_TRUE(c.Get(srv.Url()));
  EXPECT_EQ(c.cli->StatusCode(), 404);
  EXPECT_EQ(c.cli->ReasonPhrase(), "Not Found");
  EXPECT_EQ(c.error, 0);
  const std::vector<std::string> expected = {"HeaderBegin", "HeaderData HTTP/1.1 404 Not Found", "RequestDone"};
  EXPECT_EQ(c.ResponseEvents(), expected);
}

TEST(HttpCliResponse, ServerThatClosesOrResetsWithoutAnswer) {
  ScriptedHttpServer srv;
  srv.Add(Script().ReadRequest().Close());
  srv.Add(Script().ReadRequest().Reset());
  for (int i = 0; i < 2; ++i) {
    Client c;
    ASSERT_TRUE(c.Get(srv.Url())) << i;
    EXPECT_EQ(c.cli->StatusCode(), 0) << i;
    EXPECT_EQ(c.body, "") << i;
    PumpFor(20);
    EXPECT_EQ(c.done, 1) << i;
  }
}

// ---- responses that break the parser end the request ----------------------------------

TEST(HttpCliResponse, OverlongOrEndlessHeadersEndTheRequestWithAnError) {
  std::string endless = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < THttpCli::MaxHeaderLines + 10; ++i) endless += "X-Filler: " + std::to_string(i) + "\r\n";
  struct Case {
    std::string response;
    std::uint16_t error;
    int status;
  } cases[] = {
      {std::string(9000, 'a'), httperrLineTooLong, 0},
      {"HTTP/1.0 200 OK\r\nX: " + std::string(8300, 'b') + "\r\n\r\n", httperrLineTooLong, 200},
      {std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\nbody", 30), httperrLineTooLong, 200},
      {endless, httperrHeaderTooLong, 200},
  };
  ScriptedHttpServer srv;
  // The server keeps its connection open: only the client can end these.
  for (const Case& k : cases) srv.Add(Script().ReadRequest().Send(k.response).Hold());
  for (const Case& k : cases) {
    Client c;
    ASSERT_TRUE(c.Get(srv.Url())) << k.error;
    EXPECT_EQ(c.error, k.error);
    EXPECT_EQ(c.cli->StatusCode(), k.status);
    EXPECT_EQ(c.body, "");
    EXPECT_LE(c.cli->RcvdHeader()->Count(), THttpCli::MaxHeaderLines);
  }
}

// A stream that takes nothing.
class FullStream : public plat::TStream {
 public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t, plat::TSeekOrigin) override { return 0; }
  void SetSize(std::int64_t) override {}
};

TEST(HttpCliResponse, FailingReceiveStreamEndsTheRequest) {
  ScriptedHttpServer srv;
  srv.Add(Script().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nbody").Hold());
  Client c;
  FullStream full;
  c.cli->RcvdStream = &full;
  ASSERT_TRUE(c.Get(srv.Url()));
  EXPECT_EQ(c.error, httperrBadResponse);
  EXPECT_EQ(c.cli->StatusCode(), 200);
  PumpFor(20);
  EXPECT_EQ(c.done, 1);
}

}  // namespace

namespace {

// The connection's end ends the response: a last line that never got its
// line feed is not handled, whatever it holds.
TEST(HttpCliResponse, LastLineWithoutLineEndStaysUnhandled) {
  struct Case {
    const char* response;
    int status;
    const char* reason;
    int headerLines;
    std::vector<std::string> events;
  } cases[] = {
      {"HTTP/1.0 204 No Content", 0, "", 0, {"RequestDone"}},
      {"<html>tiny</html>", 0, "", 0, {"RequestDone"}},
      {"HTTP/1.0 200 OK\r\nX-Last: y", 200, "OK", 1,
       {"HeaderBegin", "HeaderData HTTP/1.0 200 OK", "RequestDone"}},
  };
  ScriptedHttpServer srv;
  for (const Case& k : cases) srv.Add(Script::Respond(k.response));
  for (const Case& k : cases) {
    Client c;
    ASSERT_TRUE(c.Get(srv.Url())) << k.response;
    EXPECT_EQ(c.cli->StatusCode(), k.status) << k.response;
    EXPECT_EQ(c.cli->ReasonPhrase(), k.reason) << k.response;
    EXPECT_EQ(c.cli->RcvdHeader()->Count(), k.headerLines) << k.response;
    EXPECT_EQ(c.error, 0) << k.response;
    EXPECT_EQ(c.body, "") << k.response;
    EXPECT_EQ(c.ResponseEvents(), k.events) << k.response;
  }
}

// OnDocEnd comes before the end of the request is queued: a handler that
// pumps messages does not see the request finish under it, and one that
// raises still lets the request end once.
TEST(HttpCliResponse, DocEndComesBeforeTheEndIsQueued) {
  ScriptedHttpServer srv;
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\nbody"));
  srv.Add(Script::Respond("HTTP/1.0 200 OK\r\n\r\nbody"));
  Client c;
  THttpState stateAfterPump = httpIdle;
  int doneAfterPump = -1;
  c.cli->OnDocEnd = [&](TObject*) {
    c.events.push_back("DocEnd");
    PumpFor(30);
    stateAfterPump = c.cli->State();
    doneAfterPump = c.done;
  };
  ASSERT_TRUE(c.Get(srv.Url()));
  EXPECT_EQ(doneAfterPump, 0);
  EXPECT_EQ(stateAfterPump, httpReadingBody);
  EXPECT_EQ(c.body, "body");

  Client d;
  d.cli->OnDocEnd = [&](TObject*) { throw plat::Exception("doc end failed"); };
  ASSERT_TRUE(d.Get(srv.Url()));
  PumpFor(30);
  EXPECT_EQ(d.done, 1);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.cli->State(), httpIdle);
}

}  // namespace

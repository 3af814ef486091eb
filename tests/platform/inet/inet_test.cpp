// The Internet-library stand-in against a scripted server and the real
// test peers: status notifications, error codes, cancels from another
// thread and handle rules.
#include "tests/platform/inet/inet_helpers.h"

// ---- connect ----------------------------------------------------------------------

TEST(InetConnect, StatusSequenceAndBannerPerAttempt) {
  ScriptServer server([](ScriptConn& c, int) {
    c.Send("120 soon\r\n220-Welcome\n220 ready\n");  // LF only, 120 first
    EXPECT_EQ(c.ReadLine(), "USER bob");
    c.Send("331 Password\r\n");
    EXPECT_EQ(c.ReadLine(), "PASS pw");
    c.Send("230-Hello\r\n230 Logged in\r\n");
    c.WaitClosed();
  });
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), "bob", "pw", rec, 0, "localhost");
  ASSERT_NE(c, 0u) << GetLastError();
  std::vector<DWORD> expected = {INTERNET_STATUS_RESOLVING_NAME, INTERNET_STATUS_NAME_RESOLVED};
  // localhost may resolve to ::1 first; every address tried shows up.
  auto statuses = rec.Statuses();
  ASSERT_GE(statuses.size(), 9u);
  EXPECT_EQ(statuses[0], INTERNET_STATUS_RESOLVING_NAME);
  EXPECT_EQ(rec.events[0].text, "localhost");
  EXPECT_EQ(statuses[1], INTERNET_STATUS_NAME_RESOLVED);
  std::size_t i = 2;
  while (i < statuses.size() && statuses[i] == INTERNET_STATUS_CONNECTING_TO_SERVER) ++i;
  ASSERT_GT(i, 2u);
  ASSERT_LT(i, statuses.size());
  EXPECT_EQ(statuses[i++], INTERNET_STATUS_CONNECTED_TO_SERVER);
  // 120, 220 (multi-line), USER, 331, PASS, 230.
  std::vector<DWORD> rest(statuses.begin() + static_cast<long>(i), statuses.end());
  EXPECT_EQ(rest, (std::vector<DWORD>{41, 41, 31, 41, 31, 41}));
  for (auto& e : rec.events) EXPECT_EQ(e.handle, c);
  EXPECT_EQ(LastResponse(), "120 soon\r\n220-Welcome\r\n220 ready\r\n230-Hello\r\n230 Logged in\r\n");
  rec.events.clear();
  EXPECT_TRUE(InternetCloseHandle(c));
  EXPECT_EQ(rec.Statuses(), (std::vector<DWORD>{INTERNET_STATUS_CLOSING_CONNECTION}));
}

TEST(InetConnect, ErrorCodes) {
  // Each case: what the server does at login, and the error it gives.
  struct Case {
    const char* what;
    std::function<void(ScriptConn&)> script;
    DWORD error;
  };
  const Case cases[] = {
      {"user refused", [](ScriptConn& c) { c.Send("220 x\r\n"); c.ReadLine(); c.Send("530 no such user\r\n"); },
       ERROR_INTERNET_INCORRECT_USER_NAME},
      {"password refused",
       [](ScriptConn& c) {
         c.Send("220 x\r\n");
         c.ReadLine();
         c.Send("331 pw\r\n");
         c.ReadLine();
         c.Send("530 wrong\r\n");
       },
       ERROR_INTERNET_INCORRECT_PASSWORD},
      {"account wanted",
       [](ScriptConn& c) {
         c.Send("220 x\r\n");
         c.ReadLine();
         c.Send("331 pw\r\n");
         c.ReadLine();
         c.Send("332 account?\r\n");
       },
       ERROR_INTERNET_LOGIN_FAILURE},
      {"busy greeting", [](ScriptConn& c) { c.Send("421 too many\r\n"); }, ERROR_INTERNET_LOGIN_FAILURE},
      {"over-long greeting", [](ScriptConn& c) { c.Send("220 " + std::string(20000, 'x') + "\r\n"); },
       ERROR_INTERNET_LOGIN_FAILURE},
      {"garbage greeting", [](ScriptConn& c) { c.Send("HTTP/1.0 200 OK\r\n"); }, ERROR_INTERNET_LOGIN_FAILURE},
      {"drop at greeting", [](ScriptConn&) {}, ERROR_INTERNET_LOGIN_FAILURE},
      {"silent greeting", [](ScriptConn& c) { c.WaitClosed(testsupport::kPatienceMs); }, ERROR_INTERNET_TIMEOUT},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ScriptServer server([&](ScriptConn& c, int) {
      k.script(c);
      if (std::strcmp(k.what, "drop at greeting") != 0) c.WaitClosed();
    });
    Recorder rec;
    Session s;
    s.SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 300);
    std::int64_t t0 = NowMs();
    EXPECT_EQ(s.Connect(server.Port(), "bob", "pw", rec), 0u);
    EXPECT_EQ(GetLastError(), k.error);
    EXPECT_LT(NowMs() - t0, 10000) << "the receive time-out set was not used";
  }
}

TEST(InetConnect, RefusedPortTriesEveryAttempt) {
  Recorder rec;
  Session s;
  s.SetOption(INTERNET_OPTION_CONNECT_RETRIES, 3);
  testsupport::RefusingPort refusing;
  EXPECT_EQ(s.Connect(refusing.Port(), "u", "p", rec), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
  auto st = rec.Statuses();
  EXPECT_EQ(std::count(st.begin(), st.end(), INTERNET_STATUS_RESOLVING_NAME), 3);
  EXPECT_EQ(std::count(st.begin(), st.end(), INTERNET_STATUS_CONNECTING_TO_SERVER), 3);
  EXPECT_EQ(std::count(st.begin(), st.end(), INTERNET_STATUS_CONNECTED_TO_SERVER), 0);
}

TEST(InetConnect, StalledConnectTimesOut) {
  ftptest::StalledListener stalled;
  Recorder rec;
  Session s;
  s.SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 200);
  s.SetOption(INTERNET_OPTION_CONNECT_RETRIES, 2);
  std::int64_t t0 = NowMs();
  EXPECT_EQ(s.Connect(stalled.Port(), "u", "p", rec), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
  EXPECT_LT(NowMs() - t0, 10000) << "the connect time-out set was not used";
  // The wait told its caller it was still waiting.
  auto st = rec.Statuses(true);
  EXPECT_GE(std::count(st.begin(), st.end(), INTERNET_STATUS_WAITING), 2);
}

TEST(InetConnect, UnresolvableNames) {
  for (const char* host : {"bad..host", "no-such-host.invalid", "", "white space"}) {
    SCOPED_TRACE(host);
    Recorder rec;
    Session s;
    s.SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 30000);  // a slow resolver still answers
    EXPECT_EQ(s.Connect(21, "u", "p", rec, 0, host), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_NAME_NOT_RESOLVED);
    EXPECT_EQ(rec.Statuses(), (std::vector<DWORD>{INTERNET_STATUS_RESOLVING_NAME}));
  }
}

TEST(InetConnect, LineBreaksInLoginRefusedBeforeConnecting) {
  ScriptServer server([](ScriptConn& c, int) { c.AcceptLogin(); });
  Recorder rec;
  Session s;
  EXPECT_EQ(s.Connect(server.Port(), "bob\r\nDELE x", "pw", rec), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(s.Connect(server.Port(), "bob", "pw\nx", rec), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rec.Size(), 0u);
  EXPECT_EQ(server.Accepted(), 0);
}

// ---- cancel --------------------------------------------------------------------------

TEST(InetCancel, CloseFromAnotherThreadEndsAStalledLogin) {
  ScriptServer server([](ScriptConn& c, int) { c.WaitClosed(testsupport::kPatienceMs); });  // never greets
  Recorder rec;
  Session s;
  // Closed once the login waits for the greeting (which takes a minute to
  // time out).
  testsupport::Signal connected;
  rec.hook = [&](DWORD status, DWORD) {
    if (status == INTERNET_STATUS_CONNECTED_TO_SERVER) connected.Set();
  };
  std::thread closer([&] {
    connected.Wait();
    InternetCloseHandle(s.h);
  });
  std::int64_t t0 = NowMs();
  EXPECT_EQ(s.Connect(server.Port(), "u", "p", rec), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
  EXPECT_LT(NowMs() - t0, 10000);
  closer.join();
  s.h = 0;
  EXPECT_EQ(OpenHandleCount(), 0u);
}

TEST(InetCancel, CloseFromACallbackThreadMidUpload) {
  std::string received;
  ScriptServer server([&](ScriptConn& c, int) {
    c.AcceptLogin();
    EXPECT_EQ(c.ReadLine(), "TYPE I");
    c.Send("200 ok\r\n");
    EXPECT_EQ(c.ReadLine(), "PASV");
    // A data port that accepts but never reads: the upload stalls. The
    // address in the reply is not ours; the client must ignore it.
    testsupport::PassiveListener data;
    c.Send(data.PasvReply("10.9.8.7"));
    EXPECT_TRUE(data.Accept());
    EXPECT_EQ(c.ReadLine().substr(0, 5), "STOR ");
    c.Send("150 go\r\n");
    c.WaitClosed(testsupport::kPatienceMs);
  });
  testsupport::TempFolder tmp;
  const std::string local = tmp.Top() + "/big.bin";
  testsupport::WriteFile(local, std::string(8 << 20, 'x'));
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), "u", "p", rec, INTERNET_FLAG_PASSIVE);
  ASSERT_NE(c, 0u);
  std::atomic<bool> closed{false};
  std::atomic<int> afterClose{0};
  DWORD sentData = 0;
  rec.hook = [&](DWORD status, DWORD count) {
    if (closed) {
      afterClose++;
      return;
    }
    if (status == INTERNET_STATUS_REQUEST_SENT) sentData += count;
    if (sentData > (1u << 20)) {
      // As the abort worker does: close from another thread and wait for it.
      std::thread([&] { InternetCloseHandle(s.h); }).join();
      closed = true;
    }
  };
  std::int64_t t0 = NowMs();
  EXPECT_FALSE(FtpPutFileA(c, local.c_str(), "/big.bin", FTP_TRANSFER_TYPE_BINARY, reinterpret_cast<DWORD_PTR>(&rec)));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
  EXPECT_LT(NowMs() - t0, 10000);
  EXPECT_TRUE(closed);
  // The close itself reports closing; the cancelled call says nothing more.
  EXPECT_LE(afterClose.load(), 1);
  s.h = 0;
  EXPECT_EQ(OpenHandleCount(), 0u);
  // Closed handles are unknown now.
  EXPECT_FALSE(FtpSetCurrentDirectoryA(c, "/"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(InetHandles, NullUnknownAndWrongKind) {
  const HINTERNET bad[] = {0, 123456789};
  for (HINTERNET h : bad) {
    SCOPED_TRACE(h);
    char buf[16];
    DWORD len = sizeof buf;
    WIN32_FIND_DATAA fd;
    DWORD v = 1;
    EXPECT_FALSE(FtpSetCurrentDirectoryA(h, "/"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FtpGetCurrentDirectoryA(h, buf, &len));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FtpCreateDirectoryA(h, "x"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FtpRemoveDirectoryA(h, "x"));
    EXPECT_FALSE(FtpDeleteFileA(h, "x"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FtpPutFileA(h, "/etc/hostname", "x", 2, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(FtpFindFirstFileA(h, "*.*", &fd, 0, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(InternetFindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(InternetCloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(InternetSetOptionA(h, INTERNET_OPTION_CONNECT_TIMEOUT, &v, 4));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(InternetSetStatusCallback(h, nullptr), INTERNET_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(InternetConnectA(h, "127.0.0.1", 21, "", "", 1, 0, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  Session s;
  EXPECT_FALSE(FtpSetCurrentDirectoryA(s.h, "/"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
}

TEST(InetHandles, OptionsInheritedAndQueried) {
  Session s;
  DWORD v = 0, len = sizeof v;
  ASSERT_TRUE(InternetQueryOptionA(s.h, INTERNET_OPTION_CONNECT_TIMEOUT, &v, &len));
  EXPECT_EQ(v, 60000u);
  s.SetOption(INTERNET_OPTION_CONNECT_RETRIES, 7);
  ASSERT_TRUE(InternetQueryOptionA(s.h, INTERNET_OPTION_CONNECT_RETRIES, &v, &len));
  EXPECT_EQ(v, 7u);
  len = 2;
  EXPECT_FALSE(InternetQueryOptionA(s.h, INTERNET_OPTION_CONNECT_RETRIES, &v, &len));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(len, 4u);
  v = 1;
  EXPECT_FALSE(InternetSetOptionA(s.h, 999, &v, 4));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_OPTION);
}

TEST(InetHandles, ProxySessionRefusesFtp) {
  HINTERNET h = InternetOpenA("t", INTERNET_OPEN_TYPE_PROXY, "proxy:8080", "", 0);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(InternetConnectA(h, "127.0.0.1", 21, "u", "p", INTERNET_SERVICE_FTP, 0, 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_PROXY_REQUEST);
  InternetCloseHandle(h);
}


// The socket's SOCKS layer against a scripted SOCKS server on 127.0.0.1:
// the bytes of every message, replies that arrive in pieces, every refusal
// of both versions, and the data that come right behind the reply.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tests/httpclient/socks_peer.h"

using namespace wstest;
using sockstest::B;
using sockstest::SocksPeer;
using Log = std::vector<std::string>;

namespace {

const char* AuthStateName(TSocksAuthState s) {
  static const char* names[] = {"started", "succeeded", "failed", "not required"};
  return names[s];
}

// The socket's events, with the SOCKS ones, as short texts.
struct SocksRecorder : Recorder {
  void AttachSocks(TWSocket& s, bool readData = true) {
    Attach(s, readData);
    s.OnSocksConnected = [this](plat::TObject*, std::uint16_t e) { log.push_back("socks connected " + std::to_string(e)); };
    s.OnSocksError = [this](plat::TObject*, int e, const std::string& m) {
      log.push_back("socks error " + std::to_string(e) + " " + m);
    };
    s.OnSocksAuthState = [this](plat::TObject*, TSocksAuthState a) { log.push_back(std::string("auth ") + AuthStateName(a)); };
  }
  // Without the state changes and send notices, which the layer leaves alone.
  Log Events() const {
    Log out;
    for (const auto& l : log)
      if (l.rfind("state ", 0) != 0 && l.rfind("sent ", 0) != 0) out.push_back(l);
    return out;
  }
};

std::unique_ptr<TWSocket> SocksClient(const SocksPeer& peer, const std::string& level,
                                      const std::string& addr = "localhost") {
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr(addr);
  s->SetPort("8080");
  s->SetProto("tcp");
  s->SetSocksServer("127.0.0.1");
  s->SetSocksPort(peer.Port());
  s->SetSocksLevel(level);
  return s;
}

// Starts the peer on a script and a client of the level against it, with
// credentials at hand for the routes that ask for them.
std::unique_ptr<TWSocket> PlayScript(SocksPeer& peer, const std::function<void(SocksPeer&)>& script,
                                     const std::string& level) {
  script(peer);
  peer.Start();
  auto s = SocksClient(peer, level, level == "4" ? "127.0.0.1" : "localhost");
  s->SetSocksUsercode("user");
  s->SetSocksPassword("pass");
  return s;
}

const std::string kPort8080 = B({0x1f, 0x90});
const std::string kGranted5 = B({5, 0, 0, 1, 127, 0, 0, 1, 0x1f, 0x90});
const std::string kGranted4 = B({0, 90, 0, 0, 0, 0, 0, 0});

std::string Request5(const std::string& addr) { return B({5, 1, 0, 3, static_cast<int>(addr.size())}) + addr + kPort8080; }
std::string SubNegotiation(const std::string& user, const std::string& pass) {
  return B({1, static_cast<int>(user.size())}) + user + B({static_cast<int>(pass.size())}) + pass;
}

// The usual roads up to the reply under test.
void ToGreetingReply(SocksPeer& p, const std::string& reply) { p.Expect(3).Reply(reply); }
void ToAuthReply(SocksPeer& p, const std::string& reply) {
  p.Expect(3).Reply(B({5, 2})).Expect(SubNegotiation("user", "pass").size()).Reply(reply);
}
void ToConnectReply5(SocksPeer& p, const std::string& reply) {
  p.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size()).Reply(reply);
}
void ToConnectReply4(SocksPeer& p, const std::string& reply) { p.Expect(9).Reply(reply); }

// ---- the negotiation, byte for byte -----------------------------------------------

struct ExactCase {
  const char* name;
  std::string level, addr, user, pass;
  bool authenticate;
  std::string greetingReply;  // level 5 only
  std::string expected;       // everything the client sends
  Log events;
};

TEST(SocksNegotiation, MessagesAndEventsOnSuccess) {
  const std::string u255(255, 'u'), p255(255, 'p'), a255(251, 'a');
  const std::string name255 = a255 + ".com";
  const Log plain = {"socks connected 0", "connected 0", "data 0"};
  const Log withAuth = {"socks connected 0", "auth started", "auth succeeded", "connected 0", "data 0"};
  const std::vector<ExactCase> cases = {
      {"level 5, no authentication", "5", "localhost", "", "", false, B({5, 0}),
       B({5, 1, 0}) + Request5("localhost"), plain},
      {"level 5, a dotted destination still goes as a name", "5", "127.0.0.1", "", "", false, B({5, 0}),
       B({5, 1, 0}) + Request5("127.0.0.1"), plain},
      {"level 5 with user code and password", "5", "localhost", "user", "pass", true, B({5, 2}),
       B({5, 1, 2}) + SubNegotiation("user", "pass") + Request5("localhost"), withAuth},
      {"level 5, fields of 255 bytes", "5", name255, u255, p255, true, B({5, 2}),
       B({5, 1, 2}) + SubNegotiation(u255, p255) + Request5(name255), withAuth},
      {"level 5, authentication offered but not required", "5", "localhost", "user", "pass", true, B({5, 0}),
       B({5, 1, 2}) + Request5("localhost"), {"socks connected 0", "auth not required", "connected 0", "data 0"}},
      {"level 5, authentication chosen by the server only", "5", "localhost", "user", "pass", false, B({5, 2}),
       B({5, 1, 0}) + SubNegotiation("user", "pass") + Request5("localhost"), withAuth},
      {"level 4, destination resolved here", "4", "localhost", "fred", "", false, "",
       B({4, 1, 0x1f, 0x90, 127, 0, 0, 1}) + "fred" + B({0}), plain},
      {"level 4 without user code", "4", "127.0.0.1", "", "", false, "", B({4, 1, 0x1f, 0x90, 127, 0, 0, 1, 0}), plain},
      {"level 4A, destination as a name", "4a", "localhost", "fred", "", false, "",
       B({4, 1, 0x1f, 0x90, 0, 0, 0, 1}) + "fred" + B({0}) + "localhost" + B({0}), plain},
  };
  for (const ExactCase& c : cases) {
    SCOPED_TRACE(c.name);
    SocksPeer peer;
    if (c.level == "5") {
      peer.Expect(3).Reply(c.greetingReply);
      if (c.greetingReply == B({5, 2})) peer.Expect(SubNegotiation(c.user, c.pass).size()).Reply(B({1, 0}));
      peer.Expect(Request5(c.addr).size()).Reply(kGranted5);
    } else {
      peer.Expect(c.expected.size()).Reply(kGranted4);
    }
    peer.Start();
    auto s = SocksClient(peer, c.level, c.addr);
    s->SetSocksUsercode(c.user);
    s->SetSocksPassword(c.pass);
    s->SetSocksAuthentication(c.authenticate ? socksAuthenticateUsercode : socksNoAuthentication);
    SocksRecorder r;
    r.AttachSocks(*s);
    s->Connect();
    EXPECT_EQ(s->State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("data 0") || r.Has("closed 0"); }));
    PumpFor(30);
    EXPECT_EQ(r.Events(), c.events);
    EXPECT_EQ(s->State(), wsConnected);
    s->Close();
    ASSERT_TRUE(PumpUntil([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Received(), c.expected);
  }
}

TEST(SocksNegotiation, RepliesInPiecesOrWithMoreBehindThem) {
  const std::string boundName = B({5, 0, 0, 3, 4}) + "host" + B({0, 80});
  struct SplitCase {
    const char* name;
    std::string level;
    std::function<void(SocksPeer&)> script;
    Log events;
  };
  const Log plain = {"socks connected 0", "connected 0", "data 0"};
  const std::vector<SplitCase> cases = {
      {"greeting reply one byte at a time", "5",
       [&](SocksPeer& p) {
         p.Expect(3).Reply(B({5})).Pause(60).Reply(B({0})).Expect(Request5("localhost").size()).Reply(kGranted5);
       },
       plain},
      {"sub-negotiation reply one byte at a time", "5",
       [&](SocksPeer& p) {
         p.Expect(3).Reply(B({5, 2})).Expect(SubNegotiation("user", "pass").size());
         p.Reply(B({1})).Pause(60).Reply(B({0})).Expect(Request5("localhost").size()).Reply(kGranted5);
       },
       {"socks connected 0", "auth started", "auth succeeded", "connected 0", "data 0"}},
      {"level 5 reply with a bound name in three pieces", "5",
       [&](SocksPeer& p) {
         p.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size());
         p.Reply(boundName.substr(0, 1)).Pause(60).Reply(boundName.substr(1, 4)).Pause(60).Reply(boundName.substr(5));
       },
       plain},
      {"level 4 reply in two pieces", "4",
       [&](SocksPeer& p) { p.Expect(9).Reply(kGranted4.substr(0, 3)).Pause(60).Reply(kGranted4.substr(3)); }, plain},
      // A server that sends more than the greeting reply: the greeting state
      // reads 127 bytes at most and drops what it read beyond the reply;
      // the rest stays at the socket and is the connect reply here.
      {"bytes behind the greeting reply go with it", "5",
       [&](SocksPeer& p) {
         p.Expect(3).Reply(B({5, 0}) + "xyz").Expect(Request5("localhost").size()).Reply(kGranted5);
       },
       plain},
      {"past 127 bytes, what follows the greeting reply is the next reply", "5",
       [&](SocksPeer& p) { p.Expect(3).Reply(B({5, 0}) + std::string(125, 'x') + kGranted5); }, plain},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    SocksPeer peer;
    SocksRecorder r;  // outlives the socket, whose close it records
    auto s = PlayScript(peer, c.script, c.level);
    r.AttachSocks(*s);
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("data 0") || s->State() == wsClosed; }));
    PumpFor(30);
    EXPECT_EQ(r.Events(), c.events);
    s->Close();
  }
}

// ---- refusals ---------------------------------------------------------------------------------

struct FailCase {
  std::string level;
  std::function<void(SocksPeer&)> script;
  int code;
  std::string text;
  bool inSubNegotiation;
};

FailCase Greeting(const std::string& reply, int code, const std::string& text) {
  return {"5", [reply](SocksPeer& p) { ToGreetingReply(p, reply); }, code, text, false};
}
FailCase Auth(const std::string& reply, int code, const std::string& text) {
  return {"5", [reply](SocksPeer& p) { ToAuthReply(p, reply); }, code, text, true};
}
FailCase Connect5(const std::string& reply, int code, const std::string& text) {
  return {"5", [reply](SocksPeer& p) { ToConnectReply5(p, reply); }, code, text, false};
}
FailCase Connect4(int status, int code, const std::string& text, int version = 0) {
  return {"4", [=](SocksPeer& p) { ToConnectReply4(p, B({version, status, 0, 0, 0, 0, 0, 0})); }, code, text, false};
}
std::string Refused5(int rep) { return B({5, rep, 0, 1, 0, 0, 0, 0, 0, 0}); }

TEST(SocksNegotiation, EveryRefusalReportsItsCodeAndText) {
  const std::vector<FailCase> cases = {
      Greeting(B({5, 255}), 20003, "authentification method not acceptable"),
      Greeting(B({5, 1}), 20003, "authentification method not acceptable"),
      Greeting(B({4, 0}), 20002, "socks version error"),
      Auth(B({1, 1}), 20015, "socks authentication failed"),
      Auth(B({2, 0}), 20002, "socks version error"),
      Auth(B({1, 0, 0}), 20001, "too much data availaible"),
      Connect5(Refused5(1), 20004, "general SOCKS server failure"),
      Connect5(Refused5(2), 20005, "connection not allowed by ruleset"),
      Connect5(Refused5(3), 20006, "network unreachable"),
      Connect5(Refused5(4), 20007, "host unreachable"),
      Connect5(Refused5(5), 20008, "connection refused"),
      Connect5(Refused5(6), 20009, "time to live expired"),
      Connect5(Refused5(7), 20010, "command not supported"),
      Connect5(Refused5(8), 20011, "address type not supported"),
      Connect5(Refused5(9), 20012, "unassigned error #9"),
      Connect5(Refused5(255), 20012, "unassigned error #255"),
      // Refused on the first two bytes, before the rest of the reply.
      Connect5(B({5, 3}), 20006, "network unreachable"),
      Connect5(B({4}), 20002, "socks version error"),
      Connect5(B({5, 0, 0, 0, 0}), 20011, "address type not supported"),
      Connect5(B({5, 0, 0, 2, 0}), 20011, "address type not supported"),
      Connect5(B({5, 0, 0, 5, 0}), 20011, "address type not supported"),
      Connect4(91, 20016, "request rejected or failed"),
      Connect4(92, 20008, "connection refused"),
      Connect4(93, 20015, "authentification failed"),
      Connect4(94, 20012, "unassigned error #94"),
      Connect4(90, 20002, "socks version error", 4),
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.level + " " + std::to_string(c.code) + " " + c.text);
    SocksPeer peer;
    SocksRecorder r;  // outlives the socket, whose close it records
    auto s = PlayScript(peer, c.script, c.level);
    r.AttachSocks(*s);
    s->Connect();
    const std::string code = std::to_string(c.code);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed " + code); }));
    PumpFor(30);
    Log expected = {"socks connected 0"};
    if (c.inSubNegotiation) expected.insert(expected.end(), {"auth started", "auth failed"});
    expected.push_back("socks error " + code + " " + c.text);
    expected.push_back("connected " + code);
    // The close in the sub-negotiation tells of the failure once more.
    if (c.inSubNegotiation) expected.push_back("auth failed");
    expected.push_back("closed " + code);
    EXPECT_EQ(r.Events(), expected);
    EXPECT_EQ(s->State(), wsClosed);
    EXPECT_EQ(s->SocksServer(), "");
  }
}

TEST(SocksNegotiation, Level4DestinationThatCannotBeResolved) {
  SocksPeer peer;
  peer.Start();
  auto s = SocksClient(peer, "4", "1.2.3.999");
  SocksRecorder r;
  r.AttachSocks(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 20017"); }));
  EXPECT_EQ(r.Events(), (Log{"socks connected 0",
                             "socks error 20017 ESocketException WSocketResolveHost: '1.2.3.999' Invalid IP address.",
                             "closed 20017"}));
  ASSERT_TRUE(PumpUntil([&] { return peer.Finished(); }));
  EXPECT_EQ(peer.Received(), "");
}

TEST(SocksNegotiation, SocksServerNotListening) {
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("localhost");
  s->SetPort("80");
  s->SetSocksServer("127.0.0.1");
  s->SetSocksPort(ClosedPort());
  SocksRecorder r;
  r.AttachSocks(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }));
  EXPECT_EQ(r.Events(), (Log{"socks connected 10061", "connected 10061", "closed 0"}));
}

// A server that ends the connection before the negotiation is over fails
// it: the connected event carries an error, never 0, wherever the server
// stopped. The level 4 server reads only the first 9 bytes of the request,
// so its close comes as a reset; the others close in good order, which is
// reported as a reset too, the server having given no reason.
TEST(SocksNegotiation, ServerDropsTheConnectionDuringTheNegotiation) {
  struct DropCase {
    const char* name;
    std::string level;
    std::function<void(SocksPeer&)> script;
    bool authenticate;
    Log events;
  };
  const Log dropped = {"socks connected 0", "socks error 10054 data receive error", "connected 10054", "closed 10054"};
  const std::vector<DropCase> cases = {
      {"before the greeting reply", "5", [](SocksPeer& p) { p.Expect(3).Close(); }, false, dropped},
      {"after the greeting reply", "5", [](SocksPeer& p) { p.Expect(3).Reply(B({5, 0})).Close(); }, false, dropped},
      {"after the request", "5", [](SocksPeer& p) { ToConnectReply5(p, ""); p.Close(); }, false, dropped},
      {"halfway through the reply", "5", [](SocksPeer& p) { ToConnectReply5(p, kGranted5.substr(0, 5)); p.Close(); },
       false, dropped},
      {"after the first byte of the reply", "5",
       [](SocksPeer& p) { ToConnectReply5(p, kGranted5.substr(0, 1)); p.Close(); }, false, dropped},
      {"level 4, after the request", "4", [](SocksPeer& p) { ToConnectReply4(p, ""); p.Close(); }, false, dropped},
      {"level 4, halfway through the reply", "4",
       [](SocksPeer& p) { ToConnectReply4(p, kGranted4.substr(0, 4)); p.Close(); }, false, dropped},
      {"during the sub-negotiation", "5",
       [](SocksPeer& p) { p.Expect(3).Reply(B({5, 2})).Expect(SubNegotiation("user", "pass").size()).Close(); }, true,
       {"socks connected 0", "auth started", "socks error 10054 data receive error", "connected 10054", "auth failed",
        "closed 10054"}},
  };
  for (const DropCase& c : cases) {
    SCOPED_TRACE(c.name);
    SocksPeer peer;
    auto s = PlayScript(peer, c.script, c.level);
    if (c.authenticate) s->SetSocksAuthentication(socksAuthenticateUsercode);
    SocksRecorder r;
    r.AttachSocks(*s);
    s->Connect();
    auto closedEvent = [&] {
      for (const std::string& e : r.log)
        if (e.rfind("closed ", 0) == 0) return true;
      return false;
    };
    EXPECT_TRUE(PumpUntil([&] { return s->State() == wsClosed && closedEvent(); }));
    PumpFor(20);
    EXPECT_EQ(r.Events(), c.events);
  }
}

// ---- data behind the reply --------------------------------------------------------------------

TEST(SocksNegotiation, DataBehindTheReplyComeFirstAndInOrder) {
  const std::string longName(255, 'n');
  struct DataCase {
    const char* name;
    std::string level, reply;
  };
  const std::vector<DataCase> cases = {
      {"level 5, address reply", "5", kGranted5},
      {"level 5, bound name of 255 bytes", "5", B({5, 0, 0, 3, 255}) + longName + B({0, 80})},
      {"level 4", "4", kGranted4},
  };
  for (const DataCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> firstRead{false};  // outlives the peer that waits for it
    SocksPeer peer;
    if (c.level == "5")
      peer.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size());
    else
      peer.Expect(9);
    peer.Reply(c.reply + "hello").WaitFor([&] { return firstRead.load(); }).Reply(" world");
    peer.Start();
    auto s = SocksClient(peer, c.level, c.level == "4" ? "127.0.0.1" : "localhost");
    SocksRecorder r;
    r.AttachSocks(*s, /*readData=*/false);
    std::vector<int> counts;
    std::string data;
    s->OnDataAvailable = [&](plat::TObject*, std::uint16_t e) {
      counts.push_back(s->RcvdCount());
      firstRead = true;
      char buf[4096];
      int n = s->Receive(buf, sizeof buf);
      if (n > 0) data.append(buf, static_cast<std::size_t>(n));
      r.log.push_back("data " + std::to_string(e));
    };
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return data == "hello world"; }));
    Log events = r.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(Log(events.begin(), events.begin() + 3), (Log{"socks connected 0", "connected 0", "data 0"}));
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts[0], 5);
    s->Close();
  }
}

// A handler that reads as soon as it hears of the connection still gets
// the bytes behind the reply first.
TEST(SocksNegotiation, ReadInsideTheConnectedEventGetsTheEarlyBytes) {
  SocksPeer peer;
  peer.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size()).Reply(kGranted5 + "early");
  peer.Start();
  auto s = SocksClient(peer, "5");
  std::string got;
  s->OnSessionConnected = [&](plat::TObject*, std::uint16_t) {
    char buf[64];
    int n = s->Receive(buf, sizeof buf);
    if (n > 0) got.assign(buf, static_cast<std::size_t>(n));
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
  EXPECT_EQ(got, "early");
}

// In line mode the bytes behind the reply are lines like the later ones: a
// handler that reads with a large buffer gets one line per event.
TEST(SocksNegotiation, InLineModeTheBytesBehindTheReplyComeByLine) {
  std::atomic<bool> firstRead{false};  // outlives the peer that waits for it
  SocksPeer peer;
  peer.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size()).Reply(kGranted5 + "one\r\ntw");
  peer.WaitFor([&] { return firstRead.load(); }).Reply("o\r\nthree\r\n");
  peer.Start();
  auto s = SocksClient(peer, "5");
  s->SetLineMode(true);
  std::vector<std::string> chunks;
  s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    char buf[64];
    int n = s->Receive(buf, sizeof buf);
    if (n > 0) chunks.emplace_back(buf, static_cast<std::size_t>(n));
    firstRead = true;
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return chunks.size() >= 3; }));
  EXPECT_EQ(chunks, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n"}));
  s->Close();
}

// Shows how much of the connect reply the socket has collected.
class ReplySocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  int ConnectReplyHeld() const { return FSocksState == 3 ? FSocksReplyCount : -1; }
};

// A server whose outgoing side is IPv6 names the bound address with type 4:
// 16 bytes and the port. Wherever the reply is split, the connection is
// made and what follows the reply is data.
TEST(SocksNegotiation, ReplyWithAnIpv6AddressSplitAtEveryByte) {
  const std::string reply = B({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8}) + std::string(11, '\0') + B({1}) + kPort8080;
  ASSERT_EQ(reply.size(), 22u);
  for (std::size_t split = 1; split < reply.size(); ++split) {
    SCOPED_TRACE("split after byte " + std::to_string(split));
    std::atomic<int> held{-1};  // outlives the peer that waits for it
    SocksPeer peer;
    peer.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size()).Reply(reply.substr(0, split));
    peer.WaitFor([&] { return held.load() == static_cast<int>(split); }).Reply(reply.substr(split) + "hello");
    peer.Start();
    ReplySocket s(nullptr);
    s.SetAddr("localhost");
    s.SetPort("8080");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(peer.Port());
    SocksRecorder r;
    r.AttachSocks(s);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] {
      held = s.ConnectReplyHeld();
      return r.data == "hello" || s.State() == wsClosed;
    }));
    EXPECT_EQ(r.Events(), (Log{"socks connected 0", "connected 0", "data 0"}));
    EXPECT_EQ(s.State(), wsConnected);
    s.Close();
  }
}

// A server that speaks first: its lines come with the connect reply and
// nothing follows until the client answers. A handler that reads what
// RcvdCount offers, or reads with a large buffer, gets them, at every
// level, as lines in line mode (however late it was switched on), and
// without it as they came, also in small reads.
TEST(SocksNegotiation, BytesBehindTheReplyNeedNoFurtherNotification) {
  enum Mode {
    LineModeBeforeConnect,
    LineModeOnConnected,
    LineModeInFirstDataEvent,
    LineModeBeforeConnectLargeReads,
    LineModeOnConnectedLargeReads,
    NoLineMode,
    NoLineModeSmallReads
  };
  const char* modeNames[] = {"line mode set before Connect", "line mode set in OnSessionConnected",
                             "line mode set in the first data event", "line mode set before Connect, reads of 4096",
                             "line mode set in OnSessionConnected, reads of 4096", "no line mode",
                             "no line mode, 3 bytes a read"};
  const bool largeReads[] = {false, false, false, true, true, false, false};
  const std::string greeting = "hello\r\nworld\r\n";
  for (const std::string level : {"4", "4A", "5"}) {
    for (Mode mode : {LineModeBeforeConnect, LineModeOnConnected, LineModeInFirstDataEvent,
                      LineModeBeforeConnectLargeReads, LineModeOnConnectedLargeReads, NoLineMode,
                      NoLineModeSmallReads}) {
      SCOPED_TRACE(level + ", " + modeNames[mode]);
      SocksPeer peer;
      if (level == "5")
        peer.Expect(3).Reply(B({5, 0})).Expect(Request5("localhost").size()).Reply(kGranted5 + greeting);
      else
        peer.Expect(level == "4" ? 9 : 9 + std::string("localhost").size() + 1).Reply(kGranted4 + greeting);
      peer.Start();
      auto s = SocksClient(peer, level, level == "4" ? "127.0.0.1" : "localhost");
      if (mode == LineModeBeforeConnect || mode == LineModeBeforeConnectLargeReads) s->SetLineMode(true);
      s->OnSessionConnected = [&](plat::TObject*, std::uint16_t) {
        if (mode == LineModeOnConnected || mode == LineModeOnConnectedLargeReads) s->SetLineMode(true);
      };
      std::vector<std::string> reads;
      int events = 0;
      s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
        if (events++ == 0 && mode == LineModeInFirstDataEvent) {
          s->SetLineMode(true);
          return;
        }
        int n = largeReads[mode] ? 4096 : s->RcvdCount();
        if (mode == NoLineModeSmallReads) n = std::min(n, 3);
        if (n <= 0) return;
        std::string buf(static_cast<std::size_t>(n), '\0');
        n = s->Receive(buf.data(), n);
        if (n > 0) reads.push_back(buf.substr(0, static_cast<std::size_t>(n)));
      };
      s->Connect();
      auto joined = [&] {
        std::string all;
        for (const std::string& r : reads) all += r;
        return all;
      };
      EXPECT_TRUE(PumpUntil([&] { return joined().size() >= greeting.size(); }));
      if (mode == NoLineMode || mode == NoLineModeSmallReads)
        EXPECT_EQ(joined(), greeting);
      else
        EXPECT_EQ(reads, (std::vector<std::string>{"hello\r\n", "world\r\n"}));
      EXPECT_EQ(s->State(), wsConnected);
      s->Close();
    }
  }
}

// ---- settings and what is refused before connecting ---------------------------------------------

TEST(SocksSettings, Levels) {
  TWSocket s(nullptr);
  EXPECT_EQ(s.SocksLevel(), "5");
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{{"4", "4"}, {"4A", "4A"}, {"4a", "4A"}, {"5", "5"}}) {
    s.SetSocksLevel(in);
    EXPECT_EQ(s.SocksLevel(), out);
  }
  for (const std::string bad : {"6", "", "4b", " 5", "5 ", "a4", "45"}) {
    SCOPED_TRACE("'" + bad + "'");
    try {
      s.SetSocksLevel(bad);
      ADD_FAILURE() << "accepted";
    } catch (const ESocketException& e) {
      EXPECT_STREQ(e.what(), "Invalid socks level. Must be 4, 4A or 5.");
    }
    EXPECT_EQ(s.SocksLevel(), "5");
  }
  s.SetSocksServer("  proxy.example  ");
  s.SetSocksPort(" 1080 ");
  EXPECT_EQ(s.SocksServer(), "proxy.example");
  EXPECT_EQ(s.SocksPort(), "1080");
}

TEST(SocksSettings, RefusedWhileOpen) {
  Peer peer([](int fd) { Peer::ReadAll(fd, 3000); });
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort(peer.Port());
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  const std::vector<std::pair<std::function<void()>, std::string>> setters = {
      {[&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
      {[&] { s.SetSocksServer("127.0.0.1"); }, "Can't change socks server if not closed"},
      {[&] { s.SetSocksPort("1080"); }, "Can't change socks port if not closed"},
  };
  for (const auto& [set, text] : setters) {
    try {
      set();
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.what(), text);
    }
  }
  EXPECT_EQ(s.SocksLevel(), "5");
  EXPECT_EQ(s.SocksServer(), "");
  EXPECT_EQ(s.SocksPort(), "");
  s.Close();
}

// Server, port and level must be given again for every connection; the
// credentials stay.
TEST(SocksSettings, ServerPortAndLevelForgottenAtEveryClose) {
  SocksPeer peer;
  peer.Expect(9 + 4 + 10).Reply(kGranted4);
  peer.Start();
  auto s = SocksClient(peer, "4A");
  s->SetSocksUsercode("user");
  s->SetSocksPassword("pass");
  s->SetSocksAuthentication(socksAuthenticateUsercode);
  SocksRecorder r;
  r.AttachSocks(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("connected 0"); }));
  s->Close();
  EXPECT_EQ(s->SocksServer(), "");
  EXPECT_EQ(s->SocksPort(), "");
  EXPECT_EQ(s->SocksLevel(), "5");
  EXPECT_EQ(s->SocksUsercode(), "user");
  EXPECT_EQ(s->SocksPassword(), "pass");
  EXPECT_EQ(s->SocksAuthentication(), socksAuthenticateUsercode);
  // The next connection, with nothing set again, goes straight to Addr.
  Peer direct([](int fd) { Peer::SendAll(fd, "direct"); Peer::ReadAll(fd, 3000); });
  s->SetAddr("127.0.0.1");
  s->SetPort(direct.Port());
  r.log.clear();
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.data == "direct"; }));
  EXPECT_EQ(r.Events(), (Log{"connected 0", "data 0"}));
  s->Close();
}

TEST(SocksSettings, WithoutServerTheLayerIsTransparent) {
  Peer peer([](int fd) { Peer::SendAll(fd, "direct"); Peer::ReadAll(fd, 3000); });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  SocksRecorder r;
  r.AttachSocks(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.data == "direct"; }));
  EXPECT_EQ(r.Events(), (Log{"connected 0", "data 0"}));
  s->Close();
}

TEST(SocksSettings, RefusedBeforeConnecting) {
  const std::string long256(256, 'x');
  const std::string prefix = "Can't connect thru socks server: ";
  struct RefusalCase {
    std::string level, addr, user, pass;
    bool authenticate;
    std::string text;
  };
  const std::vector<RefusalCase> cases = {
      {"5", "localhost", "", "pass", true, prefix + "SocksUsercode is empty"},
      {"5", "localhost", "user", "", true, prefix + "SocksPassword is empty"},
      {"5", "localhost", long256, "pass", true, prefix + "SocksUsercode is longer than 255 bytes"},
      {"5", "localhost", "user", long256, false, prefix + "SocksPassword is longer than 255 bytes"},
      {"5", long256, "", "", false, prefix + "Addr is longer than 255 bytes"},
      {"4A", long256, "", "", false, prefix + "Addr is longer than 255 bytes"},
      {"4", "127.0.0.1", long256, "", false, prefix + "SocksUsercode is longer than 255 bytes"},
      {"4", "127.0.0.1", std::string("a\0b", 3), "", false, prefix + "SocksUsercode holds a zero byte"},
      {"4A", std::string("a\0b", 3), "", "", false, prefix + "Addr holds a zero byte"},
  };
  SocksPeer peer;
  peer.Start();
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto s = SocksClient(peer, c.level, c.addr);
    s->SetSocksUsercode(c.user);
    s->SetSocksPassword(c.pass);
    s->SetSocksAuthentication(c.authenticate ? socksAuthenticateUsercode : socksNoAuthentication);
    try {
      s->Connect();
      ADD_FAILURE() << "connected";
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.what(), c.text);
    }
    EXPECT_EQ(s->State(), wsClosed);
    EXPECT_EQ(s->SocketHandle(), plat::INVALID_SOCKET);
  }
  // With an error handler the refusal goes there, and still nothing connects.
  auto s = SocksClient(peer, "5");
  s->SetSocksAuthentication(socksAuthenticateUsercode);
  int errors = 0;
  s->OnError = [&](plat::TObject*) { ++errors; };
  s->Connect();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s->State(), wsClosed);
  PumpFor(100);
  EXPECT_FALSE(peer.Accepted());
}

TEST(SocksSettings, UdpAndListeningRefused) {
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort("9");
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort("1080");
  s.SetProto("udp");
  try {
    s.Connect();
    ADD_FAILURE() << "connected";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
  }
  s.SetProto("tcp");
  try {
    s.Listen();
    ADD_FAILURE() << "listening";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "listening is not supported thru socks server");
  }
  EXPECT_EQ(s.State(), wsClosed);
}

}  // namespace

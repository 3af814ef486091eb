#include "platform/serversocket/serversocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/serversocket/serversocket_internal.h"
#include "tests/support/loopback.h"

using namespace plat;
using testsupport::NowMs;
using testsupport::RawClient;

namespace {

// Connection work given as a function, with the protected parts opened up.
class FnThread : public TServerClientThread {
 public:
  using Fn = std::function<void(FnThread&)>;
  FnThread(TServerClientWinSocket* s, Fn fn, std::atomic<int>* freed)
      : TServerClientThread(s), Fn_(std::move(fn)), Freed_(freed) {}
  ~FnThread() override {
    if (Freed_) ++*Freed_;
  }
  void Sync(const std::function<void()>& step) { Synchronize(step); }
  void Say(const std::string& s) {
    TWinSocketStream st(*ClientSocket(), 5000);
    st.WriteBuffer(s.data(), static_cast<std::int64_t>(s.size()));
  }

 protected:
  void ClientExecute() override { Fn_(*this); }

 private:
  Fn Fn_;
  std::atomic<int>* Freed_;
};

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server.SetPort(0);
    Server.OnGetThread = [this](TServerClientWinSocket* s) { return new FnThread(s, Work, &Freed); };
  }
  bool Connect(RawClient& c) { return c.Connect("127.0.0.1", Server.Port()); }

  TServerSocket Server{nullptr};
  FnThread::Fn Work;
  std::atomic<int> Freed{0};
};

}  // namespace

TEST_F(ServerSocketTest, WorkRunsOnItsOwnThreadAndStepsOnTheServersThread) {
  std::thread::id me = std::this_thread::get_id();
  std::atomic<bool> workOnOwnThread{false};
  Work = [&](FnThread& t) {
    workOnOwnThread = std::this_thread::get_id() != me;
    TWinSocketStream st(*t.ClientSocket(), 5000);
    char buf[16];
    std::int64_t n = st.Read(buf, sizeof buf);
    std::string got(buf, static_cast<std::size_t>(n));
    std::string reply;
    t.Sync([&] { reply = got + (std::this_thread::get_id() == me ? " on owner" : " elsewhere"); });
    try {
      t.Sync([] { throw EFOpenError("Cannot open file x"); });
    } catch (const EFOpenError& e) {
      reply += std::string("; ") + e.what();
    }
    t.Say(reply);
  };
  Server.Open();
  ASSERT_TRUE(Server.Active());
  ASSERT_GT(Server.Port(), 0);

  std::string answer;
  testsupport::PumpWhile([&] {
    RawClient c;
    ASSERT_TRUE(Connect(c));
    c.Send("ping");
    answer = c.ReadAll(testsupport::kPatienceMs);
  });
  EXPECT_EQ(answer, "ping on owner; Cannot open file x");
  EXPECT_TRUE(workOnOwnThread);
  Server.Close();
  EXPECT_FALSE(Server.Active());
  EXPECT_EQ(Freed, 1);
}

TEST_F(ServerSocketTest, ReadTimesOutAndWritingToAGoneClientFailsQuietly) {
  std::atomic<std::int64_t> readMs{-1}, readGot{-1}, written{-1};
  std::atomic<bool> done{false};
  testsupport::Signal reset;
  Work = [&](FnThread& t) {
    TWinSocketStream st(*t.ClientSocket(), 300);
    char buf[16];
    std::int64_t start = NowMs();
    readGot = st.Read(buf, sizeof buf);
    readMs = NowMs() - start;
    // The client resets after the first read; writing on must neither
    // hang nor kill the process with SIGPIPE.
    std::string big(8 << 20, 'x');
    reset.Wait();
    written = st.Write(big.data(), static_cast<std::int64_t>(big.size()));
    done = true;
  };
  Server.Open();
  RawClient c;
  ASSERT_TRUE(Connect(c));
  testsupport::WaitUntil([&] { return readMs >= 0; });
  c.Reset();
  reset.Set();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return done.load(); }));
  EXPECT_EQ(readGot, 0);
  EXPECT_GE(readMs, 250);
  EXPECT_LT(readMs, 10000) << "the read waited for the client instead of timing out";
  EXPECT_LT(written, 8 << 20);
}

TEST_F(ServerSocketTest, ClientsBeyondTheLimitWaitInTheListenQueue) {
  Server.MaxConnections = 2;
  Work = [](FnThread& t) {
    t.Say("hi");
    TWinSocketStream st(*t.ClientSocket(), 10000);
    char buf[16];
    while (st.Read(buf, sizeof buf) > 0) {
    }
  };
  Server.Open();
  RawClient a, b, c;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  EXPECT_EQ(a.ReadSome(2, testsupport::kPatienceMs), "hi");
  EXPECT_EQ(b.ReadSome(2, testsupport::kPatienceMs), "hi");
  ASSERT_TRUE(Connect(c));  // the kernel completes the handshake; nobody serves it yet
  EXPECT_EQ(c.ReadSome(2, 400), "");  // a greeting would come within this window
  a.Close();
  EXPECT_EQ(c.ReadSome(2, testsupport::kPatienceMs), "hi");
}

namespace {

// Work that answers "got " and the head the server read for it (one read),
// and "|closed" when the client has then closed its side.
void AnswerTheHead(FnThread& t) {
  TWinSocketStream st(*t.ClientSocket(), 5000);
  char buf[256];
  std::int64_t n = st.Read(buf, sizeof buf);
  std::string reply = "got " + std::string(buf, static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
  if (st.WaitForData(0) && st.Read(buf, sizeof buf) == 0) reply += "|closed";
  t.Say(reply);
}

}  // namespace

TEST_F(ServerSocketTest, HeadsAreReadWithoutHoldingAThread) {
  Server.MaxConnections = 1;
  Server.HeadIdleMs = 300;
  Server.OnHeadComplete = [](const std::string& got) { return got.find('\n') != std::string::npos; };
  Work = AnswerTheHead;
  Server.Open();

  // A head still coming holds no thread: with a single one, a complete
  // head behind it is answered at once.
  RawClient slow, quick;
  ASSERT_TRUE(Connect(slow));
  slow.Send("sl");
  ASSERT_TRUE(Connect(quick));
  quick.Send("quick\n");
  EXPECT_EQ(quick.ReadAll(testsupport::kPatienceMs), "got quick\n");
  quick.Close();  // the server would wait for it to close before it goes on
  slow.Send("ow\n");
  EXPECT_EQ(slow.ReadAll(testsupport::kPatienceMs), "got slow\n");
  slow.Close();

  // A client that stops sending has sent its head; one that goes silent
  // gets its thread after the idle time, with what it sent.
  RawClient half, silent;
  ASSERT_TRUE(Connect(half));
  half.Send("half");
  ::shutdown(half.Fd(), SHUT_WR);
  EXPECT_EQ(half.ReadAll(testsupport::kPatienceMs), "got half|closed");
  half.Close();
  ASSERT_TRUE(Connect(silent));
  std::int64_t t0 = NowMs();
  silent.Send("par");
  EXPECT_EQ(silent.ReadAll(testsupport::kPatienceMs), "got par");
  EXPECT_GE(NowMs() - t0, 250);
  Server.Close();
  EXPECT_EQ(Freed, 4);
}

TEST_F(ServerSocketTest, BeyondThePendingLimitTheOldestIncompleteHeadGoes) {
  Server.MaxPendingClients = 2;
  Server.OnHeadComplete = [](const std::string& got) { return got.find('\n') != std::string::npos; };
  Work = AnswerTheHead;
  Server.Open();
  RawClient first, second, third;
  ASSERT_TRUE(Connect(first));
  ASSERT_TRUE(Connect(second));
  first.Send("1");  // something sent does not keep it either
  ASSERT_TRUE(Connect(third));
  // Accepted in the order they came: the first has waited longest.
  bool closed = false;
  EXPECT_EQ(first.ReadAll(testsupport::kPatienceMs, &closed), "");
  EXPECT_TRUE(closed);
  third.Send("3\n");
  EXPECT_EQ(third.ReadAll(testsupport::kPatienceMs), "got 3\n");
  second.Send("2\n");
  EXPECT_EQ(second.ReadAll(testsupport::kPatienceMs), "got 2\n");
  Server.Close();
  EXPECT_EQ(Freed, 3);
}

TEST_F(ServerSocketTest, AnsweredClientsAreHeldForTheirCloseWithoutAThread) {
  // One thread, and a linger far beyond any patience: a thread that waited
  // for a client's close would answer nobody after the first.
  Server.MaxConnections = 1;
  Server.CloseLingerMs = 600000;
  constexpr int kLarge = 1 << 20;
  Work = [](FnThread& t) {
    TWinSocketStream st(*t.ClientSocket(), 5000);
    char buf[16];
    std::int64_t n = st.Read(buf, sizeof buf);
    if (std::string(buf, static_cast<std::size_t>(std::max<std::int64_t>(n, 0))).rfind("large", 0) != 0) {
      t.Say("hi");
      return;
    }
    // Small buffers on both sides: the work ends with much of the answer
    // still on its way.
    int small = 64 * 1024;
    ::setsockopt(t.ClientSocket()->Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    t.Say(std::string(kLarge, 'L'));
  };
  Server.Open();

  std::vector<std::unique_ptr<RawClient>> open;
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    open.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(Connect(*open.back()));
    open.back()->Send("x");
    bool closed = false;
    EXPECT_EQ(open.back()->ReadAll(testsupport::kPatienceMs, &closed), "hi");
    EXPECT_TRUE(closed) << "the server stops sending at the end of the answer";
  }

  // What the client sends after its request is read and dropped until it
  // closes: a close with those bytes unread would reset the connection
  // and destroy the rest of the answer in flight.
  RawClient large;
  large.ReceiveBuffer = 64 * 1024;
  ASSERT_TRUE(Connect(large));
  large.Send("large" + std::string(32 * 1024, 'j'));
  bool closed = false;
  EXPECT_EQ(large.ReadAll(testsupport::kPatienceMs, &closed).size(), static_cast<std::size_t>(kLarge));
  EXPECT_TRUE(closed);
  Server.Close();
  EXPECT_EQ(Freed, 21);

  // A client that never closes is closed once the linger time is up: what
  // it sends then is refused with a reset.
  Server.CloseLingerMs = 200;
  Server.Open();
  RawClient stays;
  ASSERT_TRUE(Connect(stays));
  stays.Send("x");
  EXPECT_EQ(stays.ReadAll(testsupport::kPatienceMs), "hi");
  EXPECT_TRUE(testsupport::WaitUntil([&] { return !stays.Send("x"); }));
}

TEST_F(ServerSocketTest, AHeadWhoseTimeIsUpIsAnsweredWithoutAThread) {
  Server.MaxConnections = 1;
  Server.HeadIdleMs = 300;
  Server.OnHeadComplete = [](const std::string& got) { return got.find('\n') != std::string::npos; };
  Server.OnHeadExpired = [](const std::string& got) {
    // More than any socket buffer takes at once, for a client reading little.
    return got == "huge" ? std::string(64 << 20, 'h') : "late: " + got;
  };
  std::atomic<int> ran{0};
  testsupport::Signal started, release;
  Work = [&](FnThread& t) {
    ++ran;
    started.Set();
    release.Wait();
    t.Say("done");
  };
  Server.Open();

  // The one thread is taken and stays so.
  RawClient busy;
  ASSERT_TRUE(Connect(busy));
  busy.Send("hold\n");
  ASSERT_TRUE(started.Wait());

  struct Case {
    std::string Sent;
    std::string Answer;
  };
  std::vector<Case> cases = {{"par", "late: par"}, {"", "late: "}};
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const Case& c : cases) {
    clients.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(Connect(*clients.back()));
    clients.back()->Send(c.Sent);
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].Sent);
    bool closed = false;
    EXPECT_EQ(clients[i]->ReadAll(testsupport::kPatienceMs, &closed), cases[i].Answer);
    EXPECT_TRUE(closed);
  }
  // A client that cannot take the answer is closed with what it could.
  RawClient huge;
  huge.ReceiveBuffer = 4096;
  ASSERT_TRUE(Connect(huge));
  huge.Send("huge");
  bool closed = false;
  EXPECT_LT(huge.ReadAll(testsupport::kPatienceMs, &closed).size(), static_cast<std::size_t>(64 << 20));
  EXPECT_TRUE(closed);

  EXPECT_EQ(ran, 1);
  release.Set();
  EXPECT_EQ(busy.ReadAll(testsupport::kPatienceMs), "done");
  Server.Close();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(Freed, 4);
}

// Close is called on the server's thread, where synchronised steps run.
// None of these may hang it.
TEST_F(ServerSocketTest, CloseEndsEveryConnectionWithoutDeadlock) {
  enum Case { kBlockedInRead, kWaitingForStep, kCloseInsideStep };
  for (Case kase : {kBlockedInRead, kWaitingForStep, kCloseInsideStep}) {
    SCOPED_TRACE(kase);
    Freed = 0;
    std::atomic<bool> started{false}, stepRan{false}, stepFinished{false};
    std::atomic<int> syncOutcome{0};  // 1 ran, 2 terminated
    Work = [&](FnThread& t) {
      started = true;
      if (kase == kBlockedInRead) {
        TWinSocketStream st(*t.ClientSocket(), 60000);
        char buf[16];
        st.Read(buf, sizeof buf);
        return;
      }
      try {
        t.Sync([&] {
          stepRan = true;
          if (kase == kCloseInsideStep) Server.Close();
          stepFinished = true;
        });
        syncOutcome = 1;
      } catch (const EThreadTerminated&) {
        syncOutcome = 2;
      }
    };
    Server.Open();
    RawClient c;
    ASSERT_TRUE(Connect(c));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return started.load(); }));
    // Most likely blocked by then; if not, Close only finds it earlier.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::int64_t t0 = NowMs();
    if (kase == kCloseInsideStep) {
      ASSERT_TRUE(testsupport::PumpUntil([&] { return stepFinished.load(); }));
    } else {
      Server.Close();
    }
    EXPECT_LT(NowMs() - t0, 10000);
    EXPECT_FALSE(Server.Active());
    // The client learns that the connection is over.
    bool closed = false;
    c.ReadAll(testsupport::kPatienceMs, &closed);
    EXPECT_TRUE(closed);

    if (kase == kWaitingForStep) {
      testsupport::PumpFor(50);  // the queued step finds itself given up
      EXPECT_FALSE(stepRan);
      EXPECT_EQ(syncOutcome, 2);
    }
    if (kase == kCloseInsideStep) {
      // Left running, it ends and frees itself once its step returned.
      testsupport::WaitUntil([&] { return Freed != 0; });
      EXPECT_EQ(syncOutcome, 1);
    }
    EXPECT_EQ(Freed, 1);
  }
}

TEST_F(ServerSocketTest, OpenNeedsThePortOnBothLoopbackAddresses) {
  int port = testsupport::FreeLoopbackPort();
  Server.SetPort(port);
  {
    testsupport::PortHolder v4(port, "127.0.0.1");
    ASSERT_TRUE(v4.Held());
    EXPECT_THROW(Server.Open(), ESocketError);
    EXPECT_FALSE(Server.Active());
  }
  {
    testsupport::PortHolder v6(port, "::1");
    if (v6.Held()) {
      EXPECT_THROW(Server.Open(), ESocketError);
      EXPECT_FALSE(Server.Active());
    }
  }
  Work = [](FnThread& t) { t.Say("here"); };
  Server.SetActive(true);
  ASSERT_TRUE(Server.Active());
  EXPECT_EQ(Server.Port(), port);
  for (const char* address : {"127.0.0.1", "::1"}) {
    RawClient c;
    if (!c.Connect(address, port)) {
      EXPECT_STREQ(address, "::1") << "127.0.0.1 must always be served";
      continue;
    }
    EXPECT_EQ(c.ReadAll(testsupport::kPatienceMs), "here") << address;
  }
  Server.SetActive(false);
  RawClient late;
  EXPECT_FALSE(late.Connect("127.0.0.1", port));
}

// A port the system picks is free on 127.0.0.1 only; where ::1 has it in
// use, the server picks again rather than failing, and lets the first go.
// A port asked for by number is not changed.
TEST_F(ServerSocketTest, APickedPortInUseOnIpv6IsPickedAgain) {
  struct Case {
    int port;     // 0: the system's pick
    int refused;  // ::1 binds refused with "in use" before one is let through
    bool opens;
  };
  const int fixed = testsupport::FreeLoopbackPort();
  for (const Case& c : {Case{0, 3, true}, Case{0, 1000, false}, Case{fixed, 1, false}}) {
    SCOPED_TRACE("port " + std::to_string(c.port) + ", refused " + std::to_string(c.refused));
    std::vector<int> refusedPorts;
    serversocket_detail::SetListenRefusal([&](int family, int port) {
      if (family != AF_INET6 || static_cast<int>(refusedPorts.size()) >= c.refused) return 0;
      refusedPorts.push_back(port);
      return EADDRINUSE;
    });
    Server.SetPort(c.port);
    Work = [](FnThread& t) { t.Say("here"); };
    if (c.opens) {
      Server.Open();
      ASSERT_TRUE(Server.Active());
      EXPECT_EQ(std::count(refusedPorts.begin(), refusedPorts.end(), Server.Port()), 0);
      for (const char* address : {"127.0.0.1", "::1"}) {
        RawClient client;
        if (!client.Connect(address, Server.Port())) {
          EXPECT_STREQ(address, "::1") << "127.0.0.1 must always be served";
          continue;
        }
        EXPECT_EQ(client.ReadAll(testsupport::kPatienceMs), "here") << address;
      }
      Server.Close();
    } else {
      EXPECT_THROW(Server.Open(), ESocketError);
      EXPECT_FALSE(Server.Active());
      EXPECT_GE(refusedPorts.size(), 1u);
      EXPECT_LE(refusedPorts.size(), 100u) << "picks without end";
    }
    serversocket_detail::SetListenRefusal(nullptr);
    // The refused picks' 127.0.0.1 sockets are closed, not kept.
    for (int port : refusedPorts) {
      testsupport::PortHolder v4(port, "127.0.0.1");
      EXPECT_TRUE(v4.Held()) << port;
    }
  }
}

// Address resolution, the setters and the asynchronous lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "tests/httpclient/wsocket_helpers.h"

using namespace wstest;
using Log = std::vector<std::string>;

namespace {

std::uint32_t Ip(const char* dotted) {
  in_addr a{};
  ::inet_aton(dotted, &a);
  return a.s_addr;
}

// Names the test resolver knows; "slow..." names answer only once the test
// lets them (ReleaseSlow), and each counts in SlowAnswers when it has.
// Each case starts and ends with a pool in which no worker is busy: a worker
// of the case before that is still handing out its answer would take a
// lookup of the same name in this one along with it, and a worker still in
// this fixture's resolver must not outlive the fixture.
class Lookups : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PoolAtRest());
    plat::winsock_testing::SetNameResolver([this](const std::string& name, std::vector<std::uint32_t>& out) {
      if (name.rfind("slow", 0) == 0) {
        release_.Wait();
        int result = Answer(name, out);
        ++slowAnswers_;
        return result;
      }
      return Answer(name, out);
    });
  }
  void TearDown() override {
    ReleaseSlow();
    // Before the system's resolver is back: what is still queued is
    // answered by this one.
    EXPECT_TRUE(PoolAtRest());
    plat::winsock_testing::Reset();
  }
  void ReleaseSlow() { release_.Set(); }
  // A worker has taken every lookup asked so far: a cancel now leaves it
  // to be resolved, and its late answer to be dropped.
  static void WaitUntilTaken() {
    ASSERT_TRUE(testsupport::WaitUntil([] { return plat::winsock_testing::Stats().QueuedLookups == 0; }));
  }
  int SlowAnswers() const { return slowAnswers_.load(); }
  // Every worker idle and nothing queued: no resolution is under way.
  static ::testing::AssertionResult PoolAtRest() {
    if (testsupport::WaitUntil([] {
          auto st = plat::winsock_testing::Stats();
          return st.QueuedLookups == 0 && st.IdleLookupWorkers == st.LookupWorkers;
        }))
      return ::testing::AssertionSuccess();
    auto st = plat::winsock_testing::Stats();
    return ::testing::AssertionFailure() << "workers " << st.LookupWorkers << ", idle " << st.IdleLookupWorkers
                                         << ", queued " << st.QueuedLookups;
  }

 private:
  static int Answer(const std::string& name, std::vector<std::uint32_t>& out) {
      if (name == "three.test" || name == "slow.three.test") {
        out = {Ip("10.0.0.1"), Ip("10.0.0.2"), Ip("10.0.0.3")};
        return 0;
      }
      if (name == "one.test" || name == "slow.one.test" || name == "3com.test") {
        out = {Ip("10.9.8.7")};
        return 0;
      }
      if (name == "many.test") {
        for (int i = 0; i < 300; ++i) out.push_back(htonl(0x0A000000u + static_cast<std::uint32_t>(i)));
        return 0;
      }
      return plat::WSAHOST_NOT_FOUND;
  }

  testsupport::Signal release_;
  std::atomic<int> slowAnswers_{0};
};

TEST_F(Lookups, DottedNameIsReportedInsideTheCall) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("10.1.2.3");
  EXPECT_EQ(r.log, (Log{"dns 0"}));
  EXPECT_EQ(s.DnsResult(), "10.1.2.3");
  EXPECT_EQ(s.DnsResultList()->Count(), 0);
}

TEST_F(Lookups, NameWithSeveralAddresses) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("three.test");
  EXPECT_TRUE(r.log.empty()) << "never inside the call";
  ASSERT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
  EXPECT_EQ(r.log, (Log{"dns 0"}));
  EXPECT_EQ(s.DnsResult(), "10.0.0.1");
  EXPECT_EQ(s.DnsResultList()->Text(), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n");
}

TEST_F(Lookups, AnswerLargerThanTheBufferKeepsWhatFits) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("many.test");
  ASSERT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
  EXPECT_EQ(r.log, (Log{"dns 0"}));
  EXPECT_EQ(s.DnsResult(), "10.0.0.0");
  EXPECT_GT(s.DnsResultList()->Count(), 50);
  EXPECT_LT(s.DnsResultList()->Count(), 300);
  EXPECT_EQ(s.DnsResultList()->Strings(1), "10.0.0.1");
}

TEST_F(Lookups, UnknownNameReportsHostNotFound) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("nowhere.test");
  ASSERT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
  EXPECT_EQ(r.log, (Log{"dns 11001"}));
  EXPECT_EQ(s.DnsResult(), "");
  EXPECT_EQ(s.DnsResultList()->Count(), 0);
}

TEST_F(Lookups, ReplacedLookupIsNeverReported) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("slow.three.test");
  WaitUntilTaken();
  s.LookupName("one.test");
  ASSERT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
  // Now the first answer comes back, and must be dropped: it would be
  // reported within the window after it.
  ReleaseSlow();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return SlowAnswers() == 1; }));
  PumpFor(50);
  EXPECT_EQ(r.log, (Log{"dns 0"}));
  EXPECT_EQ(s.DnsResult(), "10.9.8.7");
  EXPECT_EQ(s.DnsResultList()->Count(), 1);
}

// A worker left idle by an earlier lookup is counted once: the second of
// two lookups started back to back gets a worker of its own and is not
// held up behind the first.
TEST_F(Lookups, LookupBehindASlowOneIsAnsweredWhileTheSlowOneWaits) {
  TWSocket warm(nullptr);
  Recorder w;
  w.Attach(warm);
  warm.LookupName("three.test");
  ASSERT_TRUE(PumpUntil([&] { return !w.log.empty(); }));
  ASSERT_TRUE(testsupport::WaitUntil([] { return plat::winsock_testing::Stats().IdleLookupWorkers > 0; }));
  TWSocket slow(nullptr), quick(nullptr);
  Recorder rs, rq;
  rs.Attach(slow);
  rq.Attach(quick);
  slow.LookupName("slow.one.test");
  quick.LookupName("one.test");
  ASSERT_TRUE(PumpUntil([&] { return !rq.log.empty(); }));
  EXPECT_EQ(rq.log, (Log{"dns 0"}));
  EXPECT_TRUE(rs.log.empty());
  ReleaseSlow();
  ASSERT_TRUE(PumpUntil([&] { return !rs.log.empty(); }));
  EXPECT_EQ(rs.log, (Log{"dns 0"}));
}

// Every worker the pool may run busy with a name that hangs ("slow.<i>.test");
// returns the sockets waiting for them.
static std::vector<std::unique_ptr<TWSocket>> HangEveryWorker(int Extra = 0) {
  std::vector<std::unique_ptr<TWSocket>> hung;
  const int n = plat::winsock_testing::MaxLookupWorkers + Extra;
  for (int i = 0; i < n; ++i) {
    hung.push_back(std::make_unique<TWSocket>(nullptr));
    hung.back()->LookupName("slow." + std::to_string(i) + ".test");
  }
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    auto st = plat::winsock_testing::Stats();
    return st.IdleLookupWorkers == 0 && st.QueuedLookups == Extra;
  })) << "idle " << plat::winsock_testing::Stats().IdleLookupWorkers << ", queued "
      << plat::winsock_testing::Stats().QueuedLookups;
  return hung;
}

// With every worker busy, what is asked meanwhile waits in the queue: a
// lookup replaced or cancelled there is never resolved, and the one asked
// last is not behind all of them.
TEST_F(Lookups, ReplacedAndCancelledLookupsLeaveTheQueue) {
  const int before = plat::winsock_testing::ResolutionCount();
  auto hung = HangEveryWorker();
  TWSocket s(nullptr), c(nullptr), shared(nullptr), sharer(nullptr);
  Recorder rs, rc, rshared;
  rs.Attach(s);
  rc.Attach(c);
  rshared.Attach(shared);
  for (int i = 0; i < 1000; ++i) s.LookupName("gone" + std::to_string(i) + ".test");
  s.LookupName("one.test");
  c.LookupName("gone.c.test");
  c.CancelLookup();
  // One of two lookups of a name cancelled: the other still gets its answer.
  shared.LookupName("three.test");
  sharer.LookupName("three.test");
  sharer.CancelLookup();
  EXPECT_EQ(plat::winsock_testing::Stats().QueuedLookups, 2);
  ReleaseSlow();
  ASSERT_TRUE(PumpUntil([&] { return !rs.log.empty() && !rshared.log.empty(); }));
  EXPECT_EQ(rs.log, (Log{"dns 0"}));
  EXPECT_EQ(s.DnsResult(), "10.9.8.7");
  EXPECT_EQ(rshared.log, (Log{"dns 0"}));
  EXPECT_EQ(rc.log, (Log{"dns 10004"}));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return SlowAnswers() == plat::winsock_testing::MaxLookupWorkers; }));
  EXPECT_EQ(plat::winsock_testing::ResolutionCount() - before, plat::winsock_testing::MaxLookupWorkers + 2);
  EXPECT_EQ(plat::winsock_testing::Stats().QueuedLookups, 0);
}

// Six names that hang leave room for a seventh lookup; past the pool's bound
// the rest wait in the queue rather than start more threads.
TEST_F(Lookups, NamesThatHangHoldUpNeitherOthersNorTheThreadCount) {
  std::vector<std::unique_ptr<TWSocket>> hung;
  for (int i = 0; i < 6; ++i) {
    hung.push_back(std::make_unique<TWSocket>(nullptr));
    hung.back()->LookupName("slow." + std::to_string(i) + ".test");
  }
  TWSocket quick(nullptr);
  Recorder rq;
  rq.Attach(quick);
  quick.LookupName("one.test");
  ASSERT_TRUE(PumpUntil([&] { return !rq.log.empty(); }));
  EXPECT_EQ(rq.log, (Log{"dns 0"}));
  EXPECT_EQ(SlowAnswers(), 0);

  const int max = plat::winsock_testing::MaxLookupWorkers;
  auto more = HangEveryWorker(2 * max);  // slow.0 to slow.5 are shared with the six above
  EXPECT_LE(plat::winsock_testing::Stats().LookupWorkers, max);
  int done = 0;
  for (auto& s : more) s->OnDnsLookupDone = [&](plat::TObject*, std::uint16_t) { ++done; };
  ReleaseSlow();
  ASSERT_TRUE(PumpUntil([&] { return done == 3 * max; }));
  EXPECT_LE(plat::winsock_testing::Stats().LookupWorkers, max);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return SlowAnswers() == 3 * max; }));
}

TEST_F(Lookups, CancelReportsInterruptedAndDropsTheAnswer) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("slow.one.test");
  WaitUntilTaken();
  s.CancelLookup();
  EXPECT_EQ(r.log, (Log{"dns 10004"}));
  // The dropped answer would be reported within the window after it comes.
  ReleaseSlow();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return SlowAnswers() == 1; }));
  PumpFor(50);
  EXPECT_EQ(r.log, (Log{"dns 10004"}));
  EXPECT_EQ(s.DnsResult(), "");
  s.CancelLookup();  // nothing pending: nothing happens
  EXPECT_EQ(r.log.size(), 1u);
}

TEST_F(Lookups, CancelOfAnAnswerAlreadyPostedIsReported) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupName("one.test");
  // Let the completion be posted, but do not dispatch it. Messages an
  // earlier case left in the queue say nothing about this one: wait until
  // the lookup has left the pool's pending ones.
  ASSERT_TRUE(testsupport::WaitUntil([] {
    plat::MSG m;
    plat::PeekMessage(m, false);  // runs the hand-back that posts it
    return plat::winsock_testing::Stats().PendingLookups == 0;
  }));
  ASSERT_GT(plat::PendingMessageCount(), 0u);
  try {
    s.CancelLookup();
    FAIL() << "cancel must be refused";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message, "Error 10037 in function WSACancelAsyncRequest\r\nOperation already in progress");
  }
  PumpFor(50);  // the posted answer is dispatched by the end of this window
  EXPECT_TRUE(r.log.empty()) << "the posted answer belongs to no lookup now";
}

TEST_F(Lookups, DestroyWithPendingLookupIsSilent) {
  Recorder r;
  {
    TWSocket s(nullptr);
    r.Attach(s);
    s.LookupName("slow.one.test");
    WaitUntilTaken();
  }
  // The answer would be reported within the window after it comes.
  ReleaseSlow();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return SlowAnswers() == 1; }));
  PumpFor(50);
  EXPECT_TRUE(r.log.empty());
}

TEST_F(Lookups, ConcurrentLookupsOfOneNameShareOneResolution) {
  std::vector<std::unique_ptr<TWSocket>> socks;
  int done = 0;
  int before = plat::winsock_testing::ResolutionCount();
  for (int i = 0; i < 20; ++i) {
    socks.push_back(std::make_unique<TWSocket>(nullptr));
    auto* s = socks.back().get();
    s->OnDnsLookupDone = [&, s](plat::TObject*, std::uint16_t e) {
      EXPECT_EQ(e, 0);
      EXPECT_EQ(s->DnsResult(), "10.0.0.1");
      ++done;
    };
    s->LookupName("slow.three.test");
  }
  // All twenty asked while the first resolution is still under way.
  ReleaseSlow();
  ASSERT_TRUE(PumpUntil([&] { return done == 20; }));
  EXPECT_LE(plat::winsock_testing::ResolutionCount() - before, 2);
}

TEST_F(Lookups, EmptyNameIsRefused) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  try {
    s.LookupName("");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message, "DNS lookup: invalid host name.");
  }
  EXPECT_TRUE(r.log.empty());
  int errors = 0;
  s.OnError = [&](plat::TObject*) { ++errors; };
  s.LookupName("");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(r.log, (Log{"dns 10022"}));
}

TEST_F(Lookups, AddressLookupOfLoopback) {
  TWSocket s(nullptr);
  Recorder r;
  r.Attach(s);
  s.LookupAddress("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
  ASSERT_EQ(r.log, (Log{"dns 0"}));
  EXPECT_FALSE(s.DnsResult().empty());
  EXPECT_EQ(s.DnsResultList()->Count(), 1);
  EXPECT_EQ(s.DnsResultList()->Strings(0), s.DnsResult());
}

TEST_F(Lookups, ResolveHost) {
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), Ip("127.0.0.1"));
  EXPECT_EQ(WSocketResolveHost("three.test"), Ip("10.0.0.1"));
  // A name that starts with a digit is still a name.
  EXPECT_EQ(WSocketResolveHost("3com.test"), Ip("10.9.8.7"));
  struct Bad {
    std::string host, message;
  } bad[] = {
      {"1.2.3.400", "WSocketResolveHost: '1.2.3.400' Invalid IP address."},
      {std::string(257, 'a'), "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname."},
      {"", "WSocketResolveHost: '' Invalid Hostname."},
      {"nowhere.test", "WSocketResolveHost: Cannot convert host address 'nowhere.test'"},
      {"4nowhere.test", "WSocketResolveHost: Cannot convert host address '4nowhere.test'"},
  };
  for (auto& b : bad) {
    try {
      WSocketResolveHost(b.host);
      ADD_FAILURE() << b.host;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message, b.message);
    }
  }
}

TEST_F(Lookups, ResolvePortAndProto) {
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("8080", "tcp"), 8080);
  EXPECT_EQ(WSocketResolvePort("80x", "tcp"), 80);
  EXPECT_THROW(WSocketResolvePort("65536", "tcp"), ERangeError);
  EXPECT_THROW(WSocketResolvePort("99999999999", "tcp"), EIntOverflow);
  auto msg = [](auto fn) {
    try {
      fn();
    } catch (const ESocketException& e) {
      return e.Message;
    }
    return std::string("no exception");
  };
  EXPECT_EQ(msg([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(msg([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(msg([] { WSocketResolvePort("no-such-service", "tcp"); }),
            "WSocketResolvePort: Cannot convert port 'no-such-service'");
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto(" 17"), 17);
  EXPECT_EQ(msg([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(msg([] { WSocketResolveProto("nonsense"); }),
            "WSocketResolveProto: Cannot convert protocol 'nonsense'");
}

TEST(Decimal, ParseDecimal) {
  struct {
    const char* text;
    int value;
  } cases[] = {{"  42abc", 42}, {"x1", 0}, {"", 0}, {"007", 7}, {"-5", 0}, {"2147483647", 2147483647}};
  for (auto& c : cases) EXPECT_EQ(WSocketParseDecimal(c.text), c.value) << c.text;
  EXPECT_THROW(WSocketParseDecimal("2147483648"), EIntOverflow);
  EXPECT_TRUE(WSocketIsDigit('0'));
  EXPECT_FALSE(WSocketIsDigit('a'));
}

TEST(Setters, TextsWhileOpenAndTrimming) {
  Peer peer([](int fd) { Peer::ReadAll(fd, testsupport::kPatienceMs); });
  TWSocket s(nullptr);
  s.SetAddr("  127.0.0.1\t");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SetLocalPort(" 0 ");
  EXPECT_EQ(s.LocalPort(), " 0 ");
  s.SetLocalPort("0");
  s.SetPort(peer.Port());
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  s.SetAddr("127.0.0.1");  // the same text: accepted
  s.SetPort(peer.Port());
  s.SetProto("tcp");
  struct {
    std::function<void()> set;
    const char* message;
  } cases[] = {
      {[&] { s.SetAddr("127.0.0.2"); }, "Cannot change Addr if not closed"},
      {[&] { s.SetPort("1"); }, "Cannot change Port if not closed"},
      {[&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { s.SetLocalPort("0"); }, "Cannot change LocalPort if not closed"},
  };
  for (auto& c : cases) {
    try {
      c.set();
      ADD_FAILURE() << c.message;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message, c.message);
    }
  }
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  EXPECT_EQ(s.PeerAddressText(), "127.0.0.1");
  EXPECT_NE(s.GetBoundPort(), "error");
  s.Close();
  EXPECT_EQ(s.PeerAddressText(), "error");
  EXPECT_EQ(s.GetBoundPort(), "error");
}

}  // namespace

// Sending and receiving: the send queue, OnDataSent timing, resets, the
// read loop without a handler, the waiting loops.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "tests/httpclient/wsocket_helpers.h"
#include "tests/support/wait.h"

using namespace wstest;
using Log = std::vector<std::string>;
using testsupport::Signal;

namespace {

// A socket whose "system" takes at most `budget` bytes, then would block.
class ThrottledSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  int budget = 1 << 30;
  std::vector<int> calls;  // byte counts offered to the system
  using TCustomWSocket::SendQueue;

 protected:
  int RawSend(const void* Data, int Len) override {
    calls.push_back(Len);
    if (budget <= 0) {
      // Nothing is taken: tell the caller it would block.
      plat::FARPROC p = LoadWinsockProc("WSASetLastError");
      reinterpret_cast<plat::PFN_WSASetLastError>(p)(plat::WSAEWOULDBLOCK);
      return -1;
    }
    int n = std::min(Len, budget);
    budget -= n;
    return TWSocket::RawSend(Data, n);
  }
};

// sendBuffer > 0 caps the client's send buffer.
template <class T = TWSocket>
std::unique_ptr<T> ConnectedClient(Peer& peer, Recorder& r, int sendBuffer = 0) {
  auto s = std::make_unique<T>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  r.Attach(*s);
  s->Connect();
  if (sendBuffer > 0) SetSendBuffer(*s, sendBuffer);
  EXPECT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));  // the first write notification
  r.log.clear();
  return s;
}

// Fills the pipe to a peer that does not read: sends chunks of `chunk` bytes
// until the system would take no more (bytes wait in the queue), within
// `limit` bytes, then queues `chunk` more, far beyond what the capped
// buffers can still take once acknowledgements free room in them.
void FillPipe(TCustomWSocket& s, std::size_t chunk, std::size_t limit) {
  std::string bytes(chunk, 'z');
  for (std::size_t sent = 0; sent < limit && s.AllSent(); sent += chunk) s.Send(bytes.data(), static_cast<int>(chunk));
  s.Send(bytes.data(), static_cast<int>(chunk));
}

TEST(SocketSend, WholeSendFiresDataSentOnceAfterReturn) {
  std::string got;
  Peer peer([&](int fd) { got = Peer::ReadAll(fd, 2000); });
  Recorder r;
  auto s = ConnectedClient(peer, r);
  EXPECT_EQ(s->SendString("GET / HTTP/1.0\r\n\r\n"), 18);
  EXPECT_TRUE(r.log.empty()) << "no event inside Send";
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  PumpFor(50);  // once: no second report follows within this window
  EXPECT_EQ(r.log, (Log{"sent 0"}));
  s->Close();
  PumpFor(20);
}

TEST(SocketSend, SendInsideConnectedSeesTwoDataSent) {
  Peer peer([&](int fd) { Peer::ReadAll(fd, 2000); });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->OnSessionConnected = [&](plat::TObject*, std::uint16_t) { s->SendString("hello"); };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return std::count(r.log.begin(), r.log.end(), "sent 0") >= 2; }));
  PumpFor(50);  // and no third within this window
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "sent 0"), 2);
  s->Close();
}

TEST(SocketSend, BlocksAreFilledCompletelyBeforeTheNext) {
  Peer peer([&](int fd) { Peer::ReadAll(fd, 2000); });
  Recorder r;
  auto s = ConnectedClient<ThrottledSocket>(peer, r);
  s->budget = 0;
  std::string data(3000, 'x');
  EXPECT_EQ(s->Send(data.data(), 3000), 3000);
  ASSERT_EQ(s->SendQueue().size(), 2u);
  EXPECT_EQ(s->SendQueue()[0]->WrittenCount, 1514);
  EXPECT_EQ(s->SendQueue()[1]->WrittenCount, 1486);
  s->Abort();
}

TEST(SocketSend, PartialSendWaitsForWriteNotification) {
  std::string got;
  std::atomic<bool> received{false};  // got is the peer thread's until then
  Peer peer([&](int fd) {
    got = Peer::ReadExactly(fd, 3000);
    received = true;
    Peer::ReadAll(fd, testsupport::kPatienceMs);
  });
  Recorder r;
  auto s = ConnectedClient<ThrottledSocket>(peer, r);
  s->budget = 2000;
  std::string data;
  for (int i = 0; i < 3000; ++i) data += static_cast<char>('a' + i % 26);
  EXPECT_EQ(s->Send(data.data(), 3000), 3000);
  EXPECT_EQ(s->calls, (std::vector<int>{1514, 1486}));  // 1514 + 486 taken, 1000 wait
  EXPECT_FALSE(s->AllSent());
  PumpFor(30);  // a report would come within this window
  EXPECT_TRUE(r.log.empty()) << "nothing may be reported while bytes wait";
  s->budget = 1 << 30;
  // The system's next write notification sends the rest, then reports.
  plat::PostMessage(s->WindowHandle(), WM_SOCKET_EVENT, s->SocketHandle(), plat::MAKELONG(plat::FD_WRITE, 0));
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  PumpFor(30);  // once: no second report follows within this window
  EXPECT_EQ(s->calls.back(), 1000);
  EXPECT_EQ(r.log, (Log{"sent 0"}));
  ASSERT_TRUE(PumpUntil([&] { return received.load(); }));
  EXPECT_EQ(got, data);
  s->Close();
}

TEST(SocketSend, ZeroLengthSend) {
  Peer peer([&](int fd) { Peer::ReadAll(fd, 2000); });
  Recorder r;
  auto s = ConnectedClient(peer, r);
  // Never sent: no block exists, nothing is posted.
  EXPECT_EQ(s->Send("", 0), 0);
  PumpFor(30);  // a report would come within this window
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(s->SendQueueCount(), 0);
  // With the (empty) block of an earlier send, a report follows.
  s->SendString("x");
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  r.log.clear();
  EXPECT_EQ(s->Send("", 0), 0);
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  PumpFor(30);  // once: no second report follows within this window
  EXPECT_EQ(r.log, (Log{"sent 0"}));
  EXPECT_EQ(s->SendQueueCount(), 1);
  s->Close();
}

TEST(SocketSend, SendWhileConnectingIsRefusedAndCloses) {
  // A listener that never accepts keeps the connection pending? No: the
  // kernel completes it at once. A refused port keeps us connecting
  // until the notification is handled, which is all this needs.
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(ClosedPort());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_EQ(s->State(), wsConnecting);
  r.log.clear();
  try {
    s->SendString("x");
    FAIL() << "Send must raise";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message, "Error 10057 in function Send\r\nSocket is not connected");
  }
  EXPECT_EQ(r.log, (Log{"state connecting>closed"}));
  EXPECT_EQ(s->LastError(), 10057);
  PumpFor(50);  // the refused connect's notification would come within this window
  EXPECT_EQ(r.log, (Log{"state connecting>closed"})) << "the old connection's notifications are dropped";
}

TEST(SocketSend, LargeTransferSurvivesWouldBlockAndPartialSends) {
  const std::size_t total = 4 << 20;
  std::string got;
  std::atomic<bool> received{false};  // got is the peer thread's until then
  Signal queued;  // the peer reads only once the queue holds bytes
  Peer peer(
      [&](int fd) {
        queued.Wait();
        got = Peer::ReadExactly(fd, total, testsupport::kPatienceMs);
        received = true;
      },
      1, kSmallReceiveBuffer);
  Recorder r;
  // With both buffers small, 4 MiB are far more than the pipe holds.
  auto s = ConnectedClient(peer, r, kSmallSendBuffer);
  std::string data(total, '\0');
  for (std::size_t i = 0; i < total; ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  for (std::size_t off = 0; off < total; off += 65536) s->Send(data.data() + off, 65536);
  EXPECT_FALSE(s->AllSent());
  queued.Set();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "sent 0"), 1);
  ASSERT_TRUE(PumpUntil([&] { return received.load(); }));
  EXPECT_EQ(got.size(), total);
  EXPECT_TRUE(got == data);
  s->Close();
}

TEST(SocketSend, PeerResetWhileBytesQueued) {
  Signal queued;  // the peer resets only once the queue holds bytes
  Peer peer(
      [&](int fd) {
        queued.Wait();
        ::linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      },
      1, kSmallReceiveBuffer);
  Recorder r;
  auto s = ConnectedClient(peer, r, kSmallSendBuffer);
  // Until the system takes no more, so bytes are still queued at the reset.
  FillPipe(*s, 1 << 20, std::size_t{64} << 20);
  ASSERT_FALSE(s->AllSent());
  queued.Set();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
  PumpFor(50);  // a second close report or a late "sent" would come within this window
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "closed 10054"), 1);
  EXPECT_TRUE(r.Has("state connected>closed"));
  EXPECT_FALSE(r.Has("sent 0"));
}

TEST(SocketReceive, WithoutHandlerDataIsDropped) {
  Signal sent;
  Peer peer([&](int fd) {
    Peer::SendAll(fd, std::string(5000, 'q'));
    sent.Set();
    Peer::ReadAll(fd, testsupport::kPatienceMs);
  });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  ASSERT_TRUE(sent.Wait());
  PumpFor(100);  // the data's notifications come within this window
  EXPECT_EQ(s->RcvdCount(), 0);
  EXPECT_EQ(s->ReceiveString(), "");
  EXPECT_EQ(s->ReadCount(), 0);
  s->Close();
}

TEST(SocketReceive, ReceiveStringTakesAllWaiting) {
  Peer peer([&](int fd) {
    Peer::SendAll(fd, "abcdef");
    Peer::ReadAll(fd, testsupport::kPatienceMs);
  });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  std::string got;
  s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) { got += s->ReceiveString(); };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 6; }));
  EXPECT_EQ(got, "abcdef");
  EXPECT_EQ(s->ReadCount(), 0) << "ReceiveString does not count";
  s->Close();
}

TEST(SocketReceive, ExceptionInDataHandlerIsSwallowed) {
  Peer peer([&](int fd) {
    Peer::SendAll(fd, "abc");
    Peer::ReadAll(fd, testsupport::kPatienceMs);
  });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  int calls = 0;
  s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    ++calls;
    char b[16];
    s->Receive(b, sizeof b);
    throw plat::Exception("bad data");
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(50);  // a second call or an abort would come within this window
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(s->State(), wsConnected) << "the read loop swallows it: no abort";
  s->Close();
}

TEST(SocketWait, FlushSendsEverythingAndReadUntilClosedDrains) {
  const std::size_t total = 1 << 20;
  Peer peer([&](int fd) {
    std::string in = Peer::ReadExactly(fd, total);
    Peer::SendAll(fd, std::to_string(in.size()));
  });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  std::string reply;
  s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    char b[64];
    int n = s->Receive(b, sizeof b);
    if (n > 0) reply.append(b, static_cast<std::size_t>(n));
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  std::string data(total, 'f');
  s->Send(data.data(), static_cast<int>(total));
  s->Flush();
  EXPECT_TRUE(s->AllSent());
  s->ReadUntilClosed();
  EXPECT_EQ(s->State(), wsClosed);
  EXPECT_EQ(reply, std::to_string(total));
}

TEST(SocketWait, WaitingLoopsEndWhenNothingCanHappen) {
  // A paused socket whose peer has closed: no close notification will ever
  // arrive, ReadUntilClosed must still return, and not only by giving up
  // after its idle limit (a minute without progress).
  Signal peerClosed;
  Peer peer([&](int fd) {
    ::shutdown(fd, SHUT_WR);
    peerClosed.Set();
  });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  s->Pause();
  ASSERT_TRUE(peerClosed.Wait());
  const std::int64_t t0 = testsupport::NowMs();
  s->ReadUntilClosed();
  EXPECT_LT(testsupport::NowMs() - t0, 30000) << "it gave up instead of seeing the end";
  s->Resume();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));

  // A peer that never reads: Flush gives up once nothing moved for a long
  // while (the clock is made to run fast). The peer holds the connection
  // open until the test is done with it.
  Signal done;
  Peer stuck([&](int) { done.Wait(); }, 1, kSmallReceiveBuffer);
  auto t = std::make_unique<TWSocket>(nullptr);
  t->SetAddr("127.0.0.1");
  t->SetPort(stuck.Port());
  t->Connect();
  SetSendBuffer(*t, kSmallSendBuffer);
  ASSERT_TRUE(PumpUntil([&] { return t->State() == wsConnected; }));
  FillPipe(*t, 1 << 20, std::size_t{64} << 20);
  ASSERT_FALSE(t->AllSent());
  std::int64_t fake = 0;
  plat::SetTickSourceForTests([&] { return fake += 1000; });
  t->Flush();
  plat::SetTickSourceForTests(nullptr);
  EXPECT_FALSE(t->AllSent());
  t->Abort();
  done.Set();
}

TEST(SocketWait, OwnPumpTakesQuitMessage) {
  // The peer stays until the quit message waits, so ReadUntilClosed finds
  // the connection open and pumps.
  Signal quitPosted;
  Peer peer([&](int) { quitPosted.Wait(); });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  s->SetMultiThreaded(true);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  plat::PostQuitMessage(0);
  quitPosted.Set();
  s->ReadUntilClosed();
  EXPECT_TRUE(s->QuitSeen());
  plat::MSG m;
  bool quitLeft = false;
  while (plat::PeekMessage(m, true)) quitLeft = quitLeft || m.message == plat::WM_QUIT;
  EXPECT_FALSE(quitLeft);
}

}  // namespace

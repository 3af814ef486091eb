// Sending and receiving: the send queue, OnDataSent timing, resets, the
// read loop without a handler, the waiting loops.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "tests/httpclient/wsocket_helpers.h"

using namespace wstest;
using Log = std::vector<std::string>;

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

template <class T = TWSocket>
std::unique_ptr<T> ConnectedClient(Peer& peer, Recorder& r) {
  auto s = std::make_unique<T>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  r.Attach(*s);
  s->Connect();
  EXPECT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));  // the first write notification
  r.log.clear();
  return s;
}

TEST(SocketSend, WholeSendFiresDataSentOnceAfterReturn) {
  std::string got;
  Peer peer([&](int fd) { got = Peer::ReadAll(fd, 2000); });
  Recorder r;
  auto s = ConnectedClient(peer, r);
  EXPECT_EQ(s->SendString("GET / HTTP/1.0\r\n\r\n"), 18);
  EXPECT_TRUE(r.log.empty()) << "no event inside Send";
  PumpFor(50);
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
  PumpUntil([&] { return false; }, 100);
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
    Peer::ReadAll(fd, 1000);
  });
  Recorder r;
  auto s = ConnectedClient<ThrottledSocket>(peer, r);
  s->budget = 2000;
  std::string data;
  for (int i = 0; i < 3000; ++i) data += static_cast<char>('a' + i % 26);
  EXPECT_EQ(s->Send(data.data(), 3000), 3000);
  EXPECT_EQ(s->calls, (std::vector<int>{1514, 1486}));  // 1514 + 486 taken, 1000 wait
  EXPECT_FALSE(s->AllSent());
  PumpFor(30);
  EXPECT_TRUE(r.log.empty()) << "nothing may be reported while bytes wait";
  s->budget = 1 << 30;
  // The system's next write notification sends the rest, then reports.
  plat::PostMessage(s->WindowHandle(), WM_SOCKET_EVENT, s->SocketHandle(), plat::MAKELONG(plat::FD_WRITE, 0));
  PumpFor(30);
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
  PumpFor(30);
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(s->SendQueueCount(), 0);
  // With the (empty) block of an earlier send, a report follows.
  s->SendString("x");
  PumpFor(30);
  r.log.clear();
  EXPECT_EQ(s->Send("", 0), 0);
  PumpFor(30);
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
  PumpFor(50);
  EXPECT_EQ(r.log, (Log{"state connecting>closed"})) << "the old connection's notifications are dropped";
}

TEST(SocketSend, LargeTransferSurvivesWouldBlockAndPartialSends) {
  const std::size_t total = 4 << 20;
  std::string got;
  std::atomic<bool> received{false};  // got is the peer thread's until then
  Peer peer([&](int fd) {
    ::usleep(100000);  // let the queue fill up first
    got = Peer::ReadExactly(fd, total);
    received = true;
  });
  Recorder r;
  auto s = ConnectedClient(peer, r);
  std::string data(total, '\0');
  for (std::size_t i = 0; i < total; ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  for (std::size_t off = 0; off < total; off += 65536) s->Send(data.data() + off, 65536);
  EXPECT_FALSE(s->AllSent());
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }, 20000));
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "sent 0"), 1);
  ASSERT_TRUE(PumpUntil([&] { return received.load(); }, 20000));
  EXPECT_EQ(got.size(), total);
  EXPECT_TRUE(got == data);
  s->Close();
}

TEST(SocketSend, PeerResetWhileBytesQueued) {
  Peer peer([&](int fd) {
    ::usleep(100000);
    ::linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  });
  Recorder r;
  auto s = ConnectedClient(peer, r);
  std::string chunk(65536, 'z');
  // More than loopback buffers can hold, so bytes are still queued at the reset.
  for (int i = 0; i < 256; ++i) s->Send(chunk.data(), static_cast<int>(chunk.size()));
  ASSERT_FALSE(s->AllSent());
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
  PumpFor(50);
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "closed 10054"), 1);
  EXPECT_TRUE(r.Has("state connected>closed"));
  EXPECT_FALSE(r.Has("sent 0"));
}

TEST(SocketReceive, WithoutHandlerDataIsDropped) {
  Peer peer([&](int fd) {
    Peer::SendAll(fd, std::string(5000, 'q'));
    Peer::ReadAll(fd, 300);
  });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  PumpFor(100);
  EXPECT_EQ(s->RcvdCount(), 0);
  EXPECT_EQ(s->ReceiveString(), "");
  EXPECT_EQ(s->ReadCount(), 0);
  s->Close();
}

TEST(SocketReceive, ReceiveStringTakesAllWaiting) {
  Peer peer([&](int fd) {
    Peer::SendAll(fd, "abcdef");
    Peer::ReadAll(fd, 500);
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
    Peer::ReadAll(fd, 500);
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
  PumpFor(50);
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
  // arrive, ReadUntilClosed must still return.
  Peer peer([&](int) {});
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  s->Pause();
  ::usleep(50000);
  s->ReadUntilClosed();
  s->Resume();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));

  // A peer that never reads: Flush gives up once nothing moved for a long
  // while (the clock is made to run fast).
  Peer stuck([&](int fd) { ::usleep(300000); (void)fd; });
  auto t = std::make_unique<TWSocket>(nullptr);
  t->SetAddr("127.0.0.1");
  t->SetPort(stuck.Port());
  t->Connect();
  ASSERT_TRUE(PumpUntil([&] { return t->State() == wsConnected; }));
  std::string chunk(1 << 20, 'w');
  for (int i = 0; i < 16; ++i) t->Send(chunk.data(), 1 << 20);
  ASSERT_FALSE(t->AllSent());
  std::int64_t fake = 0;
  plat::SetTickSourceForTests([&] { return fake += 1000; });
  t->Flush();
  plat::SetTickSourceForTests(nullptr);
  EXPECT_FALSE(t->AllSent());
  t->Abort();
}

TEST(SocketWait, OwnPumpTakesQuitMessage) {
  Peer peer([&](int) { ::usleep(50000); });
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  s->SetMultiThreaded(true);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  plat::PostQuitMessage(0);
  s->ReadUntilClosed();
  EXPECT_TRUE(s->QuitSeen());
  plat::MSG m;
  bool quitLeft = false;
  while (plat::PeekMessage(m, true)) quitLeft = quitLeft || m.message == plat::WM_QUIT;
  EXPECT_FALSE(quitLeft);
}

}  // namespace

// Event orders of the socket component against peers on 127.0.0.1.
#include <gtest/gtest.h>

#include <memory>

#include "tests/httpclient/wsocket_helpers.h"

using namespace wstest;
using Log = std::vector<std::string>;

namespace {

// The read notification is posted only when the loop next polls, so
// waiting here keeps it out of the queue.
void WaitForBytesWithoutDispatching(TWSocket& s, int n) {
  testsupport::WaitUntil([&] { return s.RcvdCount() >= n; });
  ASSERT_EQ(s.RcvdCount(), n);
}

std::unique_ptr<TWSocket> Client(const std::string& port) {
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(port);
  s->SetProto("tcp");
  return s;
}

TEST(SocketEvents, RefusedConnection) {
  auto s = Client(ClosedPort());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  EXPECT_EQ(s->State(), wsConnecting);
  EXPECT_EQ(r.log, (Log{"state closed>opened", "state opened>connecting"}));
  ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }));
  PumpFor(50);  // anything more would come within this window
  EXPECT_EQ(r.log, (Log{"state closed>opened", "state opened>connecting", "state connecting>connected",
                        "connected 10061", "state connected>closed", "closed 0"}));
  EXPECT_EQ(s->State(), wsClosed);
}

TEST(SocketEvents, ServerSendsLastDataAndCloses) {
  Peer peer([](int fd) { Peer::SendAll(fd, "last words"); });
  auto s = Client(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
  PumpFor(50);  // anything more would come within this window
  EXPECT_EQ(r.data, "last words");
  // Whatever data events came, the close comes after them, then the state.
  Log tail = r.Without("sent");
  ASSERT_GE(tail.size(), 3u);
  EXPECT_EQ(tail[tail.size() - 2], "closed 0");
  EXPECT_EQ(tail.back(), "state connected>closed");
  EXPECT_EQ(tail[tail.size() - 3].rfind("data", 0), 0u);
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "closed 0"), 1);
}

TEST(SocketEvents, RemoteCloseWithoutHandlerResetsToDefaults) {
  Peer peer([](int) {});
  auto s = Client(peer.Port());
  s->SetLocalPort("0");
  Recorder r;
  r.Attach(*s, true, /*closedHandler=*/false);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
  EXPECT_EQ(s->Proto(), "tcp");
  EXPECT_EQ(s->LocalPort(), "0");
  EXPECT_EQ(s->ReadCount(), 0);
  // Addr and Port keep their texts but must be given again.
  EXPECT_EQ(s->Addr(), "127.0.0.1");
  EXPECT_THROW(s->Connect(), ESocketException);
}

TEST(SocketEvents, FirstWriteNotificationFiresDataSent) {
  Peer peer([](int fd) { Peer::ReadAll(fd, 2000); });
  auto s = Client(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  EXPECT_EQ(r.log, (Log{"state closed>opened", "state opened>connecting", "state connecting>connected",
                        "connected 0", "sent 0"}));
  s->Close();
}

TEST(SocketEvents, DestroyWhileConnectedFiresOnlyStateChange) {
  Peer peer([](int fd) { Peer::ReadAll(fd, 2000); });
  auto* s = new TWSocket(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  r.log.clear();
  plat::Free(s);
  EXPECT_EQ(r.log, (Log{"state connected>closed"}));
  PumpFor(30);  // the freed socket's notifications, dropped, would come within this window
}

TEST(SocketEvents, ExceptionInConnectedAbortsUnlessKept) {
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "handler keeps the socket" : "no handler");
    Peer peer([](int fd) { Peer::ReadAll(fd, testsupport::kPatienceMs); });
    auto s = Client(peer.Port());
    Recorder r;
    r.Attach(*s);
    s->OnSessionConnected = [](plat::TObject*, std::uint16_t) { throw plat::Exception("boom"); };
    std::string seen;
    if (keep)
      s->OnBgException = [&](plat::TObject*, const std::exception& e, bool& canClose) {
        seen = e.what();
        canClose = false;
      };
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("state connecting>connected"); }));
    if (!keep) {
      ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
    }
    PumpFor(50);  // a kept socket would be closed within this window
    if (keep) {
      EXPECT_EQ(seen, "boom");
      EXPECT_EQ(s->State(), wsConnected);
      s->Close();
    } else {
      EXPECT_EQ(s->State(), wsClosed);
    }
  }
}

TEST(SocketEvents, StaleHandleNotificationIsIgnored) {
  Peer peer([](int fd) { Peer::ReadAll(fd, 2000); }, 2);
  auto s = Client(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
  plat::SOCKET old = s->SocketHandle();
  s->Close();
  s->SetAddr("127.0.0.1");
  s->SetPort(peer.Port());
  r.log.clear();
  s->Connect();
  // The new connection's own notifications are over with its first write
  // notification.
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  PumpFor(30);
  ASSERT_NE(old, s->SocketHandle());
  r.log.clear();
  plat::PostMessage(s->WindowHandle(), WM_SOCKET_EVENT, old, plat::MAKELONG(plat::FD_CLOSE, 0));
  plat::PostMessage(s->WindowHandle(), WM_SOCKET_EVENT, old, plat::MAKELONG(plat::FD_WRITE, 0));
  PumpFor(50);  // both posted messages are dispatched by the end of this window
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(s->State(), wsConnected);
  s->Close();
}

TEST(SocketEvents, HandlerThatClosesEndsTheMessage) {
  Peer peer([](int fd) {
    Peer::ReadExactly(fd, 2);
    Peer::SendAll(fd, "bye");
    Peer::ReadAll(fd, 2000);
  });
  auto s = Client(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  s->SendString("go");
  // Wait for the answer without dispatching, then hand the socket one
  // message holding read, write and close: the data handler closes it.
  WaitForBytesWithoutDispatching(*s, 3);
  r.log.clear();
  r.data.clear();
  s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    char b[16];
    int n = s->Receive(b, sizeof b);
    if (n > 0) r.data.append(b, static_cast<std::size_t>(n));
    r.log.push_back("data");
    s->Close();
  };
  plat::PostMessage(s->WindowHandle(), WM_SOCKET_EVENT, s->SocketHandle(),
                    plat::MAKELONG(plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE, 0));
  PumpFor(50);  // the posted message is dispatched by the end of this window
  EXPECT_EQ(r.data, "bye");
  EXPECT_EQ(r.log, (Log{"sent 0", "data", "state connected>closed", "closed 0"}));
}

TEST(SocketEvents, CloseNotificationWithDataWhoseHandlerCloses) {
  Peer peer([](int fd) {
    Peer::ReadExactly(fd, 2);
    Peer::SendAll(fd, "bye");
    Peer::ReadAll(fd, 2000);
  });
  auto s = Client(peer.Port());
  Recorder r;
  r.Attach(*s);
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  s->SendString("go");
  WaitForBytesWithoutDispatching(*s, 3);
  r.log.clear();
  s->OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    char b[16];
    s->Receive(b, sizeof b);
    s->Close();
  };
  plat::PostMessage(s->WindowHandle(), WM_SOCKET_EVENT, s->SocketHandle(), plat::MAKELONG(plat::FD_CLOSE, 0));
  PumpFor(50);  // the posted message is dispatched by the end of this window
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "closed 0"), 1) << "one close event per connection";
}

TEST(SocketEvents, ChangeStateToSameStateStillFires) {
  auto s = Client(ClosedPort());
  Recorder r;
  r.Attach(*s);
  // A send on a closed socket closes it again: closed > closed.
  s->OnError = [](plat::TObject*) {};
  EXPECT_EQ(s->Send("x", 1), -1);
  EXPECT_EQ(r.log, (Log{"state closed>closed"}));
  EXPECT_EQ(s->LastError(), 10057);
}

}  // namespace

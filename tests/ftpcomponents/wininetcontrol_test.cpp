// The Internet-session component: options, state, messages and abort.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ftpcomponents/WinInetControl.h"

using namespace plat::inet;

namespace {

class TestControl : public TWinInetControl {
 public:
  using TWinInetControl::TWinInetControl;
  using TWinInetControl::RaiseConnectError;
  void UpdateQuickProgress() override {}
  HINTERNET Handle() const { return InetHandle_.load(); }
};

struct StatusBar : IStatusDisplay {
  bool simple = true;
  int panels = 0;
  std::vector<std::string> writes;
  bool SimplePanel() const override { return simple; }
  void SetSimpleText(const std::string& t) override { writes.push_back("simple:" + t); }
  int PanelCount() const override { return panels; }
  void SetPanelText(int i, const std::string& t) override { writes.push_back("panel" + std::to_string(i) + ":" + t); }
};

}  // namespace

TEST(WinInetControl, OptionsBeforeAndAfterTheSessionOpens) {
  TestControl c(nullptr);
  EXPECT_EQ(c.ConnectTimeout(), 300000);
  EXPECT_EQ(c.ConnectRetries(), 3);
  c.SetConnectTimeout(0);
  EXPECT_EQ(c.ConnectTimeout(), 300000);
  c.SetConnectRetries(0);
  EXPECT_EQ(c.ConnectRetries(), 0);
  c.SetConnectTimeout(1234);
  c.SetConnectRetries(2);
  const std::size_t before = OpenHandleCount();
  EXPECT_FALSE(c.Connect());
  ASSERT_NE(c.Handle(), 0u);
  EXPECT_EQ(OpenHandleCount(), before + 1);
  // Read back from the session now.
  DWORD v = 0, len = 4;
  ASSERT_TRUE(InternetQueryOptionA(c.Handle(), INTERNET_OPTION_CONNECT_TIMEOUT, &v, &len));
  EXPECT_EQ(v, 1234u);
  EXPECT_EQ(c.ConnectTimeout(), 1234);
  EXPECT_EQ(c.ConnectRetries(), 2);
  c.SetConnectTimeout(4321);
  ASSERT_TRUE(InternetQueryOptionA(c.Handle(), INTERNET_OPTION_CONNECT_TIMEOUT, &v, &len));
  EXPECT_EQ(v, 4321u);
  // A second connect keeps the session.
  HINTERNET h = c.Handle();
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.Handle(), h);
  EXPECT_EQ(OpenHandleCount(), before + 1);
  // Connected already: true at once.
  c.StatusChanged(INTERNET_STATUS_CONNECTED_TO_SERVER, nullptr, 0);
  EXPECT_TRUE(c.Connect());
  EXPECT_TRUE(c.Disconnect());
  EXPECT_EQ(c.Handle(), 0u);
  EXPECT_EQ(OpenHandleCount(), before);
}

TEST(WinInetControl, ProxyBypassListIsACopy) {
  TestControl c(nullptr);
  plat::TStringList l;
  l.Add("a");
  l.Add("b");
  c.SetProxyBypassList(l);
  l.Add("c");
  EXPECT_EQ(c.ProxyBypassList().Text(), "a\r\nb\r\n");
  c.SetProxyBypassList(plat::TStringList());
  EXPECT_EQ(c.ProxyBypassList().Count(), 0);
}

TEST(WinInetControl, StatusNotificationsMoveTheState) {
  TestControl c(nullptr);
  c.HostName = "ftp.example";
  std::vector<TWinInetState> seen;
  c.OnStateChange = [&](plat::TObject* s, TWinInetState st) {
    EXPECT_EQ(s, &c);
    seen.push_back(st);
  };
  struct Case {
    DWORD status;
    TWinInetState state;
    const char* text;
  };
  const Case cases[] = {
      {10, isResolving, "Resolving name ftp.example"},   {11, isResolved, "Resolved name ftp.example"},
      {20, isConnecting, "Connecting to ftp.example"},   {21, isConnected, "Connected to ftp.example"},
      {50, isDisconnecting, "Disconnecting from ftp.example"}, {51, isDisconnected, "No connection"},
  };
  for (const Case& k : cases) {
    c.StatusChanged(k.status, nullptr, 0);
    EXPECT_EQ(c.State(), k.state);
    EXPECT_EQ(c.StateText(), k.text);
  }
  EXPECT_EQ(seen.size(), 6u);
  // A repeat, and statuses the base ignores, fire nothing.
  c.StatusChanged(51, nullptr, 0);
  c.StatusChanged(INTERNET_STATUS_REQUEST_SENT, nullptr, 0);
  c.StatusChanged(INTERNET_STATUS_WAITING, nullptr, 0);
  EXPECT_EQ(seen.size(), 6u);
}

TEST(WinInetControl, QuickStatusOnlyWithQuickProgress) {
  TestControl c(nullptr);
  c.HostName = "h";
  StatusBar bar;
  c.QuickStatus = &bar;
  c.StatusChanged(20, nullptr, 0);
  EXPECT_TRUE(bar.writes.empty());
  c.QuickProgress = true;
  c.StatusChanged(21, nullptr, 0);
  bar.simple = false;
  c.StatusChanged(50, nullptr, 0);  // no panel: nothing to write to
  bar.panels = 2;
  c.StatusChanged(51, nullptr, 0);
  c.StatusChanged(51, nullptr, 0);  // repeat: untouched
  EXPECT_EQ(bar.writes, (std::vector<std::string>{"simple:Connected to h", "panel0:No connection"}));
}

TEST(WinInetControl, ConnectErrorMessages) {
  TestControl c(nullptr);
  c.HostName = "ftp.example";
  c.UserName = "bob";
  c.SilentExceptions = false;
  struct Case {
    DWORD code;
    const char* message;
  };
  const Case cases[] = {
      {12002, "Connection to ftp.example timed out"},
      {12004, "Internal WININET error"},
      {12007, "Unable to resolve host name 'ftp.example'"},
      {12013, "Bad user name: 'bob' connecting to ftp.example"},
      {12014, "Bad password connecting to ftp.example"},
      {12015, "Unable to connect to ftp.example"},
      {12029, "Unable to connect to ftp.example"},
      {12003, "General Connection Error to ftp.example"},
      {12017, "General Connection Error to ftp.example"},
  };
  for (const Case& k : cases) {
    c.StatusChanged(21, nullptr, 0);
    try {
      c.RaiseConnectError(k.code);
      ADD_FAILURE() << k.code << " did not raise";
    } catch (const EWinInetError& e) {
      EXPECT_EQ(e.Message, k.message);
    }
    EXPECT_EQ(c.State(), isDisconnected);
  }
  c.SilentExceptions = true;
  c.StatusChanged(21, nullptr, 0);
  EXPECT_NO_THROW(c.RaiseConnectError(12029));
  EXPECT_EQ(c.State(), isDisconnected);
}

TEST(WinInetControl, DisconnectFiresOnlyOnAChange) {
  TestControl c(nullptr);
  int disconnected = 0;
  c.OnDisconnected = [&](plat::TObject*) { ++disconnected; };
  c.Connect();
  EXPECT_TRUE(c.Disconnect());
  EXPECT_EQ(disconnected, 0);
  c.StatusChanged(21, nullptr, 0);
  EXPECT_TRUE(c.Disconnect());
  EXPECT_EQ(disconnected, 1);
}

TEST(WinInetControl, AbortClosesOnAWorkerAndReportsOnThisThread) {
  const std::size_t before = OpenHandleCount();
  TestControl c(nullptr);
  // Without a session: the worker still runs and Abort returns.
  c.Abort();
  EXPECT_EQ(c.State(), isDisconnected);
  c.Connect();
  c.StatusChanged(21, nullptr, 0);
  std::vector<std::thread::id> threads;
  int disconnected = 0;
  c.OnStateChange = [&](plat::TObject*, TWinInetState) { threads.push_back(std::this_thread::get_id()); };
  c.OnDisconnected = [&](plat::TObject*) {
    ++disconnected;
    threads.push_back(std::this_thread::get_id());
  };
  c.Abort();
  EXPECT_EQ(c.Handle(), 0u);
  EXPECT_EQ(OpenHandleCount(), before);
  EXPECT_EQ(c.State(), isDisconnected);
  EXPECT_EQ(disconnected, 1);
  ASSERT_EQ(threads.size(), 2u);
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  // The hand-over queued for the pump finds nothing more to do.
  plat::ProcessMessages();
  EXPECT_EQ(disconnected, 1);
}

TEST(WinInetControl, DestructionFiresNothing) {
  int events = 0;
  {
    TestControl c(nullptr);
    c.Connect();
    c.StatusChanged(21, nullptr, 0);
    c.OnStateChange = [&](plat::TObject*, TWinInetState) { ++events; };
    c.OnDisconnected = [&](plat::TObject*) { ++events; };
  }
  plat::ProcessMessages();
  EXPECT_EQ(events, 0);
}

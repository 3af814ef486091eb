// The FTP client component against scripted servers: connection failures,
// stalls and drops, a server that splits LIST's argument at blanks, and what
// the server sees of the component's commands.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ftpcomponents/SimpFTP.h"
#include "tests/ftpcomponents/simpftp_helpers.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"
#include "tests/support/ftp_passive_listener.h"
#include "tests/support/wait.h"

using namespace plat::inet;
using namespace simpftptest;

// ---- connection failures, stalls and drops -----------------------------------------------

TEST(SimpleFTPConnect, ErrorMessages) {
  {
    testsupport::RefusingPort refusing;
    auto ftp = MakeFtp(refusing.Port(), "u", "p");
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "Unable to connect to 127.0.0.1");
  }
  {
    auto ftp = MakeFtp(21, "u", "p");
    ftp->HostName = "bad..host";
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "Unable to resolve host name 'bad..host'");
  }
  {
    ftptest::StalledListener stalled;
    auto ftp = MakeFtp(stalled.Port(), "u", "p");
    ftp->SetConnectTimeout(200);
    ftp->SetConnectRetries(1);
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "Connection to 127.0.0.1 timed out");
  }
  {
    ftptest::ScriptServer server([](ftptest::ScriptConn& c, int) { c.Send("421 Too many users\r\n"); });
    auto ftp = MakeFtp(server.Port(), "u", "p");
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "Unable to connect to 127.0.0.1");
  }
  {
    auto ftp = MakeFtp(21, "u\r\nDELE x", "p");
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "General Connection Error to 127.0.0.1");
  }
  EXPECT_EQ(OpenHandleCount(), 0u);
}

// Abort pressed while the connect is stuck: in the TCP connect, and at the greeting.
TEST(SimpleFTPConnect, AbortDuringAStalledConnect) {
  ftptest::StalledListener stalled;
  ftptest::ScriptServer silent([](ftptest::ScriptConn& c, int) { c.WaitClosed(10000); });
  for (int port : {stalled.Port(), silent.Port()}) {
    auto ftp = MakeFtp(port, "u", "p");
    ftp->SetConnectTimeout(20000);
    int connected = 0;
    ftp->OnConnected = [&](plat::TObject*) { ++connected; };
    TWinInetState abortedIn = isDisconnected;
    const TWinInetState target = port == stalled.Port() ? isConnecting : isConnected;
    // The click comes through the queue, a little after the wait began.
    std::int64_t since = 0;
    std::function<void()> click = [&] {
      if (ftp->State() != target) return;
      if (NowMs() - since < 200) {
        plat::RunOnThread(plat::CurrentThreadQueue(), click);
        return;
      }
      abortedIn = ftp->State();
      ftp->Abort();
    };
    ftp->OnStateChange = [&](plat::TObject*, TWinInetState s) {
      if (s != target) return;
      since = NowMs();
      plat::RunOnThread(plat::CurrentThreadQueue(), click);
    };
    std::int64_t t0 = NowMs();
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "General Connection Error to 127.0.0.1");
    EXPECT_LT(NowMs() - t0, 5000);
    EXPECT_EQ(int(abortedIn), int(target)) << port;
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(ftp->State(), isDisconnected);
    EXPECT_EQ(OpenHandleCount(), 0u);
  }
}

TEST(SimpleFTPConnect, ReconnectsAfterTheServerDroppedTheConnection) {
  ftptest::ScriptServer server([](ftptest::ScriptConn& c, int index) {
    c.AcceptLogin();
    if (index == 0) return;  // hang up
    EXPECT_EQ(c.ReadLine(), "MKD /again");
    c.Send("257 \"/again\" created\r\n");
    c.WaitClosed();
  });
  auto ftp = MakeFtp(server.Port(), "u", "p");
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ(ErrorOf([&] { ftp->MakeDir("/first"); }), "Error creating directory /first");
  EXPECT_EQ(ftp->State(), isDisconnected);  // the server's close was seen
  ASSERT_TRUE(ftp->Connect());
  EXPECT_TRUE(ftp->MakeDir("/again"));
  EXPECT_EQ(server.Accepted(), 2);
}

// A server that stops answering (frozen, not closed): the call fails after
// the time-outs, the component says it is disconnected, later calls say so
// without touching the network, and the next Connect starts afresh. Frozen
// first mid-put, then at the PWD that GetRemoteDir sends without a callback.
TEST(SimpleFTPConnect, FrozenServerLeavesTheComponentDisconnected) {
  std::atomic<bool> putConnectionClosed{false}, pwdConnectionClosed{false};
  ftptest::ScriptServer server([&](ftptest::ScriptConn& c, int index) {
    c.AcceptLogin();
    if (index == 0) {
      EXPECT_EQ(c.ReadLine(), "TYPE I");
      c.Send("200 ok\r\n");
      EXPECT_EQ(c.ReadLine(), "PASV");
      testsupport::PassiveListener data;
      c.Send(data.PasvReply());
      EXPECT_TRUE(data.Accept());
      EXPECT_EQ(c.ReadLine(), "STOR /www/big.bin");
      c.Send("150 go\r\n");
      putConnectionClosed = c.WaitClosed(10000);  // reads no data, answers nothing
      return;
    }
    EXPECT_EQ(c.ReadLine(), "MKD /www/again");
    c.Send("257 \"/www/again\" created\r\n");
    EXPECT_EQ(c.ReadLine(), "PWD");
    pwdConnectionClosed = c.WaitClosed(10000);
  });
  testsupport::TempFolder local;
  const std::string big = local.Top() + "/big.bin";
  testsupport::WriteFile(big, std::string(32 << 20, 'f'));  // more than the loopback buffers hold
  auto ftp = MakeFtp(server.Port(), "u", "p");
  ftp->SetPassive(true);
  ftp->OnLogin = [&](plat::TObject*, std::string&, std::string&) {
    for (DWORD option : {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
      DWORD ms = 300;
      InternetSetOptionA(ftp->Session(), option, &ms, sizeof ms);
    }
  };
  std::vector<TWinInetState> states;
  ftp->OnStateChange = [&](plat::TObject*, TWinInetState s) { states.push_back(s); };
  ASSERT_TRUE(ftp->Connect());
  states.clear();
  const std::int64_t t0 = NowMs();
  EXPECT_EQ(ErrorOf([&] { ftp->PutFile(big, "/www/big.bin"); }), "Error putting " + big + " to /www/big.bin");
  EXPECT_LT(NowMs() - t0, 5000);
  EXPECT_EQ(ftp->State(), isDisconnected);
  EXPECT_EQ(states, std::vector<TWinInetState>{isDisconnected});
  const int sent = ftp->sent;
  EXPECT_EQ(ErrorOf([&] { ftp->MakeDir("/www/later"); }), "Not connected!");
  EXPECT_EQ(ErrorOf([&] { ftp->PutFile(big, "/www/big.bin"); }), "Not connected!");
  EXPECT_EQ(ftp->sent, sent);
  ASSERT_TRUE(ftp->Connect());
  EXPECT_TRUE(putConnectionClosed);  // the first connection was served to its end
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_TRUE(ftp->MakeDir("/www/again"));
  // Frozen at PWD: the stored folder is the answer, and the state follows.
  EXPECT_EQ(ftp->GetRemoteDir(), "");
  EXPECT_EQ(ftp->State(), isDisconnected);
  EXPECT_EQ(ErrorOf([&] { ftp->MakeDir("/www/later"); }), "Not connected!");
  testsupport::WaitUntil([&] { return pwdConnectionClosed.load(); });
  EXPECT_TRUE(pwdConnectionClosed);
}

// ---- listings on a server that splits LIST's argument at blanks ------------------------

namespace {

// Serves a fixed tree (folder path -> entries, folders ending in '/') in
// passive mode. LIST takes only the first word of its argument, as some
// servers do: "LIST /www/my dir" lists /www/my.
class BlankSplittingServer {
 public:
  explicit BlankSplittingServer(std::map<std::string, std::vector<std::string>> tree)
      : tree_(std::move(tree)), server_([this](ftptest::ScriptConn& c, int) { Serve(c); }) {}
  int Port() const { return server_.Port(); }
  // CWD into `path` is refused from now on.
  void Refuse(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    refused_.insert(path);
  }

 private:
  static std::string Resolve(const std::string& cwd, std::string arg) {
    if (arg.empty()) return cwd;
    if (arg[0] != '/') arg = (cwd == "/" ? "" : cwd) + "/" + arg;
    while (arg.size() > 1 && arg.back() == '/') arg.pop_back();
    return arg;
  }
  bool CanEnter(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return tree_.count(path) && !refused_.count(path);
  }
  void Serve(ftptest::ScriptConn& c) {
    c.AcceptLogin();
    std::string cwd = "/";
    testsupport::PassiveListener data;
    for (;;) {
      const std::string line = c.ReadLine();
      if (line.empty() || line == "QUIT") return;
      const std::string verb = line.substr(0, line.find(' '));
      const std::string arg = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
      if (verb == "PWD") {
        c.Send("257 \"" + cwd + "\" is current\r\n");
      } else if (verb == "CWD") {
        const std::string path = Resolve(cwd, arg);
        if (!CanEnter(path)) {
          c.Send("550 No such folder\r\n");
          continue;
        }
        cwd = path;
        c.Send("250 ok\r\n");
      } else if (verb == "TYPE") {
        c.Send("200 ok\r\n");
      } else if (verb == "PASV") {
        c.Send(data.PasvReply());
      } else if (verb == "LIST") {
        const std::string path = Resolve(cwd, arg.substr(0, arg.find(' ')));
        c.Send("150 here\r\n");
        data.Accept();
        auto it = tree_.find(path);
        for (const std::string& e : it == tree_.end() ? std::vector<std::string>{} : it->second) {
          const bool folder = e.back() == '/';
          data.Send(std::string(folder ? "drwxr-xr-x 2" : "-rw-r--r-- 1") + " u g 10 Jan  5  2020 " +
                    (folder ? e.substr(0, e.size() - 1) : e) + "\r\n");
        }
        data.CloseData();
        c.Send("226 done\r\n");
      } else {
        c.Send("502 not here\r\n");
      }
    }
  }

  const std::map<std::string, std::vector<std::string>> tree_;
  std::mutex mutex_;
  std::set<std::string> refused_;
  ftptest::ScriptServer server_;  // last: stops before the rest goes
};

}  // namespace

TEST(SimpleFTPListing, FolderWithBlanksListsItsOwnEntries) {
  BlankSplittingServer server({
      {"/", {"www/"}},
      {"/www", {"index.htm", "my/", "my dir/"}},
      {"/www/my", {"wrong.htm"}},
      {"/www/my dir", {"a.htm", "b c.htm", "sub dir/"}},
      {"/www/my dir/sub dir", {}},
  });
  auto ftp = MakeFtp(server.Port(), "u", "p");
  ftp->SetPassive(true);
  ASSERT_TRUE(ftp->Connect());
  auto names = [&] {
    std::vector<std::string> v;
    for (int i = 0; i < ftp->Files().Count(); ++i) v.push_back(ftp->Files()[i]);
    return v;
  };
  const std::vector<std::string> myDir = {"/www/my dir/a.htm", "/www/my dir/b c.htm", "/www/my dir/sub dir"};
  // As the delete walk lists a folder: enter it, then list where we are.
  ASSERT_TRUE(ftp->ChangeDir("/www/my dir/"));
  EXPECT_EQ(ftp->FindFiles("*.*", true), 3);
  EXPECT_EQ(names(), myDir);
  EXPECT_EQ(ftp->GetRemoteDir(), "/www/my dir");
  // Another folder by its path: its entries, and the current folder stays.
  ASSERT_TRUE(ftp->ChangeDir("/www"));
  EXPECT_EQ(ftp->FindFiles("/www/my dir/*.*", true), 3);
  EXPECT_EQ(names(), myDir);
  EXPECT_EQ(ftp->FindFiles("/www/my dir/*.htm", false), 2);
  EXPECT_EQ(names(), (std::vector<std::string>{"a.htm", "b c.htm"}));
  EXPECT_EQ(ftp->FindFiles("/www/my dir/sub dir/*.*", true), 0);
  EXPECT_EQ(ftp->FindFiles("/www/no such/*.*", true), 0);
  EXPECT_EQ(ftp->GetRemoteDir(), "/www");
  // A server that will not take us back gives no entries rather than a
  // listing that leaves us elsewhere unawares.
  server.Refuse("/www");
  EXPECT_EQ(ftp->FindFiles("/www/my dir/*.*", true), 0);
  EXPECT_EQ(ftp->Files().Count(), 0);
}

// ---- what the server sees ---------------------------------------------------------------

TEST(SimpleFTPConnect, ProxyAccessTypeRefusesTheConnection) {
  ftptest::ScriptServer server([](ftptest::ScriptConn& c, int) {
    c.AcceptLogin();
    c.WaitClosed();
  });
  struct Case {
    TResolveNames resolve;
    bool connects;
  };
  const Case cases[] = {{rnLocal, true}, {rnPreConfig, true}, {rnProxy, false}};
  int accepted = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(int(k.resolve));
    auto ftp = MakeFtp(server.Port(), "u", "p");
    ftp->ProxyName = "proxy.example:8080";  // used only through rnProxy
    ftp->SetResolveNames(k.resolve);
    if (k.connects) {
      EXPECT_TRUE(ftp->Connect());
      ++accepted;
    } else {
      EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "General Connection Error to 127.0.0.1");
      EXPECT_EQ(ftp->State(), isDisconnected);
    }
    ftp->Disconnect();
    testsupport::WaitUntil([&] { return server.Accepted() >= accepted; });
    EXPECT_EQ(server.Accepted(), accepted);
  }
}

namespace {

// Logs anyone in and takes every command, recording the lines it was sent.
class RecordingServer {
 public:
  RecordingServer() : server_([this](ftptest::ScriptConn& c, int) { Serve(c); }) {}
  int Port() const { return server_.Port(); }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  void Serve(ftptest::ScriptConn& c) {
    c.Send("220 recording\r\n");
    for (;;) {
      const std::string line = c.ReadLine();
      if (line.empty()) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
      }
      const std::string verb = line.substr(0, line.find(' '));
      if (verb == "USER") {
        c.Send("331 pw\r\n");
      } else if (verb == "PASS") {
        c.Send("230 in\r\n");
      } else if (verb == "PWD") {
        c.Send("257 \"/www\"\r\n");
      } else if (verb == "SIZE") {
        c.Send(line == "SIZE /www/none" ? "550 No such file\r\n" : "213 1234\r\n");
      } else if (verb == "QUIT") {
        c.Send("221 bye\r\n");
        return;
      } else {
        c.Send("250 ok\r\n");
      }
    }
  }

  std::mutex mutex_;
  std::vector<std::string> lines_;
  ftptest::ScriptServer server_;  // last: stops before the rest goes
};

}  // namespace

TEST(SimpleFTPWire, TrailingDelimiterIsStrippedOnTheWire) {
  RecordingServer server;
  auto ftp = MakeFtp(server.Port(), "u", "p");
  EXPECT_TRUE(ftp->ChangeDir("/site/"));  // stored; entered at the connect
  EXPECT_TRUE(server.Lines().empty());
  ASSERT_TRUE(ftp->Connect());
  EXPECT_TRUE(ftp->ChangeDir("/www/"));
  EXPECT_TRUE(ftp->MakeDir("/www/new/"));
  EXPECT_TRUE(ftp->RemoveDir("/www/old/"));
  EXPECT_EQ(server.Lines(),
            (std::vector<std::string>{"USER u", "PASS p", "CWD /site", "CWD /www", "MKD /www/new", "RMD /www/old"}));
  // The folder is kept as it was given.
  ftp->Disconnect();
  EXPECT_EQ(ftp->GetRemoteDir(), "/www/");
}

TEST(SimpleFTPWire, LoginHandlerChangesTheLoginSent) {
  RecordingServer server;
  auto ftp = MakeFtp(server.Port(), "u", "p");
  ftp->OnLogin = [](plat::TObject*, std::string& user, std::string& password) {
    EXPECT_EQ(user, "u");
    EXPECT_EQ(password, "p");
    user = "changed";
    password = "secret";
  };
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER changed", "PASS secret"}));
  EXPECT_EQ(ftp->UserName, "changed");
  EXPECT_EQ(ftp->Password, "secret");
}

// SIZE goes in binary (some servers refuse it in ASCII), the name whole
// (a trailing blank too); the number and a refusal come back as the server
// gave them, and no reply at all as 0.
TEST(SimpleFTPWire, RemoteFileSizeAsksInBinary) {
  RecordingServer server;
  auto ftp = MakeFtp(server.Port(), "u", "p");
  std::int64_t size = 7;
  EXPECT_EQ(ftp->RemoteFileSize("/www/a b", size), 0);  // not connected
  EXPECT_EQ(size, -1);
  ASSERT_TRUE(ftp->Connect());
  EXPECT_EQ(ftp->RemoteFileSize("/www/a b ", size), 213);
  EXPECT_EQ(size, 1234);
  EXPECT_EQ(ftp->RemoteFileSize("/www/none", size), 550);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(ftp->RemoteFileSize("/www/x\r\nDELE y", size), 0);
  EXPECT_EQ(server.Lines(),
            (std::vector<std::string>{"USER u", "PASS p", "TYPE I", "SIZE /www/a b ", "SIZE /www/none"}));
  EXPECT_EQ(ftp->State(), isConnected);
}

// One large upload per server (passive), checked whole on the server's disk.

// The FTP client component against pyftpdlib and vsftpd (passive and
// active), plus a scripted server for stalls and drops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ftpcomponents/SimpFTP.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/support/ftp_passive_listener.h"

using namespace plat::inet;
namespace fs = std::filesystem;

namespace {

// Counts what goes to the server, to show that nothing was sent.
class CountingFTP : public TSimpleFTP {
 public:
  using TSimpleFTP::TSimpleFTP;
  void StatusChanged(DWORD Status, void* Info, DWORD InfoLength) override {
    if (Status == INTERNET_STATUS_REQUEST_SENT) ++sent;
    TSimpleFTP::StatusChanged(Status, Info, InfoLength);
  }
  int sent = 0;
  HINTERNET Session() const { return InetHandle_.load(); }
};

std::int64_t Ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const plat::Exception& e) {
    return e.Message;
  }
  return "(no error)";
}

std::unique_ptr<CountingFTP> MakeFtp(int port, const std::string& user, const std::string& password) {
  auto ftp = std::make_unique<CountingFTP>(nullptr);
  ftp->HostName = "127.0.0.1";
  ftp->Port = port;
  ftp->UserName = user;
  ftp->Password = password;
  ftp->SilentExceptions = false;
  ftp->SetConnectTimeout(5000);
  return ftp;
}

}  // namespace

TEST(SimpleFTP, AddSlashRule) {
  TSimpleFTP ftp(nullptr);
  EXPECT_EQ(ftp.AddSlash("/www"), "/www/");
  EXPECT_EQ(ftp.AddSlash("/www/"), "/www/");
  EXPECT_EQ(ftp.AddSlash(""), "/");
  ftp.SetFileSystemType(ftUnknown);
  EXPECT_EQ(ftp.AddSlash("/www"), "/www");
  EXPECT_EQ(ftp.AddSlash(""), "");
}

TEST(SimpleFTP, DefaultsAndNotConnected) {
  TSimpleFTP ftp(nullptr);
  EXPECT_EQ(ftp.Port, 21);
  EXPECT_EQ(ftp.TransferType(), ttBinary);
  EXPECT_EQ(ftp.FileSystemType(), ftUnix);
  EXPECT_FALSE(ftp.Passive());
  EXPECT_TRUE(ftp.SilentExceptions);
  // Silent: failures are False.
  EXPECT_FALSE(ftp.MakeDir("/x"));
  EXPECT_FALSE(ftp.RemoveDir("/x"));
  EXPECT_FALSE(ftp.Delete("x"));
  EXPECT_TRUE(ftp.DirExists("/x"));  // both changes are only stored
  EXPECT_EQ(ftp.FindFiles("*.*", false), 0);
  // Not silent: the messages of the table.
  ftp.SilentExceptions = false;
  EXPECT_EQ(ErrorOf([&] { ftp.MakeDir("/x"); }), "Not connected!");
  EXPECT_EQ(ErrorOf([&] { ftp.RemoveDir("/x"); }), "Not connected!");
  EXPECT_EQ(ErrorOf([&] { ftp.DirExists("/x"); }), "Not connected!");
  EXPECT_EQ(ErrorOf([&] { ftp.PutFile("/etc/hostname", "/x"); }), "Not connected!");
  EXPECT_EQ(ErrorOf([&] { ftp.Delete("/www/old.htm"); }), "Error deleting /www/old.htm");
  // Stored, entered at the next connect.
  EXPECT_TRUE(ftp.ChangeDir("/www/"));
  EXPECT_EQ(ftp.GetRemoteDir(), "/www/");
  EXPECT_EQ(ftp.RemoteDir(), "/www/");
  EXPECT_EQ(ErrorOf([&] {
              TWin32FindDataA d;
              ftp.GetFileInfo(0, d);
            }),
            "File index is out of bounds.");
}

TEST(SimpleFTP, QuickProgressDisplays) {
  struct Bar : IProgressDisplay {
    int max = -1, pos = -1;
    void SetMax(int m) override { max = m; }
    void SetPosition(int p) override { pos = p; }
  } minor, major;
  struct Label : ICaptionDisplay {
    std::string caption = "untouched";
    void SetCaption(const std::string& c) override { caption = c; }
  } majorLabel, minorLabel;
  TSimpleFTP ftp(nullptr);
  ftp.QuickProgress = true;
  ftp.QuickProgressMinor = &minor;
  ftp.QuickProgressMajor = &major;
  ftp.QuickLabelMajor = &majorLabel;
  ftp.QuickLabelMinor = &minorLabel;
  DWORD count = 5;
  ftp.StatusChanged(INTERNET_STATUS_REQUEST_SENT, &count, sizeof count);
  EXPECT_EQ(minor.max, 100);
  EXPECT_EQ(minor.pos, 0);  // no file: 0
  EXPECT_EQ(major.max, 0);
  EXPECT_EQ(majorLabel.caption, "untouched");  // FilesTotal is 0
  EXPECT_EQ(minorLabel.caption, "untouched");  // no file name yet
}

// ---- against the real servers --------------------------------------------------------

class SimpleFTPServers : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
 protected:
  void SetUp() override {
    server_ = ftptest::MakeServer(std::get<0>(GetParam()));
    std::string why;
    if (!server_->Start(why)) {
      if (std::get<0>(GetParam()) == "vsftpd") GTEST_SKIP() << "vsftpd cannot run here: " << why;
      FAIL() << why;
    }
    ftp_ = MakeFtp(server_->Port(), server_->User(), server_->Password());
    ftp_->SetPassive(std::get<1>(GetParam()));
    disk_ = server_->DiskDir();
    remote_ = server_->RemoteDir();
  }
  void ConnectInto() {
    ftp_->ChangeDir(remote_);
    ASSERT_TRUE(ftp_->Connect());
    ASSERT_EQ(ftp_->GetRemoteDir(), remote_);
  }
  std::unique_ptr<ftptest::FtpServer> server_;
  std::unique_ptr<CountingFTP> ftp_;
  std::string disk_, remote_;
  ftptest::TempDir local_;
};

TEST_P(SimpleFTPServers, ConnectEventsAndServerMessage) {
  std::vector<TWinInetState> states;
  int logins = 0, connected = 0;
  ftp_->OnStateChange = [&](plat::TObject*, TWinInetState s) { states.push_back(s); };
  ftp_->OnLogin = [&](plat::TObject*, std::string& user, std::string&) {
    ++logins;
    EXPECT_EQ(user, server_->User());
  };
  ftp_->OnConnected = [&](plat::TObject*) { ++connected; };
  ASSERT_TRUE(ftp_->Connect());
  EXPECT_EQ(states, (std::vector<TWinInetState>{isResolving, isResolved, isConnecting, isConnected}));
  EXPECT_NE(ftp_->ServerMessage.find("test server ready."), std::string::npos) << ftp_->ServerMessage;
  EXPECT_NE(ftp_->ServerMessage.find("230"), std::string::npos) << ftp_->ServerMessage;
  EXPECT_EQ(ftp_->State(), isConnected);
  const std::size_t handles = OpenHandleCount();
  // Connected already: no new connection, but the events again.
  ASSERT_TRUE(ftp_->Connect());
  EXPECT_EQ(OpenHandleCount(), handles);
  EXPECT_EQ(logins, 2);
  EXPECT_EQ(connected, 2);
  int disconnected = 0;
  ftp_->OnDisconnected = [&](plat::TObject*) { ++disconnected; };
  EXPECT_TRUE(ftp_->Disconnect());
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(ftp_->State(), isDisconnected);
  EXPECT_EQ(OpenHandleCount(), 0u);
}

TEST_P(SimpleFTPServers, StoredRemoteFolderIsEnteredOrConnectRaises) {
  EXPECT_TRUE(ftp_->ChangeDir(remote_ + "/"));
  ASSERT_TRUE(ftp_->Connect());
  EXPECT_EQ(ftp_->GetRemoteDir(), remote_);
  ftp_->Disconnect();
  int connected = 0;
  ftp_->OnConnected = [&](plat::TObject*) { ++connected; };
  ftp_->ChangeDir("/nope");
  EXPECT_EQ(ErrorOf([&] { ftp_->Connect(); }), "Couldn't change to directory /nope");
  EXPECT_EQ(connected, 0);
}

TEST_P(SimpleFTPServers, DirExistsLeavesTheFolderWhereItWas) {
  fs::create_directory(disk_ + "/sub");
  ConnectInto();
  int changes = 0;
  ftp_->OnDirectoryChange = [&](plat::TObject*) { ++changes; };
  EXPECT_TRUE(ftp_->DirExists(remote_ + "/sub"));
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(ftp_->GetRemoteDir(), remote_);
  EXPECT_EQ(ErrorOf([&] { ftp_->DirExists(remote_ + "/missing"); }),
            "Couldn't change to directory " + remote_ + "/missing");
  EXPECT_EQ(ftp_->GetRemoteDir(), remote_);
  ftp_->SilentExceptions = true;
  EXPECT_FALSE(ftp_->DirExists(remote_ + "/missing"));
  EXPECT_EQ(ftp_->GetRemoteDir(), remote_);
  // ftUnknown changes are quiet failures.
  ftp_->SilentExceptions = false;
  EXPECT_EQ(ErrorOf([&] { ftp_->SetFileSystemType(ftUnknown); }), "Cannot change file system type when connected");
}

TEST_P(SimpleFTPServers, MakeRemoveDeleteOnDiskWithTheirMessages) {
  ConnectInto();
  EXPECT_TRUE(ftp_->MakeDir(remote_ + "/new/"));
  EXPECT_TRUE(ftptest::IsDir(disk_ + "/new"));
  // A name with ':' or '\' is a name, not a path to cut.
  EXPECT_TRUE(ftp_->MakeDir(remote_ + "/a:b\\c"));
  EXPECT_TRUE(ftptest::IsDir(disk_ + "/a:b\\c"));
  EXPECT_EQ(ErrorOf([&] { ftp_->MakeDir(remote_ + "/new"); }), "Error creating directory " + remote_ + "/new");
  EXPECT_TRUE(ftp_->RemoveDir(remote_ + "/new/"));
  EXPECT_FALSE(ftptest::Exists(disk_ + "/new"));
  EXPECT_EQ(ErrorOf([&] { ftp_->RemoveDir(remote_ + "/new/"); }), "Error removing directory " + remote_ + "/new/");
  ftptest::WriteFile(disk_ + "/old.htm", "x");
  ftptest::WriteFile(disk_ + "/older.htm", "x");
  EXPECT_TRUE(ftp_->Delete("old.htm"));  // in the current folder
  EXPECT_FALSE(ftptest::Exists(disk_ + "/old.htm"));
  EXPECT_TRUE(ftp_->Delete(remote_ + "/older.htm"));
  EXPECT_FALSE(ftptest::Exists(disk_ + "/older.htm"));
  EXPECT_EQ(ErrorOf([&] { ftp_->Delete("old.htm"); }), "Error deleting " + remote_ + "/old.htm");
  ftp_->SilentExceptions = true;
  EXPECT_FALSE(ftp_->Delete("old.htm"));
  EXPECT_FALSE(ftp_->MakeDir(remote_ + "/a:b\\c"));
  EXPECT_FALSE(ftp_->RemoveDir(remote_ + "/none"));
  EXPECT_FALSE(ftp_->ChangeDir(remote_ + "/none"));
}

TEST_P(SimpleFTPServers, LineBreaksInNamesNeverReachTheServer) {
  fs::create_directory(disk_ + "/keep");
  ConnectInto();
  const int before = ftp_->sent;
  const std::string evil = remote_ + "/x\r\nRMD " + remote_ + "/keep";
  EXPECT_EQ(ErrorOf([&] { ftp_->MakeDir(evil); }), "Error creating directory " + evil);
  EXPECT_EQ(ErrorOf([&] { ftp_->RemoveDir(evil); }), "Error removing directory " + evil);
  EXPECT_EQ(ErrorOf([&] { ftp_->Delete(remote_ + "/a\nDELE b"); }), "Error deleting " + remote_ + "/a\nDELE b");
  EXPECT_EQ(ErrorOf([&] { ftp_->ChangeDir(remote_ + "/a\rb"); }), "Couldn't change to directory " + remote_ + "/a\rb");
  EXPECT_EQ(ErrorOf([&] { ftp_->MakeDir(std::string("/pub/nul\0x", 10)); }),
            "Error creating directory /pub/nul");  // the message stops at NUL; nothing was made
  ftptest::WriteFile(local_.Path() + "/f.txt", "x");
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Path() + "/f.txt", remote_ + "/f\r\nDELE x"); }),
            "Error putting " + local_.Path() + "/f.txt to " + remote_ + "/f\r\nDELE x");
  EXPECT_EQ(ftp_->FindFiles(remote_ + "/\r\nDELE x", false), 0);
  EXPECT_EQ(ftp_->sent, before);
  EXPECT_TRUE(ftptest::IsDir(disk_ + "/keep"));
  EXPECT_FALSE(ftptest::Exists(disk_ + "/nul"));
}

TEST_P(SimpleFTPServers, PutBothNameFormsByteForByteWithProgress) {
  ConnectInto();
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>((i * 7) % 256);
  content += "\r\n\xff\xfe\r";
  ftptest::WriteFile(local_.Path() + "/index.htm", content);
  ftptest::WriteFile(local_.Path() + "/empty.txt", "");
  std::vector<TFTPProgressInfo> progress;
  ftp_->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo p) { progress.push_back(p); };
  // A plain name comes from LocalDir.
  ftp_->LocalDir = local_.Path();
  ASSERT_TRUE(ftp_->Put("index.htm"));
  EXPECT_EQ(ftptest::ReadFile(disk_ + "/index.htm"), content);
  ASSERT_FALSE(progress.empty());
  for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i].BytesDone, progress[i - 1].BytesDone);
  EXPECT_EQ(progress.back().BytesDone, static_cast<std::int64_t>(content.size()));
  EXPECT_EQ(progress.back().FileSize, static_cast<std::int64_t>(content.size()));
  EXPECT_EQ(progress.back().FileName, "index.htm");
  // A path is the local file; its name goes into the remote folder.
  fs::create_directory(local_.Path() + "/tmp");
  ftptest::WriteFile(local_.Path() + "/tmp/x.htm", "x\r\ny");
  ftp_->LocalDir = "/nowhere";
  ASSERT_TRUE(ftp_->Put(local_.Path() + "/tmp/x.htm"));
  EXPECT_EQ(ftptest::ReadFile(disk_ + "/x.htm"), "x\r\ny");
  // A 0-byte file arrives, and its progress stays at 0 of 0.
  progress.clear();
  ASSERT_TRUE(ftp_->PutFile(local_.Path() + "/empty.txt", remote_ + "/empty.txt"));
  EXPECT_TRUE(ftptest::Exists(disk_ + "/empty.txt"));
  EXPECT_EQ(ftptest::ReadFile(disk_ + "/empty.txt"), "");
  for (auto& p : progress) EXPECT_EQ(p.BytesDone, 0);
  // Later commands still report, with the last file's name and size.
  progress.clear();
  EXPECT_TRUE(ftp_->MakeDir(remote_ + "/later"));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().FileName, "empty.txt");
  EXPECT_EQ(progress.back().BytesDone, 0);
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Path() + "/none.htm", remote_ + "/none.htm"); }),
            "Error putting " + local_.Path() + "/none.htm to " + remote_ + "/none.htm: local file not found");
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Path() + "/empty.txt", "/no/such/dir/e.txt"); }),
            "Error putting " + local_.Path() + "/empty.txt to /no/such/dir/e.txt");
  ftp_->SilentExceptions = true;
  EXPECT_FALSE(ftp_->PutFile(local_.Path() + "/empty.txt", "/no/such/dir/e.txt"));
  // Silent does not cover a local file that cannot be opened for its size.
  EXPECT_THROW(ftp_->PutFile(local_.Path() + "/none.htm", remote_ + "/none.htm"), plat::EFOpenError);
}

TEST_P(SimpleFTPServers, FailingProgressHandlerIsShownAndTheUploadGoesOn) {
  ConnectInto();
  std::vector<std::string> shown;
  plat::SetApplicationErrorHook([&](const std::string& m) { shown.push_back(m); });
  ftptest::WriteFile(local_.Path() + "/p.htm", std::string(100000, 'p'));
  ftp_->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo) { throw plat::Exception("handler failed"); };
  EXPECT_TRUE(ftp_->Put(local_.Path() + "/p.htm"));
  plat::SetApplicationErrorHook(nullptr);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), "handler failed");
  EXPECT_EQ(ftptest::ReadFile(disk_ + "/p.htm").size(), 100000u);
}

TEST_P(SimpleFTPServers, FindFilesListsNamesAndFolders) {
  ftptest::WriteFile(disk_ + "/index.htm", "12345");
  ftptest::WriteFile(disk_ + "/README", "1");
  fs::create_directory(disk_ + "/sub");
  ftptest::WriteFile(disk_ + "/sub/deep.txt", "1");
  ConnectInto();
  std::vector<std::string> seen;
  ftp_->OnFindItem = [&](plat::TObject*, const TWin32FindDataA& d) { seen.push_back(d.cFileName); };
  ASSERT_EQ(ftp_->FindFiles("*.*", false), 3);
  EXPECT_EQ(seen.size(), 3u);
  std::map<std::string, TWin32FindDataA> byName;
  for (int i = 0; i < ftp_->Files().Count(); ++i) {
    TWin32FindDataA d;
    ftp_->GetFileInfo(i, d);
    EXPECT_EQ(d.cFileName, ftp_->Files()[i]);
    byName[d.cFileName] = d;
  }
  ASSERT_EQ(byName.size(), 3u);
  EXPECT_TRUE(byName["sub"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(byName["README"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(byName["index.htm"].FileSize(), 5u);
  // With a path: the entries carry it.
  ASSERT_EQ(ftp_->FindFiles(remote_ + "/sub/*.*", true), 1);
  EXPECT_EQ(ftp_->Files()[0], remote_ + "/sub/deep.txt");
  EXPECT_EQ(ftp_->FindFiles(remote_ + "/missing/*.*", true), 0);
  EXPECT_EQ(ftp_->Files().Count(), 0);
  EXPECT_EQ(ErrorOf([&] {
              TWin32FindDataA d;
              ftp_->GetFileInfo(0, d);
            }),
            "File index is out of bounds.");
  ftp_->FindFiles("*.*", false);
  EXPECT_EQ(ErrorOf([&] {
              TWin32FindDataA d;
              ftp_->GetFileInfo(-1, d);
            }),
            "File index is out of bounds.");
  EXPECT_EQ(ErrorOf([&] {
              TWin32FindDataA d;
              ftp_->GetFileInfo(3, d);
            }),
            "File index is out of bounds.");
  plat::Free(ftp_->Files().Objects(0));
  ftp_->Files().SetObject(0, nullptr);
  EXPECT_EQ(ErrorOf([&] {
              TWin32FindDataA d;
              ftp_->GetFileInfo(0, d);
            }),
            "No file information at this index.");
}

TEST_P(SimpleFTPServers, AbortFromTheProgressHandlerStopsTheUpload) {
  ConnectInto();
  ftptest::WriteFile(local_.Path() + "/big.bin", std::string(16 << 20, 'z'));
  int disconnected = 0, afterAbort = 0;
  bool aborted = false;
  ftp_->OnDisconnected = [&](plat::TObject*) {
    ++disconnected;
    EXPECT_TRUE(aborted || disconnected == 1);
  };
  ftp_->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo p) {
    if (aborted) {
      ++afterAbort;
      return;
    }
    if (p.BytesDone > (1 << 20)) {
      ftp_->Abort();
      aborted = true;
      EXPECT_EQ(ftp_->State(), isDisconnected);
    }
  };
  std::int64_t t0 = Ms();
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Path() + "/big.bin", remote_ + "/big.bin"); }),
            "Error putting " + local_.Path() + "/big.bin to " + remote_ + "/big.bin");
  EXPECT_LT(Ms() - t0, 10000);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(afterAbort, 0);
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(ftp_->State(), isDisconnected);
  EXPECT_EQ(OpenHandleCount(), 0u);
  EXPECT_EQ(ErrorOf([&] { ftp_->MakeDir(remote_ + "/after"); }), "Not connected!");
  // And the next connect starts afresh.
  ASSERT_TRUE(ftp_->Connect());
  EXPECT_TRUE(ftp_->MakeDir(remote_ + "/after"));
}

TEST_P(SimpleFTPServers, LoginRefusals) {
  ftp_->Password = "wrong";
  if (server_->Name() == "vsftpd") {
    // Anonymous only: any other user is refused at USER.
    ftp_->UserName = "bob";
    EXPECT_EQ(ErrorOf([&] { ftp_->Connect(); }), "Bad user name: 'bob' connecting to 127.0.0.1");
  } else {
    EXPECT_EQ(ErrorOf([&] { ftp_->Connect(); }), "Bad password connecting to 127.0.0.1");
    ftp_->UserName = "nobody";
    EXPECT_EQ(ErrorOf([&] { ftp_->Connect(); }), "Bad password connecting to 127.0.0.1");
  }
  EXPECT_EQ(ftp_->State(), isDisconnected);
  EXPECT_EQ(OpenHandleCount(), 0u);
  ftp_->SilentExceptions = true;
  EXPECT_FALSE(ftp_->Connect());
}

INSTANTIATE_TEST_SUITE_P(Peers, SimpleFTPServers,
                         ::testing::Combine(::testing::Values("pyftpdlib", "vsftpd"), ::testing::Bool()),
                         [](const auto& peer) {
                           return std::get<0>(peer.param) + (std::get<1>(peer.param) ? "_passive" : "_active");
                         });

// ---- connection failures, stalls and drops -----------------------------------------------

TEST(SimpleFTPConnect, ErrorMessages) {
  {
    auto ftp = MakeFtp(ftptest::ClosedPort(), "u", "p");
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
      if (Ms() - since < 200) {
        plat::RunOnThread(plat::CurrentThreadQueue(), click);
        return;
      }
      abortedIn = ftp->State();
      ftp->Abort();
    };
    ftp->OnStateChange = [&](plat::TObject*, TWinInetState s) {
      if (s != target) return;
      since = Ms();
      plat::RunOnThread(plat::CurrentThreadQueue(), click);
    };
    std::int64_t t0 = Ms();
    EXPECT_EQ(ErrorOf([&] { ftp->Connect(); }), "General Connection Error to 127.0.0.1");
    EXPECT_LT(Ms() - t0, 5000);
    EXPECT_EQ(int(abortedIn), int(target)) << port;
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(ftp->State(), isDisconnected);
    EXPECT_EQ(OpenHandleCount(), 0u);
  }
}

TEST(SimpleFTPConnect, ReconnectsAfterTheServerDroppedTheConnection) {
  ftptest::ScriptServer server([](ftptest::ScriptConn& c, int index) {
    c.Send("220 scripted\r\n");
    c.ReadLine();
    c.Send("331 pw\r\n");
    c.ReadLine();
    c.Send("230 in\r\n");
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
    c.Send("220 scripted\r\n");
    c.ReadLine();
    c.Send("331 pw\r\n");
    c.ReadLine();
    c.Send("230 in\r\n");
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
  ftptest::TempDir local;
  const std::string big = local.Path() + "/big.bin";
  ftptest::WriteFile(big, std::string(32 << 20, 'f'));  // more than the loopback buffers hold
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
  const std::int64_t t0 = Ms();
  EXPECT_EQ(ErrorOf([&] { ftp->PutFile(big, "/www/big.bin"); }), "Error putting " + big + " to /www/big.bin");
  EXPECT_LT(Ms() - t0, 5000);
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
  for (std::int64_t t1 = Ms(); !pwdConnectionClosed && Ms() - t1 < 3000;)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    c.Send("220 splitting\r\n");
    c.ReadLine();
    c.Send("331 pw\r\n");
    c.ReadLine();
    c.Send("230 in\r\n");
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

// One large upload per server (passive), checked whole on the server's disk.
TEST(SimpleFTPLarge, FiftyMegabytesArriveWhole) {
  std::string data(50 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(i / 4096);
  ftptest::TempDir local;
  ftptest::WriteFile(local.Path() + "/fifty.bin", data);
  for (const char* name : {"pyftpdlib", "vsftpd"}) {
    SCOPED_TRACE(name);
    auto server = ftptest::MakeServer(name);
    std::string why;
    if (!server->Start(why)) {
      if (std::string(name) == "vsftpd") GTEST_SKIP() << "vsftpd cannot run here: " << why;
      FAIL() << why;
    }
    auto ftp = MakeFtp(server->Port(), server->User(), server->Password());
    ftp->SetPassive(true);
    ftp->ChangeDir(server->RemoteDir());
    ASSERT_TRUE(ftp->Connect());
    std::int64_t last = 0;
    ftp->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo p) { last = p.BytesDone; };
    ASSERT_TRUE(ftp->Put(local.Path() + "/fifty.bin"));
    EXPECT_EQ(last, static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(ftptest::ReadFile(server->DiskDir() + "/fifty.bin") == data);
  }
}

// The FTP client component on its own and against pyftpdlib and vsftpd
// (passive and active).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ftpcomponents/SimpFTP.h"
#include "tests/ftpcomponents/simpftp_helpers.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"

using namespace plat::inet;
using namespace simpftptest;
namespace fs = std::filesystem;

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
  // A file of 8 bytes: PutFile takes its size and name (silent and not
  // connected, the put itself fails). Halves round to the even neighbour.
  testsupport::TempFolder local;
  testsupport::WriteFile(local.Top() + "/eight.bin", "12345678");
  EXPECT_FALSE(ftp.PutFile(local.Top() + "/eight.bin", "/eight.bin"));
  std::vector<std::int64_t> reported;
  ftp.OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo p) { reported.push_back(p.BytesDone); };
  struct Step {
    DWORD status, count;
    std::int64_t bytesDone;
    int position;
  };
  const Step steps[] = {
      {INTERNET_STATUS_REQUEST_SENT, 1, 1, 12},        // 12.5
      {INTERNET_STATUS_RESPONSE_RECEIVED, 2, 3, 38},   // 37.5
      {INTERNET_STATUS_REQUEST_SENT, 2, 5, 62},        // 62.5
      {INTERNET_STATUS_REQUEST_SENT, 0, 8, 100},       // a count of 0: the whole file
      {INTERNET_STATUS_REQUEST_SENT, 5, 8, 100},       // never past the size
  };
  for (const Step& k : steps) {
    ftp.StatusChanged(k.status, const_cast<DWORD*>(&k.count), sizeof k.count);
    EXPECT_EQ(ftp.Progress().BytesDone, k.bytesDone) << k.count;
    EXPECT_EQ(minor.pos, k.position) << k.count;
  }
  EXPECT_EQ(reported, (std::vector<std::int64_t>{1, 3, 5, 8, 8}));
  EXPECT_EQ(minorLabel.caption, "eight.bin");
  EXPECT_EQ(majorLabel.caption, "untouched");
}

TEST(SimpleFTP, FindFlagsReachTheListingCall) {
  TSimpleFTP ftp(nullptr);
  ftp.FindFiles("*.*", false);
  EXPECT_EQ(LastFindFlags(), INTERNET_FLAG_RELOAD);
  ftp.SetEnableCache(true);
  ftp.FindFiles("*.*", false);
  EXPECT_EQ(LastFindFlags(), 0u);
  ftp.SetEnableCache(false);
  ftp.FindFiles("*.*", false);
  EXPECT_EQ(LastFindFlags(), INTERNET_FLAG_RELOAD);
}

// ---- against the real servers --------------------------------------------------------

class SimpleFTPServers : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
 protected:
  void SetUp() override {
    server_ = ftptest::MakeServer(std::get<0>(GetParam()));
    if (!ftptest::StartOrSkip(*server_)) return;
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
  testsupport::TempFolder local_;
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
  testsupport::WriteFile(disk_ + "/old.htm", "x");
  testsupport::WriteFile(disk_ + "/older.htm", "x");
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
  testsupport::WriteFile(local_.Top() + "/f.txt", "x");
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Top() + "/f.txt", remote_ + "/f\r\nDELE x"); }),
            "Error putting " + local_.Top() + "/f.txt to " + remote_ + "/f\r\nDELE x");
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
  testsupport::WriteFile(local_.Top() + "/index.htm", content);
  testsupport::WriteFile(local_.Top() + "/empty.txt", "");
  std::vector<TFTPProgressInfo> progress;
  ftp_->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo p) { progress.push_back(p); };
  // A plain name comes from LocalDir.
  ftp_->LocalDir = local_.Top();
  ASSERT_TRUE(ftp_->Put("index.htm"));
  EXPECT_EQ(testsupport::ReadFile(disk_ + "/index.htm"), content);
  ASSERT_FALSE(progress.empty());
  for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i].BytesDone, progress[i - 1].BytesDone);
  EXPECT_EQ(progress.back().BytesDone, static_cast<std::int64_t>(content.size()));
  EXPECT_EQ(progress.back().FileSize, static_cast<std::int64_t>(content.size()));
  EXPECT_EQ(progress.back().FileName, "index.htm");
  // A path is the local file; its name goes into the remote folder.
  fs::create_directory(local_.Top() + "/tmp");
  testsupport::WriteFile(local_.Top() + "/tmp/x.htm", "x\r\ny");
  ftp_->LocalDir = "/nowhere";
  ASSERT_TRUE(ftp_->Put(local_.Top() + "/tmp/x.htm"));
  EXPECT_EQ(testsupport::ReadFile(disk_ + "/x.htm"), "x\r\ny");
  // A 0-byte file arrives, and its progress stays at 0 of 0.
  progress.clear();
  ASSERT_TRUE(ftp_->PutFile(local_.Top() + "/empty.txt", remote_ + "/empty.txt"));
  EXPECT_TRUE(ftptest::Exists(disk_ + "/empty.txt"));
  EXPECT_EQ(testsupport::ReadFile(disk_ + "/empty.txt"), "");
  for (auto& p : progress) EXPECT_EQ(p.BytesDone, 0);
  // Later commands still report, with the last file's name and size.
  progress.clear();
  EXPECT_TRUE(ftp_->MakeDir(remote_ + "/later"));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().FileName, "empty.txt");
  EXPECT_EQ(progress.back().BytesDone, 0);
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Top() + "/none.htm", remote_ + "/none.htm"); }),
            "Error putting " + local_.Top() + "/none.htm to " + remote_ + "/none.htm: local file not found");
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Top() + "/empty.txt", "/no/such/dir/e.txt"); }),
            "Error putting " + local_.Top() + "/empty.txt to /no/such/dir/e.txt");
  ftp_->SilentExceptions = true;
  EXPECT_FALSE(ftp_->PutFile(local_.Top() + "/empty.txt", "/no/such/dir/e.txt"));
  // Silent does not cover a local file that cannot be opened for its size.
  EXPECT_THROW(ftp_->PutFile(local_.Top() + "/none.htm", remote_ + "/none.htm"), plat::EFOpenError);
}

TEST_P(SimpleFTPServers, FailingProgressHandlerIsShownAndTheUploadGoesOn) {
  ConnectInto();
  std::vector<std::string> shown;
  plat::SetApplicationErrorHook([&](const std::string& m) { shown.push_back(m); });
  testsupport::WriteFile(local_.Top() + "/p.htm", std::string(100000, 'p'));
  ftp_->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo) { throw plat::Exception("handler failed"); };
  EXPECT_TRUE(ftp_->Put(local_.Top() + "/p.htm"));
  plat::SetApplicationErrorHook(nullptr);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), "handler failed");
  EXPECT_EQ(testsupport::ReadFile(disk_ + "/p.htm").size(), 100000u);
}

TEST_P(SimpleFTPServers, FindFilesListsNamesAndFolders) {
  testsupport::WriteFile(disk_ + "/index.htm", "12345");
  testsupport::WriteFile(disk_ + "/README", "1");
  fs::create_directory(disk_ + "/sub");
  testsupport::WriteFile(disk_ + "/sub/deep.txt", "1");
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
  testsupport::WriteFile(local_.Top() + "/big.bin", std::string(16 << 20, 'z'));
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
  std::int64_t t0 = NowMs();
  EXPECT_EQ(ErrorOf([&] { ftp_->PutFile(local_.Top() + "/big.bin", remote_ + "/big.bin"); }),
            "Error putting " + local_.Top() + "/big.bin to " + remote_ + "/big.bin");
  EXPECT_LT(NowMs() - t0, 10000);
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

TEST(SimpleFTPLarge, FiftyMegabytesArriveWhole) {
  std::string data(50 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(i / 4096);
  testsupport::TempFolder local;
  testsupport::WriteFile(local.Top() + "/fifty.bin", data);
  for (const char* name : {"pyftpdlib", "vsftpd"}) {
    SCOPED_TRACE(name);
    auto server = ftptest::MakeServer(name);
    if (!ftptest::StartOrSkip(*server)) return;
    auto ftp = MakeFtp(server->Port(), server->User(), server->Password());
    ftp->SetPassive(true);
    ftp->ChangeDir(server->RemoteDir());
    ASSERT_TRUE(ftp->Connect());
    std::int64_t last = 0;
    ftp->OnTransferProgress = [&](plat::TObject*, TFTPProgressInfo p) { last = p.BytesDone; };
    ASSERT_TRUE(ftp->Put(local.Top() + "/fifty.bin"));
    EXPECT_EQ(last, static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(testsupport::ReadFile(server->DiskDir() + "/fifty.bin") == data);
  }
}

// The Internet-library stand-in: calls on a connection, against scripted
// servers and the real test peers (listings and uploads).
#include <sys/stat.h>

#include <map>

#include "tests/platform/inet/inet_helpers.h"

// ---- calls on a connection --------------------------------------------------------------

// Whenever the control connection can carry no further command, it is
// closed, CONNECTION_CLOSED says so, and later calls fail at once.
TEST(InetCalls, LostControlConnectionIsClosedAndReported) {
  struct Case {
    const char* what;
    std::function<void(ScriptConn&)> answer;  // to "MKD /x"
    DWORD error;
  };
  const Case cases[] = {
      {"server hangs up", nullptr, ERROR_INTERNET_CONNECTION_ABORTED},
      {"server frozen", [](ScriptConn&) {}, ERROR_INTERNET_TIMEOUT},
      {"reply unreadable", [](ScriptConn& c) { c.Send("HTTP/1.0 200 OK\r\n"); }, ERROR_FTP_DROPPED},
      {"server closing (421)", [](ScriptConn& c) { c.Send("421 Timeout, closing control connection\r\n"); },
       ERROR_INTERNET_EXTENDED_ERROR},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::atomic<bool> clientClosed{false};
    ScriptServer server([&](ScriptConn& c, int) {
      c.AcceptLogin();
      if (!k.answer) return;
      EXPECT_EQ(c.ReadLine(testsupport::kPatienceMs), "MKD /x");
      k.answer(c);
      clientClosed = c.WaitClosed(testsupport::kPatienceMs);
    });
    Recorder rec;
    Session s;
    HINTERNET c = s.Connect(server.Port(), "u", "p", rec);
    ASSERT_NE(c, 0u);
    // Short for the frozen server only: the login before it takes what a
    // busy machine takes.
    DWORD quick = 300;
    ASSERT_TRUE(InternetSetOptionA(c, INTERNET_OPTION_RECEIVE_TIMEOUT, &quick, sizeof quick));
    rec.events.clear();
    EXPECT_FALSE(FtpCreateDirectoryA(c, "/x"));
    EXPECT_EQ(GetLastError(), k.error);
    auto st = rec.Statuses();
    EXPECT_EQ(std::count(st.begin(), st.end(), INTERNET_STATUS_CONNECTION_CLOSED), 1);
    const DWORD sent = rec.Sent();
    // A call that waited for a reply would take a minute now.
    DWORD patient = 60000;
    ASSERT_TRUE(InternetSetOptionA(c, INTERNET_OPTION_RECEIVE_TIMEOUT, &patient, sizeof patient));
    const std::int64_t t0 = NowMs();
    EXPECT_FALSE(FtpDeleteFileA(c, "x"));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_LT(NowMs() - t0, 10000);
    EXPECT_EQ(rec.Sent(), sent);
    if (k.answer) {
      testsupport::WaitUntil([&] { return clientClosed.load(); });
      EXPECT_TRUE(clientClosed);
    }
    InternetCloseHandle(c);
  }
}

TEST(InetCalls, RefusalKeepsReplyAndLineBreaksNeverSent) {
  ScriptServer server([](ScriptConn& c, int) {
    c.AcceptLogin();
    EXPECT_EQ(c.ReadLine(), "MKD /exists");
    c.Send("550 Directory exists\r\n");
    EXPECT_EQ(c.ReadLine(), "PWD");
    c.Send("257 \"/a \"\"quoted\"\" dir\" is current\r\n");
    EXPECT_EQ(c.ReadLine(), "PWD");
    c.Send("257 \"/a \"\"quoted\"\" dir\" is current\r\n");
    EXPECT_EQ(c.ReadLine(), "QUIT");
  });
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), "u", "p", rec);
  ASSERT_NE(c, 0u);
  EXPECT_FALSE(FtpCreateDirectoryA(c, "/exists"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
  EXPECT_EQ(LastResponse(), "550 Directory exists\r\n");
  DWORD before = rec.Sent();
  for (const char* bad : {"x\r\nDELE y", "x\ny", "x\r"}) {
    EXPECT_FALSE(FtpCreateDirectoryA(c, bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(FtpDeleteFileA(c, bad));
    EXPECT_FALSE(FtpSetCurrentDirectoryA(c, bad));
    EXPECT_FALSE(FtpRemoveDirectoryA(c, bad));
    EXPECT_FALSE(FtpPutFileA(c, "/etc/hostname", bad, 2, 0));
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FtpFindFirstFileA(c, bad, &fd, 0, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(rec.Sent(), before);
  // Too small a buffer says how much is needed; the path comes whole.
  char small[4];
  DWORD len = sizeof small;
  EXPECT_FALSE(FtpGetCurrentDirectoryA(c, small, &len));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(len, std::strlen("/a \"quoted\" dir") + 1);
  std::vector<char> buf(len);
  ASSERT_TRUE(FtpGetCurrentDirectoryA(c, buf.data(), &len));
  EXPECT_STREQ(buf.data(), "/a \"quoted\" dir");
}

namespace {

int ConnectFrom(const char* source, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &src.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(static_cast<std::uint16_t>(port));
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

const char* const kDosListing =
    "12-10-26  08:19AM       <DIR>          site\r\n"
    "12-10-26  08:19PM                 1234 index.htm\r\n";

}  // namespace

TEST(InetCalls, ExtendedPassiveWhenPassiveIsRefused) {
  ScriptServer server([](ScriptConn& c, int) {
    c.AcceptLogin();
    EXPECT_EQ(c.ReadLine(), "PWD");
    c.Send("257 \"/\" is current\r\n");
    EXPECT_EQ(c.ReadLine(), "CWD /site");
    c.Send("250 ok\r\n");
    EXPECT_EQ(c.ReadLine(), "TYPE A");
    c.Send("200 ok\r\n");
    EXPECT_EQ(c.ReadLine(), "PASV");
    c.Send("502 not here\r\n");
    EXPECT_EQ(c.ReadLine(), "EPSV");
    testsupport::PassiveListener data;
    c.Send(data.EpsvReply());
    EXPECT_TRUE(data.Accept());
    EXPECT_EQ(c.ReadLine(), "LIST");
    c.Send("150 here it comes\r\n");
    data.Send(kDosListing);
    data.CloseData();
    c.Send("226 done\r\n");
    EXPECT_EQ(c.ReadLine(), "CWD /");
    c.Send("250 ok\r\n");
    c.WaitClosed();
  });
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), "u", "p", rec, INTERNET_FLAG_PASSIVE);
  ASSERT_NE(c, 0u);
  WIN32_FIND_DATAA fd;
  HINTERNET f = FtpFindFirstFileA(c, "/site/*.*", &fd, 0, 0);
  ASSERT_NE(f, 0u) << GetLastError();
  EXPECT_EQ(fd.cFileName, "site");
  EXPECT_EQ(fd.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(InternetFindNextFileA(f, &fd));
  EXPECT_EQ(fd.cFileName, "index.htm");
  EXPECT_EQ(fd.FileSize(), 1234u);
  EXPECT_FALSE(InternetFindNextFileA(f, &fd));
  // Closing the connection closes its listing too.
  InternetCloseHandle(c);
  EXPECT_FALSE(InternetFindNextFileA(f, &fd));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The transfer type holds for the connection: it is sent when it changes,
// not before every file.
TEST(InetCalls, TransferTypeIsSentWhenItChanges) {
  std::mutex mutex;
  std::vector<std::string> stored;
  ScriptServer server([&](ScriptConn& c, int) {
    c.AcceptLogin();
    testsupport::PassiveListener data;
    for (;;) {
      const std::string line = c.ReadLine();
      if (line.empty() || line == "QUIT") return;
      {
        std::lock_guard<std::mutex> lock(mutex);
        stored.push_back(line);
      }
      if (line.rfind("TYPE ", 0) == 0) {
        c.Send("200 ok\r\n");
      } else if (line == "PASV") {
        c.Send(data.PasvReply());
      } else if (line.rfind("STOR ", 0) == 0) {
        c.Send("150 go\r\n");
        EXPECT_TRUE(data.Accept());
        data.ReadAll();
        c.Send("226 stored\r\n");
      } else if (line == "LIST") {
        c.Send("150 here\r\n");
        EXPECT_TRUE(data.Accept());
        data.Send(kDosListing);
        data.CloseData();
        c.Send("226 done\r\n");
      } else {
        c.Send("502 not here\r\n");
      }
    }
  });
  testsupport::TempFolder tmp;
  const std::string local = tmp.Path("f.txt");
  testsupport::WriteFile(local, "data");
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), "u", "p", rec, INTERNET_FLAG_PASSIVE);
  ASSERT_NE(c, 0u);
  ASSERT_TRUE(FtpPutFileA(c, local.c_str(), "/a", FTP_TRANSFER_TYPE_BINARY, 0));
  ASSERT_TRUE(FtpPutFileA(c, local.c_str(), "/b", FTP_TRANSFER_TYPE_BINARY, 0));
  WIN32_FIND_DATAA fd;
  HINTERNET f = FtpFindFirstFileA(c, "*.*", &fd, 0, 0);
  ASSERT_NE(f, 0u) << GetLastError();
  InternetCloseHandle(f);
  ASSERT_TRUE(FtpPutFileA(c, local.c_str(), "/c", FTP_TRANSFER_TYPE_BINARY, 0));
  ASSERT_TRUE(FtpPutFileA(c, local.c_str(), "/d", FTP_TRANSFER_TYPE_ASCII, 0));
  InternetCloseHandle(c);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(stored, (std::vector<std::string>{"TYPE I", "PASV", "STOR /a", "PASV", "STOR /b", "TYPE A", "PASV", "LIST",
                                              "TYPE I", "PASV", "STOR /c", "TYPE A", "PASV", "STOR /d"}));
}

TEST(InetCalls, ActiveModeTakesDataOnlyFromTheServer) {
  ScriptServer server([](ScriptConn& c, int) {
    c.AcceptLogin();
    EXPECT_EQ(c.ReadLine(), "TYPE A");
    c.Send("200 ok\r\n");
    std::string port = c.ReadLine();
    ASSERT_EQ(port.substr(0, 5), "PORT ");
    int h1, h2, h3, h4, p1, p2;
    ASSERT_EQ(std::sscanf(port.c_str() + 5, "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2), 6);
    EXPECT_EQ(port.substr(5, 10), "127,0,0,1,");
    c.Send("200 PORT ok\r\n");
    EXPECT_EQ(c.ReadLine(), "LIST");
    c.Send("150 opening\r\n");
    // Someone else gets there first; the client must not take it.
    int intruder = ConnectFrom("127.0.0.2", p1 * 256 + p2);
    if (intruder >= 0) SendAll(intruder, "-rw-r--r-- 1 u g 6 Jan  5  2020 evil\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int data = ConnectFrom("127.0.0.1", p1 * 256 + p2);
    ASSERT_GE(data, 0);
    SendAll(data, "-rw-r--r-- 1 u g 6 Jan  5  2020 good\r\n");
    ::close(data);
    if (intruder >= 0) ::close(intruder);
    c.Send("226 done\r\n");
    c.WaitClosed();
  });
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), "u", "p", rec);
  ASSERT_NE(c, 0u);
  WIN32_FIND_DATAA fd;
  HINTERNET f = FtpFindFirstFileA(c, "*.*", &fd, 0, 0);
  ASSERT_NE(f, 0u) << GetLastError();
  EXPECT_EQ(fd.cFileName, "good");
  EXPECT_FALSE(InternetFindNextFileA(f, &fd));
}

TEST(InetCalls, SecondCallWhileOneIsInFlightIsRefused) {
  ftptest::PyFtpdServer server;
  std::string why;
  ASSERT_TRUE(server.Start(why)) << why;
  testsupport::TempFolder tmp;
  const std::string local = tmp.Top() + "/f.bin";
  testsupport::WriteFile(local, std::string(1 << 20, 'y'));
  Recorder rec;
  Session s;
  HINTERNET c = s.Connect(server.Port(), server.User().c_str(), server.Password().c_str(), rec, INTERNET_FLAG_PASSIVE);
  ASSERT_NE(c, 0u) << GetLastError();
  int refused = 0;
  rec.hook = [&](DWORD status, DWORD) {
    if (status == INTERNET_STATUS_REQUEST_SENT && refused == 0) {
      EXPECT_FALSE(FtpSetCurrentDirectoryA(c, "/"));
      EXPECT_EQ(GetLastError(), ERROR_FTP_TRANSFER_IN_PROGRESS);
      ++refused;
    }
  };
  EXPECT_TRUE(FtpPutFileA(c, local.c_str(), "/pub/f.bin", FTP_TRANSFER_TYPE_BINARY,
                          reinterpret_cast<DWORD_PTR>(&rec)))
      << GetLastError() << LastResponse();
  EXPECT_EQ(refused, 1);
  rec.hook = nullptr;
  EXPECT_EQ(testsupport::ReadFile(server.DiskDir() + "/f.bin").size(), 1u << 20);
}

// Listings and uploads against both real servers, passive and active.
class InetServers : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
 protected:
  void SetUp() override {
    server_ = ftptest::MakeServer(std::get<0>(GetParam()));
    if (!ftptest::StartOrSkip(*server_)) return;
    conn_ = session_.Connect(server_->Port(), server_->User().c_str(), server_->Password().c_str(), rec_,
                             std::get<1>(GetParam()) ? INTERNET_FLAG_PASSIVE : 0);
    ASSERT_NE(conn_, 0u) << GetLastError();
  }
  std::unique_ptr<ftptest::FtpServer> server_;
  Recorder rec_;
  Session session_;
  HINTERNET conn_ = 0;
};

TEST_P(InetServers, ListingMatchesLocallyWithDosRules) {
  const std::string d = server_->DiskDir();
  testsupport::WriteFile(d + "/a.txt", "12345");
  testsupport::WriteFile(d + "/B.TXT", "1");
  testsupport::WriteFile(d + "/noext", "");
  testsupport::WriteFile(d + "/my page.htm", "x");
  std::filesystem::create_directory(d + "/sub");
  std::filesystem::create_directory(d + "/sub dir");
  testsupport::WriteFile(d + "/sub dir/in.txt", "1");
  auto names = [&](const std::string& search) {
    std::vector<std::string> out;
    WIN32_FIND_DATAA fd;
    HINTERNET f = FtpFindFirstFileA(conn_, search.c_str(), &fd, INTERNET_FLAG_RELOAD, 0);
    if (!f) return out;
    do {
      out.push_back(fd.cFileName + std::string((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "/" : ""));
      if (fd.cFileName == std::string("a.txt")) {
        EXPECT_EQ(fd.FileSize(), 5u);
        EXPECT_GT(UnixFromFileTime(fd.ftLastWriteTime), 1500000000);
      }
    } while (InternetFindNextFileA(f, &fd));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(InternetCloseHandle(f));
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::string r = server_->RemoteDir();
  EXPECT_EQ(names(r + "/*.*"),
            (std::vector<std::string>{"B.TXT", "a.txt", "my page.htm", "noext", "sub dir/", "sub/"}));
  EXPECT_EQ(names(r + "/*.txt"), (std::vector<std::string>{"B.TXT", "a.txt"}));
  EXPECT_EQ(names(r + "/noext"), (std::vector<std::string>{"noext"}));
  EXPECT_TRUE(names(r + "/*.zip").empty());
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  ASSERT_TRUE(FtpSetCurrentDirectoryA(conn_, r.c_str()));
  EXPECT_EQ(names("*.htm"), (std::vector<std::string>{"my page.htm"}));
  EXPECT_TRUE(names(r + "/missing/*.*").empty());
  // Listing another folder leaves the current one where it was.
  EXPECT_EQ(names(r + "/sub dir/*.*"), (std::vector<std::string>{"in.txt"}));
  char cwd[1024];
  DWORD len = sizeof cwd;
  ASSERT_TRUE(FtpGetCurrentDirectoryA(conn_, cwd, &len));
  EXPECT_EQ(std::string(cwd), r);
}

TEST_P(InetServers, UploadArrivesByteForByteWithProgressCounts) {
  testsupport::TempFolder tmp;
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>(i % 256);
  content += "\r\n\n\r\xff\xff";
  testsupport::WriteFile(tmp.Top() + "/bin.dat", content);
  rec_.events.clear();
  const std::string remote = server_->RemoteDir() + "/bin.dat";
  ASSERT_TRUE(FtpPutFileA(conn_, (tmp.Top() + "/bin.dat").c_str(), remote.c_str(), FTP_TRANSFER_TYPE_BINARY,
                          reinterpret_cast<DWORD_PTR>(&rec_)))
      << GetLastError() << LastResponse();
  EXPECT_EQ(testsupport::ReadFile(server_->DiskDir() + "/bin.dat"), content);
  // Commands and data blocks count as sent; at least the whole file was.
  EXPECT_GE(rec_.Sent(), content.size());
  // The same in ASCII: bare LF goes as CR LF and the Unix server stores LF.
  testsupport::WriteFile(tmp.Top() + "/text.txt", "a\nb\r\nc\n");
  ASSERT_TRUE(FtpPutFileA(conn_, (tmp.Top() + "/text.txt").c_str(), (server_->RemoteDir() + "/text.txt").c_str(),
                          FTP_TRANSFER_TYPE_ASCII, 0));
  EXPECT_EQ(testsupport::ReadFile(server_->DiskDir() + "/text.txt"), "a\nb\nc\n");
  // A missing local file fails before anything is sent.
  DWORD before = rec_.Sent();
  EXPECT_FALSE(FtpPutFileA(conn_, (tmp.Top() + "/none").c_str(), remote.c_str(), 2, 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(rec_.Sent(), before);
}

// A link whose name holds " -> " comes whole, its target after it; a
// folder the server may enter but not read is no empty folder: a server
// that answers its listing with success and says in the reply that it
// could not read it (vsftpd, pure-ftpd) fails the search. With
// FTP_FLAG_LIST_ALL a server that takes "-a" shows "." of an empty folder
// it did read.
TEST_P(InetServers, LinkNamesWithArrowsAndFoldersThatCannotBeRead) {
  const std::string d = server_->DiskDir();
  const std::string r = server_->RemoteDir();
  std::filesystem::create_directories(d + "/store");
  testsupport::WriteFile(d + "/store/real.htm", "real");
  std::filesystem::create_symlink("store/real.htm", d + "/a -> b.htm");
  std::filesystem::create_directories(d + "/locked/inner");
  testsupport::WriteFile(d + "/locked/f.txt", "hidden");
  std::filesystem::create_directories(d + "/empty");
  ::chmod((d + "/locked").c_str(), 0311);
  struct Restore {
    std::string path;
    ~Restore() { ::chmod(path.c_str(), 0755); }
  } restore{d + "/locked"};
  WIN32_FIND_DATAA fd;
  std::map<std::string, WIN32_FIND_DATAA> top;
  HINTERNET f = FtpFindFirstFileA(conn_, (r + "/*.*").c_str(), &fd, INTERNET_FLAG_RELOAD, 0);
  ASSERT_NE(f, 0u) << GetLastError();
  do top[fd.cFileName] = fd;
  while (InternetFindNextFileA(f, &fd));
  InternetCloseHandle(f);
  ASSERT_EQ(top.count("a -> b.htm"), 1u);
  EXPECT_EQ(top["a -> b.htm"].dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(top["a -> b.htm"].LinkTarget, "store/real.htm");
  EXPECT_EQ(top["locked"].UnixPermissions, 0311);
  EXPECT_EQ(top["empty"].UnixPermissions, 0755);

  auto listAll = [&](const std::string& dir) {
    std::vector<std::string> all;
    HINTERNET h = FtpFindFirstFileA(conn_, (r + dir + "/*.*").c_str(), &fd, INTERNET_FLAG_RELOAD | FTP_FLAG_LIST_ALL, 0);
    if (h) {
      do all.push_back(fd.cFileName);
      while (InternetFindNextFileA(h, &fd));
      InternetCloseHandle(h);
    }
    std::sort(all.begin(), all.end());
    return all;
  };
  f = FtpFindFirstFileA(conn_, (r + "/locked/*.*").c_str(), &fd, INTERNET_FLAG_RELOAD, 0);
  if (server_->ReadsAsRoot()) {
    EXPECT_NE(f, 0u) << GetLastError();
    if (f) InternetCloseHandle(f);
  } else if (std::get<0>(GetParam()) == "proftpd") {
    // Its sessions are not root's, so the folder cannot be read; proftpd
    // says nothing of it ("226 Transfer complete"), but shows no "." then
    // either, which the walk checks with the folder's permissions.
    EXPECT_EQ(f, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES) << LastResponse();
    EXPECT_EQ(listAll("/locked"), std::vector<std::string>{});
  } else {
    // The others say so in their closing reply.
    EXPECT_EQ(f, 0u);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR) << LastResponse();
  }

  f = FtpFindFirstFileA(conn_, (r + "/empty/*.*").c_str(), &fd, INTERNET_FLAG_RELOAD, 0);
  EXPECT_EQ(f, 0u);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  if (std::get<0>(GetParam()) == "pyftpdlib")
    EXPECT_EQ(listAll("/empty"), std::vector<std::string>{});  // it takes "-a" as no argument
  else
    EXPECT_EQ(listAll("/empty"), (std::vector<std::string>{".", ".."}));
}

INSTANTIATE_TEST_SUITE_P(Peers, InetServers,
                         ::testing::Combine(::testing::ValuesIn(ftptest::kRealServers), ::testing::Bool()),
                         [](const auto& peer) {
                           return std::get<0>(peer.param) + (std::get<1>(peer.param) ? "_passive" : "_active");
                         });

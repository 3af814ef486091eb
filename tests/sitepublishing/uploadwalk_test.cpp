// The upload walk against the real servers: what lands on the server's
// disk, the exact log lines, the changed-only and all-files modes, stamps of
// paths that differ only in letter case, and the failures (connect, remote
// folders and puts refused, includes, abort, unreadable or odd local
// entries).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <ctime>
#include <functional>

#include "tests/sitepublishing/project_files.h"
#include "tests/sitepublishing/walk_fixture.h"
#include "tests/support/loopback.h"

using namespace walktest;
using walkfakes::Rendered;

namespace {

std::string Binary() {
  std::string s;
  for (int i = 0; i < 3000; ++i) s += static_cast<char>(i * 7 % 256);
  return s + "\r\n\n\r\0end";
}

}  // namespace

class UploadWalk : public WalkServerTest {
 protected:
  // Loads a project file written as the program used to write it: every
  // key upper-cased, the files' present stamps recorded.
  void LoadOldProject(const std::vector<std::string>& sent) {
    pubtest::ProjectContent content;
    content.Path = Local();
    content.Host = "127.0.0.1";
    content.Login = server_->User();
    content.Password = server_->Password();
    content.FTPPath = Remote();
    std::string text = pubtest::ProjectText(content);
    for (const std::string& rel : sent)
      text += plat::UpperCase("127.0.0.1:" + Remote() + ":" + Local(rel)) + "=" + Stamp(rel) + "\r\n";
    const std::string file = siteDir_.Top() + "/old.zvp";
    testsupport::WriteFile(file, text);
    Project->FileName = file;
    Project->Load();
  }
  std::vector<std::string> Start() const {
    return {"0 Connect to 127.0.0.1...", "0 uploading dir " + Local() + " to " + Remote()};
  }
  std::vector<std::string> DirLine(const std::string& rel) const {
    return {"0 uploading dir " + Local(rel) + " to " + Remote() + "/" + rel};
  }
  static std::vector<std::string> Clean() { return {"0 Disconnect", "2 Upload completed successfully."}; }
  static std::vector<std::string> File(const std::string& name) { return {"0 uploading file " + name}; }
  static std::vector<std::string> MakeDir(const std::string& name) { return {"0 make dir " + name}; }
};

TEST_P(UploadWalk, CleanRunSendsTheTreeWithTagsSubstituted) {
  VarList->AddVar("title", "Home", "1");
  Write(Local("index.htm"), "<html><iVar  title ><IFILE parts/head.inc>|<b>x</b></html>");
  Write(Local("parts/head.inc"), "<h1><IVAR title></h1>");
  Write(Local("logo.png"), Binary());
  Write(Local(".hidden.txt"), "hidden files go too");
  Write(Local(".cache/x.txt"), "never sent: hidden folders are not entered");
  Write(Local("sub/page.html"), "<p><ivar title></p>");

  Project->Upload(true);

  std::vector<std::string> want = Start();
  Append(want, InListingOrder(Local(), {{"index.htm", File("index.htm")},
                                        {"logo.png", File("logo.png")},
                                        {".hidden.txt", File(".hidden.txt")},
                                        {"parts", MakeDir("parts")},
                                        {".cache", MakeDir(".cache")},
                                        {"sub", MakeDir("sub")}}));
  Append(want, InListingOrder(Local(), {{"parts", DirLine("parts")}, {"sub", DirLine("sub")}}));
  // sub's own lines follow its "uploading dir" line.
  auto sub = std::find(want.begin(), want.end(), DirLine("sub")[0]);
  want.insert(sub + 1, File("page.html")[0]);
  Append(want, Clean());
  EXPECT_EQ(uploadLog_.Text(), want);
  EXPECT_EQ(uploadLog_.Begun, 1);
  EXPECT_EQ(uploadLog_.Ended, 1);
  EXPECT_EQ(uploadLog_.ProgressStarts, 4);
  EXPECT_EQ(uploadLog_.ProgressStops, 4);

  EXPECT_EQ(testsupport::ReadFile(Disk("index.htm")), "<html>Home<h1>Home</h1>|<b>x</b></html>");
  EXPECT_EQ(testsupport::ReadFile(Disk("logo.png")), Binary());
  EXPECT_EQ(testsupport::ReadFile(Disk("sub/page.html")), "<p>Home</p>");
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{".cache/", ".hidden.txt", "index.htm", "logo.png", "parts/",
                                                      "sub/", "sub/page.html"}));

  // One stamp per file sent, under host, remote folder as typed and path;
  // the source's stamp, not the temporary copy's.
  EXPECT_EQ(VersionList->Count(), 4);
  for (const char* rel : {"index.htm", "logo.png", ".hidden.txt", "sub/page.html"}) {
    EXPECT_EQ(VersionList->GetStamp("127.0.0.1:" + Remote() + ":" + Local(rel)), Stamp(rel)) << rel;
  }
  EXPECT_TRUE(Project->Modified);
  EXPECT_EQ(form_->ModifiedCalls, 4);
  EXPECT_EQ(form_->FtpParamsCalls, 1);
  EXPECT_EQ(ftp_->State(), isDisconnected);
}

TEST_P(UploadWalk, ChangedOnlySendsWhatChangedAndAllFilesSendsEverything) {
  Write(Local("a.txt"), "a");
  Write(Local("b.htm"), "b");
  Write(Local("sub/c.txt"), "c");
  Project->Upload(true);
  ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  // Gone from the server, so a file sent again shows.
  for (const char* rel : {"a.txt", "b.htm", "sub/c.txt"}) fs::remove(Disk(rel));

  Project->Upload(true);
  std::vector<std::string> quiet = Start();
  Append(quiet, DirLine("sub"));
  Append(quiet, Clean());
  EXPECT_EQ(uploadLog_.Text(), quiet);
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"sub/"}));
  EXPECT_EQ(uploadLog_.ProgressStarts, 0);

  // Any difference counts, an older stamp too.
  ShiftMtime(Local("sub/c.txt"), -3600);
  Project->Upload(true);
  std::vector<std::string> one = Start();
  Append(one, DirLine("sub"));
  Append(one, File("c.txt"));
  Append(one, Clean());
  EXPECT_EQ(uploadLog_.Text(), one);
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"sub/", "sub/c.txt"}));
  EXPECT_EQ(Recorded("sub/c.txt"), Stamp("sub/c.txt"));

  Project->Upload(false);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain).size(), 2u + 1u + 3u + 1u);  // connect, 2 dirs, 3 files, disconnect
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"a.txt", "b.htm", "sub/", "sub/c.txt"}));

  // Another form of the remote folder is another key: everything again.
  form_->Texts[pfFTPPath] = Remote() + "/";
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain).size(), 7u);
  EXPECT_EQ(VersionList->Count(), 6);
  // The host's letter case is not part of the key.
  form_->Texts[pfFTPHost] = "localhost";
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain).size(), 7u);
  form_->Texts[pfFTPHost] = "LocalHost";
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain).size(), 4u) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(uploadLog_.ErrorCount(), 0);
}

TEST_P(UploadWalk, ExclusionIsACaseSensitiveSubstringOfTheExtension) {
  for (const char* name :
       {"a.zvp", "b.inc", "c.c", "d.in", "e.v", "f.p", "g.INC", "h.include", "noext", "dot.", "k.zv", "l.html"})
    Write(Local(name), name);
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"dot.", "g.INC", "h.include", "l.html", "noext"}));
}

// The same refusals give the same lines whether the component raises or
// answers False: a folder that cannot be entered is not uploaded into the
// folder the walk stood in, and a refused put records no stamp.
TEST_P(UploadWalk, RefusalsReadTheSameWhetherTheComponentRaisesOrAnswersFalse) {
  Write(Local("sub/x.txt"), "x");
  Write(Local("tail/y.txt"), "y");
  Write(Local("a.txt"), "a");
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "answers False" : "raises");
    ClearRemote();
    Write(Disk("sub"), "a file where the folder should be");
    RemoteTree({"a.txt/"});  // a folder where the file should go
    VersionList->Clear();
    ftp_->SilentExceptions = silent;
    Project->Upload(true);

    std::vector<std::string> want = Start();
    Append(want, InListingOrder(Local(), {{"a.txt", {"0 uploading file a.txt", "1 Error putting " + Local("a.txt") +
                                                                                  " to " + Remote() + "/a.txt"}},
                                          {"sub", {"0 make dir sub", "1 Error creating directory sub"}},
                                          {"tail", MakeDir("tail")}}));
    std::vector<std::string> tail = DirLine("tail");
    Append(tail, File("y.txt"));
    Append(want, InListingOrder(Local(), {{"sub", {"1 Couldn't change to directory " + Remote() + "/sub"}},
                                          {"tail", tail}}));
    want.push_back("1 Upload completed with errors.");
    EXPECT_EQ(uploadLog_.Text(), want);
    EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"a.txt/", "sub", "tail/", "tail/y.txt"}));
    EXPECT_EQ(Recorded("a.txt"), "");
    EXPECT_EQ(Recorded("sub/x.txt"), "");
    EXPECT_EQ(Recorded("tail/y.txt"), Stamp("tail/y.txt"));
  }
}

TEST_P(UploadWalk, FailingIncludeLeavesThePageUnsentAndUnrecorded) {
  Write(Local("index.htm"), "<IFILE nothere.inc>");
  Write(Local("ok.txt"), "ok");
  Project->Upload(true);
  std::vector<std::string> want = Start();
  Append(want, InListingOrder(Local(), {{"index.htm", {"0 uploading file index.htm",
                                                       "1 Cannot open file " + Local("nothere.inc")}},
                                        {"ok.txt", File("ok.txt")}}));
  want.push_back("1 Upload completed with errors.");
  EXPECT_EQ(uploadLog_.Text(), want);
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"ok.txt"}));
  EXPECT_EQ(Recorded("index.htm"), "");
  EXPECT_EQ(Recorded("ok.txt"), Stamp("ok.txt"));
  EXPECT_EQ(uploadLog_.ProgressStops, 2);
  // The next changed-only run tries the page again.
  Write(Local("nothere.inc"), "now here");
  Project->Upload(true);
  EXPECT_EQ(testsupport::ReadFile(Disk("index.htm")), "now here");
}

TEST_P(UploadWalk, EmptyOrRootRemoteFolder) {
  if (!server_->RootWritable()) GTEST_SKIP() << GetParam() << "'s root for its users is not writable";
  const std::string root = fs::path(Disk()).parent_path().string();
  Write(Local("a.txt"), "a");
  Write(Local("sub/b.txt"), "b");
  for (const std::string field : {"", "/"}) {
    SCOPED_TRACE("remote folder field \"" + field + "\"");
    form_->Texts[pfFTPPath] = field;
    fs::remove_all(root + "/sub");
    Project->Upload(false);
    std::vector<std::string> want = {"0 Connect to 127.0.0.1...", "0 uploading dir " + Local() + " to /"};
    Append(want, InListingOrder(Local(), {{"a.txt", File("a.txt")}, {"sub", MakeDir("sub")}}));
    Append(want, {"0 uploading dir " + Local("sub") + " to //sub", "0 uploading file b.txt"});
    Append(want, Clean());
    EXPECT_EQ(uploadLog_.Text(), want);
    EXPECT_EQ(testsupport::ReadFile(root + "/sub/b.txt"), "b");
    EXPECT_EQ(VersionList->GetStamp("127.0.0.1:" + field + ":" + Local("a.txt")), Stamp("a.txt"));
  }
}

TEST_P(UploadWalk, AbortDuringAPutStopsEverythingAndRecordsNothingForIt) {
  Write(Local("a.txt"), "a");
  Write(Local("big.bin"), std::string(1 << 20, 'x'));
  Write(Local("z.txt"), "z");
  Write(Local("sub/s.txt"), "s");
  bool pressed = false;
  uploadLog_.OnProgress = [&](std::int64_t, std::int64_t size) {
    if (!pressed && size == (1 << 20)) {
      pressed = true;
      uploadLog_.PressAbort(*ftp_);
    }
  };
  Project->Upload(true);
  ASSERT_TRUE(pressed);

  std::vector<std::string> want = Start();
  for (const std::string& n : ListingOrder(Local())) {
    if (n == "big.bin") break;
    want.push_back(n == "sub" ? "0 make dir sub" : "0 uploading file " + n);
  }
  Append(want, {"0 uploading file big.bin",
                "1 Error putting " + Local("big.bin") + " to " + Remote() + "/big.bin", "1 Upload aborted."});
  EXPECT_EQ(uploadLog_.Text(), want);
  EXPECT_EQ(Recorded("big.bin"), "");
  EXPECT_EQ(Recorded("sub/s.txt"), "");
  EXPECT_EQ(uploadLog_.ProgressStops, uploadLog_.ProgressStarts);
  EXPECT_EQ(ftp_->State(), isDisconnected);
}

// The stamp recorded is the one read before the file was sent: an edit made
// while it was on its way is published by the next run.
TEST_P(UploadWalk, FileEditedDuringItsUploadIsSentAgain) {
  Write(Local("page.txt"), std::string(100000, 'p'));
  const std::string before = Stamp("page.txt");
  bool edited = false;
  uploadLog_.OnProgress = [&](std::int64_t, std::int64_t) {
    if (!edited) {
      edited = true;
      ShiftMtime(Local("page.txt"), -3600);
    }
  };
  Project->Upload(true);
  ASSERT_TRUE(edited);
  EXPECT_EQ(Recorded("page.txt"), before);
  EXPECT_NE(Stamp("page.txt"), before);
  uploadLog_.OnProgress = nullptr;
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain), (std::vector<std::string>{"Connect to 127.0.0.1...",
                                                                    "uploading dir " + Local() + " to " + Remote(),
                                                                    "uploading file page.txt", "Disconnect"}));
  EXPECT_EQ(Recorded("page.txt"), Stamp("page.txt"));
}

TEST_P(UploadWalk, LocalFolderThatCannotBeReadIsAnError) {
  // The root.
  form_->Texts[pfPath] = Local("missing");
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.Text(),
            (std::vector<std::string>{"0 Connect to 127.0.0.1...",
                                      "0 uploading dir " + Local("missing") + " to " + Remote(),
                                      "1 Cannot open folder " + Local("missing"), "1 Upload completed with errors."}));

  // A subfolder: the walk goes on past it.
  form_->Texts[pfPath] = Local();
  Write(Local("locked/x.txt"), "x");
  Write(Local("open/y.txt"), "y");
  ::chmod(Local("locked").c_str(), 0);
  AsUnprivileged([&] { Project->Upload(true); });
  ::chmod(Local("locked").c_str(), 0755);
  std::vector<std::string> want = Start();
  Append(want, InListingOrder(Local(), {{"locked", MakeDir("locked")}, {"open", MakeDir("open")}}));
  std::vector<std::string> open = DirLine("open");
  Append(open, File("y.txt"));
  std::vector<std::string> locked = DirLine("locked");
  locked.push_back("1 Cannot open folder " + Local("locked"));
  Append(want, InListingOrder(Local(), {{"locked", locked}, {"open", open}}));
  want.push_back("1 Upload completed with errors.");
  EXPECT_EQ(uploadLog_.Text(), want);
  EXPECT_EQ(testsupport::ReadFile(Disk("open/y.txt")), "y");
}

// Only regular files are sent and only folders walked: a link back up the
// tree is skipped with an error, a link to a folder elsewhere is walked,
// FIFOs and sockets are left unopened (opening a FIFO would block the run)
// with a line each, and a link to nothing is an error.
TEST_P(UploadWalk, LinksFifosAndSockets) {
  testsupport::TempFolder outside("sitetools-outside");
  ::chmod(outside.Top().c_str(), 0755);
  Write(outside.Top() + "/o.txt", "o");
  Write(Local("sub/s.txt"), "s");
  fs::create_directory_symlink("..", Local("sub/back"));
  fs::create_directory_symlink(outside.Top(), Local("ext"));
  fs::create_symlink("sub/s.txt", Local("alias.txt"));
  fs::create_symlink("nowhere", Local("dangling.txt"));
  ASSERT_EQ(::mkfifo(Local("pipe.txt").c_str(), 0644), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = Local("sock.txt");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  Project->Upload(true);
  ::close(sock);

  std::vector<std::string> want = Start();
  Append(want, InListingOrder(Local(), {{"alias.txt", File("alias.txt")},
                                        {"sub", MakeDir("sub")},
                                        {"ext", MakeDir("ext")},
                                        {"dangling.txt", {"1 Skipped " + Local("dangling.txt") + ": it links to nothing"}},
                                        {"pipe.txt", {"0 Skipped " + Local("pipe.txt") + ": not a regular file"}},
                                        {"sock.txt", {"0 Skipped " + Local("sock.txt") + ": not a regular file"}}}));
  std::vector<std::string> sub = DirLine("sub");
  Append(sub, InListingOrder(Local("sub"),
                             {{"s.txt", File("s.txt")},
                              {"back", {"1 Skipped folder " + Local("sub/back") + ": it links back to " + Local()}}}));
  std::vector<std::string> ext = DirLine("ext");
  Append(ext, File("o.txt"));
  Append(want, InListingOrder(Local(), {{"sub", sub}, {"ext", ext}}));
  want.push_back("1 Upload completed with errors.");
  EXPECT_EQ(uploadLog_.Text(), want);
  EXPECT_EQ(TreeOf(Disk()),
            (std::vector<std::string>{"alias.txt", "ext/", "ext/o.txt", "sub/", "sub/s.txt"}));
}

// An entry that cannot be examined or read is never passed over in
// silence: one line names it and says why, and the run does not end as a
// success. Each case stands beside a file that is sent as usual.
TEST_P(UploadWalk, EntriesThatCannotBeSentAreNamed) {
  struct Case {
    const char* what;
    std::function<void(const std::string& site)> make;
    // "~" stands for the local folder, "@" for the remote one.
    std::vector<std::string> firstPass;  // the entry's lines among the files
    std::vector<std::string> below;      // a folder's own lines, after them
    bool errors;
  } cases[] = {
      {"a link in a circle", [](const std::string& d) { fs::create_symlink("loop.txt", d + "/loop.txt"); },
       {"1 Skipped ~/loop.txt: Too many levels of symbolic links"}, {}, true},
      {"a link to nothing with an excluded extension",
       [](const std::string& d) { fs::create_symlink("nowhere", d + "/gone.inc"); }, {}, {}, false},
      {"a file that cannot be read",
       [](const std::string& d) {
         Write(d + "/secret.txt", "s");
         ::chmod((d + "/secret.txt").c_str(), 0);
       },
       {"0 uploading file secret.txt", "1 Cannot open file ~/secret.txt"}, {}, true},
      {"a page that cannot be read",
       [](const std::string& d) {
         Write(d + "/secret.htm", "s");
         ::chmod((d + "/secret.htm").c_str(), 0);
       },
       {"0 uploading file secret.htm", "1 Cannot open file ~/secret.htm"}, {}, true},
      {"a file in a folder that can be listed but not searched",
       [](const std::string& d) {
         Write(d + "/dim/x.txt", "x");
         ::chmod((d + "/dim").c_str(), 0644);
       },
       {"0 make dir dim"}, {"0 uploading dir ~/dim to @/dim", "1 Skipped ~/dim/x.txt: Permission denied"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(Local())) fs::remove_all(e.path());
    ClearRemote();
    VersionList->Clear();
    Write(Local("ok.txt"), "ok");
    c.make(Local());
    // As root every file could be read.
    AsUnprivileged([&] { Project->Upload(true); });
    for (const auto& e : fs::recursive_directory_iterator(Local()))
      if (!e.is_symlink()) ::chmod(e.path().c_str(), 0755);

    std::vector<std::string> want = Start();
    for (const std::string& n : ListingOrder(Local())) Append(want, n == "ok.txt" ? File("ok.txt") : Filled(c.firstPass));
    Append(want, Filled(c.below));
    if (c.errors)
      want.push_back("1 Upload completed with errors.");
    else
      Append(want, Clean());
    EXPECT_EQ(uploadLog_.Text(), want);
    EXPECT_EQ(testsupport::ReadFile(Disk("ok.txt")), "ok");
  }
}

// Stamp keys ignore letter case (stored projects have them upper-cased), so
// files whose paths differ only in case would share a stamp: each of them
// is sent on every run, with a line saying why, and none is ever skipped on
// another's stamp. Files whose keys are their own keep the changed-only
// rule.
TEST_P(UploadWalk, FilesWhoseKeysDifferOnlyInCaseAreAlwaysSent) {
  Write(Local("A.txt"), "upper");
  Write(Local("a.txt"), "lower");
  Write(Local("b.txt"), "own key");
  Write(Local("Sub/x.txt"), "Sub x");
  Write(Local("sub/x.txt"), "sub x");
  Write(Local("sub/y.txt"), "own key too");
  auto always = [this](const std::string& rel) {
    const std::string name = fs::path(rel).filename().string();
    return std::vector<std::string>{
        "0 Sending " + Local(rel) + " every time: another file's path differs from it only in letter case",
        "0 uploading file " + name};
  };
  // The lines of a run; `own` says whether the files with keys of their own
  // are sent.
  auto run = [&](bool own) {
    std::vector<std::string> want = Start();
    LinesOf top = {{"A.txt", always("A.txt")}, {"a.txt", always("a.txt")}, {"Sub", MakeDir("Sub")},
                   {"sub", MakeDir("sub")}};
    if (own) top["b.txt"] = File("b.txt");
    if (!own) top["Sub"] = top["sub"] = {};  // made by the first run
    Append(want, InListingOrder(Local(), top));
    std::vector<std::string> upperSub = DirLine("Sub");
    Append(upperSub, always("Sub/x.txt"));
    std::vector<std::string> lowerSub = DirLine("sub");
    LinesOf lower = {{"x.txt", always("sub/x.txt")}};
    if (own) lower["y.txt"] = File("y.txt");
    Append(lowerSub, InListingOrder(Local("sub"), lower));
    Append(want, InListingOrder(Local(), {{"Sub", upperSub}, {"sub", lowerSub}}));
    Append(want, Clean());
    return want;
  };

  Project->Upload(true);
  EXPECT_EQ(uploadLog_.Text(), run(true));
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"A.txt", "Sub/", "Sub/x.txt", "a.txt", "b.txt", "sub/",
                                                      "sub/x.txt", "sub/y.txt"}));
  EXPECT_EQ(testsupport::ReadFile(Disk("a.txt")), "lower");
  EXPECT_EQ(testsupport::ReadFile(Disk("A.txt")), "upper");
  // Only the keys of their own are recorded.
  EXPECT_EQ(VersionList->Count(), 2);
  EXPECT_EQ(Recorded("b.txt"), Stamp("b.txt"));
  EXPECT_EQ(Recorded("sub/y.txt"), Stamp("sub/y.txt"));

  // Nothing changed: only the pairs go again.
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.Text(), run(false));

  // One of a pair changed: it arrives; the other goes along as always.
  Write(Local("a.txt"), "lower, edited");
  ShiftMtime(Local("a.txt"), 60);
  Write(Disk("A.txt"), "stale");
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.Text(), run(false));
  EXPECT_EQ(testsupport::ReadFile(Disk("a.txt")), "lower, edited");
  EXPECT_EQ(testsupport::ReadFile(Disk("A.txt")), "upper");
  EXPECT_EQ(VersionList->Count(), 2);
}

// A project saved by the old program, its keys upper-cased: an entry is no
// proof that the file went under its present name, since Logo.png may
// have been renamed logo.png (and Docs docs) before this version's first
// run. Every file goes once under its own name; Delete Old then removes
// the old names only, and the later runs send nothing, with every file on
// the server.
TEST_P(UploadWalk, StoredProjectWithUpperCasedKeysIsNoProofOfTheNamesSent) {
  testsupport::PrivateHome home("sitetools-walkhome");
  for (const char* rel : {"Index.htm", "Logo.png", "Docs/Page.htm"}) {
    Write(Local(rel), std::string("<p>") + rel + "</p>");
    Write(Disk(rel), std::string("<p>") + rel + "</p>");
  }
  RemoteTree({});
  LoadOldProject({"Index.htm", "Logo.png", "Docs/Page.htm"});
  ASSERT_EQ(VersionList->Count(), 3);
  fs::rename(Local("Logo.png"), Local("logo.png"));
  fs::rename(Local("Docs"), Local("docs"));

  Project->Upload(true);
  std::vector<std::string> want = Start();
  Append(want, InListingOrder(Local(), {{"Index.htm", File("Index.htm")},
                                        {"logo.png", File("logo.png")},
                                        {"docs", MakeDir("docs")}}));
  Append(want, DirLine("docs"));
  Append(want, File("Page.htm"));
  Append(want, Clean());
  EXPECT_EQ(uploadLog_.Text(), want);

  deleteLog_->DefaultAnswer = walkfakes::AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
  EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"Index.htm", "docs/", "docs/Page.htm", "logo.png"}));

  // Whatever Delete Old forgot goes once more; then nothing does.
  Project->Upload(true);
  Project->Upload(true);
  want = Start();
  Append(want, DirLine("docs"));
  Append(want, Clean());
  EXPECT_EQ(uploadLog_.Text(), want);
  for (const char* rel : {"Index.htm", "logo.png", "docs/Page.htm"})
    EXPECT_EQ(testsupport::ReadFile(Disk(rel)), testsupport::ReadFile(Local(rel))) << rel;
  Project->FileName.clear();
}

// A file or a folder renamed in letter case alone (its last-write time
// stays) is another name on the server: the next changed-only run sends it
// under the new name, and Delete Old then leaves the server with the new
// names only. In a new project, and in one saved with upper-cased keys.
TEST_P(UploadWalk, RenamesInLetterCaseAloneAreSent) {
  testsupport::PrivateHome home("sitetools-walkhome");
  for (const bool stored : {false, true}) {
    SCOPED_TRACE(stored ? "project saved with upper-cased keys" : "new project");
    for (const auto& e : fs::directory_iterator(Local())) fs::remove_all(e.path());
    ClearRemote();
    VersionList->Clear();
    Write(Local("Logo.png"), "logo");
    Write(Local("Images/a.png"), "a");
    if (stored) {
      RemoteTree({"Images/"});
      Write(Disk("Logo.png"), "logo");
      Write(Disk("Images/a.png"), "a");
      RemoteTree({});
      LoadOldProject({"Logo.png", "Images/a.png"});
    }
    Project->Upload(true);
    ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());

    fs::rename(Local("Logo.png"), Local("logo.png"));
    fs::rename(Local("Images"), Local("images"));
    Project->Upload(true);
    std::vector<std::string> want = Start();
    Append(want, InListingOrder(Local(), {{"logo.png", File("logo.png")}, {"images", MakeDir("images")}}));
    Append(want, DirLine("images"));
    Append(want, File("a.png"));
    Append(want, Clean());
    EXPECT_EQ(uploadLog_.Text(), want);

    deleteLog_->DefaultAnswer = walkfakes::AnswerYesToAll;
    Project->DeleteOld();
    EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
    EXPECT_EQ(TreeOf(Disk()), (std::vector<std::string>{"images/", "images/a.png", "logo.png"}));
    EXPECT_EQ(testsupport::ReadFile(Disk("images/a.png")), "a");
    Project->FileName.clear();
  }
}

// Names a server might read specially, or a helper might cut: "\" is an
// ordinary byte of a name here (folders "a" and "a\" are two folders), "~"
// is the home folder to some servers when it stands alone, a leading "-"
// starts options, blanks lead or trail. Each lands under its own name, and
// an edit in "a\" reaches "a\" alone.
TEST_P(UploadWalk, NamesThatAServerOrAHelperMightMisreadLandUnderTheirOwnName) {
  std::vector<std::string> names = {"a", "a\\", "\\", "~", "~ftp", "-la", " lead", "trail ", "b\\c"};
  // pure-ftpd refuses every name holding "\" and stores one ending in a
  // blank under another name (see WalkNames): the others hold there.
  const bool holdsAll = GetParam() != "pureftpd";
  if (!holdsAll)
    std::erase_if(names, [](const std::string& n) { return n.find('\\') != std::string::npos || n.back() == ' '; });
  for (const std::string& n : names) {
    Write(Local(n + "/index.htm"), "in " + n);
    Write(Local("f" + n), "file " + n);
  }
  Write(Local("~f"), "tilde file");
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(TreeOf(Disk()), TreeOf(Local()));
  for (const std::string& n : names) EXPECT_EQ(testsupport::ReadFile(Disk(n + "/index.htm")), "in " + n) << n;
  if (!holdsAll) return;

  Write(Local("a\\/index.htm"), "edited");
  ShiftMtime(Local("a\\/index.htm"), 30);
  Project->Upload(true);
  std::vector<std::string> want = Start();
  for (const std::string& n : ListingOrder(Local())) {
    if (fs::is_directory(Local(n)) == false) continue;
    Append(want, DirLine(n));
    if (n == "a\\") Append(want, File("index.htm"));
  }
  Append(want, Clean());
  EXPECT_EQ(uploadLog_.Text(), want);
  EXPECT_EQ(testsupport::ReadFile(Disk("a\\/index.htm")), "edited");
  EXPECT_EQ(testsupport::ReadFile(Disk("a/index.htm")), "in a");
}

// Stamps count 2-second slots of the last-write time. A file whose slot is
// not over when it is read gets no stamp, so an edit within that slot is
// never missed; a file whose time gives no stamp at all (before 1980) is
// sent on every run, with a line saying why.
TEST_P(UploadWalk, FilesWhoseStampCouldHideAnEditAreSentAgain) {
  // Written and edited at once, again and again: whatever the clock says
  // between the steps, every edit reaches the server.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string text = "round " + std::to_string(round);
    testsupport::WriteFile(Local("now.txt"), text);
    Project->Upload(true);
    ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
    EXPECT_EQ(testsupport::ReadFile(Disk("now.txt")), text);
  }
  fs::remove(Local("now.txt"));

  // Dated later than now: its slot is not over, so it gets no stamp.
  Write(Local("later.txt"), "later");
  ShiftMtime(Local("later.txt"), 3600 + 60);
  // Dated before 1980: no stamp can hold it.
  Write(Local("old.txt"), "old");
  const std::string oldFile = Local("old.txt");
  timespec times[2] = {{0, UTIME_OMIT}, {315000000, 0}};  // December 1979
  ASSERT_EQ(::utimensat(AT_FDCWD, oldFile.c_str(), times, 0), 0);
  Write(Local("settled.txt"), "settled");
  const LinesOf first = {
      {"later.txt", File("later.txt")},
      {"old.txt", {"0 Sending " + oldFile + " every time: its last-write time is outside the years 1980 to 2107",
                   "0 uploading file old.txt"}},
      {"settled.txt", File("settled.txt")}};
  LinesOf again = first;
  again.erase("settled.txt");
  for (const LinesOf& lines : {first, again, again}) {
    Project->Upload(true);
    std::vector<std::string> want = Start();
    Append(want, InListingOrder(Local(), lines));
    Append(want, Clean());
    EXPECT_EQ(uploadLog_.Text(), want);
  }
  EXPECT_EQ(Recorded("later.txt"), "");
  EXPECT_EQ(Recorded("old.txt"), "");
  EXPECT_EQ(Recorded("settled.txt"), Stamp("settled.txt"));
  // A project that recorded -1 before does not keep the file back either.
  VersionList->SetStamp(Project->VersionKey(oldFile), "-1");
  fs::remove(Disk("old.txt"));
  Project->Upload(true);
  EXPECT_EQ(testsupport::ReadFile(Disk("old.txt")), "old");
}

// A put that did not finish (aborted, refused) may have cut the server's
// copy short or left none: the file's stamp goes, so the next changed-only
// run sends it again, also when it had not changed (Upload All re-sending
// it).
TEST_P(UploadWalk, APutThatDidNotFinishTakesTheFilesStamp) {
  const std::string big(4 << 20, 'b');
  Write(Local("big.bin"), big);
  Write(Local("a.txt"), "a");
  Project->Upload(true);
  ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  ASSERT_EQ(Recorded("big.bin"), Stamp("big.bin"));

  // Upload All aborted while the unchanged big file is on its way.
  bool pressed = false;
  uploadLog_.OnProgress = [&](std::int64_t done, std::int64_t size) {
    if (!pressed && size == static_cast<std::int64_t>(big.size()) && done > 0 && done < size) {
      pressed = true;
      uploadLog_.PressAbort(*ftp_);
    }
  };
  Project->Upload(false);
  uploadLog_.OnProgress = nullptr;
  ASSERT_TRUE(pressed);
  EXPECT_EQ(uploadLog_.TextsOf(lkError).back(), "Upload aborted.");
  EXPECT_EQ(Recorded("big.bin"), "");
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(testsupport::ReadFile(Disk("big.bin")), big);
  EXPECT_EQ(Recorded("big.bin"), Stamp("big.bin"));

  // Refused: a folder stands in the file's place on the server.
  ASSERT_EQ(Recorded("a.txt"), Stamp("a.txt"));
  fs::remove(Disk("a.txt"));
  RemoteTree({"a.txt/"});
  Project->Upload(false);
  EXPECT_GT(uploadLog_.ErrorCount(), 0);
  EXPECT_EQ(Recorded("a.txt"), "");
  fs::remove(Disk("a.txt"));
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(testsupport::ReadFile(Disk("a.txt")), "a");
}

// A file sent without a stamp (its slot not over, or a date no stamp can
// hold) drops the one of its earlier version: restored with its own date
// (cp -p, tar), that version is sent again.
TEST_P(UploadWalk, AFileSentWithoutAStampDropsItsEarlierOne) {
  struct Case {
    const char* what;
    timespec v2Time;
  };
  const timespec now = {std::time(nullptr), 0};
  const Case cases[] = {{"v2 in a slot not over yet", {now.tv_sec + 3600, 0}}, {"v2 dated 1970", {1000, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Write(Local("page.txt"), std::string("v1 ") + c.what);
    struct stat v1 {};
    ASSERT_EQ(::stat(Local("page.txt").c_str(), &v1), 0);
    Project->Upload(true);
    ASSERT_EQ(Recorded("page.txt"), Stamp("page.txt"));

    testsupport::WriteFile(Local("page.txt"), "v2");
    const timespec v2Times[2] = {{0, UTIME_OMIT}, c.v2Time};
    ASSERT_EQ(::utimensat(AT_FDCWD, Local("page.txt").c_str(), v2Times, 0), 0);
    Project->Upload(true);
    EXPECT_EQ(testsupport::ReadFile(Disk("page.txt")), "v2");
    EXPECT_EQ(Recorded("page.txt"), "");

    testsupport::WriteFile(Local("page.txt"), std::string("v1 ") + c.what);
    const timespec v1Times[2] = {{0, UTIME_OMIT}, v1.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, Local("page.txt").c_str(), v1Times, 0), 0);
    Project->Upload(true);
    EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
    EXPECT_EQ(testsupport::ReadFile(Disk("page.txt")), std::string("v1 ") + c.what);
  }
}

// A file system whose clock lags this machine's (a network share stamps
// files from its own): a file's slot is over only once that clock has left
// it too. The share's clock here stands inside the slot of the first edit,
// ten seconds and more behind this machine's; each write is dated on it.
TEST_P(UploadWalk, TheSlotIsJudgedOnTheFileSystemsOwnClock) {
  const time_t t0 = (std::time(nullptr) - 20) & ~time_t{1};
  timespec shareNow = {t0 + 1, 500000000};
  std::vector<std::string> asked;
  Project->FolderClock = [&](const std::string& folder, timespec& now) {
    asked.push_back(folder);
    now = shareNow;
    return true;
  };
  auto edit = [&](const std::string& text, time_t at) {
    testsupport::WriteFile(Local("sub/page.txt"), text);
    const timespec times[2] = {{0, UTIME_OMIT}, {at, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Local("sub/page.txt").c_str(), times, 0), 0);
  };
  fs::create_directory(Local("sub"));
  edit("edit 1", t0);
  Project->Upload(true);
  EXPECT_EQ(asked, (std::vector<std::string>{Local(), Local("sub")}));
  EXPECT_EQ(testsupport::ReadFile(Disk("sub/page.txt")), "edit 1");
  EXPECT_EQ(Recorded("sub/page.txt"), "");

  // In the same slot: the same stamp.
  edit("edit 2", t0 + 1);
  Project->Upload(true);
  EXPECT_EQ(testsupport::ReadFile(Disk("sub/page.txt")), "edit 2");

  // Once the share's clock has left the slot, the stamp is kept.
  shareNow = {t0 + 2, 0};
  Project->Upload(true);
  EXPECT_EQ(Recorded("sub/page.txt"), Stamp("sub/page.txt"));
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain), (std::vector<std::string>{"Connect to 127.0.0.1...",
                                                                    "uploading dir " + Local() + " to " + Remote(),
                                                                    "uploading dir " + Local("sub") + " to " +
                                                                        Remote() + "/sub",
                                                                    "Disconnect"}));

  // Where no file can be made to read the clock, this machine's decides.
  Project->FolderClock = [](const std::string&, timespec&) { return false; };
  edit("edit 3", t0 - 4);
  Project->Upload(true);
  EXPECT_EQ(testsupport::ReadFile(Disk("sub/page.txt")), "edit 3");
  EXPECT_EQ(Recorded("sub/page.txt"), Stamp("sub/page.txt"));
  Project->FolderClock = plat::FileSystemNow;
}

INSTANTIATE_TEST_SUITE_P(Peers, UploadWalk, ::testing::ValuesIn(ftptest::kRealServers),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });

// No server at all: the connect error, then the closing line.
TEST(UploadWalkNoServer, FailedConnect) {
  TSimpleFTP ftp(nullptr);
  ftp.SilentExceptions = false;
  testsupport::RefusingPort refusing;
  ftp.Port = refusing.Port();
  ftp.SetConnectTimeout(2000);
  walkfakes::Form form(&ftp);
  walkfakes::UploadLog log;
  testsupport::TempFolder site("sitetools-site");
  form.Texts[pfPath] = site.Top();
  form.Texts[pfFTPHost] = "127.0.0.1";
  form.Texts[pfFTPPath] = "/pub";
  Project->Form = &form;
  Project->UploadLog = &log;
  Project->Upload(true);
  Project->Form = nullptr;
  Project->UploadLog = nullptr;
  EXPECT_EQ(log.Text(), (std::vector<std::string>{"0 Connect to 127.0.0.1...", "1 Unable to connect to 127.0.0.1",
                                                  "1 Upload completed with errors."}));
  EXPECT_EQ(log.Ended, 1);
}

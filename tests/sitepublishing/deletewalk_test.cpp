// The delete-old walk against the real servers, with a local and a
// remote tree that differ: the exact lines, the answers checked on the
// server's disk, the forms of the remote folder, links on either side,
// Cancel, refusals, and the cases where nothing may be deleted (local
// folder missing or unreadable).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "tests/sitepublishing/walk_fixture.h"

using namespace walktest;
using walkfakes::AnswerCancel;
using walkfakes::AnswerNo;
using walkfakes::AnswerYes;
using walkfakes::AnswerYesToAll;
using Lines = std::vector<std::string>;

namespace {

Lines Checked(const std::string& r) { return {"0 checking file " + r}; }
Lines Folder(const std::string& r) { return {"0 checking directory " + r}; }
Lines Kept(const std::string& r) {
  return {"0 checking file " + r, "2 File " + r + " does not exist locally. Delete from remote server?"};
}
Lines Deleted(const std::string& r) {
  Lines l = Kept(r);
  l.push_back("2 file " + r + " deleted");
  return l;
}
Lines FolderAsked(const std::string& r) {
  return {"2 Directory " + r + " does not exist locally. Delete from remote server?"};
}
Lines FolderDeleted(const std::string& r) {
  Lines l = FolderAsked(r);
  l.push_back("2 directory " + r + " deleted");
  return l;
}
Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

class DeleteWalk : public WalkServerTest {
 protected:
  Lines Start() const { return {"0 Connect to 127.0.0.1...", "0 Find old files...", "0 checking directory " + R()}; }
  std::string R(const std::string& rel = "") const { return rel.empty() ? Remote() : Remote() + "/" + rel; }
  void Answer(const std::string& rel, walkfakes::Answer a) { deleteLog_->Answers[R(rel)] = a; }
  static Lines Done() { return {"2 Deleting old files completed"}; }
};

TEST_P(DeleteWalk, LinesAndAnswersCheckedOnTheServer) {
  for (const char* rel : {"keep.htm", "part.inc", "sub/keep2.htm", "my dir/a.htm"}) Write(Local(rel), "local");
  fs::create_directory(Local("dirlocal"));
  RemoteTree({"keep.htm", "part.inc", "old.htm", "dirlocal", "sub/keep2.htm", "sub/stale.txt", "my dir/a.htm",
              "my dir/b c.htm", "gone/x.txt"});
  Answer("old.htm", AnswerYes);
  Answer("dirlocal", AnswerYes);  // a local folder is not the file
  Answer("sub/stale.txt", AnswerNo);
  Answer("my dir/b c.htm", AnswerYes);
  Answer("gone/x.txt", AnswerYes);
  Answer("gone", AnswerYes);

  // The listing order is the server's, so the expected lines take it from
  // a listing of their own.
  const Lines files = InRemoteOrder(R(), {{"keep.htm", Checked(R("keep.htm"))},
                                          {"part.inc", Checked(R("part.inc"))},
                                          {"old.htm", Deleted(R("old.htm"))},
                                          {"dirlocal", Deleted(R("dirlocal"))}});
  const Lines folders = InRemoteOrder(
      R(), {{"sub", Folder(R("sub")) + InRemoteOrder(R("sub"), {{"keep2.htm", Checked(R("sub/keep2.htm"))},
                                                                {"stale.txt", Kept(R("sub/stale.txt"))}})},
            {"my dir", Folder(R("my dir")) + InRemoteOrder(R("my dir"), {{"a.htm", Checked(R("my dir/a.htm"))},
                                                                         {"b c.htm", Deleted(R("my dir/b c.htm"))}})},
            {"gone", Folder(R("gone")) + Deleted(R("gone/x.txt")) + FolderDeleted(R("gone"))}});
  Project->DeleteOld();

  EXPECT_EQ(deleteLog_->Text(), Start() + files + folders + Done());
  EXPECT_EQ(TreeOf(Disk()), (Lines{"keep.htm", "my dir/", "my dir/a.htm", "part.inc", "sub/", "sub/keep2.htm",
                                   "sub/stale.txt"}));
  EXPECT_EQ(deleteLog_->Ended, 1);
  EXPECT_EQ(form_->FtpParamsCalls, 1);
  EXPECT_EQ(form_->ModifiedCalls, 0);
  EXPECT_EQ(ftp_->State(), isDisconnected);
  EXPECT_EQ(Project->RemoteBase, Remote());
}

TEST_P(DeleteWalk, YesToAllDeletesTheRestWithoutAsking) {
  Write(Local("keep.txt"), "local");
  RemoteTree({"keep.txt", "a.txt", "b.txt", "old/c.txt", "old/deeper/d.txt"});
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->Asked.size(), 1u);
  const Lines notices = deleteLog_->TextsOf(lkNotice);
  EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                          [](const std::string& t) { return t.find("Delete from remote server?") != std::string::npos; }),
            1);
  for (const char* gone : {"file a.txt", "file b.txt", "file old/c.txt", "file old/deeper/d.txt",
                           "directory old/deeper", "directory old"}) {
    std::string kind = std::string(gone).substr(0, std::string(gone).find(' ') + 1);
    std::string line = kind + R(std::string(gone).substr(kind.size())) + " deleted";
    EXPECT_NE(std::find(notices.begin(), notices.end(), line), notices.end()) << line;
  }
  EXPECT_EQ(deleteLog_->ErrorCount(), 0);
  EXPECT_EQ(notices.back(), "Deleting old files completed");
  EXPECT_EQ(TreeOf(Disk()), (Lines{"keep.txt"}));
}

TEST_P(DeleteWalk, CancelKeepsTheItemAndStops) {
  Write(Local("keep.txt"), "local");
  RemoteTree({"keep.txt", "a.txt", "b.txt", "z/c.txt"});
  deleteLog_->DefaultAnswer = AnswerCancel;
  const Lines before = TreeOf(Disk());
  Project->DeleteOld();

  Lines want = Start();
  for (const std::string& n : RemoteOrder(R())) {
    if (n == "z") continue;  // folders come after the files
    if (n == "keep.txt") {
      want = want + Checked(R(n));
      continue;
    }
    want = want + Kept(R(n));
    break;
  }
  EXPECT_EQ(deleteLog_->Text(), want + Done() + Lines{"1 Deleting old files aborted."});
  EXPECT_EQ(TreeOf(Disk()), before);
  EXPECT_EQ(deleteLog_->Asked.size(), 1u);
}

TEST_P(DeleteWalk, FolderStillHoldingAKeptFileIsRefusedAndTheWalkGoesOn) {
  RemoteTree({"gone/x.txt", "later/z.txt"});
  Answer("gone/x.txt", AnswerNo);
  Answer("gone", AnswerYes);
  Answer("later/z.txt", AnswerYes);
  Answer("later", AnswerYes);
  const Lines folders =
      InRemoteOrder(R(), {{"gone", Folder(R("gone")) + Kept(R("gone/x.txt")) + FolderAsked(R("gone")) +
                                       Lines{"1 Error removing directory " + R("gone")}},
                          {"later", Folder(R("later")) + Deleted(R("later/z.txt")) + FolderDeleted(R("later"))}});
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->Text(), Start() + folders + Done() + Lines{"1 Deleting old files completed with errors."});
  EXPECT_EQ(TreeOf(Disk()), (Lines{"gone/", "gone/x.txt"}));
}

// However the remote folder is typed, the walk stands on the server's own
// name for it and maps the same files.
TEST_P(DeleteWalk, FormsOfTheRemoteFolderMapTheSameFiles) {
  Write(Local("keep.htm"), "local");
  Write(Local("sub/keep.htm"), "local");
  RemoteTree({"keep.htm", "stale.htm", "sub/keep.htm", "sub/stale.htm", "my dir/stale.htm"});
  // The server's root seen locally: a folder holding the site as "pub".
  testsupport::TempFolder rootView("sitetools-rootview");
  fs::create_directory_symlink(Local(), rootView.Top() + "/" + fs::path(Remote()).filename().string());
  const std::string sub = Remote().substr(1);  // "pub"
  struct Case {
    std::string field;
    std::string local;
    std::string base;
  } cases[] = {
      {Remote(), Local(), Remote()},
      {Remote() + "/", Local(), Remote()},
      {"/" + Remote(), Local(), Remote()},
      {sub, Local(), Remote()},
      {Remote() + "/../" + sub, Local(), Remote()},
      {"/", rootView.Top(), "/"},
      {"", rootView.Top(), "/"},  // the login folder
  };
  const Lines offered = {R("stale.htm"), R("sub/stale.htm"), R("my dir/stale.htm"), R("my dir")};
  for (const Case& c : cases) {
    SCOPED_TRACE("remote folder field \"" + c.field + "\"");
    form_->Texts[pfFTPPath] = c.field;
    form_->Texts[pfPath] = c.local;
    Project->DeleteOld();
    EXPECT_EQ(Project->RemoteBase, c.base);
    EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
    ASSERT_GE(deleteLog_->Lines.size(), 3u);
    EXPECT_EQ(deleteLog_->Lines[2].Text, "checking directory " + c.base);
    Lines asked = deleteLog_->Asked;
    std::sort(asked.begin(), asked.end());
    Lines want = offered;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(asked, want);
  }
}

// Without the local folder every remote file would look stale: nothing
// remote is looked at, whatever the answers would have been.
TEST_P(DeleteWalk, MissingLocalFolderDeletesNothing) {
  RemoteTree({"a.htm", "sub/b.htm"});
  const Lines before = TreeOf(Disk());
  form_->Texts[pfPath] = Local("not mounted");
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->Text(), (Lines{"1 Cannot open folder " + Local("not mounted"),
                                       "2 Deleting old files completed",
                                       "1 Deleting old files completed with errors."}));
  EXPECT_TRUE(deleteLog_->Asked.empty());
  EXPECT_EQ(TreeOf(Disk()), before);
}

// A local file that cannot be looked at is not missing: an error, never a
// deletion.
TEST_P(DeleteWalk, LocalEntriesThatCannotBeCheckedAreNotOffered) {
  Write(Local("locked/a.htm"), "local");
  ::chmod(Local("locked").c_str(), 0);
  RemoteTree({"locked/a.htm", "locked/b.htm"});
  const Lines before = TreeOf(Disk());
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  AsUnprivileged([&] { Project->DeleteOld(); });
  ::chmod(Local("locked").c_str(), 0755);
  const Lines errors = deleteLog_->TextsOf(lkError);
  for (const char* name : {"a.htm", "b.htm"})
    EXPECT_NE(std::find(errors.begin(), errors.end(), "Cannot check local path " + Local("locked/") + name),
              errors.end())
        << name;
  EXPECT_TRUE(deleteLog_->Asked.empty());
  EXPECT_EQ(TreeOf(Disk()), before);
  EXPECT_EQ(deleteLog_->Lines.back().Text, "Deleting old files completed with errors.");
}

// Links on either side. A remote link is neither a file nor a folder: it
// is never entered, and never offered while anything local bears its name
// (the upload stands on a link to a folder as on the folder); named like
// nothing local, it is offered and deleted as a file, the link alone. A
// local link that leads nowhere keeps what is named like it, and what lies
// below it, which cannot be checked. Every question is answered Yes.
TEST_P(DeleteWalk, LinksOnEitherSide) {
  // Entries: "name" a file, "name/" a folder, "name -> target" a link.
  struct Case {
    const char* what;
    Lines local, remote, lines, after;
    bool errors;
  } cases[] = {
      {"a remote link named like a local folder",
       {"docs/", "real/f.htm"},
       {"real/f.htm", "docs -> real"},
       {"0 checking file @/docs", "0 checking directory @/real", "0 checking file @/real/f.htm"},
       {"docs -> real", "real/", "real/f.htm"},
       false},
      {"a remote link named like a local folder, its target not local",
       {"docs/a.htm"},
       {"real/a.htm", "docs -> real"},
       {"0 checking file @/docs", "0 checking directory @/real", "0 checking file @/real/a.htm"},
       {"docs -> real", "real/", "real/a.htm"},
       false},
      {"a remote link named like a local file, its target not local",
       {"page.htm"},
       {"real/a.htm", "page.htm -> real/a.htm"},
       {"0 checking file @/page.htm", "0 checking directory @/real", "0 checking file @/real/a.htm"},
       {"page.htm -> real/a.htm", "real/", "real/a.htm"},
       false},
      {"a remote link named like a local file",
       {"page.htm", "real/f.htm"},
       {"real/f.htm", "page.htm -> real/f.htm"},
       {"0 checking file @/page.htm", "0 checking directory @/real", "0 checking file @/real/f.htm"},
       {"page.htm -> real/f.htm", "real/", "real/f.htm"},
       false},
      {"a remote link named like a local link to nothing",
       {"page.htm -> nowhere"},
       {"page.htm -> nowhere"},
       {"0 checking file @/page.htm"},
       {"page.htm -> nowhere"},
       false},
      {"a remote link to a folder, named like nothing local",
       {"real/f.htm"},
       {"real/f.htm", "stray -> real"},
       {"0 checking file @/stray", "2 File @/stray does not exist locally. Delete from remote server?",
        "2 file @/stray deleted", "0 checking directory @/real", "0 checking file @/real/f.htm"},
       {"real/", "real/f.htm"},
       false},
      {"a remote link to nothing, named like nothing local",
       {},
       {"gone.htm -> nowhere"},
       {"0 checking file @/gone.htm", "2 File @/gone.htm does not exist locally. Delete from remote server?",
        "2 file @/gone.htm deleted"},
       {},
       false},
      {"a remote file named like a local link to nothing",
       {"f.htm -> nowhere"},
       {"f.htm"},
       {"0 checking file @/f.htm"},
       {"f.htm"},
       false},
      {"a remote folder named like a local link to nothing",
       {"photos -> /nonexistent/photos"},
       {"photos/a.jpg"},
       {"0 checking directory @/photos", "1 Cannot check local path ~/photos: it links to nothing"},
       {"photos/", "photos/a.jpg"},
       true},
  };
  deleteLog_->DefaultAnswer = AnswerYes;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(Local())) fs::remove_all(e.path());
    ClearRemote();
    // Files and folders first (the remote ones owned by the server's user),
    // then the links.
    auto split = [](const Lines& entries, Lines& plain, Lines& links) {
      for (const std::string& e : entries) (e.find(" -> ") == std::string::npos ? plain : links).push_back(e);
    };
    Lines localPlain, localLinks, remotePlain, remoteLinks;
    split(c.local, localPlain, localLinks);
    split(c.remote, remotePlain, remoteLinks);
    for (const std::string& e : localPlain) {
      if (e.back() == '/')
        fs::create_directories(Local(e));
      else
        Write(Local(e), "local");
    }
    RemoteTree(remotePlain);
    for (const auto& [remote, links] : {std::pair{false, localLinks}, std::pair{true, remoteLinks}}) {
      for (const std::string& l : links) {
        const std::size_t arrow = l.find(" -> ");
        const std::string at = remote ? Disk(l.substr(0, arrow)) : Local(l.substr(0, arrow));
        fs::create_symlink(l.substr(arrow + 4), at);
        if (remote) {
          ASSERT_TRUE(server_->GiveToServer(at));
        }
      }
    }

    Project->DeleteOld();

    Lines want = Start() + Filled(c.lines) + Done();
    if (c.errors) want.push_back("1 Deleting old files completed with errors.");
    EXPECT_EQ(deleteLog_->Text(), want);
    EXPECT_EQ(TreeOf(Disk()), c.after);
  }
}

// A remote link that stands for a local entry is what the upload writes
// through: nothing it points at (resolved against the link's folder, or
// absolute as the server lists it), nor anything below that, is offered,
// wherever the link lies in the tree and however many links lead there.
// Each case is uploaded first; then Delete Old answers Yes to All.
TEST_P(DeleteWalk, WhatALinkForALocalEntryPointsAtIsNeverOffered) {
  // Entries as in LinksOnEitherSide; "%" in a target stands for the
  // server's own absolute name of the remote folder.
  struct Case {
    const char* what;
    Lines local, remote, offered, after;
  } cases[] = {
      {"a link to a folder beside it",
       {"docs/a.htm"},
       {"real/", "docs -> real", "stale.htm"},
       {R("stale.htm")},
       {"docs -> real", "real/", "real/a.htm"}},
      {"a link to a file beside it",
       {"page.htm"},
       {"real.htm", "page.htm -> real.htm"},
       {},
       {"page.htm -> real.htm", "real.htm"}},
      {"a link deep in the tree to a folder the walk reaches first",
       {"z/docs/a.htm"},
       {"a/real/old.htm", "z/docs -> ../a/real", "a/stale.htm"},
       {R("a/stale.htm")},
       {"a/", "a/real/", "a/real/a.htm", "a/real/old.htm", "z/", "z/docs -> ../a/real"}},
      {"a link through a link",
       {"docs/a.htm"},
       {"store/real/", "docs -> hop", "hop -> store/real"},
       {},
       {"docs -> hop", "hop -> store/real", "store/", "store/real/", "store/real/a.htm"}},
      {"an absolute link",
       {"docs/a.htm"},
       {"real/", "docs -> %/real"},
       {},
       {"docs -> %/real", "real/", "real/a.htm"}},
      {"a link for nothing local: its target is judged on its own",
       {"keep.htm"},
       {"real/x.htm", "stray -> real", "keep.htm"},
       {R("stray"), R("real/x.htm"), R("real")},
       {"keep.htm"}},
  };
  // Where the server's listing points to: a server that gives its users
  // a root of their own shows links as they are on that root; the other
  // shows the path on its disk.
  const std::string absolute = server_->GivesOwnRoot() ? Remote() : Disk();
  auto fill = [&](std::string e) {
    for (std::size_t at; (at = e.find('%')) != std::string::npos;) e.replace(at, 1, absolute);
    return e;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A server that writes through no link to a file refuses the upload,
    // which says so.
    if (c.what == std::string("a link to a file beside it") && !server_->WritesThroughFileLinks()) continue;
    for (const auto& e : fs::directory_iterator(Local())) fs::remove_all(e.path());
    ClearRemote();
    VersionList->Clear();
    Lines plain;
    for (const std::string& e : c.local) Write(Local(e), "local " + e);
    for (const std::string& e : c.remote)
      if (e.find(" -> ") == std::string::npos) plain.push_back(e);
    RemoteTree(plain);
    for (const std::string& e : c.remote) {
      const std::size_t arrow = e.find(" -> ");
      if (arrow != std::string::npos) RemoteLink(e.substr(0, arrow), fill(e.substr(arrow + 4)));
    }
    Project->Upload(false);
    ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());

    deleteLog_->DefaultAnswer = AnswerYesToAll;
    Project->DeleteOld();
    EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
    Lines offered;
    for (const std::string& n : deleteLog_->TextsOf(lkNotice))
      for (const char* kind : {"file ", "directory "})
        if (n.rfind(kind, 0) == 0 && n.size() > 8 && n.compare(n.size() - 8, 8, " deleted") == 0)
          offered.push_back(n.substr(std::strlen(kind), n.size() - std::strlen(kind) - 8));
    Lines wantOffered = c.offered;
    std::sort(offered.begin(), offered.end());
    std::sort(wantOffered.begin(), wantOffered.end());
    EXPECT_EQ(offered, wantOffered);
    Lines after;
    for (const std::string& e : c.after) after.push_back(fill(e));
    std::sort(after.begin(), after.end());
    EXPECT_EQ(TreeOf(Disk()), after);

    // The site still stands: the next upload goes through the links.
    Project->Upload(false);
    EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  }
}

// A remote folder that could not be read may hold links to anything: the
// run names every such folder and deletes nothing, whatever the answers,
// also what the walk would have reached before it. The scan goes on past
// it, so each is named. One the server may not enter, and one it may
// enter but not read (mode 0311): vsftpd answers that one's listing with
// 226 and nothing in it, which is no empty folder.
TEST_P(DeleteWalk, FoldersThatCannotBeReadKeepEverything) {
  if (server_->ReadsAsRoot()) GTEST_SKIP() << GetParam() << " runs as root here and reads every folder";
  Write(Local("b/locked/l/index.htm"), "local");
  Write(Local("keep.htm"), "local");
  RemoteTree({"a/real/index.htm", "a/stale.htm", "b/locked/", "b/shut/x.htm", "keep.htm", "stale.htm", "empty/",
              "z/stale.htm"});
  RemoteLink("b/locked/l", "../../a/real");
  ::chmod(Disk("b/locked").c_str(), 0311);
  ::chmod(Disk("b/shut").c_str(), 0);
  const Lines before = TreeOf(Disk());
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  ::chmod(Disk("b/locked").c_str(), 0755);
  ::chmod(Disk("b/shut").c_str(), 0755);
  const Lines text = deleteLog_->Text();
  ASSERT_GE(text.size(), 6u) << testing::PrintToString(text);
  EXPECT_EQ(Lines(text.begin(), text.begin() + 2), (Lines{"0 Connect to 127.0.0.1...", "0 Find old files..."}));
  // The server's order of the two.
  Lines named(text.begin() + 2, text.begin() + 4);
  std::sort(named.begin(), named.end());
  EXPECT_EQ(named.size(), 2u);
  EXPECT_EQ(named[0].rfind("1 Cannot list folder " + R("b/locked"), 0), 0u) << named[0];
  EXPECT_EQ(named[1], "1 Couldn't change to directory " + R("b/shut"));
  EXPECT_EQ(Lines(text.begin() + 4, text.end()),
            (Lines{"1 Nothing deleted: a link in what could not be read may lead to any remote entry",
                   "2 Deleting old files completed", "1 Deleting old files completed with errors."}));
  EXPECT_TRUE(deleteLog_->Asked.empty());
  EXPECT_EQ(TreeOf(Disk()), before);
}

// An empty folder the server did read is empty: the check of an empty
// listing ("LIST -a" shows "." of a folder it read, or the folder may be
// read by anyone) lets it be offered and removed, also one only its owner
// may read on a server that shows "." (vsftpd).
TEST_P(DeleteWalk, EmptyFoldersTheServerReadIsAreOffered) {
  RemoteTree({"empty/", "private/", "deep/er/"});
  if (!server_->ReadsAsRoot()) ::chmod(Disk("private").c_str(), 0700);
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
  EXPECT_EQ(TreeOf(Disk()), Lines{});
}

// A local folder the walk cannot search: the remote folder below it is
// listed all the same, and its links count as leading (their local
// counterparts cannot be checked), so what they point at stays; what lies
// below it is an error, never a deletion. The rest goes as usual.
TEST_P(DeleteWalk, LinksBelowALocalFolderThatCannotBeSearchedKeepTheirTargets) {
  Write(Local("z/b/page.htm"), "local");
  RemoteTree({"a/real/x.htm", "z/b/page.htm", "z/b/old.htm", "stale.htm"});
  RemoteLink("z/b/l", "../../a/real");
  ::chmod(Local("z").c_str(), 0644);  // readable, not searchable
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  AsUnprivileged([&] { Project->DeleteOld(); });
  ::chmod(Local("z").c_str(), 0755);
  const Lines errors = deleteLog_->TextsOf(lkError);
  EXPECT_NE(std::find(errors.begin(), errors.end(), "Cannot check local path " + Local("z/b")), errors.end())
      << testing::PrintToString(deleteLog_->Text());
  for (const std::string& e : errors)
    EXPECT_TRUE(e == "Cannot check local path " + Local("z/b") || e == "Deleting old files completed with errors.") << e;
  EXPECT_EQ(TreeOf(Disk()), (Lines{"a/", "a/real/", "a/real/x.htm", "z/", "z/b/", "z/b/l -> ../../a/real",
                                   "z/b/old.htm", "z/b/page.htm"}));
}

// A link's target is followed through every link on its way, as the
// server resolves it: what it leads to, the links on the way and what lies
// below are kept, the rest is offered as before. Each case is uploaded
// first (unless the server cannot go through its links); then Delete Old
// answers Yes to All, and the next upload still goes through.
TEST_P(DeleteWalk, LinkChainsAreFollowedAsTheServerFollowsThem) {
  // Entries as in LinksOnEitherSide; remote ones starting "../" lie beside
  // the remote folder, outside the tree; "%" in a target stands for the
  // server's own absolute name of the remote folder.
  struct Case {
    const char* what;
    Lines local, remote, after, outside;
    bool upload = true;
  } cases[] = {
      {"a release layout",
       {"site/index.htm"},
       {"releases/v3/public/index.htm", "releases/v3/notes.txt", "releases/v2/public/index.htm",
        "site -> current/public", "current -> releases/v3"},
       {"current -> releases/v3", "releases/", "releases/v3/", "releases/v3/public/", "releases/v3/public/index.htm",
        "site -> current/public"},
       {}},
      {"from a folder below, up and through a link",
       {"x/site/index.htm"},
       {"releases/v3/public/index.htm", "x/site -> ../current/public", "current -> releases/v3"},
       {"current -> releases/v3", "releases/", "releases/v3/", "releases/v3/public/", "releases/v3/public/index.htm",
        "x/", "x/site -> ../current/public"},
       {}},
      {"up from a link's end",
       {"site/index.htm"},
       {"releases/v3/public/index.htm", "releases/v3/up/", "site -> hop/../public", "hop -> releases/v3/up"},
       {"hop -> releases/v3/up", "releases/", "releases/v3/", "releases/v3/public/", "releases/v3/public/index.htm",
        "releases/v3/up/", "site -> hop/../public"},
       {}},
      {"an absolute link on the way",
       {"site/index.htm"},
       {"releases/v3/public/index.htm", "site -> current/public", "current -> %/releases/v3"},
       {"current -> %/releases/v3", "releases/", "releases/v3/", "releases/v3/public/",
        "releases/v3/public/index.htm", "site -> current/public"},
       {}},
      {"a hidden link on the way",
       {"site/index.htm"},
       {"releases/v3/public/index.htm", "site -> .current/public", ".current -> releases/v3"},
       {".current -> releases/v3", "releases/", "releases/v3/", "releases/v3/public/", "releases/v3/public/index.htm",
        "site -> .current/public"},
       {}},
      {"a link below an end outside the tree",
       {"site/img/logo.png"},
       {"images/logo.png", "old/x.png", "site -> ../outside/public", "../outside/public/img -> ../../pub/images"},
       {"images/", "images/logo.png", "site -> ../outside/public"},
       {"public/", "public/img -> ../../pub/images"}},
      {"a circle",
       {"site/index.htm"},
       {"site -> loop/public", "loop -> loop2", "loop2 -> loop", "stale.htm"},
       {"loop -> loop2", "loop2 -> loop", "site -> loop/public"},
       {},
       false},
  };
  // A server that gives its users a root of their own shows links as they
  // are on that root; the other shows the path on its disk.
  const std::string absolute = server_->GivesOwnRoot() ? Remote() : Disk();
  auto fill = [&](std::string e) {
    for (std::size_t at; (at = e.find('%')) != std::string::npos;) e.replace(at, 1, absolute);
    return e;
  };
  const std::string outside = fs::path(Disk()).parent_path().string() + "/outside";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(Local())) fs::remove_all(e.path());
    ClearRemote();
    fs::remove_all(outside);
    VersionList->Clear();
    Lines plain;
    for (const std::string& e : c.local) Write(Local(e), "local " + e);
    for (const std::string& e : c.remote)
      if (e.find(" -> ") == std::string::npos) plain.push_back(e);
    RemoteTree(plain);
    for (const std::string& e : c.remote) {
      const std::size_t arrow = e.find(" -> ");
      if (arrow != std::string::npos) RemoteLink(e.substr(0, arrow), fill(e.substr(arrow + 4)));
    }
    if (c.upload) {
      Project->Upload(false);
      ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
    }
    deleteLog_->DefaultAnswer = AnswerYesToAll;
    Project->DeleteOld();
    EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
    Lines after;
    for (const std::string& e : c.after) after.push_back(fill(e));
    std::sort(after.begin(), after.end());
    EXPECT_EQ(TreeOf(Disk()), after);
    EXPECT_EQ(TreeOf(outside), c.outside);
    if (c.upload) {
      Project->Upload(false);
      EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
    }
  }
  fs::remove_all(outside);
}

// A remote link whose name holds " -> " is taken whole (its size, the
// length of its target, tells where the name ends): it stands for the
// local file of that name, so neither it nor what it points at goes.
TEST_P(DeleteWalk, ALinkNameHoldingAnArrowIsTakenWhole) {
  Write(Local("a -> b.htm"), "local");
  RemoteTree({"store/real.htm", "store/stale.htm"});
  RemoteLink("a -> b.htm", "store/real.htm");
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
  EXPECT_EQ(TreeOf(Disk()), (Lines{"a -> b.htm -> store/real.htm", "store/", "store/real.htm"}));
}

// What Delete Old deletes is no longer published: its stamps go with it,
// so a local file that comes back under that path (a rename undone, its
// last-write time the same) is sent again.
TEST_P(DeleteWalk, WhatIsDeletedIsSentAgainWhenItComesBack) {
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "a folder" : "a file");
    for (const auto& e : fs::directory_iterator(Local())) fs::remove_all(e.path());
    ClearRemote();
    VersionList->Clear();
    const std::string name = folder ? "d" : "a.txt", moved = folder ? "e" : "b.txt";
    Write(folder ? Local("d/x.txt") : Local("a.txt"), "content");
    Project->Upload(true);
    fs::rename(Local(name), Local(moved));
    Project->Upload(true);
    Project->Modified = false;
    deleteLog_->DefaultAnswer = AnswerYesToAll;
    Project->DeleteOld();
    ASSERT_FALSE(ftptest::Exists(Disk(name)));
    EXPECT_TRUE(Project->Modified);
    fs::rename(Local(moved), Local(name));
    Project->Upload(true);
    EXPECT_EQ(uploadLog_.ErrorCount(), 0);
    EXPECT_EQ(testsupport::ReadFile(Disk(folder ? "d/x.txt" : "a.txt")), "content");
  }
}

// Deleting A.htm or SUB may have deleted what a.htm and sub/x.txt stand
// for, on a server that takes names ignoring letter case: their stamps go,
// so the next run sends them again.
TEST_P(DeleteWalk, DeletingANameInAnotherLetterCaseForgetsItsStamps) {
  Write(Local("a.htm"), "a");
  Write(Local("sub/x.txt"), "x");
  Write(Local("b.htm"), "b");
  Project->Upload(true);
  RemoteTree({"A.htm", "SUB/y.txt"});
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(TreeOf(Disk()), (Lines{"a.htm", "b.htm", "sub/", "sub/x.txt"}));
  EXPECT_EQ(Recorded("a.htm"), "");
  EXPECT_EQ(Recorded("sub/x.txt"), "");
  EXPECT_EQ(Recorded("b.htm"), Stamp("b.htm"));
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.TextsOf(lkPlain),
            (Lines{"Connect to 127.0.0.1...", "uploading dir " + Local() + " to " + Remote(), "uploading file a.htm",
                   "uploading dir " + Local("sub") + " to " + R("sub"), "uploading file x.txt", "Disconnect"}));
}

// "\" is an ordinary byte of a remote name: "keep\" is another folder than
// "keep", walked, offered and removed as itself.
TEST_P(DeleteWalk, BackslashIsPartOfARemoteName) {
  if (GetParam() == "pureftpd") GTEST_SKIP() << "pure-ftpd refuses every name that holds a backslash";
  Write(Local("keep/k.htm"), "local");
  RemoteTree({"keep/k.htm", "keep\\/old.htm", "x\\"});
  // The only file at the top is asked first; Yes to All answers the rest.
  deleteLog_->DefaultAnswer = AnswerYesToAll;
  const Lines folders = InRemoteOrder(
      R(), {{"keep", Folder(R("keep")) + Checked(R("keep/k.htm"))},
            {"keep\\", Folder(R("keep\\")) + Checked(R("keep\\/old.htm")) +
                            Lines{"2 file " + R("keep\\/old.htm") + " deleted", "2 directory " + R("keep\\") + " deleted"}}});
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->Text(), Start() + Deleted(R("x\\")) + folders + Done());
  EXPECT_EQ(TreeOf(Disk()), (Lines{"keep/", "keep/k.htm"}));
}

// Cancel at the last file of a folder whose subfolders come next: nothing
// more is walked or offered, and no error follows; the run ends with its
// closing lines.
TEST_P(DeleteWalk, CancelAtTheLastFileBeforeTheSubfolders) {
  RemoteTree({"sub/b.txt", "sub2/c.txt"});
  // The fault showed only when the cancelled file is the last entry the
  // server lists: pick a name it lists after the folders.
  std::string last;
  for (int i = 0; i < 40 && last.empty(); ++i) {
    const std::string name = "z" + std::to_string(i) + ".txt";
    RemoteTree({name});
    if (RemoteOrder(R()).back() == name)
      last = name;
    else
      fs::remove(Disk(name));
  }
  ASSERT_FALSE(last.empty()) << "the server never listed a file after its folders";
  const Lines before = TreeOf(Disk());
  deleteLog_->DefaultAnswer = AnswerCancel;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->Text(), Start() + Kept(R(last)) + Done() + Lines{"1 Deleting old files aborted."});
  EXPECT_EQ(TreeOf(Disk()), before);
}

// The same failures give the same lines whether the component raises or
// answers False: a deletion the server refused is never reported as done,
// and a remote folder that cannot be entered ends the run before any other
// folder (the login folder, say) is walked in its place.
TEST_P(DeleteWalk, RefusalsReadTheSameWhetherTheComponentRaisesOrAnswersFalse) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "answers False" : "raises");
    ftp_->SilentExceptions = silent;
    ClearRemote();
    RemoteTree({"old/gone.txt"});
    // Each entry vanishes while its question is on screen, so the server
    // refuses to delete it.
    deleteLog_->DefaultAnswer = AnswerYes;
    deleteLog_->OnLine = [this](const walkfakes::Line& l) {
      const std::string path = walkfakes::DeleteLog::QuestionPath(l.Text);
      if (!path.empty()) fs::remove_all(Disk(path.substr(Remote().size() + 1)));
    };
    form_->Texts[pfFTPPath] = Remote();
    Project->DeleteOld();
    deleteLog_->OnLine = nullptr;
    EXPECT_EQ(deleteLog_->Text(),
              Start() + Folder(R("old")) + Kept(R("old/gone.txt")) + Lines{"1 Error deleting " + R("old/gone.txt")} +
                  FolderAsked(R("old")) + Lines{"1 Error removing directory " + R("old")} + Done() +
                  Lines{"1 Deleting old files completed with errors."});

    RemoteTree({"stale.txt"});
    form_->Texts[pfFTPPath] = Remote() + "/missing";
    deleteLog_->DefaultAnswer = AnswerYesToAll;
    Project->DeleteOld();
    EXPECT_EQ(deleteLog_->Text(), (Lines{"0 Connect to 127.0.0.1...", "0 Find old files...",
                                         "1 Couldn't change to directory " + R("missing"),
                                         "2 Deleting old files completed",
                                         "1 Deleting old files completed with errors."}));
    EXPECT_EQ(TreeOf(Disk()), (Lines{"stale.txt"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, DeleteWalk, ::testing::ValuesIn(ftptest::kRealServers),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });

// Only entries below the base have a local counterpart.
TEST(DeleteWalkMapping, RemoteToLocal) {
  Project->Fields().SetFieldText(pfPath, "/home/u/site");
  struct Case {
    std::string base, remote, local;  // local empty: refused
  } cases[] = {
      {"/pub", "/pub/a.htm", "/home/u/site/a.htm"},
      {"/pub", "/pub/my dir/b c.htm", "/home/u/site/my dir/b c.htm"},
      {"/", "/a.htm", "/home/u/site/a.htm"},
      {"/", "/pub/a.htm", "/home/u/site/pub/a.htm"},
      {"/pub/", "/pub/a.htm", "/home/u/site/a.htm"},
      {"/pub", "/pubx/a.htm", ""},
      {"/pub", "/pub", ""},
      {"/pub", "/pub/", ""},
      {"/pub", "/other/a.htm", ""},
      {"/pub", "/pub/../etc/passwd", ""},
      {"/pub", "/pub/./a.htm", ""},
      {"/pub", "/pub//a.htm", ""},
      {"/pub", "pub/a.htm", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base + " " + c.remote);
    Project->RemoteBase = c.base;
    if (c.local.empty()) {
      try {
        Project->RemoteToLocal(c.remote);
        ADD_FAILURE() << "mapped";
      } catch (const plat::Exception& e) {
        EXPECT_EQ(e.Message, "Remote path " + c.remote + " is not below " + c.base);
      }
    } else {
      EXPECT_EQ(Project->RemoteToLocal(c.remote), c.local);
    }
  }
  Project->RemoteBase.clear();
  Project->Fields().SetFieldText(pfPath, "");
}

// A listing the server refuses is no empty folder: the run ends with an
// error and nothing in that folder is offered.
TEST(DeleteWalkListing, ARefusedListingEndsTheRunWithAnError) {
  ftptest::ScriptServer server([](ftptest::ScriptConn& c, int) {
    c.AcceptLogin();
    for (;;) {
      std::string line = c.ReadLine();
      if (line.empty()) return;
      std::string cmd = line.substr(0, line.find(' '));
      if (cmd == "CWD")
        c.Send("250 ok\r\n");
      else if (cmd == "PWD")
        c.Send("257 \"/www\"\r\n");
      else if (cmd == "TYPE")
        c.Send("200 ok\r\n");
      else if (cmd == "QUIT") {
        c.Send("221 bye\r\n");
        return;
      } else
        c.Send("425 No data connection\r\n");  // PASV, EPSV, LIST and the rest
    }
  });
  testsupport::TempFolder site;
  TSimpleFTP ftp(nullptr);
  ftp.Port = server.Port();
  ftp.SilentExceptions = false;
  ftp.SetPassive(true);
  ftp.SetConnectTimeout(5000);
  walkfakes::Form form(&ftp);
  walkfakes::DeleteLog log(&ftp);
  form.Texts[pfPath] = site.Top();
  form.Texts[pfFTPHost] = "127.0.0.1";
  form.Texts[pfFTPLogin] = "u";
  form.Texts[pfFTPPassword] = "p";
  form.Texts[pfFTPPath] = "/www";
  Project->Form = &form;
  Project->DeleteLog = &log;
  Project->DeleteOld();
  Project->Form = nullptr;
  Project->DeleteLog = nullptr;
  EXPECT_EQ(log.Text(), (Lines{"0 Connect to 127.0.0.1...", "0 Find old files...", "1 Cannot list folder /www",
                               "1 Nothing deleted: a link in what could not be read may lead to any remote entry",
                               "2 Deleting old files completed", "1 Deleting old files completed with errors."}));
  EXPECT_TRUE(log.Asked.empty());
}

// A server that takes names ignoring letter case, as Windows servers do:
// logo.png, sent after a rename in case alone, lands on the old Logo.png,
// and docs/Page.htm in Docs. Delete Old keeps what the server may take for
// a local file, with a line saying so, and deletes what no local name
// reaches; a later edit still lands.
class CaseBlindServer : public DeleteWalk {};

TEST_P(CaseBlindServer, DeleteOldKeepsWhatTheServerMayTakeForALocalFile) {
  Write(Local("Logo.png"), "logo v1");
  Write(Local("Docs/Page.htm"), "page v1");
  Project->Upload(true);
  ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  fs::rename(Local("Logo.png"), Local("logo.png"));
  fs::rename(Local("Docs"), Local("docs"));
  Write(Local("logo.png"), "logo v2");
  ShiftMtime(Local("logo.png"), 30);
  Write(Local("docs/Page.htm"), "page v2");
  ShiftMtime(Local("docs/Page.htm"), 30);
  RemoteTree({"stale.png", "Docs/stale.htm"});
  Project->Upload(true);
  ASSERT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  // The server took the new names for the old entries.
  ASSERT_EQ(TreeOf(Disk()), (Lines{"Docs/", "Docs/Page.htm", "Docs/stale.htm", "Logo.png", "stale.png"}));
  EXPECT_EQ(testsupport::ReadFile(Disk("Logo.png")), "logo v2");
  EXPECT_EQ(testsupport::ReadFile(Disk("Docs/Page.htm")), "page v2");

  deleteLog_->DefaultAnswer = AnswerYesToAll;
  Project->DeleteOld();
  EXPECT_EQ(deleteLog_->ErrorCount(), 0) << testing::PrintToString(deleteLog_->Text());
  EXPECT_EQ(TreeOf(Disk()), (Lines{"Docs/", "Docs/Page.htm", "Logo.png"}));
  const Lines plain = deleteLog_->TextsOf(lkPlain);
  for (const std::string& kept : {"file " + R("Logo.png") + " kept: the server may take it for " + Local("logo.png"),
                                  "file " + R("Docs/Page.htm") + " kept: the server may take it for " +
                                      Local("docs/Page.htm"),
                                  "directory " + R("Docs") + " kept: the server may take it for " + Local("docs")})
    EXPECT_NE(std::find(plain.begin(), plain.end(), kept), plain.end()) << kept;
  const Lines notices = deleteLog_->TextsOf(lkNotice);
  for (const std::string& gone : {"file " + R("stale.png") + " deleted", "file " + R("Docs/stale.htm") + " deleted"})
    EXPECT_NE(std::find(notices.begin(), notices.end(), gone), notices.end()) << gone;

  Write(Local("logo.png"), "logo v3");
  ShiftMtime(Local("logo.png"), 90);
  Project->Upload(true);
  EXPECT_EQ(uploadLog_.ErrorCount(), 0) << testing::PrintToString(uploadLog_.Text());
  EXPECT_EQ(testsupport::ReadFile(Disk("Logo.png")), "logo v3");
}

INSTANTIATE_TEST_SUITE_P(Peers, CaseBlindServer, ::testing::Values("pyftpdlib-nocase"),
                         [](const testing::TestParamInfo<std::string>&) { return std::string("pyftpdlib_nocase"); });

#include "platform/fs/fs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <optional>

#include "platform/classes/classes.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/files.h"
#include "tests/support/other_user.h"
#include "tests/support/private_home.h"
#include "tests/support/small_disk.h"

using namespace plat;
namespace stdfs = std::filesystem;
using testsupport::FolderEntries;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

mode_t Bits(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class FsTest : public ::testing::Test {
 protected:
  testsupport::PrivateHome Home;
  const std::string Dir = Home.MakeFolder("files");
  std::string Path(const std::string& name) const { return Dir + "/" + name; }
};

TEST_F(FsTest, PermissionBitsOfTheReplacement) {
  const mode_t mask = ::umask(022);
  struct Case {
    const char* what;
    int mode;            // TReplaceOptions::Mode
    mode_t newMode;      // TReplaceOptions::NewMode
    int oldBits;         // bits of the file replaced, -1: no file yet
    mode_t want;
  } cases[] = {
      {"fixed bits win over the old file's", 0600, 0666, 0644, 0600},
      {"fixed bits ignore the umask", 0777, 0666, -1, 0777},
      {"a replaced file keeps its bits", -1, 0666, 0640, 0640},
      {"a new file gets NewMode less the umask", -1, 0666, -1, 0644},
      {"a private new file", -1, 0600, -1, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = Path("bits");
    ::unlink(file.c_str());
    if (c.oldBits >= 0) WriteFile(file, "old", static_cast<mode_t>(c.oldBits));
    TReplaceOptions o;
    o.Mode = c.mode;
    o.NewMode = c.newMode;
    EXPECT_FALSE(ReplaceFile(file, "new", o));
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(Bits(file), c.want);
  }
  ::umask(mask);
  EXPECT_EQ(FolderEntries(Dir), std::vector<std::string>{"bits"});
}

TEST_F(FsTest, RefusedReplacementsLeaveTheOldFile) {
  // A folder is never replaced, nor an empty name.
  stdfs::create_directories(Path("folder/inner"));
  TWriteFault f = ReplaceFile(Path("folder"), "x");
  EXPECT_EQ(f.Step, wsReplace);
  EXPECT_EQ(f.Code, EISDIR);
  EXPECT_TRUE(stdfs::is_directory(Path("folder/inner")));
  EXPECT_EQ(ReplaceFile("", "x").Code, ENOENT);

  // A missing folder is made only when asked for, with the asked bits.
  f = ReplaceFile(Path("a/b/c.txt"), "x");
  EXPECT_EQ(f.Step, wsCreate);
  EXPECT_EQ(f.Code, ENOENT);
  TReplaceOptions make;
  make.MakeFolder = true;
  make.FolderMode = 0700;
  EXPECT_FALSE(ReplaceFile(Path("a/b/c.txt"), "x", make));
  EXPECT_EQ(ReadFile(Path("a/b/c.txt")), "x");
  EXPECT_EQ(Bits(Path("a")), 0700u);
  WriteFile(Path("plain"), "p");
  f = ReplaceFile(Path("plain/c.txt"), "x", make);
  EXPECT_EQ(f.Step, wsFolder);
  EXPECT_EQ(f.Code, ENOTDIR);

  // A write-protected file: replaced unless the caller respects it (root may
  // write anything).
  WriteFile(Path("ro"), "old", 0444);
  TReplaceOptions respect;
  respect.RespectReadOnly = true;
  if (::geteuid() != 0) {
    f = ReplaceFile(Path("ro"), "new", respect);
    EXPECT_EQ(f.Step, wsReplace);
    EXPECT_EQ(f.Code, EACCES);
    EXPECT_EQ(ReadFile(Path("ro")), "old");
  }
  EXPECT_FALSE(ReplaceFile(Path("ro"), "new"));
  EXPECT_EQ(ReadFile(Path("ro")), "new");
  EXPECT_EQ(Bits(Path("ro")), 0444u);
  EXPECT_EQ(FolderEntries(Dir), (std::vector<std::string>{"a", "folder", "plain", "ro"}));
}

TEST_F(FsTest, AWriteThatFailsOrIsNotCommittedLeavesTheOldFile) {
  WriteFile(Path("keep"), "old");
  {
    TReplacingFile f;
    ASSERT_TRUE(f.Open(Path("keep")));
    ASSERT_TRUE(f.Write("half of the new"));
    EXPECT_EQ(ReadFile(Path("keep")), "old");  // nothing visible before the commit
  }
  EXPECT_EQ(ReadFile(Path("keep")), "old");
  EXPECT_EQ(FolderEntries(Dir), std::vector<std::string>{"keep"});

  // A file size limit makes the copy fail part-way.
  TWriteFault f;
  std::optional<std::string> message;
  {
    testsupport::FileSizeLimit limit(1024);
    ASSERT_TRUE(limit.Active());
    f = ReplaceFile(Path("keep"), std::string(4096, 'x'));
    try {
      WriteFileAtomically(Path("keep"), std::string(4096, 'x'), 0644);
    } catch (const EWriteError& e) {
      message = e.Message;
    }
  }
  EXPECT_EQ(f.Step, wsWrite);
  EXPECT_EQ(f.Code, EFBIG);
  EXPECT_EQ(message, "Cannot write file " + Path("keep") + ": File too large");
  EXPECT_EQ(ReadFile(Path("keep")), "old");
  EXPECT_EQ(FolderEntries(Dir), std::vector<std::string>{"keep"});
}

// A folder that takes no new file (its permissions refuse the temporary
// file) holding a file that can be written: written in place when the
// caller allows it, and only then; everywhere else through the temporary
// file. Run as a user whom the folder's permissions bind.
TEST_F(FsTest, AFolderThatTakesNoNewFile) {
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
  enum Owner { kNone, kMine, kOthers };  // the file: missing, the writer's own, root's
  struct Case {
    const char* what;
    bool folderOpen;
    Owner owner;
    mode_t bits;
    bool inPlace;  // InPlaceWhereNeeded
    int mode;      // Mode
    bool commit;
    TWriteStep step;
    int code;
    const char* content;  // afterwards
    mode_t bitsAfter;
    bool sameFile;  // the same inode as before
  } cases[] = {
      {"closed folder, own file: in place", false, kMine, 0644, true, -1, true, wsNone, 0, "new", 0644, true},
      {"closed folder, own file, private bits asked", false, kMine, 0644, true, 0600, true, wsNone, 0, "new", 0600, true},
      {"not committed: untouched", false, kMine, 0644, true, -1, false, wsNone, 0, "old", 0644, true},
      {"not allowed: refused", false, kMine, 0644, false, -1, true, wsCreate, EACCES, "old", 0644, true},
      {"closed folder, no file", false, kNone, 0, true, -1, true, wsCreate, EACCES, nullptr, 0, false},
      {"closed folder, file it may not write", false, kOthers, 0644, true, -1, true, wsCreate, EACCES, "old", 0644, true},
      {"closed folder, another's writable file", false, kOthers, 0666, true, -1, true, wsNone, 0, "new", 0666, true},
      // Private bits that cannot be set: no password goes into a file
      // others can read.
      {"another's file, private bits asked", false, kOthers, 0666, true, 0600, true, wsWrite, EPERM, "old", 0666, true},
      {"open folder: the temporary file", true, kMine, 0644, true, -1, true, wsNone, 0, "new", 0644, false},
      {"open folder, no file yet", true, kNone, 0, true, 0600, true, wsNone, 0, "new", 0600, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner == kOthers && !root) continue;  // only root can give a file away
    const std::string folder = Path("case" + std::to_string(n++));
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string file = folder + "/p.zvp";
    struct stat before {};
    if (c.owner != kNone) {
      WriteFile(file, "old", static_cast<int>(c.bits));
      ASSERT_TRUE(c.owner != kMine || testsupport::GiveToOtherUser(file));
      ASSERT_EQ(::stat(file.c_str(), &before), 0);
    }
    ASSERT_TRUE(!c.folderOpen || testsupport::GiveToOtherUser(folder));
    ASSERT_EQ(::chmod(folder.c_str(), c.folderOpen ? 0755 : 0555), 0);

    const std::string got = testsupport::AsOtherUser([&] {
      TReplaceOptions o;
      o.InPlaceWhereNeeded = c.inPlace;
      o.Mode = c.mode;
      TReplacingFile f;
      if (f.Open(file, o) && f.Write("new") && c.commit) f.Commit();
      return std::to_string(f.Fault().Step) + "/" + std::to_string(f.Fault().Code);
    });
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(got, std::to_string(c.step) + "/" + std::to_string(c.code));
    struct stat after {};
    if (!c.content) {
      EXPECT_NE(::stat(file.c_str(), &after), 0);
      EXPECT_TRUE(FolderEntries(folder).empty());
      continue;
    }
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(ReadFile(file), c.content);
    EXPECT_EQ(after.st_mode & 07777, c.bitsAfter);
    if (c.owner != kNone) {
      EXPECT_EQ(after.st_ino == before.st_ino, c.sameFile);
    }
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"p.zvp"});  // no temporary file left
  }
}

// Text of about `size` bytes, every line telling which file it is from.
std::string Lines(const std::string& tag, std::size_t size) {
  std::string s;
  for (int i = 0; s.size() < size; ++i) s += tag + " line " + std::to_string(i) + "\n";
  return s.substr(0, size);
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

// Writing in place on a full disk: the old bytes are kept until the new
// ones are sure to fit. Saved as a user whom the closed folder binds.
TEST_F(FsTest, WritingInPlaceOnAFullDiskKeepsTheOldFile) {
  testsupport::SmallDisk disk(Path("disk"), 1 << 20);
  if (!disk.Ready()) GTEST_SKIP() << disk.Why();
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
  struct Case {
    const char* what;
    std::size_t newSize;
    int code;  // 0: written
  } cases[] = {
      {"longer than the room left", 400000, ENOSPC},
      {"as long as the old: fits in its room", 300000, 0},
      {"shorter", 100000, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = disk.Top() + "/case" + std::to_string(n++);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string file = folder + "/p.zvp";
    const std::string old = Lines("old", 300000), next = Lines("new", c.newSize);
    WriteFile(file, old, 0644);
    ASSERT_TRUE(testsupport::GiveToOtherUser(file));
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    ASSERT_TRUE(disk.Fill());
    const std::string got = testsupport::AsOtherUser([&] {
      TReplaceOptions o;
      o.InPlaceWhereNeeded = true;
      TWriteFault f = ReplaceFile(file, next, o);
      return std::to_string(f.Code);
    });
    disk.Unfill();
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(got, std::to_string(c.code));
    EXPECT_TRUE(ReadFile(file) == (c.code ? old : next)) << ReadFile(file).size() << " bytes";
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"p.zvp"});
    stdfs::remove_all(folder);
  }
}

// A write past the file-size limit is an error like a full disk, in place
// as through the temporary file, and the process lives on: no signal
// handler of the test's, only the one the programs set at start-up.
TEST_F(FsTest, AFileSizeLimitFailsTheWriteAndKeepsTheOldFile) {
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
  struct Case {
    const char* what;
    bool folderOpen;
    std::size_t newSize;
    rlim_t limit;
    int code;
  } cases[] = {
      {"in place, the limit past the old end", false, 40000, 35000, EFBIG},
      {"in place, the limit inside the old bytes", false, 20000, 10000, EFBIG},
      {"in place, below the limit", false, 40000, 50000, 0},
      {"through the temporary file", true, 40000, 35000, EFBIG},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = Path("limit" + std::to_string(n++));
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string file = folder + "/p.zvp";
    const std::string old = Lines("old", 30000), next = Lines("new", c.newSize);
    WriteFile(file, old, 0644);
    ASSERT_TRUE(testsupport::GiveToOtherUser(file));
    ASSERT_TRUE(!c.folderOpen || testsupport::GiveToOtherUser(folder));
    ASSERT_EQ(::chmod(folder.c_str(), c.folderOpen ? 0755 : 0555), 0);
    const std::string got = testsupport::AsOtherUser([&] {
      ::signal(SIGXFSZ, SIG_DFL);
      IgnoreFileSizeSignal();
      rlimit small {};
      ::getrlimit(RLIMIT_FSIZE, &small);
      small.rlim_cur = c.limit;
      if (::setrlimit(RLIMIT_FSIZE, &small) != 0) return std::string("<no limit>");
      TReplaceOptions o;
      o.InPlaceWhereNeeded = true;
      return std::to_string(ReplaceFile(file, next, o).Code);
    });
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(got, std::to_string(c.code));
    EXPECT_TRUE(ReadFile(file) == (c.code ? old : next)) << ReadFile(file).size() << " bytes";
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"p.zvp"});
  }
}

// A replaced file keeps its owner where the writer may give it away, and
// its group where the writer is a member; where the temporary file cannot
// take the group the file is written in place, when the caller allows it.
TEST_F(FsTest, AReplacedFileKeepsItsOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "files of other owners and groups are made by root only";
  constexpr gid_t kTeam = 4242, kOtherTeam = 4243;
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0777), 0);
  struct Case {
    const char* what;
    bool asOther;  // else root writes
    uid_t uid;
    gid_t gid;
    mode_t bits;
    bool inPlace;  // InPlaceWhereNeeded
    uid_t uidAfter;
    gid_t gidAfter;
    bool sameFile;
  } cases[] = {
      {"a member of the file's group", true, 0, kTeam, 0660, false, testsupport::kOtherUid, kTeam, false},
      {"not a member: in place", true, 0, kOtherTeam, 0666, true, 0, kOtherTeam, true},
      {"root keeps another's owner", false, testsupport::kOtherUid, kOtherTeam, 0644, false, testsupport::kOtherUid,
       kOtherTeam, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = Path("owned" + std::to_string(n++));
    WriteFile(file, "old", c.bits);
    ASSERT_EQ(::chown(file.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(::chmod(file.c_str(), c.bits), 0);
    const ino_t before = StatOf(file).st_ino;
    auto save = [&] {
      TReplaceOptions o;
      o.InPlaceWhereNeeded = c.inPlace;
      return std::to_string(ReplaceFile(file, "new", o).Code);
    };
    EXPECT_EQ(c.asOther ? testsupport::AsOtherUser(save, {kTeam}) : save(), "0");
    struct stat after = StatOf(file);
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(after.st_uid, c.uidAfter);
    EXPECT_EQ(after.st_gid, c.gidAfter);
    EXPECT_EQ(after.st_mode & 07777, c.bits);
    EXPECT_EQ(after.st_ino == before, c.sameFile);
  }
  EXPECT_EQ(FolderEntries(Dir), (std::vector<std::string>{"owned0", "owned1", "owned2"}));
}

// A sticky folder shared by all (as /tmp or a team's folder) refuses to
// rename over another user's file, but the file may be writable: written
// in place then, whether the temporary file could take the file's group
// or not.
TEST_F(FsTest, AStickyFolderHoldingAnothersWritableFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "files of another owner are made by root only";
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 01777), 0);
  for (gid_t group : {testsupport::kOtherGid, gid_t{0}}) {
    SCOPED_TRACE("group " + std::to_string(group));
    const std::string file = Path("shared" + std::to_string(group) + ".zvp");
    WriteFile(file, "old", 0666);
    ASSERT_EQ(::chown(file.c_str(), 0, group), 0);
    const ino_t before = StatOf(file).st_ino;
    EXPECT_EQ(testsupport::AsOtherUser([&] {
      TReplaceOptions o;
      o.InPlaceWhereNeeded = true;
      TWriteFault f = ReplaceFile(file, "new", o);
      return std::to_string(f.Step) + "/" + std::to_string(f.Code);
    }),
              "0/0");
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(StatOf(file).st_ino, before);
    EXPECT_EQ(StatOf(file).st_uid, 0u);
  }
  EXPECT_EQ(FolderEntries(Dir), (std::vector<std::string>{"shared0.zvp", "shared65534.zvp"}));
}

// Every name of a file with several sees the new bytes; a link that leads
// nowhere, written through, gets the file it names.
TEST_F(FsTest, ReplacingKeepsTheFilesNames) {
  WriteFile(Path("one"), "old");
  ASSERT_EQ(::link(Path("one").c_str(), Path("two").c_str()), 0);
  TReplaceOptions inPlace;
  inPlace.InPlaceWhereNeeded = true;
  EXPECT_FALSE(ReplaceFile(Path("one"), "new", inPlace));
  EXPECT_EQ(ReadFile(Path("two")), "new");
  EXPECT_EQ(StatOf(Path("one")).st_ino, StatOf(Path("two")).st_ino);

  stdfs::create_directories(Path("sub"));
  ASSERT_EQ(::symlink("sub/made.zvp", Path("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("dangling", Path("chain").c_str()), 0);
  ASSERT_EQ(::symlink(Path("sub/absolute.zvp").c_str(), Path("absolute").c_str()), 0);
  TReplaceOptions through;
  through.ThroughLinks = true;
  for (const char* name : {"chain", "absolute"}) {
    SCOPED_TRACE(name);
    TReplacingFile f;
    ASSERT_TRUE(f.Open(Path(name), through));
    ASSERT_TRUE(f.Write(name));
    ASSERT_TRUE(f.Commit());
    EXPECT_TRUE(stdfs::is_symlink(Path(name)));
    EXPECT_EQ(ReadFile(Path(name)), name);
  }
  EXPECT_TRUE(stdfs::is_symlink(Path("dangling")));
  EXPECT_EQ(FolderEntries(Path("sub")), (std::vector<std::string>{"absolute.zvp", "made.zvp"}));
  // A loop of links names no file.
  ASSERT_EQ(::symlink("loop2", Path("loop1").c_str()), 0);
  ASSERT_EQ(::symlink("loop1", Path("loop2").c_str()), 0);
  EXPECT_EQ(ReplaceFile(Path("loop1"), "x", through).Code, ELOOP);
}

TEST(ReplacementNames, TheTemporaryFilesNamesInAnyLetterCase) {
  struct Case {
    const char* name;
    bool is;
  } cases[] = {
      {".p.zvp.4242-0.tmp", true},
      {".P.ZVP.4242-0.TMP", true},
      {".index.html.1-17.Tmp", true},
      {"..1-2.tmp", false},  // no name between
      {".p.zvp.4242-.tmp", false},
      {".p.zvp.-0.tmp", false},
      {".p.zvp.4242_0.tmp", false},
      {"p.zvp.4242-0.tmp", false},
      {".p.zvp.4242-0.tmp.html", false},
      {".p.zvp.42a-0.tmp", false},
      {".tmp", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsReplacementName(c.name), c.is) << c.name;
  // The names the replacement really makes.
  testsupport::PrivateHome home;
  const std::string dir = home.MakeFolder("names");
  TReplacingFile f;
  ASSERT_TRUE(f.Open(dir + "/Site.ZVP"));
  std::vector<std::string> made = FolderEntries(dir);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_TRUE(IsReplacementName(made[0])) << made[0];
}

TEST_F(FsTest, WritingThroughALinkKeepsTheLink) {
  WriteFile(Path("real"), "old", 0640);
  ASSERT_EQ(::symlink("real", Path("link").c_str()), 0);
  TReplaceOptions through;
  through.ThroughLinks = true;
  EXPECT_FALSE(ReplaceFile(Path("link"), "new", through));
  EXPECT_TRUE(stdfs::is_symlink(Path("link")));
  EXPECT_EQ(ReadFile(Path("real")), "new");
  EXPECT_EQ(Bits(Path("real")), 0640u);
  // Without the option the link itself is replaced.
  EXPECT_FALSE(ReplaceFile(Path("link"), "own"));
  EXPECT_FALSE(stdfs::is_symlink(Path("link")));
  EXPECT_EQ(ReadFile(Path("real")), "new");
}

TEST_F(FsTest, ReadingAWholeFile) {
  WriteFile(Path("ten"), "0123456789");
  ASSERT_EQ(::link(Path("ten").c_str(), Path("same").c_str()), 0);
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  stdfs::create_directories(Path("folder"));
  struct Case {
    std::string path;
    std::int64_t max;
    TReadStep step;
    int code;
  } cases[] = {
      {Path("ten"), -1, rsNone, 0},
      {Path("ten"), 10, rsNone, 0},
      {Path("ten"), 9, rsTooLarge, EFBIG},
      {Path("missing"), -1, rsOpen, ENOENT},
      {Path("ten/x"), -1, rsOpen, ENOTDIR},
      {Path("folder"), -1, rsNotFile, EISDIR},
      {Path("fifo"), -1, rsNotFile, EINVAL},  // refused, not waited on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " max " + std::to_string(c.max));
    TFileText r = ReadWholeFile(c.path, c.max);
    EXPECT_EQ(r.Failed, c.step);
    EXPECT_EQ(r.Code, c.code);
    EXPECT_EQ(r.Text, c.step == rsNone ? "0123456789" : "");
  }
  TFileText a = ReadWholeFile(Path("ten")), b = ReadWholeFile(Path("same"));
  EXPECT_EQ(a.Dev, b.Dev);
  EXPECT_EQ(a.Ino, b.Ino);
}

// The file system's clock: here the machine's own, read through a file
// that is gone again; a folder that takes no new file gives none.
TEST_F(FsTest, FileSystemNowReadsTheClockThroughAFileOfItsOwn) {
  WriteFile(Path("a.txt"), "a");
  timespec before {}, after {}, now {};
  ::clock_gettime(CLOCK_REALTIME, &before);
  ASSERT_TRUE(FileSystemNow(Dir, now));
  ::clock_gettime(CLOCK_REALTIME, &after);
  // File times come from a coarser clock than the one read here.
  EXPECT_GE(now.tv_sec, before.tv_sec - 1);
  EXPECT_LE(now.tv_sec, after.tv_sec);
  EXPECT_EQ(FolderEntries(Dir), (std::vector<std::string>{"a.txt"}));
  errno = 0;
  EXPECT_FALSE(FileSystemNow(Path("missing"), now));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FsTest, FolderChains) {
  EXPECT_TRUE(ForceDirectories(Path("x/y/z/"), 0750));
  EXPECT_TRUE(stdfs::is_directory(Path("x/y/z")));
  EXPECT_EQ(Bits(Path("x/y")), 0750u);
  EXPECT_TRUE(ForceDirectories(Path("x/y")));  // already there
  WriteFile(Path("x/file"), "");
  errno = 0;
  EXPECT_FALSE(ForceDirectories(Path("x/file/sub")));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(ForceDirectories(Path("x/file")));
  EXPECT_FALSE(ForceDirectories(""));

  EXPECT_EQ(FolderOf("/a/b"), "/a");
  EXPECT_EQ(FolderOf("/b"), "/");
  EXPECT_EQ(FolderOf("b"), "");
}

TEST_F(FsTest, TheUsersFoldersIgnoreRelativeSettings) {
  const std::string home = Home.Home();
  EXPECT_EQ(HomeFolder(), home);
  EXPECT_EQ(ConfigFolder(), Home.ConfigDir());
  EXPECT_EQ(DataFolder(), Home.DataDir());
  EXPECT_EQ(DesktopFolder(), home + "/Desktop");
  {
    testsupport::ScopedEnv config("XDG_CONFIG_HOME", "relative/config");
    testsupport::ScopedEnv data("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(ConfigFolder(), home + "/.config");
    EXPECT_EQ(DataFolder(), home + "/.local/share");
  }
  {
    testsupport::ScopedEnv relative("HOME", "relative/home");
    EXPECT_EQ(HomeFolder().front(), '/');  // the password entry's, or "/"
  }
  WriteFile(Home.ConfigDir() + "/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreib \\\"tisch\\\"\"\r\n");
  EXPECT_EQ(DesktopFolder(), home + "/Schreib \"tisch\"");
}

}  // namespace

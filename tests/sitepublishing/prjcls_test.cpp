// The project model: stamps, date texts, variables, version stamps, the
// project file and the history.
#include "tests/sitepublishing/prjcls_fixture.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/other_user.h"
#include "tests/support/small_disk.h"

#include <functional>

namespace {

// ---- stamps ---------------------------------------------------------------------

std::tm Tm(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return tm;
}

TEST(StampTest, PacksDosDateTime) {
  struct Case {
    std::tm tm;
    std::int32_t expected;
  } cases[] = {
      {Tm(1980, 1, 1, 0, 0, 0), 0x00210000},
      {Tm(1980, 1, 1, 0, 0, 1), 0x00210000},                    // odd second rounds down
      {Tm(1980, 1, 1, 0, 0, 59), 0x0021001D},
      {Tm(2026, 12, 10, 8, 19, 9), static_cast<std::int32_t>((46u << 25) | (12u << 21) | (10u << 16) | (8u << 11) | (19u << 5) | 4u)},
      {Tm(2043, 12, 31, 23, 59, 58), 0x7F9FBF7D},
      {Tm(2044, 1, 1, 0, 0, 0), static_cast<std::int32_t>(0x80210000u)},  // bit 31: negative from here on
      {Tm(2107, 12, 31, 23, 59, 58), static_cast<std::int32_t>(0xFF9FBF7Du)},
      {Tm(1979, 12, 31, 23, 59, 59), -1},
      {Tm(2108, 1, 1, 0, 0, 0), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tm.tm_year + 1900);
    EXPECT_EQ(PackDosDateTime(c.tm), c.expected);
  }
  EXPECT_LT(PackDosDateTime(Tm(2044, 6, 1, 12, 0, 0)), 0);
}

TEST_F(PrjTest, FileStampIsLocalWriteTimeOrMinusOne) {
  std::string f = Path("page.htm");
  WriteFile(f, "x");
  std::tm tm = Tm(2001, 2, 3, 4, 5, 7);
  std::tm copy = tm;
  time_t t = ::mktime(&copy);
  struct utimbuf ut{t, t};
  ASSERT_EQ(::utime(f.c_str(), &ut), 0);
  EXPECT_EQ(FileStamp(f), PackDosDateTime(tm));
  EXPECT_EQ(FileStamp(f) & 0x1F, 3);  // 7 s packs as 3

  EXPECT_EQ(FileStamp(Dir), -1);
  EXPECT_EQ(FileStamp(Path("missing.htm")), -1);
  EXPECT_EQ(FileStamp(""), -1);

  std::tm old = Tm(1975, 5, 5, 5, 5, 5);
  t = ::mktime(&old);
  ut = {t, t};
  ASSERT_EQ(::utime(f.c_str(), &ut), 0);
  EXPECT_EQ(FileStamp(f), -1);
}

// ---- date-time texts ----------------------------------------------------------------

TEST(DateTimeTest, SerialDaysAndTexts) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 12, 0, 0, 0), 36526.5);
  EXPECT_EQ(DateTimeIdText(36526.5), "36526.5");
  EXPECT_EQ(DateTimeIdText(EncodeDateTime(2026, 12, 10, 8, 19, 9, 0)).size(), 16u);  // 15 digits and a point
  // The tests run in the C locale: "%m/%d/%y" and "%H:%M:%S".
  EXPECT_EQ(DateTimeText(EncodeDateTime(2026, 12, 10, 8, 19, 9, 0)), "12/10/26 08:19:09");
  EXPECT_EQ(DateTimeText(EncodeDateTime(2026, 12, 10, 0, 0, 0, 0)), "12/10/26");
  EXPECT_EQ(DateTimeText(EncodeDateTime(2026, 12, 10, 0, 0, 1, 0)), "12/10/26 00:00:01");
  EXPECT_EQ(DateTimeText(EncodeDateTime(2026, 12, 31, 23, 59, 59, 999)), "12/31/26 23:59:59");
}

// ---- variables ----------------------------------------------------------------------

TEST_F(PrjTest, FixedRowsAndDelete) {
  ASSERT_EQ(VarList->Count(), 2);
  EXPECT_EQ(VarList->Items(0)->Name, "Name");
  EXPECT_EQ(VarList->Items(0)->Value, "Value");
  EXPECT_EQ(VarList->Items(1)->Name, "sysdate");
  EXPECT_FALSE(VarList->Items(1)->Id.empty());
  VarList->AddVar("a", "1", "id");
  VarList->DeleteVar(-1);
  VarList->DeleteVar(VarList->Count());
  EXPECT_EQ(VarList->Count(), 3);
  VarList->DeleteVar(2);
  EXPECT_EQ(VarList->Count(), 2);
  EXPECT_THROW(VarList->Items(2), plat::EListError);
}

TEST_F(PrjTest, GetValueTable) {
  VarList->AddVar("title", "Home", "1");
  VarList->AddVar("TITLE", "later row", "2");
  VarList->AddVar(" spaced ", "S", "3");
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"title", "Home"},   {"Title", "Home"},     {"TITLE", "Home"},  // earlier row wins
      {"undefined", ""},   {"Name", "Value"},     {"NAME", "Value"},  // the header row answers
      {"spaced", ""},      {" spaced ", "S"},     {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(VarList->GetValue(c.name), c.expected) << c.name;

  VarList->AddVar("", "empty-name value", "4");
  EXPECT_EQ(VarList->GetValue(""), "empty-name value");
}

// Look-ups go through an index of the names: every change of the rows is
// seen by the next look-up, and the first row of a name still wins.
TEST_F(PrjTest, LookupsFollowEveryChangeOfTheRows) {
  VarList->AddVar("title", "Home", "1");
  VarList->AddVar("TITLE", "later row", "2");
  struct Step {
    const char* what;
    std::function<void()> change;
    std::vector<std::pair<const char*, const char*>> lookups;  // name, value
  } steps[] = {
      {"as added", [] {}, {{"Title", "Home"}, {"nothing", ""}}},
      {"the first twin deleted", [] { VarList->DeleteVar(2); }, {{"title", "later row"}}},
      {"renamed", [] { VarList->SetName(2, "Heading"); }, {{"title", ""}, {"HEADING", "later row"}}},
      {"added after", [] { VarList->AddVar("Title", "new", "3"); }, {{"title", "new"}, {"heading", "later row"}}},
      {"renamed to the name of a later row", [] { VarList->SetName(2, "title"); }, {{"TITLE", "later row"}}},
      {"a value changed", [] { VarList->Items(2)->Value = "changed"; }, {{"title", "changed"}}},
      {"cleared", [] { VarList->Clear(); }, {{"title", ""}, {"Name", ""}}},
      {"fixed rows again", [] { VarList->AddFixedRows(); }, {{"name", "Value"}, {"title", ""}}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.change();
    for (const auto& [name, value] : s.lookups) EXPECT_EQ(VarList->GetValue(name), value) << name;
  }
  EXPECT_THROW(VarList->SetName(VarList->Count(), "x"), plat::EListError);
}

TEST_F(PrjTest, SysdateIsTakenNowInAnyCase) {
  VarList->Items(1)->Value = "stale";
  for (const char* n : {"sysdate", "SYSDATE", "SysDate"}) {
    std::string before = DateTimeText(DateTimeNow());
    std::string got = VarList->GetValue(n);
    std::string after = DateTimeText(DateTimeNow());
    EXPECT_TRUE(got == before || got == after) << got;
  }
}

// ---- version stamps -----------------------------------------------------------------

// Keys keep their letter case: a path in another case is another file.
TEST_F(PrjTest, VersionStamps) {
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/a.htm"), "");
  EXPECT_EQ(VersionList->IndexOfKey("x"), 0);
  VersionList->SetStamp("HOST:/www:/a.htm", "1");
  VersionList->SetStamp("HOST:/www:/b.htm", "2");
  ASSERT_EQ(VersionList->Count(), 2);
  EXPECT_EQ(VersionList->Items(0)->Key, "HOST:/www:/b.htm");  // new keys go first
  VersionList->SetStamp("HOST:/www:/a.htm", "3");
  ASSERT_EQ(VersionList->Count(), 2);
  EXPECT_EQ(VersionList->Items(1)->Stamp, "3");
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/A.htm"), "");
  VersionList->SetStamp("HOST:/www:/A.htm", "4");
  ASSERT_EQ(VersionList->Count(), 3);
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/a.htm"), "3");
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/A.htm"), "4");
  EXPECT_EQ(VersionList->IndexOfKey("HOST:/www:/a.htm"), 2);
  // Even one without a lower-case letter stands for itself alone: only
  // entries read from a file may be upper-cased ones of old.
  VersionList->SetStamp("HOST:/WWW:/C.HTM", "5");
  EXPECT_EQ(VersionList->GetStamp("HOST:/WWW:/C.HTM"), "5");
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/c.htm"), "");
  // Cleared, the lookups forget the entries as well.
  VersionList->Clear();
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/a.htm"), "");
  VersionList->SetStamp("HOST:/www:/a.htm", "6");
  ASSERT_EQ(VersionList->Count(), 1);
  EXPECT_EQ(VersionList->GetStamp("HOST:/www:/a.htm"), "6");
}

// The old program upper-cased every key, so an upper-cased key read from a
// file it may have saved (one without the "VersionKeys=exact" line, which
// it leaves out) may stand for the path in another letter case: it is no
// proof that a file of exactly that path was sent, and is never read.
// A file written now carries the line, so its keys read back as they were,
// also those without a lower-case letter (an upper-case path, an empty
// remote folder field).
TEST_F(PrjTest, OnlyKeysKnownToKeepTheirCaseAreRead) {
  struct Case {
    const char* what;
    const char* general;  // the [GENERAL] lines
    std::map<std::string, std::string> read;  // key -> stamp GetStamp gives
  };
  const std::string keys = "H::/SITE/A.HTM=1\r\nH:/w:/site/b.htm=2\r\nH::/SITE/C.HTM=3\r\n";
  const Case cases[] = {
      {"saved by the old program", "",
       {{"H::/SITE/A.HTM", ""}, {"H::/site/a.htm", ""}, {"H:/w:/site/b.htm", "2"}, {"H::/SITE/C.HTM", ""}}},
      {"saved now", "VersionKeys=exact\r\n",
       {{"H::/SITE/A.HTM", "1"}, {"H::/site/a.htm", ""}, {"H::/SITE/a.HTM", ""}, {"H:/w:/site/b.htm", "2"},
        {"H::/SITE/C.HTM", "3"}}},
      {"the line in another case of its name", "versionkeys=exact\r\n", {{"H::/SITE/A.HTM", "1"}}},
      {"the line with another value", "VersionKeys=EXACT\r\n", {{"H::/SITE/A.HTM", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Path("p.zvp"), std::string("[GENERAL]\r\nPath=/SITE\r\n") + c.general + "[Variables]\r\n[Versions]\r\n" +
                                 keys);
    Project->FileName = Path("p.zvp");
    Project->Load();
    EXPECT_EQ(VersionList->Count(), 3);
    for (const auto& [key, stamp] : c.read) EXPECT_EQ(VersionList->GetStamp(key), stamp) << key;
  }

  // A project written now, with keys that hold no lower-case letter: they
  // read back as exact ones, and only as those.
  Project->Clear();
  Project->Fields().SetFieldText(pfPath, "/SITE");
  VersionList->SetStamp("H::/SITE/A.HTM", "1");
  VersionList->SetStamp("H::/SITE/D.HTM", "4");
  Project->FileName = Path("now.zvp");
  Project->Save();
  EXPECT_NE(ReadFile(Path("now.zvp")).find("\r\nExcludeFile=\r\nVersionKeys=exact\r\n[Variables]\r\n"),
            std::string::npos);
  Project->Load();
  EXPECT_EQ(Project->Fields().FieldText(pfPath), "/SITE");
  EXPECT_EQ(VersionList->GetStamp("H::/SITE/A.HTM"), "1");
  EXPECT_EQ(VersionList->GetStamp("H::/SITE/D.HTM"), "4");
  EXPECT_EQ(VersionList->GetStamp("H::/SITE/a.htm"), "");

  // An old file's entries that were never recorded again are left out when
  // the project is saved: the file then says that its keys are exact.
  WriteFile(Path("old.zvp"), "[GENERAL]\r\n[Variables]\r\n[Versions]\r\nH::/SITE/A.HTM=1\r\nH::/SITE/B.HTM=2\r\n"
                             "H:/w:/site/c.htm=3\r\n");
  Project->FileName = Path("old.zvp");
  Project->Load();
  VersionList->SetStamp("H::/SITE/B.HTM", "5");
  Project->Save();
  Project->Load();
  std::map<std::string, std::string> loaded;
  for (int i = 0; i < VersionList->Count(); ++i) loaded[VersionList->Items(i)->Key] = VersionList->Items(i)->Stamp;
  EXPECT_EQ(loaded, (std::map<std::string, std::string>{{"H::/SITE/B.HTM", "5"}, {"H:/w:/site/c.htm", "3"}}));
}

// Forgetting a key takes every entry that a server resolving names ignoring
// letter case may take for it; with below, everything below it too.
TEST_F(PrjTest, ForgetTakesEveryLetterCaseOfTheKey) {
  struct Case {
    const char* key;
    bool below;
    bool keepExact;
    std::vector<std::string> left;
  };
  const std::vector<std::string> all = {"H:/w:/s/a.htm", "H:/w:/s/A.htm", "H:/w:/s/sub", "H:/w:/s/sub/x",
                                        "H:/w:/s/SUB/y", "H:/w:/s/subway/z", "H:/w:/s/Sub/deep/w"};
  const Case cases[] = {
      {"H:/w:/s/a.htm", false, false, {"H:/w:/s/SUB/y", "H:/w:/s/Sub/deep/w", "H:/w:/s/sub", "H:/w:/s/sub/x",
                                       "H:/w:/s/subway/z"}},
      {"H:/w:/s/a.htm", false, true, {"H:/w:/s/SUB/y", "H:/w:/s/Sub/deep/w", "H:/w:/s/a.htm", "H:/w:/s/sub",
                                      "H:/w:/s/sub/x", "H:/w:/s/subway/z"}},
      {"H:/w:/s/sub", false, false, {"H:/w:/s/A.htm", "H:/w:/s/SUB/y", "H:/w:/s/Sub/deep/w", "H:/w:/s/a.htm",
                                     "H:/w:/s/sub/x", "H:/w:/s/subway/z"}},
      {"H:/w:/s/sUb", true, false, {"H:/w:/s/A.htm", "H:/w:/s/a.htm", "H:/w:/s/subway/z"}},
      {"H:/w:/s/none", true, false, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + (c.below ? " and below" : "") + (c.keepExact ? " keeping the exact one" : ""));
    VersionList->Clear();
    for (const std::string& k : all) VersionList->SetStamp(k, "1");
    EXPECT_EQ(VersionList->Forget(c.key, c.below, c.keepExact), c.left.size() != all.size());
    std::vector<std::string> left;
    for (int i = 0; i < VersionList->Count(); ++i) left.push_back(VersionList->Items(i)->Key);
    std::sort(left.begin(), left.end());
    std::vector<std::string> want = c.left;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(left, want);
    for (const std::string& k : all)
      EXPECT_EQ(VersionList->GetStamp(k), std::find(want.begin(), want.end(), k) != want.end() ? "1" : "") << k;
  }
}

// ---- project file -------------------------------------------------------------------

void FillProject(bool remember) {
  TProjectForm& f = Project->Fields();
  f.SetFieldText(pfPath, "/home/u/site");
  f.SetFieldText(pfFTPHost, "ftp.example.test");
  f.SetFieldText(pfFTPLogin, "webmaster");
  f.SetFieldText(pfFTPPassword, "s3cret");
  f.SetRememberPassword(remember);
  f.SetFieldText(pfFTPPath, "/www");
  f.SetFieldText(pfExclude, "zvp:inc:");
  VarList->AddVar("title", "My site", "46366.3466319444");
  VarList->AddVar("mail", "a=b@example.test", "46366.5");
  VersionList->SetStamp("FTP.EXAMPLE.TEST:/www:/home/u/site/a.htm", "1234");
  VersionList->SetStamp("ftp.example.test:/www:/home/u/site/b.htm", "-5678");
}

TEST_F(PrjTest, GoldenFileWithAndWithoutPassword) {
  const std::string tail =
      "FTPPath=/www\r\n"
      "ExcludeFile=zvp:inc:\r\n"
      "VersionKeys=exact\r\n"
      "[Variables]\r\n"
      "title=46366.3466319444=My site\r\n"
      "mail=46366.5=a=b@example.test\r\n"
      "[Versions]\r\n"
      "ftp.example.test:/www:/home/u/site/b.htm=-5678\r\n"
      "FTP.EXAMPLE.TEST:/www:/home/u/site/a.htm=1234\r\n";
  const std::string head =
      "[GENERAL]\r\n"
      "Path=/home/u/site\r\n"
      "FTPHost=ftp.example.test\r\n"
      "FTPLogin=webmaster\r\n";

  FillProject(true);
  Project->FileName = Path("with.zvp");
  Project->Modified = true;
  Project->Save();
  EXPECT_FALSE(Project->Modified);
  EXPECT_EQ(ReadFile(Path("with.zvp")), head + "FTPPassword=s3cret\r\n" + tail);
  struct stat st{};
  ASSERT_EQ(::stat(Path("with.zvp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Project->Fields().SetRememberPassword(false);
  Project->FileName = Path("without.zvp");
  Project->Save();
  EXPECT_EQ(ReadFile(Path("without.zvp")), head + tail);

  // Loading the file without the line leaves the password empty and the box
  // unchecked; the one with it checks the box.
  Project->FileName = Path("without.zvp");
  Project->Load();
  EXPECT_EQ(Project->Fields().FieldText(pfFTPPassword), "");
  EXPECT_FALSE(Project->Fields().RememberPassword());
  Project->FileName = Path("with.zvp");
  Project->Load();
  EXPECT_EQ(Project->Fields().FieldText(pfFTPPassword), "s3cret");
  EXPECT_TRUE(Project->Fields().RememberPassword());
  // No temporary files are left beside the project.
  EXPECT_EQ(ZvpFiles(), (std::vector<std::string>{"with.zvp", "without.zvp"}));
}

TEST_F(PrjTest, RoundTripWithBracketsAndEquals) {
  TProjectForm& f = Project->Fields();
  const std::string fields[] = {"/home/u/site[1]", "[host]", "lo=gin", "p[a]=ss]", "/w[w]w=", "[zvp]:inc:"};
  for (int i = pfPath; i <= pfExclude; ++i) f.SetFieldText(static_cast<TProjectField>(i), fields[i]);
  f.SetRememberPassword(true);
  VarList->AddVar("v[1]", "a=[b]=c", "1.5");
  VarList->AddVar("[x]", "[Versions]", "2.5");
  VarList->AddVar("empty", "", "3.5");
  const std::map<std::string, std::string> versions = {
      {"[HOST]:/W[W]W=:/HOME/U/SITE[1]/A=B.HTM", "1"},
      {"[HOST]:/W[W]W=:/HOME/U/SITE[1]/[C].HTM", "-2"},
  };
  for (const auto& [k, s] : versions) VersionList->SetStamp(k, s);
  Project->FileName = Path("round.zvp");
  Project->Save();

  Project->Clear();
  for (int i = pfPath; i <= pfExclude; ++i) f.SetFieldText(static_cast<TProjectField>(i), "");
  Project->FileName = Path("round.zvp");
  Project->Load();
  for (int i = pfPath; i <= pfExclude; ++i) EXPECT_EQ(f.FieldText(static_cast<TProjectField>(i)), fields[i]);
  ASSERT_EQ(VarList->Count(), 5);
  EXPECT_EQ(VarList->Items(2)->Name, "v[1]");
  EXPECT_EQ(VarList->Items(2)->Value, "a=[b]=c");
  EXPECT_EQ(VarList->Items(2)->Id, "1.5");
  EXPECT_EQ(VarList->Items(3)->Name, "[x]");
  EXPECT_EQ(VarList->Items(3)->Value, "[Versions]");
  EXPECT_EQ(VarList->Items(4)->Value, "");
  std::map<std::string, std::string> loaded;
  for (int i = 0; i < VersionList->Count(); ++i) loaded[VersionList->Items(i)->Key] = VersionList->Items(i)->Stamp;
  EXPECT_EQ(loaded, versions);
}

TEST_F(PrjTest, HeaderLetterCases) {
  struct Case {
    const char* general;
    const char* variables;
    const char* versions;
    bool generalRead, variablesRead, versionsRead;
  } cases[] = {
      {"[GENERAL]", "[Variables]", "[Versions]", true, true, true},
      {"[general]", "[variables]", "[versions]", true, true, false},  // versions want the exact case
      {"[General]", "[VARIABLES]", "[VERSIONS]", true, true, false},
      {" [GENERAL]", "[Variables] ", "[Versions] ", false, false, false},
      {"[ GENERAL]", "[Vari ables]", " [Versions]", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.general);
    WriteFile(Path("h.zvp"), std::string(c.general) + "\r\nPath=/p\r\n" + c.variables + "\r\nv=1=x\r\n" +
                                  c.versions + "\r\nk=7\r\n");
    Project->FileName = Path("h.zvp");
    Project->Load();
    EXPECT_EQ(Project->Fields().FieldText(pfPath), c.generalRead ? "/p" : "");
    EXPECT_EQ(VarList->GetValue("v"), c.variablesRead ? "x" : "");
    EXPECT_EQ(VersionList->GetStamp("k"), c.versionsRead ? "7" : "");
  }
}

TEST_F(PrjTest, ReadingRulesOfHandEditedFiles) {
  // LF line ends, text before the first section, keys in any case, a
  // repeated key (first wins), variable lines with one "=", none, or a
  // leading one, a version line without "=", and a repeated version key
  // (version keys in another letter case are other keys, in a file that
  // says so).
  WriteFile(Path("e.zvp"),
             "junk\n[GENERAL]\nftphost=h1\nFTPHOST=h2\nPath\nFTPPath=/a=b\nVersionKeys=exact\n"
             "[Variables]\nonly=value=more\none=just\nnoequals\n=skipped=x\n  =blank=x\n"
             "[Versions]\nA=1\nstampless\nb=2\na=3\nb=5\n[Other]\nC=4\n");
  Project->FileName = Path("e.zvp");
  Project->Load();
  TProjectForm& f = Project->Fields();
  EXPECT_EQ(f.FieldText(pfFTPHost), "h1");
  EXPECT_EQ(f.FieldText(pfPath), "");
  EXPECT_EQ(f.FieldText(pfFTPPath), "/a=b");
  EXPECT_EQ(f.FieldText(pfExclude), "");  // missing, not the default
  ASSERT_EQ(VarList->Count(), 4);
  EXPECT_EQ(VarList->Items(2)->Id, "value");
  EXPECT_EQ(VarList->Items(2)->Value, "more");
  EXPECT_EQ(VarList->Items(3)->Name, "one");
  EXPECT_EQ(VarList->Items(3)->Id, "");
  EXPECT_EQ(VarList->Items(3)->Value, "just");
  ASSERT_EQ(VersionList->Count(), 4);
  EXPECT_EQ(VersionList->Items(0)->Key, "a");  // reverse of the file's order
  EXPECT_EQ(VersionList->GetStamp("a"), "3");
  EXPECT_EQ(VersionList->GetStamp("A"), "1");
  EXPECT_EQ(VersionList->GetStamp("b"), "5");
  EXPECT_EQ(VersionList->GetStamp(""), "stampless");
  EXPECT_EQ(VersionList->GetStamp("C"), "");
}

TEST_F(PrjTest, LoadTellsTheFormInOrder) {
  struct Recorder : TProjectFieldStore {
    void SetFieldText(TProjectField field, const std::string& text) override {
      Calls.push_back("field" + std::to_string(field));
      TProjectFieldStore::SetFieldText(field, text);
    }
    void SetRememberPassword(bool checked) override {
      Calls.push_back(checked ? "remember" : "forget");
      TProjectFieldStore::SetRememberPassword(checked);
    }
    void VarRowsChanged(int rows) override { Calls.push_back("rows" + std::to_string(rows)); }
    std::vector<std::string> Calls;
  } form;
  WriteFile(Path("o.zvp"), "[GENERAL]\r\nFTPPassword=x\r\n[Variables]\r\na=1=2\r\n[Versions]\r\n");
  Project->Form = &form;
  Project->FileName = Path("o.zvp");
  Project->Modified = true;
  Project->Load();
  Project->Form = nullptr;
  EXPECT_FALSE(Project->Modified);
  EXPECT_EQ(form.Calls, (std::vector<std::string>{"field0", "field1", "field2", "field3", "remember", "field4",
                                                   "field5", "rows3"}));
}

TEST_F(PrjTest, FailedSaveKeepsTheOldFile) {
  FillProject(false);
  Project->FileName = Path("keep.zvp");
  Project->Save();
  const std::string old = ReadFile(Path("keep.zvp"));
  ASSERT_EQ(::chmod(Path("keep.zvp").c_str(), 0640), 0);

  // A value that the file could not give back is refused before anything is written.
  VarList->AddVar("multi", "line\r\nbreak", "9");
  Project->Modified = true;
  EXPECT_THROW(Project->Save(), plat::Exception);
  EXPECT_TRUE(Project->Modified);
  EXPECT_EQ(ReadFile(Path("keep.zvp")), old);
  VarList->DeleteVar(VarList->Count() - 1);
  VarList->AddVar("a=b", "v", "9");
  EXPECT_THROW(Project->Save(), plat::Exception);
  VarList->DeleteVar(VarList->Count() - 1);

  // A write that fails half way (file size limit; works as root too), of
  // a project that had no changes: still to be saved afterwards.
  VarList->AddVar("big", std::string(4096, 'x'), "9");
  Project->Modified = false;
  bool threw = false;
  {
    testsupport::FileSizeLimit limit(1024);
    ASSERT_TRUE(limit.Active());
    try {
      Project->Save();
    } catch (const EInOutError& e) {
      threw = true;
      EXPECT_EQ(e.ErrorCode, EFBIG);
    }
  }
  EXPECT_TRUE(threw);
  EXPECT_TRUE(Project->Modified);
  EXPECT_EQ(ReadFile(Path("keep.zvp")), old);
  EXPECT_EQ(ZvpFiles(), std::vector<std::string>{"keep.zvp"});  // no temporary left

  // A good save keeps the permission bits of the file it replaces.
  Project->Save();
  struct stat st{};
  ASSERT_EQ(::stat(Path("keep.zvp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(ReadFile(Path("keep.zvp")), old);

  // A write-protected file is not replaced (root may write anything).
  if (::geteuid() != 0) {
    const std::string now = ReadFile(Path("keep.zvp"));
    ASSERT_EQ(::chmod(Path("keep.zvp").c_str(), 0440), 0);
    try {
      Project->Save();
      ADD_FAILURE() << "saved over a write-protected file";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Message, "File access denied");
    }
    EXPECT_EQ(ReadFile(Path("keep.zvp")), now);
  }

  // A missing folder is the file layer's error.
  Project->FileName = Path("nofolder/x.zvp");
  EXPECT_THROW(Project->Save(), EInOutError);
}

// A writable project in a folder that takes no new file is saved in place;
// in a folder that does, through a temporary file as always; one the user
// may not write is still refused. Saved as a user whom the folder's
// permissions bind.
TEST_F(PrjTest, SavedInAFolderThatTakesNoNewFile) {
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
  // The history and default project go to a registry the user may write.
  const std::string registry = Home.MakeFolder("registry-of-the-user");
  ASSERT_TRUE(testsupport::GiveToOtherUser(registry));
  struct Case {
    const char* what;
    bool folderOpen;
    bool usersFile;  // else root's, 0644
    bool remember;
    const char* outcome;
    bool sameFile;
    mode_t bits;
  } cases[] = {
      {"closed folder: written in place", false, true, false, "saved", true, 0644},
      {"closed folder, password kept: made private first", false, true, true, "saved", true, 0600},
      {"open folder: through a temporary file", true, true, false, "saved", false, 0644},
      {"closed folder, a file the user may not write", false, false, false, "<raised: File access denied>", true, 0644},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.usersFile && !root) continue;  // only root can give a file away
    Project->Clear();
    FillProject(c.remember);
    Project->FileName = Path("reference" + std::to_string(n) + ".zvp");
    Project->Save();
    const std::string want = ReadFile(Project->FileName);

    const std::string folder = Path("folder" + std::to_string(n++));
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string file = folder + "/p.zvp";
    WriteFile(file, "old", 0644);
    ASSERT_TRUE(!c.usersFile || testsupport::GiveToOtherUser(file));
    ASSERT_TRUE(!c.folderOpen || testsupport::GiveToOtherUser(folder));
    ASSERT_EQ(::chmod(folder.c_str(), c.folderOpen ? 0755 : 0555), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    Project->FileName = file;
    const std::string got = testsupport::AsOtherUser([&] {
      ::setenv("SITETOOLS_REGISTRY_DIR", registry.c_str(), 1);
      Project->Save();
      return std::string(Project->Modified ? "saved, still modified" : "saved");
    });
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(got, c.outcome);
    EXPECT_EQ(ReadFile(file), std::string(c.outcome) == "saved" ? want : "old");
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino == before.st_ino, c.sameFile);
    EXPECT_EQ(after.st_mode & 07777, c.bits);
    EXPECT_EQ(testsupport::FolderEntries(folder), std::vector<std::string>{"p.zvp"});
  }
}

TEST_F(PrjTest, SaveThroughALinkKeepsTheLink) {
  FillProject(false);
  WriteFile(Path("real.zvp"), "old");
  ASSERT_EQ(::symlink("real.zvp", Path("link.zvp").c_str()), 0);
  Project->FileName = Path("link.zvp");
  Project->Save();
  EXPECT_TRUE(fs::is_symlink(Path("link.zvp")));
  EXPECT_EQ(ReadFile(Path("real.zvp")).substr(0, 11), "[GENERAL]\r\n");

  // Saved as a link that leads nowhere yet: the file it names is made.
  ASSERT_EQ(::symlink("projects/new.zvp", Path("planned.zvp").c_str()), 0);
  fs::create_directories(Path("projects"));
  Project->FileName = Path("planned.zvp");
  Project->Save();
  EXPECT_TRUE(fs::is_symlink(Path("planned.zvp")));
  EXPECT_EQ(ReadFile(Path("projects/new.zvp")), ReadFile(Path("real.zvp")));

  // A project with a second name (a backup link): both names see the save.
  ASSERT_EQ(::link(Path("real.zvp").c_str(), Path("backup.zvp").c_str()), 0);
  VarList->AddVar("later", "added", "1");
  Project->FileName = Path("real.zvp");
  Project->Save();
  EXPECT_NE(ReadFile(Path("backup.zvp")).find("later=1=added"), std::string::npos);
}

// A project saved in place (its folder takes no new file) on a disk with
// no room left: the save fails as "Disk full", the file on the disk is the
// old one, whole, and the project is still to be saved, though it had no
// changes before. Saved as a user whom the closed folder binds.
TEST_F(PrjTest, SavedInPlaceOnAFullDisk) {
  testsupport::SmallDisk disk(Path("disk"), 1 << 20);
  if (!disk.Ready()) GTEST_SKIP() << disk.Why();
  ASSERT_EQ(::chmod(Home.Top().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
  const std::string registry = Home.MakeFolder("registry-of-the-user");
  ASSERT_TRUE(testsupport::GiveToOtherUser(registry));
  const std::string folder = disk.Top() + "/closed";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  FillProject(false);
  for (int i = 0; i < 8000; ++i) VarList->AddVar("v" + std::to_string(i), "value " + std::to_string(i), "1");
  Project->FileName = folder + "/p.zvp";
  Project->Save();
  const std::string old = ReadFile(Project->FileName);
  ASSERT_GT(old.size(), 100000u);
  ASSERT_TRUE(testsupport::GiveToOtherUser(Project->FileName));
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  for (int i = 0; i < 4000; ++i) VarList->AddVar("w" + std::to_string(i), "more " + std::to_string(i), "1");
  Project->Modified = false;
  ASSERT_TRUE(disk.Fill());
  const std::string got = testsupport::AsOtherUser([&] {
    ::setenv("SITETOOLS_REGISTRY_DIR", registry.c_str(), 1);
    try {
      Project->Save();
      return std::string("saved");
    } catch (const EInOutError& e) {
      return e.Message + (Project->Modified ? ", modified" : ", not modified");
    }
  });
  disk.Unfill();
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(got, "Disk full, modified");
  EXPECT_TRUE(ReadFile(Project->FileName) == old) << ReadFile(Project->FileName).size() << " of " << old.size();
  EXPECT_EQ(testsupport::FolderEntries(folder), std::vector<std::string>{"p.zvp"});
}

TEST_F(PrjTest, FailedLoadLeavesNoFileName) {
  Project->FileName = Path("missing.zvp");
  try {
    Project->Load();
    ADD_FAILURE() << "loaded";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message, "File not found");
  }
  EXPECT_EQ(Project->FileName, "");

  // A folder where the file should be fails too; the untitled project that
  // remains cannot be saved over it.
  fs::create_directories(Path("folder.zvp"));
  Project->FileName = Path("folder.zvp");
  EXPECT_THROW(Project->Load(), EInOutError);
  EXPECT_EQ(Project->FileName, "");
  EXPECT_THROW(Project->Save(), EInOutError);
  EXPECT_TRUE(fs::is_directory(Path("folder.zvp")));
}

TEST_F(PrjTest, ClearAndDisplayName) {
  FillProject(true);
  Project->FileName = Path("x.zvp");
  Project->Modified = true;
  Project->Clear();
  EXPECT_EQ(Project->FileName, "");
  EXPECT_FALSE(Project->Modified);
  EXPECT_EQ(VarList->Count(), 2);
  EXPECT_EQ(VersionList->Count(), 0);
  struct Case {
    const char* path;
    const char* name;
  } cases[] = {{"/a/b/site.zvp", "site"}, {"/a/b.c/site", "site"}, {"site.old.zvp", "site.old"},
               {"/a/.zvp", ""},            {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(TProject::DisplayName(c.path), c.name) << c.path;
}

TEST_F(PrjTest, HistoryAndDefaultProject) {
  std::vector<THistoryEntry> menu{{"stale", "stale"}};
  Project->FillHistoryMenu(menu);
  EXPECT_TRUE(menu.empty());
  EXPECT_EQ(Project->ReadDefaultProject(), "");

  FillProject(false);
  for (const char* name : {"b.zvp", "A.zvp", "c.site.zvp", "b.zvp"}) {
    Project->FileName = Path(name);
    Project->Save();
  }
  EXPECT_EQ(HistoryValues(), (std::vector<std::string>{Path("A.zvp"), Path("b.zvp"), Path("c.site.zvp")}));
  EXPECT_EQ(Project->ReadDefaultProject(), Path("b.zvp"));

  Project->FillHistoryMenu(menu);
  ASSERT_EQ(menu.size(), 3u);
  EXPECT_EQ(menu[0].Caption, "&1 A");  // case-insensitive order
  EXPECT_EQ(menu[0].Hint, Path("A.zvp"));
  EXPECT_EQ(menu[1].Caption, "&2 b");
  EXPECT_EQ(menu[2].Caption, "&3 c.site");

  // A file deleted outside the program leaves the history and a gap.
  fs::remove(Path("b.zvp"));
  Project->FillHistoryMenu(menu);
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].Caption, "&1 A");
  EXPECT_EQ(menu[1].Caption, "&3 c.site");
  EXPECT_EQ(HistoryValues(), (std::vector<std::string>{Path("A.zvp"), Path("c.site.zvp")}));
  // ... and as the default project it is dropped at start-up.
  EXPECT_TRUE(DefaultProjectStored());
  EXPECT_EQ(Project->ReadDefaultProject(), "");
  EXPECT_FALSE(DefaultProjectStored());

  // Loading makes a project the default and puts it back into the history.
  Project->FileName = Path("A.zvp");
  Project->Load();
  EXPECT_EQ(Project->ReadDefaultProject(), Path("A.zvp"));

  // Failed saves and loads touch neither.
  Project->FileName = Path("nofolder/x.zvp");
  EXPECT_THROW(Project->Save(), EInOutError);
  Project->FileName = Path("missing.zvp");
  EXPECT_THROW(Project->Load(), EInOutError);
  EXPECT_EQ(HistoryValues(), (std::vector<std::string>{Path("A.zvp"), Path("c.site.zvp")}));
  EXPECT_EQ(Project->ReadDefaultProject(), Path("A.zvp"));

  // Blank names are never stored or removed; a folder is no project.
  Project->FileName = " \t";
  Project->AddToHistory();
  Project->RemoveFromHistory("");
  fs::create_directories(Path("dir.zvp"));
  Project->WriteDefaultProject(Path("dir.zvp"));
  EXPECT_EQ(Project->ReadDefaultProject(), "");
  Project->RemoveFromHistory(Path("c.site.zvp"));
  EXPECT_EQ(HistoryValues(), std::vector<std::string>{Path("A.zvp")});
}

}  // namespace

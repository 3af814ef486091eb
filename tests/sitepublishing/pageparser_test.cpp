// The page tag parser: which files are parsed, the substitutions, include
// failures and limits.
#include "tests/sitepublishing/prjcls_fixture.h"

namespace {

// ---- page tags ------------------------------------------------------------------------

class ParserTest : public PrjTest {
 protected:
  void SetUp() override {
    PrjTest::SetUp();
    fs::create_directories(Path("site/sub"));
    fs::create_directories(Path("tmp"));
    Project->Fields().SetFieldText(pfPath, Path("site"));
    VarList->AddVar("x", "X!", "1");
    VarList->AddVar("tagged", "<ivar x>", "2");
  }
  testsupport::ScopedEnv TmpDir{"TMPDIR", Path("tmp")};
  bool TempEmpty() const { return fs::is_empty(Path("tmp")); }
  // Runs a page through the parser and returns the copy's bytes.
  std::string Parse(const std::string& page, const std::string& name = "sub/page.htm") {
    WriteFile(Path("site/" + name), page);
    TFileParser p;
    p.Process(Path("site/" + name));
    EXPECT_NE(p.OutputFile, Path("site/" + name));
    return ReadFile(p.OutputFile);
  }
};

TEST_F(ParserTest, WhichFilesAreParsed) {
  struct Case {
    const char* name;
    bool parsed;
  } cases[] = {{"a.htm", true},   {"a.html", true}, {"a.h", true},     {"a.t", true},    {"a.m", true},
               {"a.l", true},     {"a.ht", true},   {"a.tm", true},    {"a.ml", true},   {"a.tml", true},
               {"a.HTM", false},  {"a.HTML", false}, {"a.shtml", false}, {"noext", false}, {"a.", false},
               {"a.txt", false},  {"d.htm/noext", false}};
  fs::create_directories(Path("site/d.htm"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string src = Path("site/") + c.name;
    WriteFile(src, "<ivar x>");
    {
      TFileParser p;
      p.Process(src);
      if (c.parsed) {
        EXPECT_EQ(ReadFile(p.OutputFile), "X!");
        EXPECT_EQ(fs::path(p.OutputFile).filename(), fs::path(src).filename());
        EXPECT_EQ(p.SourceName, fs::path(src).filename().string());
        EXPECT_EQ(fs::path(p.TempFolder).parent_path(), fs::path(Path("tmp")));
        EXPECT_EQ(fs::path(p.TempFolder).filename().string().substr(0, 3), "zvf");
        EXPECT_EQ(fs::status(p.TempFolder).permissions() & fs::perms::all, fs::perms::owner_all);
      } else {
        EXPECT_EQ(p.OutputFile, src);
        EXPECT_EQ(p.TempFolder, "");
      }
    }
    EXPECT_EQ(ReadFile(src), "<ivar x>");  // the source is never changed
    EXPECT_TRUE(TempEmpty());
  }
}

TEST_F(ParserTest, SubstitutionTable) {
  WriteFile(Path("site/inc.inc"), "[<iVar x>]");
  WriteFile(Path("site/sub/inc.inc"), "wrong folder");
  WriteFile(Path("site/outer.inc"), "(<ifile inc.inc>)");
  WriteFile(Path("site/half.inc"), "<ivar");
  WriteFile(Path("site/lt.inc"), "a<");
  WriteFile(Path("site/empty.inc"), "");
  const std::string abs = Path("abs.inc");
  WriteFile(abs, "abs:<ivar x>");
  struct Case {
    std::string page;
    std::string expected;
  } cases[] = {
      {"plain text", "plain text"},
      {"<p>a</p> 1 < 2 > 0", "<p>a</p> 1 < 2 > 0"},
      {"<ivar x>", "X!"},
      {"<IVAR x>", "X!"},
      {"<iVaR   x \t>", "X!"},
      {"a<ivar X>b", "aX!b"},
      {"<ivarx>", "<ivarx>"},
      {"<ivar\nx>", "<ivar\nx>"},
      {"<<ivar x>>", "<X!>"},
      {"<ivar undefined>", ""},
      {"<ivar name>", "Value"},
      {"<ivar tagged>", "<ivar x>"},  // values are not scanned again
      {"a<ivar x", "ax"},             // no ">": only the word goes, the empty name gives nothing
      {"<ivar a <ivar x>!", "!"},     // runs to the later ">"
      {"<ivar >", ""},
      {"<ifile inc.inc>", "[X!]"},
      {"<IFILE  inc.inc >", "[X!]"},
      {"<ifile outer.inc>", "([X!])"},  // nested, and relative to the project folder
      {"<ifile " + abs + ">", "abs:X!"},
      {"<ifile half.inc> x>", "X!"},  // a tag may run on past the end of the included text
      {"<ifile lt.inc>ivar x>", "aX!"},
      {"<ifile empty.inc><ifile empty.inc>.", "."},
      {"<ifileinc.inc>", "<ifileinc.inc>"},
      {"x<", "x<"},
      {std::string("nul\0<ivar x>\xff", 13), std::string("nul\0X!\xff", 7)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    EXPECT_EQ(Parse(c.page), c.expected);
    EXPECT_TRUE(TempEmpty());
  }
}

TEST_F(ParserTest, IncludeFailuresNameTheFileAndLeaveNoCopy) {
  WriteFile(Path("site/self.inc"), "a<ifile self.inc>");
  WriteFile(Path("site/ping.inc"), "<ifile pong.inc>");
  WriteFile(Path("site/pong.inc"), "<ifile ping.inc>");
  WriteFile(Path("site/tail.inc"), "x<ifile tail2.inc>");
  WriteFile(Path("site/tail2.inc"), "y<ifile tail.inc>");
  ASSERT_EQ(::mkfifo(Path("site/fifo.inc").c_str(), 0600), 0);
  // A chain of 33 includes: one more than allowed.
  for (int i = 0; i <= TFileParser::MaxIncludeDepth; ++i)
    WriteFile(Path("site/n" + std::to_string(i) + ".inc"),
               i < TFileParser::MaxIncludeDepth ? "<ifile n" + std::to_string(i + 1) + ".inc>" : "end");
  WriteFile(Path("site/page.htm"), "<ifile page.htm>");

  struct Case {
    std::string page;
    std::string message;
  } cases[] = {
      {"<ifile missing.inc>", "Cannot open file " + Path("site/missing.inc")},
      {"<ifile >", "Cannot open file " + Path("site/")},
      {"<ifile sub>", "Cannot open file " + Path("site/sub")},
      {"<ifile fifo.inc>", "Cannot open file " + Path("site/fifo.inc")},
      {"<ifile self.inc>", "Cannot include file " + Path("site/self.inc") + ": it includes itself"},
      {"<ifile ping.inc>", "Cannot include file " + Path("site/ping.inc") + ": it includes itself"},
      {"<ifile tail.inc>", "Cannot include file " + Path("site/tail.inc") + ": it includes itself"},
      {"<ifile page.htm>", "Cannot include file " + Path("site/page.htm") + ": it includes itself"},
      {"<ifile n0.inc>", "Cannot include file " + Path("site/n32.inc") + ": more than 32 nested includes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    WriteFile(Path("site/page.htm"), c.page);
    {
      TFileParser p;
      try {
        p.Process(Path("site/page.htm"));
        ADD_FAILURE() << "no error";
      } catch (const plat::EFOpenError& e) {
        EXPECT_EQ(e.Message, c.message);
      }
    }
    EXPECT_TRUE(TempEmpty());
  }
  // 32 nested includes are fine.
  WriteFile(Path("site/n0.inc"), "<ifile n1.inc>");
  WriteFile(Path("site/n31.inc"), "deep");
  EXPECT_EQ(Parse("<ifile n0.inc>", "page.htm"), "deep");
  // Including the same file one after the other is no loop.
  WriteFile(Path("site/once.inc"), "o");
  EXPECT_EQ(Parse("<ifile once.inc><ifile once.inc>", "page.htm"), "oo");
}

TEST_F(ParserTest, SourceAndSizeLimits) {
  ASSERT_EQ(::mkfifo(Path("site/fifo.htm").c_str(), 0600), 0);
  fs::create_directories(Path("site/folder.htm"));
  for (const char* name : {"fifo.htm", "folder.htm", "missing.htm"}) {
    SCOPED_TRACE(name);
    {
      TFileParser p;
      EXPECT_THROW(p.Process(Path("site/") + name), plat::EFOpenError);
    }
    EXPECT_TRUE(TempEmpty());
  }

  WriteFile(Path("site/big.inc"), std::string(2000, 'b'));
  WriteFile(Path("site/page.htm"), "<ifile big.inc>");
  {
    TFileParser p;
    p.MaxFileSize = 1000;
    try {
      p.Process(Path("site/page.htm"));
      ADD_FAILURE() << "no error";
    } catch (const plat::EReadError& e) {
      EXPECT_EQ(e.Message, "File " + Path("site/big.inc") + " is too large");
    }
  }
  WriteFile(Path("site/page.htm"), "<ifile big.inc><ifile big.inc>");
  {
    TFileParser p;
    p.MaxOutputSize = 3999;
    try {
      p.Process(Path("site/page.htm"));
      ADD_FAILURE() << "no error";
    } catch (const plat::EWriteError& e) {
      EXPECT_EQ(e.Message, "Output of " + Path("site/page.htm") + " is too large");
    }
  }
  EXPECT_TRUE(TempEmpty());
  {
    TFileParser p;
    p.MaxOutputSize = 4000;
    p.Process(Path("site/page.htm"));
    EXPECT_EQ(ReadFile(p.OutputFile).size(), 4000u);
  }
  EXPECT_TRUE(TempEmpty());
}

TEST_F(ParserTest, SysdateTagAndRelativeProjectFolder) {
  std::string before = DateTimeText(DateTimeNow());
  std::string got = Parse("<ivar SysDate>");
  std::string after = DateTimeText(DateTimeNow());
  EXPECT_TRUE(got == before || got == after) << got;

  // A project folder given with its trailing "/" joins the same way.
  Project->Fields().SetFieldText(pfPath, Path("site/"));
  WriteFile(Path("site/inc.inc"), "i");
  EXPECT_EQ(Parse("<ifile inc.inc>"), "i");
}

}  // namespace

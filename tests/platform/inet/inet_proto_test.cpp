// The FTP client's text handling: replies, listings, masks, PWD and the
// passive-mode replies.
#include <gtest/gtest.h>

#include <string>

#include "platform/inet/ftpproto.h"

using namespace plat::ftpproto;

namespace {

ReplyReader::Result Feed(ReplyReader& r, const std::string& wire, Reply& out) {
  r.Feed(wire.data(), wire.size());
  return r.Take(out);
}

}  // namespace

TEST(ReplyReader, SingleMultiLineAndLfOnly) {
  ReplyReader r;
  Reply rep;
  ASSERT_EQ(Feed(r, "220 ready\r\n", rep), ReplyReader::Result::Done);
  EXPECT_EQ(rep.code, 220);
  EXPECT_EQ(rep.Text(), "220 ready\r\n");
  EXPECT_EQ(rep.wireBytes, 11u);

  // Inner lines that look like other replies do not end a multi-line reply.
  ASSERT_EQ(Feed(r, "230-Welcome\r\n230x not the end\r\n 220 indented\r\n331 other code\n230 done\n", rep),
            ReplyReader::Result::Done);
  EXPECT_EQ(rep.code, 230);
  ASSERT_EQ(rep.lines.size(), 5u);
  EXPECT_EQ(rep.lines[4], "230 done");
  EXPECT_EQ(r.Take(rep), ReplyReader::Result::NeedMore);

  // A bare code is a complete reply; LF-only line ends are fine.
  ASSERT_EQ(Feed(r, "200\n", rep), ReplyReader::Result::Done);
  EXPECT_EQ(rep.code, 200);
}

TEST(ReplyReader, PiecesArriveSplit) {
  ReplyReader r;
  Reply rep;
  const std::string wire = "257-first\r\n257 \"/a\" created\r\n";
  for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
    r.Feed(&wire[i], 1);
    ASSERT_EQ(r.Take(rep), ReplyReader::Result::NeedMore) << i;
  }
  r.Feed(&wire.back(), 1);
  ASSERT_EQ(r.Take(rep), ReplyReader::Result::Done);
  EXPECT_EQ(rep.lines.size(), 2u);
}

TEST(ReplyReader, RefusesOverlongAndGarbage) {
  {
    ReplyReader r;
    Reply rep;
    // A line that never ends is refused once it passes the bound.
    EXPECT_EQ(Feed(r, "220 " + std::string(ReplyReader::kMaxLine + 10, 'x'), rep), ReplyReader::Result::Bad);
  }
  {
    ReplyReader r;
    Reply rep;
    EXPECT_EQ(Feed(r, "220 " + std::string(ReplyReader::kMaxLine, 'x') + "\r\n", rep), ReplyReader::Result::Bad);
  }
  {
    ReplyReader r;
    Reply rep;
    EXPECT_EQ(Feed(r, "hello there\r\n", rep), ReplyReader::Result::Bad);
  }
  {
    ReplyReader r;
    Reply rep;
    EXPECT_EQ(Feed(r, "600 no such class\r\n", rep), ReplyReader::Result::Bad);
  }
  {
    ReplyReader r;
    Reply rep;
    std::string wire = "220-start\r\n";
    for (std::size_t i = 0; i < ReplyReader::kMaxReplyLines + 1; ++i) wire += "more\r\n";
    EXPECT_EQ(Feed(r, wire, rep), ReplyReader::Result::Bad);
  }
}

TEST(ListLines, UnixAndDosForms) {
  // Thursday 2026-12-10 12:00 UTC.
  const std::int64_t now = 1796904000;
  struct Case {
    const char* line;
    bool ok;
    const char* name;
    bool dir;
    std::uint64_t size;
    std::int64_t mtime;
    bool link = false;  // neither a folder nor a file
    const char* target = "";
  };
  const Case cases[] = {
      // vsftpd
      {"-rw-r--r--    1 102      105             8 Dec 10 08:30 a.txt", true, "a.txt", false, 8, 1796891400},
      {"drwxr-xr-x    2 102      105          4096 Dec 10 08:30 sub", true, "sub", true, 4096, 1796891400},
      // pyftpdlib
      {"-rw-r--r--   1 root     root          123 Mar 01 12:00 noext", true, "noext", false, 123, 1772366400},
      // a date later than now is last year's
      {"-rw-r--r--   1 u g 5 Dec 24 10:00 xmas", true, "xmas", false, 5, 1766570400},
      {"-rw-r--r--   1 u g 5 Jan  5  2020 old file.htm", true, "old file.htm", false, 5, 1578182400},
      {"-rw-r--r--   1 u g 5 Jan  5  2020  leading blank", true, " leading blank", false, 5, 1578182400},
      {"lrwxrwxrwx   1 u g 7 Jan  5  2020 link -> target", true, "link", false, 7, 1578182400, true, "target"},
      {"lrwxrwxrwx   1 u g 3 Jan  5  2020 dirlink", true, "dirlink", false, 3, 1578182400, true},
      {"lrwxrwxrwx   1 u g 9 Jan  5  2020 my page -> ../a b/c\\", true, "my page", false, 9, 1578182400, true,
       "../a b/c\\"},
      {"lrwxrwxrwx   1 u g 9 Jan  5  2020 abs -> /srv/site/real", true, "abs", false, 9, 1578182400, true,
       "/srv/site/real"},
      {"-rw-r--r--   1 u g 5 Jan  5  2020 not -> a link", true, "not -> a link", false, 5, 1578182400},
      {"-rw-r--r--   1 u 9000000000 Jan  5  2020 big.bin", true, "big.bin", false, 9000000000ULL, 1578182400},
      {"-rwxr-xr-x+  1 u g 7 Jan  5  2020 acl", true, "acl", false, 7, 1578182400},
      // DOS
      {"12-10-26  08:19AM       <DIR>          site", true, "site", true, 0, 1796890740},
      {"12-10-26  08:19PM                 1234 index.htm", true, "index.htm", false, 1234, 1796933940},
      {"12-10-2026  12:05AM             7 mid night.txt", true, "mid night.txt", false, 7, 1796861100},
      {"01-02-99  12:00PM                 1 y2k", true, "y2k", false, 1, 915278400},
      // not entries
      {"total 16", false, "", false, 0, 0},
      {"", false, "", false, 0, 0},
      {"garbage line here", false, "", false, 0, 0},
      {"-rw-r--r--   1 u g 5 Jan  5  2020 a/b", false, "", false, 0, 0},
      {"-rw-r--r--   1 u g 5 Jan  5  2020 bell\a", false, "", false, 0, 0},
      {"12-10-26  08:19AM       <DIR>          tab\tname", false, "", false, 0, 0},
  };
  for (const Case& c : cases) {
    ListEntry e;
    bool ok = ParseListLine(c.line, now, e);
    EXPECT_EQ(ok, c.ok) << c.line;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(e.name, c.name) << c.line;
    EXPECT_EQ(e.directory, c.dir) << c.line;
    EXPECT_EQ(e.link, c.link) << c.line;
    EXPECT_EQ(e.target, c.target) << c.line;
    EXPECT_EQ(e.size, c.size) << c.line;
    EXPECT_EQ(e.mtime, c.mtime) << c.line;
  }
}

// A link's size is the length of its target (vsftpd, pyftpdlib, proftpd
// and pure-ftpd all list it so): a name holding " -> " ends where that
// length says, not at its first arrow.
TEST(ListLines, LinkNamesHoldingAnArrowAreSplitByTheSize) {
  struct Case {
    const char* line;
    const char* name;
    const char* target;
  } cases[] = {
      {"lrwxrwxrwx    1 102 105 14 Dec 10 08:30 a -> b.htm -> store/real.htm", "a -> b.htm", "store/real.htm"},
      // the target holds the arrow
      {"lrwxrwxrwx    1 102 105 16 Dec 10 08:30 a -> b.htm -> store/real.htm", "a", "b.htm -> store/real.htm"},
      {"lrwxrwxrwx    1 u g 1 Jan  5  2020 x -> y -> z -> w -> v", "x -> y -> z -> w", "v"},
      // a size that does not fit: the first arrow, as before
      {"lrwxrwxrwx    1 u g 99 Jan  5  2020 a -> b -> c", "a", "b -> c"},
      {"lrwxrwxrwx    1 u g 0 Jan  5  2020 a -> b -> c", "a", "b -> c"},
      // a name of blanks and arrows only
      {"lrwxrwxrwx    1 u g 1 Jan  5  2020  ->  -> t", " -> ", "t"},
  };
  for (const Case& c : cases) {
    ListEntry e;
    ASSERT_TRUE(ParseListLine(c.line, 1796904000, e)) << c.line;
    EXPECT_TRUE(e.link) << c.line;
    EXPECT_EQ(e.name, c.name) << c.line;
    EXPECT_EQ(e.target, c.target) << c.line;
  }
}

// The permission bits of a Unix line, for telling a folder the server may
// not read; none in the DOS form.
TEST(ListLines, PermissionBits) {
  struct Case {
    const char* line;
    int bits;
  } cases[] = {
      {"drwxr-xr-x    2 102 105 4096 Dec 10 08:30 sub", 0755},
      {"d-wx--x--x    2 102 105 4096 Dec 10 08:30 locked", 0311},
      {"drwx--x--x    2 102 105 4096 Dec 10 08:30 mine", 0711},
      {"-rwsr-sr-T    1 u g 5 Jan  5  2020 odd", 0754},
      {"-rwSr-Sr-t    1 u g 5 Jan  5  2020 odd", 0645},
      {"12-10-26  08:19AM       <DIR>          site", -1},
  };
  for (const Case& c : cases) {
    ListEntry e;
    ASSERT_TRUE(ParseListLine(c.line, 1796904000, e)) << c.line;
    EXPECT_EQ(e.permissions, c.bits) << c.line;
  }
}

TEST(ListLines, LongNamesStayWhole) {
  const std::string name(600, 'n');
  ListEntry e;
  ASSERT_TRUE(ParseListLine("-rw-r--r--   1 u g 5 Jan  5  2020 " + name + "\r", 0, e));
  EXPECT_EQ(e.name, name);
}

TEST(ListLines, WholeListingWithCrLfAndLf) {
  auto entries = ParseListing(
      "total 2\r\n-rw-r--r-- 1 u g 1 Jan  5  2020 a\r\ndrwxr-xr-x 2 u g 4096 Jan  5  2020 b\n", 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_TRUE(entries[1].directory);
}

TEST(DosMask, Table) {
  struct Case {
    const char* name;
    const char* mask;
    bool match;
  };
  const Case cases[] = {
      {"index.htm", "*.*", true},  {"noext", "*.*", true},       {"noext", "*", true},
      {"a.b.c", "", true},         {"index.htm", "*.htm", true}, {"INDEX.HTM", "*.htm", true},
      {"index.html", "*.htm", false}, {"page1.htm", "page?.htm", true}, {"page10.htm", "page?.htm", false},
      {"abc", "a*.*", true},       {"abc.txt", "a*.*", true},    {"bcd", "a*.*", false},
      {"noext", "*.", true},       {"has.ext", "*.", false},     {"readme", "readme", true},
      {"readme.txt", "read*", true}, {"x", "?", true},           {"xy", "?", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesDosMask(c.name, c.mask), c.match) << c.name << " / " << c.mask;
}

TEST(ReplyTexts, PwdWithDoubledQuotes) {
  Reply r;
  r.code = 257;
  r.lines = {"257 \"/we\"\"ird dir\" is the current directory"};
  EXPECT_EQ(ParsePwdReply(r), "/we\"ird dir");
  r.lines = {"257 \"/\""};
  EXPECT_EQ(ParsePwdReply(r), "/");
  r.lines = {"257 /plain is current"};
  EXPECT_EQ(ParsePwdReply(r), "/plain");
}

// A listing's closing reply that is positive but says the folder was not
// read, as vsftpd and pure-ftpd send for a folder of mode 0311.
TEST(ReplyTexts, ListingRepliesThatSayTheFolderWasNotRead) {
  struct Case {
    std::vector<std::string> lines;
    bool unread;
  } cases[] = {
      {{"226 Transfer done (but failed to open directory)."}, true},
      {{"226-Sorry, we were unable to read [.]", "226 Options: -l ", "226 0 matches total"}, true},
      {{"226 Directory send OK."}, false},
      {{"226 Transfer complete"}, false},
      {{"226-Options: -a -l ", "226 2 matches total"}, false},
  };
  for (const Case& c : cases) {
    Reply r;
    r.code = 226;
    r.lines = c.lines;
    EXPECT_EQ(ListingReplySaysUnread(r), c.unread) << c.lines.front();
  }
}

TEST(ReplyTexts, PassivePorts) {
  int port = 0;
  EXPECT_TRUE(ParsePasvPort(" Entering Passive Mode (127,0,0,1,195,80).", port));
  EXPECT_EQ(port, 195 * 256 + 80);
  EXPECT_TRUE(ParsePasvPort(" =10,1,2,3,4,5", port));
  EXPECT_EQ(port, 4 * 256 + 5);
  EXPECT_FALSE(ParsePasvPort(" Entering Passive Mode (127,0,0,1,300,80).", port));
  EXPECT_FALSE(ParsePasvPort(" no numbers", port));
  EXPECT_TRUE(ParseEpsvPort("229 Entering Extended Passive Mode (|||50123|)", port));
  EXPECT_EQ(port, 50123);
  EXPECT_FALSE(ParseEpsvPort("229 Entering Extended Passive Mode (|||70000|)", port));
  EXPECT_FALSE(ParseEpsvPort("229 (||x|)", port));
}

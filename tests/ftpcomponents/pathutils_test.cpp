#include "ftpcomponents/FileUtils.h"
#include "ftpcomponents/PathUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/classes/classes.h"

namespace {

struct PathCase {
  std::string in, out;
};

TEST(PathUtils, AddBackslash) {
  for (const PathCase& c : std::vector<PathCase>{
           {"/home/me/site", "/home/me/site/"},
           {"/home/me/site/", "/home/me/site/"},
           {"", "/"},
           {"/", "/"},
           {"a//", "a//"},
           {"dir\\", "dir\\/"},  // '\' is an ordinary byte of a local name
       }) {
    EXPECT_EQ(AddBackslash(c.in), c.out) << c.in;
  }
}

TEST(PathUtils, StripTrailingDelimiter) {
  for (const PathCase& c : std::vector<PathCase>{
           {"/www/", "/www"},
           {"dir\\", "dir\\"},  // '\' belongs to the name
           {"a\\/", "a\\"},
           {"/", "/"},
           {"\\", "\\"},
           {"a//", "a/"},  // only one is removed
           {"", ""},
           {"/www", "/www"},
           {"x", "x"},
       }) {
    EXPECT_EQ(StripTrailingDelimiter(c.in), c.out) << c.in;
  }
}

TEST(PathUtils, UnixPathPart) {
  for (const PathCase& c : std::vector<PathCase>{
           {"/www/sub/*.*", "/www/sub/"},
           {"index.htm", ""},
           {"/", "/"},
           {"/www/", "/www/"},
           {"", ""},
           {"a\\b/c", "a\\b/"},
       }) {
    EXPECT_EQ(UnixPathPart(c.in), c.out) << c.in;
  }
}

TEST(PathUtils, SlashesToBackslashesKeepsLocalSlashes) {
  std::string s = "sub/dir/page.htm";
  SlashesToBackslashes(s);
  EXPECT_EQ(s, "sub/dir/page.htm");
  std::string empty;
  SlashesToBackslashes(empty);
  EXPECT_EQ(empty, "");
}

TEST(FileSizeOf, SizesBeyondFourGigabytesAndFilesThatCannotBeRead) {
  char dir[] = "/tmp/filesize-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::string small = std::string(dir) + "/small", big = std::string(dir) + "/big";
  int fd = ::open(small.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  ::close(fd);
  fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(::ftruncate(fd, 5'000'000'000LL), 0);  // sparse: costs no disk
  ::close(fd);

  EXPECT_EQ(FileSizeOf(small), 3);
  EXPECT_EQ(FileSizeOf(big), 5'000'000'000LL);
  EXPECT_THROW(FileSizeOf(std::string(dir) + "/missing"), plat::EFOpenError);
  EXPECT_THROW(FileSizeOf(dir), plat::EFOpenError);
  if (::geteuid() != 0) {  // root reads anything
    ::chmod(small.c_str(), 0);
    EXPECT_THROW(FileSizeOf(small), plat::EFOpenError);
  }
  EXPECT_EQ(std::system(("rm -rf '" + std::string(dir) + "'").c_str()), 0);
}

}  // namespace

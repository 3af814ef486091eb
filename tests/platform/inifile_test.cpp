#include "platform/profile/inifile.h"

#include "tests/support/file_size_limit.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

using namespace plat;
namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = home_.MakeFolder("ini");
    path_ = (dir_ / "test.ini").string();
  }
  void Put(const std::string& content) { testsupport::WriteFile(path_, content); }
  std::string Get() const { return testsupport::ReadFile(path_); }
  testsupport::PrivateHome home_;
  fs::path dir_;
  std::string path_;
};

TEST_F(IniFileTest, ReadRules) {
  std::string longValue(3000, 'v');
  Put("; comment\r\n"
      "[data]\r\n"
      "URLEDIT = http://a/ \r\n"
      "Hex=0x1F\r\n"
      "HexUpper=0X10\r\n"
      "Mixed=12abc\r\n"
      "Neg=-5\r\n"
      "Empty=\r\n"
      "Spaced =  42  \r\n"
      "OnlyPrefix=0x\r\n"
      "Float=1e3\r\n"
      "Huge=99999999999999999999999\r\n"
      "Long=" + longValue + "\r\n"
      "dup=first\r\n"
      "DUP=second\r\n"
      "[Other]\r\n"
      "urledit=other\r\n"
      "[DATA]\r\n"
      "Later=in second copy\r\n"
      "dup=third\r\n");
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Data", "URLEdit", "x"), "http://a/");
  EXPECT_EQ(ini.ReadString("other", "URLEDIT", "x"), "other");
  EXPECT_EQ(ini.ReadString("Data", "dup", "x"), "first");
  EXPECT_EQ(ini.ReadString("Data", "Later", "x"), "in second copy");
  EXPECT_EQ(ini.ReadString("Data", "Missing", "def"), "def");
  EXPECT_EQ(ini.ReadString("Nowhere", "URLEdit", "def"), "def");
  EXPECT_EQ(ini.ReadString("Data", "Long", "").size(), 2047u);
  EXPECT_EQ(ini.ReadString("Data", "Empty", "def"), "");

  struct Case {
    const char* key;
    std::int64_t expected;
  } cases[] = {
      {"Hex", 31},        {"HexUpper", 16}, {"Mixed", 7}, {"Neg", -5},   {"Empty", 7},
      {"Spaced", 42},     {"OnlyPrefix", 7}, {"Float", 7}, {"Huge", 7},   {"URLEdit", 7},
      {"NoSuchKey", 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.ReadInteger("DATA", c.key, 7), c.expected) << c.key;
  }
  EXPECT_TRUE(ini.ReadBool("Data", "Hex", false));
  EXPECT_FALSE(ini.ReadBool("Data", "Mixed", false));
}

TEST_F(IniFileTest, MissingFileGivesDefaults) {
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Data", "URLEdit", "d"), "d");
  EXPECT_EQ(ini.ReadInteger("Data", "Requests", 5), 5);
}

TEST_F(IniFileTest, FreshFileKeepsTheOrderOfWriting) {
  TIniFile ini(path_);
  ini.WriteString("Data", "URLEdit", "http://h/");
  ini.WriteString("Data", "username", "bob");
  ini.WriteInteger("Window", "Top", 10);
  ini.WriteBool("Data", "Useramp", true);
  ini.WriteInteger("Window", "Left", -3);
  EXPECT_EQ(Get(),
            "[Data]\nURLEdit=http://h/\nusername=bob\nUseramp=1\n"
            "[Window]\nTop=10\nLeft=-3\n");
}

TEST_F(IniFileTest, UpdatesInPlaceAndAppendsToTheSection) {
  Put("; settings\r\n"
      "[Data]\r\n"
      "URLEdit=old\r\n"
      "; keep me\r\n"
      "Runs=3\r\n"
      "\r\n"
      "[Window]\r\n"
      "Top=1\r\n");
  TIniFile ini(path_);
  ini.WriteString("DATA", "urledit", "new");  // another letter case: same key
  ini.WriteInteger("Data", "Wait", 9);        // new key: end of [Data]
  ini.WriteInteger("window", "Top", 2);
  EXPECT_EQ(Get(),
            "; settings\r\n"
            "[Data]\r\n"
            "urledit=new\r\n"
            "; keep me\r\n"
            "Runs=3\r\n"
            "Wait=9\r\n"
            "\r\n"
            "[Window]\r\n"
            "Top=2\r\n");
  EXPECT_EQ(ini.ReadString("Data", "URLEdit", ""), "new");
}

TEST_F(IniFileTest, ValueWithLineBreaksCannotAddKeys) {
  TIniFile ini(path_);
  ini.WriteString("Data", "URLEdit", "http://a/\r\n[Window]\nTop=999");
  EXPECT_EQ(ini.ReadString("Data", "URLEdit", ""), "http://a/  [Window] Top=999");
  EXPECT_EQ(ini.ReadInteger("Window", "Top", -1), -1);
}

TEST_F(IniFileTest, FailedWriteKeepsTheOldFile) {
  Put("[Data]\nURLEdit=old\n");
  const std::string before = Get();
  // A file size limit makes the write of the temporary copy fail, for root
  // as well.
  bool raised = false;
  {
    testsupport::FileSizeLimit limit(64);
    ASSERT_TRUE(limit.Active());
    TIniFile ini(path_);
    try {
      ini.WriteString("Data", "URLEdit", std::string(500, 'x'));
    } catch (const EIniFileException& e) {
      raised = true;
      EXPECT_EQ(e.Message, "Unable to write to " + path_);
    }
  }
  EXPECT_TRUE(raised);
  EXPECT_EQ(Get(), before);
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename(), "test.ini") << "temporary file left behind";
  }
}

TEST_F(IniFileTest, UnwritableFolderKeepsTheOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not bind root";
  Put("[Data]\nURLEdit=old\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0500), 0);
  EXPECT_FALSE(WritePrivateProfileString("Data", "URLEdit", "new", path_));
  chmod(dir_.c_str(), 0700);
  EXPECT_EQ(Get(), "[Data]\nURLEdit=old\n");
}

TEST_F(IniFileTest, BareNamesLiveInTheConfigFolder) {
  std::string cfg = (dir_ / "cfg").string();
  {
    testsupport::ScopedEnv config("XDG_CONFIG_HOME", cfg);
    EXPECT_EQ(ProfilePath("brontavel2.ini"), cfg + "/brontavel2.ini");
    TIniFile ini("brontavel2.ini");
    ini.WriteInteger("Data", "Runs", 4);  // creates the folder
    EXPECT_TRUE(fs::exists(cfg + "/brontavel2.ini"));
  }
  testsupport::ScopedEnv relative("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(ProfilePath("brontavel2.ini"), home_.Home() + "/.config/brontavel2.ini");
}

TEST_F(IniFileTest, PathThroughAFileIsReportedNotCrashed) {
  Put("x");
  std::string inside = path_ + "/sub/settings.ini";
  TIniFile ini(inside);
  EXPECT_EQ(ini.ReadInteger("Data", "Runs", 1), 1);
  EXPECT_THROW(ini.WriteInteger("Data", "Runs", 2), EIniFileException);
}

}  // namespace

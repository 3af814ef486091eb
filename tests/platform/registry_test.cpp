#include "platform/registry/registry.h"

#include "tests/support/file_size_limit.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace plat;
using testsupport::FolderEntries;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

// Every test gets an empty registry folder of its own.
class RegistryTest : public ::testing::Test {
 protected:
  testsupport::PrivateHome Home;
  const std::string Dir = Home.RegistryDir();  // not made yet: the first change makes it
};

TEST_F(RegistryTest, ValuesSurviveInTheFileAndReadsOfTheWrongKindRaise) {
  {
    TRegistry r;
    EXPECT_FALSE(r.OpenKey("\\Software\\Firm\\Product", false));  // nothing there, no folder made
    EXPECT_NE(::access(Dir.c_str(), F_OK), 0);
    ASSERT_TRUE(r.OpenKey("\\Software\\Firm\\Product\\", true));
    EXPECT_EQ(r.CurrentPath(), "Software\\Firm\\Product");
    r.WriteString("DefaultProject", "/home/me/site.zvp");
    r.WriteInteger("Top", -120);
    r.WriteInteger("Big", 2147483647);
  }
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Software\\Firm\\Product", false));
  EXPECT_EQ(r.ReadString("DefaultProject"), "/home/me/site.zvp");
  EXPECT_EQ(r.ReadInteger("Top"), -120);
  EXPECT_EQ(r.ReadInteger("Big"), 2147483647);
  EXPECT_TRUE(r.ValueExists("Top"));
  EXPECT_FALSE(r.ValueExists("Left"));
  EXPECT_EQ(r.ReadString("Left"), "");          // missing string: empty
  EXPECT_THROW(r.ReadInteger("Left"), ERegistryException);  // missing integer raises
  EXPECT_THROW(r.ReadString("Top"), ERegistryException);
  EXPECT_THROW(r.ReadInteger("DefaultProject"), ERegistryException);
  // A value changes its kind when written with the other kind.
  r.WriteString("Top", "now text");
  EXPECT_EQ(r.ReadString("Top"), "now text");

  struct stat st {};
  ASSERT_EQ(::stat(RegistryFile(HKEY_CURRENT_USER).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Only the file and its lock: no temporary left behind.
  for (const std::string& n : FolderEntries(Dir)) EXPECT_TRUE(n == "current-user.reg" || n == "current-user.reg.lock") << n;
}

TEST_F(RegistryTest, RootsAreSeparateFiles) {
  TRegistry r;
  r.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(r.OpenKey("\\Software\\Firm", true));
  r.WriteString("Where", "machine");
  r.SetRootKey(HKEY_CURRENT_USER);
  EXPECT_FALSE(r.KeyOpen());  // changing the root closes the key
  EXPECT_FALSE(r.KeyExists("\\Software\\Firm"));
  r.SetRootKey(HKEY_CLASSES_ROOT);
  EXPECT_FALSE(r.KeyExists("\\Software\\Firm"));
  r.SetRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(r.KeyExists("\\SOFTWARE\\firm"));
  EXPECT_THROW(r.SetRootKey(0x80000005u), ERegistryException);
  EXPECT_NE(ReadFile(RegistryFile(HKEY_LOCAL_MACHINE)).find("Where=s:machine"), std::string::npos);
}

TEST_F(RegistryTest, KeysIgnoreCaseAndKeepTheirFirstSpellingValueNamesDoNot) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Software\\Korvane\\Zentavox", true));
  ASSERT_TRUE(r.OpenKey("\\SOFTWARE\\korvane\\ZENTAVOX\\Projects", true));
  EXPECT_EQ(r.CurrentPath(), "Software\\Korvane\\Zentavox\\Projects");
  // Paths as value names: two files differing in case are two values.
  r.WriteString("/home/me/Site.zvp", "");
  r.WriteString("/home/me/site.zvp", "");
  TStringList names;
  r.GetValueNames(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[0], "/home/me/Site.zvp");
  EXPECT_EQ(names[1], "/home/me/site.zvp");
  EXPECT_FALSE(r.ValueExists("/HOME/ME/SITE.ZVP"));

  std::string text = ReadFile(RegistryFile(HKEY_CURRENT_USER));
  EXPECT_NE(text.find("[Software\\Korvane\\Zentavox\\Projects]"), std::string::npos);
  EXPECT_EQ(text.find("SOFTWARE"), std::string::npos);
  EXPECT_EQ(text.find("Software\\Korvane\\Zentavox\\"), text.find("[Software\\Korvane\\Zentavox\\Projects]") + 1);
}

TEST_F(RegistryTest, RelativeKeysStartAtTheOpenKey) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software", true));  // nothing open: from the root
  ASSERT_TRUE(r.OpenKey("Firm\\\\Product", true));  // empty names between '\' are skipped
  EXPECT_EQ(r.CurrentPath(), "Software\\Firm\\Product");
  EXPECT_TRUE(r.KeyExists("\\Software\\Firm"));
  EXPECT_FALSE(r.KeyExists("Firm"));  // relative to Software\Firm\Product
  EXPECT_FALSE(r.OpenKey("Missing", false));
  EXPECT_EQ(r.CurrentPath(), "Software\\Firm\\Product");  // a failed open keeps the key
  ASSERT_TRUE(r.OpenKey("\\", false));
  EXPECT_EQ(r.CurrentPath(), "");  // the root itself
  EXPECT_TRUE(r.KeyOpen());
}

TEST_F(RegistryTest, AwkwardNamesAndValuesComeBackByteForByte) {
  struct Case {
    std::string name, value;
  };
  const std::vector<Case> cases = {
      {"", "default value"},
      {"a=b", "c=d=e"},
      {"100%", "%41 stays %41"},
      {"[Section]", "[x]"},
      {";comment", ";not a comment"},
      {" lead and trail ", "  "},
      {"line\nbreak", "one\r\ntwo\n"},
      {std::string("nul\0inside", 10), std::string("\0\x01\x7f", 3)},
      {"C:\\Program Files\\x", "back\\slash"},
      {"latin \xe9\xff", "\xe4\xf6\xfc"},
      {"=", ""},
  };
  const std::string key = "Key [with] %odd; name=here";
  {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("\\" + key + "\\sub", true));
    for (const Case& c : cases) r.WriteString(c.name, c.value);
    r.WriteInteger("int\nname", -7);
  }
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\" + key + "\\sub", false));
  EXPECT_EQ(r.CurrentPath(), key + "\\sub");
  for (const Case& c : cases) {
    EXPECT_TRUE(r.ValueExists(c.name)) << c.name;
    EXPECT_EQ(r.ReadString(c.name), c.value) << c.name;
  }
  EXPECT_EQ(r.ReadInteger("int\nname"), -7);
  TStringList names;
  r.GetValueNames(names);
  EXPECT_EQ(names.Count(), static_cast<int>(cases.size()) + 1);

  // One line per key and value: nothing raw that could break the format.
  std::string text = ReadFile(RegistryFile(HKEY_CURRENT_USER));
  int lines = 0;
  for (char ch : text) lines += ch == '\n';
  EXPECT_EQ(lines, 1 + 2 + static_cast<int>(cases.size()) + 1);  // comment, two headers, values
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST_F(RegistryTest, DeleteKeyTakesEverythingBelowAndNothingElse) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\A\\B\\C\\D", true));
  r.WriteString("deep", "1");
  ASSERT_TRUE(r.OpenKey("\\A\\B\\Other", true));
  r.WriteInteger("n", 1);
  ASSERT_TRUE(r.OpenKey("\\A\\Sibling", true));
  r.WriteInteger("kept", 5);
  ASSERT_TRUE(r.OpenKey("\\A", false));

  EXPECT_TRUE(r.DeleteKey("b"));  // relative, any case
  EXPECT_FALSE(r.KeyExists("\\A\\B"));
  EXPECT_FALSE(r.KeyExists("\\A\\B\\C\\D"));
  EXPECT_FALSE(r.DeleteKey("B"));  // already gone
  EXPECT_FALSE(r.DeleteKey(""));   // never the open key or the root by accident
  EXPECT_FALSE(r.DeleteKey("\\"));
  EXPECT_TRUE(r.KeyExists("\\A"));
  ASSERT_TRUE(r.OpenKey("\\A\\Sibling", false));
  EXPECT_EQ(r.ReadInteger("kept"), 5);

  // A fresh key of the old name starts empty.
  ASSERT_TRUE(r.OpenKey("\\A\\B\\C\\D", true));
  EXPECT_FALSE(r.ValueExists("deep"));
}

TEST_F(RegistryTest, DeleteValueAndTheOrderOfValueNames) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\K", true));
  for (const char* n : {"zeta", "alpha", "Mid"}) r.WriteString(n, n);
  r.WriteString("alpha", "rewritten keeps its place");
  EXPECT_TRUE(r.DeleteValue("zeta"));
  EXPECT_FALSE(r.DeleteValue("zeta"));
  EXPECT_FALSE(r.DeleteValue("ALPHA"));
  TStringList names;
  names.Add("stale");
  r.GetValueNames(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[0], "alpha");
  EXPECT_EQ(names[1], "Mid");

  // Several at once, in one change of the file: names not there (or there
  // in another case) are passed over, the rest keep their order and their
  // data, and a value made afterwards goes last.
  for (const char* n : {"b", "c", "d", "e"}) r.WriteString(n, std::string("data of ") + n);
  const std::string before = ReadFile(RegistryFile(HKEY_CURRENT_USER));
  EXPECT_EQ(r.DeleteValues({}), 0);
  EXPECT_EQ(r.DeleteValues({"missing", "ALPHA"}), 0);
  EXPECT_EQ(ReadFile(RegistryFile(HKEY_CURRENT_USER)), before);
  EXPECT_EQ(r.DeleteValues({"c", "alpha", "nothing", "e", "c"}), 3);
  r.WriteString("alpha", "made again");
  r.GetValueNames(names);
  EXPECT_EQ(names.Text(), "Mid\r\nb\r\nd\r\nalpha\r\n");
  EXPECT_EQ(r.ReadString("d"), "data of d");
  EXPECT_EQ(r.ReadString("Mid"), "Mid");
  EXPECT_FALSE(r.ValueExists("c"));
  TRegistry readOnly(KEY_READ);
  ASSERT_TRUE(readOnly.OpenKey("\\K", false));
  EXPECT_EQ(readOnly.DeleteValues({"b"}), 0);
  EXPECT_TRUE(r.ValueExists("b"));
}

// A file edited by hand may name a key twice, in other letter cases, and a
// value twice: the key keeps its first spelling and its first place, the
// value its first place and its last data. Long keys read the same.
TEST_F(RegistryTest, RepeatedAndManyKeysAndValuesInAFile) {
  std::string text =
      "[Software\\Firm]\n"
      "a=s:first\n"
      "b=i:2\n"
      "a=s:second\n"
      "[SOFTWARE\\firm\\Sub]\n"
      "x=s:1\n"
      "[software\\FIRM]\n"
      "c=s:3\n"
      "B=s:other case, other value\n"
      "[Many]\n";
  constexpr int kMany = 3000;
  for (int i = 0; i < kMany; ++i) text += "v" + std::to_string(i) + "=i:" + std::to_string(i) + "\n";
  text += "v7=i:-7\n";
  for (int i = 0; i < kMany; ++i) text += "[Many\\k" + std::to_string(i) + "]\nn=s:" + std::to_string(i) + "\n";
  text += "[MANY\\K7]\nn=s:again\n";
  ::mkdir(Dir.c_str(), 0700);
  WriteFile(RegistryFile(HKEY_CURRENT_USER), text);

  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\software\\firm", false));
  EXPECT_EQ(r.CurrentPath(), "Software\\Firm");
  TStringList names;
  r.GetValueNames(names);
  EXPECT_EQ(names.Text(), "a\r\nb\r\nc\r\nB\r\n");
  EXPECT_EQ(r.ReadString("a"), "second");
  EXPECT_EQ(r.ReadInteger("b"), 2);
  EXPECT_EQ(r.ReadString("B"), "other case, other value");
  EXPECT_TRUE(r.KeyExists("Sub"));

  ASSERT_TRUE(r.OpenKey("\\Many", false));
  r.GetValueNames(names);
  ASSERT_EQ(names.Count(), kMany);
  EXPECT_EQ(names[7], "v7");
  EXPECT_EQ(names[kMany - 1], "v" + std::to_string(kMany - 1));
  EXPECT_EQ(r.ReadInteger("v7"), -7);
  EXPECT_EQ(r.ReadInteger("v" + std::to_string(kMany - 1)), kMany - 1);
  ASSERT_TRUE(r.OpenKey("k" + std::to_string(kMany - 1), false));
  EXPECT_EQ(r.ReadString("n"), std::to_string(kMany - 1));
  ASSERT_TRUE(r.OpenKey("\\many\\k7", false));
  EXPECT_EQ(r.CurrentPath(), "Many\\k7");
  EXPECT_EQ(r.ReadString("n"), "again");

  // Written back, each key is one section in its first place.
  r.WriteString("added", "1");
  const std::string written = ReadFile(RegistryFile(HKEY_CURRENT_USER));
  EXPECT_NE(written.find("[Software\\Firm]\na=s:second\nb=i:2\nc=s:3\nB=s:other case, other value\n[Software\\Firm\\Sub]\nx=s:1\n[Many]\nv0=i:0\n"),
            std::string::npos);
  EXPECT_NE(written.find("[Many\\k7]\nn=s:again\nadded=s:1\n[Many\\k8]\n"), std::string::npos);
  EXPECT_EQ(written.find("[software"), std::string::npos);
  EXPECT_NE(written.find("[Many\\k" + std::to_string(kMany - 1) + "]\nn=s:" + std::to_string(kMany - 1) + "\n"),
            std::string::npos);

  // Values and keys taken out of long lists: the rest are still found.
  ASSERT_TRUE(r.OpenKey("\\Many", false));
  EXPECT_EQ(r.DeleteValues({"v0", "v7", "v" + std::to_string(kMany - 1)}), 3);
  EXPECT_TRUE(r.DeleteKey("K5"));
  r.GetValueNames(names);
  EXPECT_EQ(names.Count(), kMany - 3);
  EXPECT_EQ(names[0], "v1");
  EXPECT_FALSE(r.ValueExists("v7"));
  EXPECT_EQ(r.ReadInteger("v8"), 8);
  EXPECT_FALSE(r.KeyExists("k5"));
  EXPECT_TRUE(r.KeyExists("k6"));
  ASSERT_TRUE(r.OpenKey("K7", true));
  EXPECT_EQ(r.ReadString("n"), "again");
}

TEST_F(RegistryTest, WritesNeedAWritableKeyThatStillExists) {
  TRegistry r;
  EXPECT_THROW(r.WriteString("x", "y"), ERegistryException);  // nothing open
  EXPECT_FALSE(r.ValueExists("x"));
  EXPECT_EQ(r.ReadString("x"), "");
  ASSERT_TRUE(r.OpenKey("\\K\\Sub", true));
  r.WriteString("x", "1");

  TRegistry reader;
  ASSERT_TRUE(reader.OpenKeyReadOnly("\\k\\sub"));
  EXPECT_EQ(reader.ReadString("x"), "1");
  EXPECT_THROW(reader.WriteString("x", "2"), ERegistryException);
  EXPECT_FALSE(reader.DeleteValue("x"));
  EXPECT_FALSE(reader.OpenKeyReadOnly("\\K\\Missing"));

  // Another accessor deletes the key under the open one.
  TRegistry other;
  EXPECT_TRUE(other.DeleteKey("\\K"));
  EXPECT_FALSE(r.ValueExists("x"));
  EXPECT_THROW(r.WriteInteger("x", 2), ERegistryException);
  EXPECT_FALSE(other.KeyExists("\\K"));  // the failed write made nothing
}

TEST_F(RegistryTest, ADamagedFileIsReportedAndNeverOverwritten) {
  ASSERT_EQ(::mkdir(Dir.c_str(), 0700), 0);
  const std::string damaged = "[Software]\nName=s:ok\nthis line is not a value\n";
  WriteFile(RegistryFile(HKEY_CURRENT_USER), damaged);
  TRegistry r;
  try {
    r.OpenKey("\\Software", false);
    FAIL() << "no error";
  } catch (const ERegistryException& e) {
    EXPECT_NE(e.Message.find("line 3"), std::string::npos) << e.Message;
  }
  EXPECT_THROW(r.OpenKey("\\Software\\New", true), ERegistryException);
  EXPECT_EQ(ReadFile(RegistryFile(HKEY_CURRENT_USER)), damaged);

  for (const char* bad : {"[Open\n", "x=s:%4\n", "x=i:12a\n", "x=i:2147483648\n", "x=q:1\n", "[%zz]\n"}) {
    WriteFile(RegistryFile(HKEY_CURRENT_USER), bad);
    EXPECT_THROW(r.KeyExists("\\Software"), ERegistryException) << bad;
  }
  // Hand edits with CR LF ends, comments and blank lines are fine.
  WriteFile(RegistryFile(HKEY_CURRENT_USER), "; hand made\r\n\r\n[Software\\Firm]\r\nN=i:-2147483648\r\n");
  ASSERT_TRUE(r.OpenKey("\\Software\\Firm", false));
  EXPECT_EQ(r.ReadInteger("N"), INT32_MIN);
}

TEST_F(RegistryTest, AWriteThatFailsLeavesTheOldFileWhole) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\K", true));
  r.WriteString("kept", "old");
  const std::string before = ReadFile(RegistryFile(HKEY_CURRENT_USER));
  // A file-size limit makes the new copy fail part-way.
  bool raised = false;
  {
    testsupport::FileSizeLimit limit(4096);
    ASSERT_TRUE(limit.Active());
    try {
      r.WriteString("big", std::string(10000, 'x'));
    } catch (const ERegistryException&) {
      raised = true;
    }
  }
  EXPECT_TRUE(raised);
  EXPECT_EQ(ReadFile(RegistryFile(HKEY_CURRENT_USER)), before);
  for (const std::string& n : FolderEntries(Dir)) EXPECT_TRUE(n == "current-user.reg" || n == "current-user.reg.lock") << n;
  EXPECT_FALSE(r.ValueExists("big"));
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceKeepEveryChange) {
  constexpr int kPerProcess = 40;
  {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("\\Shared", true));
  }
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      try {
        TRegistry r;
        if (!r.OpenKey("\\Shared", false)) rc = 2;
        for (int i = 0; i < kPerProcess && rc == 0; ++i) {
          r.WriteInteger("p" + std::to_string(p) + "-" + std::to_string(i), i);
          // Keys made by both at once too.
          TRegistry k;
          if (!k.OpenKey("\\Shared\\Made\\by" + std::to_string(p) + "-" + std::to_string(i), true)) rc = 3;
        }
      } catch (...) {
        rc = 1;
      }
      ::_exit(rc);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Shared", false));
  TStringList names;
  r.GetValueNames(names);
  EXPECT_EQ(names.Count(), 2 * kPerProcess);
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kPerProcess; ++i) {
      std::string suffix = std::to_string(p) + "-" + std::to_string(i);
      EXPECT_EQ(r.ReadInteger("p" + suffix), i);
      EXPECT_TRUE(r.KeyExists("Made\\by" + suffix));
    }
  }
}

TEST_F(RegistryTest, TheShellsFoldersAreSeenButNotStored) {
  TRegistry r(KEY_READ);
  r.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(r.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion\\", false));
  EXPECT_EQ(r.ReadString("ProgramFilesDir"), Home.Home() + "/.local/opt");
  r.SetRootKey(HKEY_CURRENT_USER);
  ASSERT_TRUE(r.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", false));
  EXPECT_FALSE(r.ReadString("Desktop").empty());
  EXPECT_FALSE(r.ValueExists("Favorites"));

  // A program's own entry next to them stores only that entry; a program
  // that overwrites a system value keeps its own.
  TRegistry w;
  w.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(w.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion\\Uninstall\\Prog", true));
  w.WriteString("DisplayName", "Prog");
  std::string text = ReadFile(RegistryFile(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(text.find("ProgramFilesDir"), std::string::npos) << text;
  ASSERT_TRUE(w.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion", false));
  w.WriteString("ProgramFilesDir", "/opt");
  TRegistry again;
  again.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(again.OpenKey("\\Software\\MicroSoft\\Windows\\CurrentVersion", false));
  EXPECT_EQ(again.ReadString("ProgramFilesDir"), "/opt");
}

TEST(RegistryFolder, FollowsTheEnvironment) {
  testsupport::PrivateHome home;
  {
    testsupport::ScopedEnv dir("SITETOOLS_REGISTRY_DIR", "/somewhere/else");
    EXPECT_EQ(RegistryFile(HKEY_CLASSES_ROOT), "/somewhere/else/classes-root.reg");
  }
  testsupport::ScopedEnv unset("SITETOOLS_REGISTRY_DIR", std::nullopt);
  EXPECT_EQ(RegistryFolder(), home.ConfigDir() + "/sitetools/registry");
  EXPECT_THROW(RegistryFile(0), ERegistryException);
}

}  // namespace

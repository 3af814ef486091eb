#include "platform/classes/classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace plat;

namespace {
struct Probe : TComponent {
  Probe(TComponent* owner, std::vector<std::string>& log, std::string name)
      : TComponent(owner), Log(log) {
    Name = std::move(name);
  }
  ~Probe() override { Log.push_back(Name + (Destroying() ? " destroying" : " not marked")); }
  std::vector<std::string>& Log;
};
}  // namespace

TEST(TComponent, OwnerFreesWhatItOwnsAndForgetsWhatWasFreedFirst) {
  std::vector<std::string> log;
  auto* owner = new Probe(nullptr, log, "owner");
  auto* a = new Probe(owner, log, "a");
  new Probe(owner, log, "b");
  EXPECT_EQ(owner->ComponentCount(), 2);
  Free(a);  // removed from the owner, not freed twice
  EXPECT_EQ(owner->ComponentCount(), 1);
  Free(owner);
  EXPECT_EQ(log, (std::vector<std::string>{"a destroying", "owner destroying", "b destroying"}));
}

TEST(TStringList, TextNamesValuesAndCase) {
  TStringList l;
  l.SetText("one=1\r\nTwo=2\nthree\rlast");
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l.Text(), "one=1\r\nTwo=2\r\nthree\r\nlast\r\n");
  EXPECT_EQ(l.Values("two"), "2");
  EXPECT_EQ(l.Names(0), "one");
  EXPECT_EQ(l.IndexOf("THREE"), 2);
  l.CaseSensitive = true;
  EXPECT_EQ(l.IndexOf("THREE"), -1);
  EXPECT_THROW(l.Strings(4), EListError);
}

TEST(Streams, MemoryAndFileStreamsRoundTripBytes) {
  std::string bytes("a\r\nb\0\xff", 6);
  TMemoryStream m;
  m.WriteBuffer(bytes.data(), 6);
  EXPECT_EQ(m.Size(), 6);
  std::string path = std::string(getenv("HOME") ? getenv("HOME") : "/tmp") + "/stream-test.bin";
  m.SaveToFile(path);
  TMemoryStream back;
  back.LoadFromFile(path);
  EXPECT_EQ(back.Data(), bytes);
  EXPECT_THROW(TFileStream("/nonexistent/dir/x", fmCreate), EFCreateError);
  try {
    TFileStream f("/nonexistent/file", fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_STREQ(e.what(), "Cannot open file /nonexistent/file");
  }
}

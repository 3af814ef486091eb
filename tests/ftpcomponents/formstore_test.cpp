#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ftpcomponents/korvlib.h"
#include "platform/registry/registry.h"
#include "tests/support/private_home.h"

namespace {

const char kKey[] = "\\Software\\Korvane\\Zentavox\\frmTest";

struct FakeForm : TStoredForm {
  std::string Name = "frmTest";
  int T = 10, L = 20, W = 300, H = 200;
  TWindowState State = wsNormal;
  std::vector<std::pair<std::string, std::string>> Edits;
  int Placed = 0;

  std::string FormName() const override { return Name; }
  int Top() const override { return T; }
  int Left() const override { return L; }
  int Width() const override { return W; }
  int Height() const override { return H; }
  void SetTop(int v) override { T = v; }
  void SetLeft(int v) override { L = v; }
  void SetWidth(int v) override { W = v; }
  void SetHeight(int v) override { H = v; }
  TWindowState WindowState() const override { return State; }
  void SetWindowState(TWindowState v) override { State = v; }
  void PlacementLoaded() override { ++Placed; }
  std::vector<std::string> EditNames() const override {
    std::vector<std::string> names;
    for (const auto& e : Edits) names.push_back(e.first);
    return names;
  }
  std::string EditText(const std::string& name) const override {
    for (const auto& e : Edits) {
      if (e.first == name) return e.second;
    }
    return "?";
  }
  void SetEditText(const std::string& name, const std::string& text) override {
    for (auto& e : Edits) {
      if (e.first == name) e.second = text;
    }
  }
};

std::unique_ptr<TFormStore> StoreFor(FakeForm& form) {
  auto s = std::make_unique<TFormStore>(&form);
  s->CompanyName = "Korvane";
  s->ProjectName = "Zentavox";
  return s;
}

// The values of a key as "name=value" (strings quoted), in the order made.
std::vector<std::string> Values(const std::string& key = kKey) {
  plat::TRegistry reg;
  std::vector<std::string> out;
  if (!reg.OpenKeyReadOnly(key)) return {"<no key>"};
  plat::TStringList names;
  reg.GetValueNames(names);
  for (int i = 0; i < names.Count(); ++i) {
    std::string n = names[i];
    try {
      out.push_back(n + "=" + std::to_string(reg.ReadInteger(n)));
    } catch (const plat::ERegistryException&) {
      out.push_back(n + "=\"" + reg.ReadString(n) + "\"");
    }
  }
  return out;
}

void Put(const std::map<std::string, std::int32_t>& ints, const std::map<std::string, std::string>& strings = {}) {
  plat::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  for (const auto& [n, v] : ints) reg.WriteInteger(n, v);
  for (const auto& [n, v] : strings) reg.WriteString(n, v);
}

class FormStoreTest : public ::testing::Test {
 protected:
  testsupport::PrivateHome home;
};

TEST_F(FormStoreTest, NormalCloseWritesBoundsAndReopensThere) {
  {
    FakeForm form;
    auto store = StoreFor(form);
    store->Load();  // the first start: an empty key, nothing changes
    EXPECT_EQ(Values(), std::vector<std::string>{});
    EXPECT_EQ(form.T, 10);
  }  // destroyed: saves
  EXPECT_EQ(Values(), (std::vector<std::string>{"Top=10", "Left=20", "Width=300", "Height=200", "WindowState=0"}));

  FakeForm again;
  again.T = again.L = again.W = again.H = 1;
  again.State = wsMaximized;
  StoreFor(again)->Load();
  EXPECT_EQ(again.T, 10);
  EXPECT_EQ(again.L, 20);
  EXPECT_EQ(again.W, 300);
  EXPECT_EQ(again.H, 200);
  EXPECT_EQ(again.State, wsNormal);
  EXPECT_GE(again.Placed, 1);
}

// Maximised and minimised are stored as 1 and 2 (the window's own order has
// them the other way round); the bounds stay those of the last normal close.
TEST_F(FormStoreTest, MaximisedOrMinimisedCloseKeepsTheLastNormalBounds) {
  struct Case {
    TWindowState state;
    std::int32_t code;
  };
  for (Case c : {Case{wsMaximized, 1}, Case{wsMinimized, 2}}) {
    SCOPED_TRACE(c.code);
    plat::TRegistry().DeleteKey(kKey);
    {
      FakeForm form;
      StoreFor(form)->Save();
      form.T = 500;  // moved, then maximised / minimised and closed
      form.State = c.state;
      StoreFor(form)->Save();
    }
    EXPECT_EQ(Values(), (std::vector<std::string>{"Top=10", "Left=20", "Width=300", "Height=200",
                                                  "WindowState=" + std::to_string(c.code)}));
    FakeForm reopened;
    reopened.T = 0;
    auto store = StoreFor(reopened);
    store->Load();
    EXPECT_EQ(reopened.State, c.state);
    EXPECT_EQ(reopened.T, 10);
    store->FormStore = false;  // keep this store's own save out of the next round
  }
}

TEST_F(FormStoreTest, StoredStateCodes) {
  struct Case {
    std::int32_t code;
    TWindowState designed, expected;
  };
  const Case cases[] = {
      {0, wsMaximized, wsNormal},    {1, wsNormal, wsMaximized},    {2, wsNormal, wsMinimized},
      {3, wsMaximized, wsMaximized}, {-1, wsMinimized, wsMinimized}, {3, wsNormal, wsNormal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Put({{"WindowState", c.code}});
    FakeForm form;
    form.State = c.designed;
    auto store = StoreFor(form);
    store->Load();
    EXPECT_EQ(form.State, c.expected);
    EXPECT_EQ(form.T, 10);  // no bounds stored: the designed ones stay
    store->FormStore = false;
  }
}

TEST_F(FormStoreTest, TwoFormsOfOneNameShareAKey) {
  FakeForm a, b;
  b.T = 77;
  StoreFor(a)->Save();
  StoreFor(b)->Save();
  EXPECT_EQ(Values()[0], "Top=77");
  FakeForm c;
  StoreFor(c)->Load();
  EXPECT_EQ(c.T, 77);
}

TEST_F(FormStoreTest, EventsGetTheAccessorOpenAtTheKey) {
  FakeForm form;
  form.T = 42;
  auto store = StoreFor(form);
  std::vector<std::string> seen;
  store->OnSave = [&](plat::TObject* sender, plat::TRegistry& reg) {
    EXPECT_EQ(sender, store.get());
    seen.push_back("save " + reg.CurrentPath() + " Top=" + std::to_string(reg.ReadInteger("Top")) +
                   " WindowState=" + std::to_string(reg.ReadInteger("WindowState")));
    reg.WriteString("Extra", "kept");
  };
  store->OnLoad = [&](plat::TObject*, plat::TRegistry& reg) {
    seen.push_back("load " + reg.CurrentPath() + " " + reg.ReadString("Extra"));
  };
  store->Save();
  store->Load();
  EXPECT_EQ(seen, (std::vector<std::string>{"save Software\\Korvane\\Zentavox\\frmTest Top=42 WindowState=0",
                                            "load Software\\Korvane\\Zentavox\\frmTest kept"}));

  // Neither placement nor texts: the key is made and the events still fire.
  FakeForm other;
  other.Name = "frmOther";
  other.Edits = {{"edtA", "a"}};
  auto bare = StoreFor(other);
  bare->FormStore = false;
  int events = 0;
  bare->OnLoad = bare->OnSave = [&](plat::TObject*, plat::TRegistry&) { ++events; };
  bare->Load();
  bare->Save();
  EXPECT_EQ(events, 2);
  EXPECT_EQ(Values("\\Software\\Korvane\\Zentavox\\frmOther"), std::vector<std::string>{});
  EXPECT_EQ(other.Edits[0].second, "a");
  EXPECT_EQ(other.Placed, 0);
  store->FormStore = bare->FormStore = false;
  store->OnSave = bare->OnSave = nullptr;
}

TEST_F(FormStoreTest, EditTextsByNameInComponentOrder) {
  FakeForm form;
  form.Edits = {{"edtPath", "/site"}, {"edtHost", "ftp.example"}, {"edtEmpty", ""}};
  auto store = StoreFor(form);
  store->FormStore = false;
  store->ComponentsStore = true;
  store->Save();
  EXPECT_EQ(Values(),
            (std::vector<std::string>{"edtPath.Text=\"/site\"", "edtHost.Text=\"ftp.example\"", "edtEmpty.Text=\"\""}));

  FakeForm later;
  later.Edits = {{"edtHost", "x"}, {"edtNew", "designed"}};
  auto loader = StoreFor(later);
  loader->FormStore = false;
  loader->ComponentsStore = true;
  loader->Load();
  // A value that is missing reads as empty.
  EXPECT_EQ(later.Edits, (std::vector<std::pair<std::string, std::string>>{{"edtHost", "ftp.example"}, {"edtNew", ""}}));
  store->ComponentsStore = loader->ComponentsStore = false;
}

TEST_F(FormStoreTest, ValuesOfTheWrongTypeAreSkipped) {
  Put({{"Left", 5}, {"edtA.Text", 12}}, {{"Top", "abc"}, {"Height", "1"}, {"WindowState", "1"}});
  FakeForm form;
  form.Edits = {{"edtA", "typed"}, {"edtB", "typed"}};
  auto store = StoreFor(form);
  store->ComponentsStore = true;
  EXPECT_NO_THROW(store->Load());
  EXPECT_EQ(form.T, 10);
  EXPECT_EQ(form.L, 5);
  EXPECT_EQ(form.H, 200);
  EXPECT_EQ(form.State, wsNormal);
  EXPECT_EQ(form.Edits[0].second, "typed");
  EXPECT_EQ(form.Edits[1].second, "");
  // Saving writes over them with the right types.
  EXPECT_NO_THROW(store->Save());
  EXPECT_EQ(Values(), (std::vector<std::string>{"Left=5", "edtA.Text=\"typed\"", "Height=200", "Top=10",
                                                "WindowState=0", "Width=300", "edtB.Text=\"\""}));
  store->FormStore = store->ComponentsStore = false;
}

// A registry that cannot be opened (its folder cannot be made, or its file
// is damaged): nothing is applied but the edit boxes are emptied, nothing
// is written, the events still fire, and nothing is thrown.
TEST_F(FormStoreTest, ARegistryThatCannotBeOpenedNeverStopsTheWindow) {
  std::ofstream(home.Top() + "/blocker") << "a file where a folder should be";
  struct Case {
    const char* what;
    std::string folder;
    bool damaged;
  };
  const Case cases[] = {{"no folder", home.Top() + "/blocker/registry", false},
                        {"damaged file", home.RegistryDir(), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::setenv("SITETOOLS_REGISTRY_DIR", c.folder.c_str(), 1);
    if (c.damaged) {
      Put({{"Top", 99}});
      std::ofstream(plat::RegistryFile(plat::HKEY_CURRENT_USER), std::ios::app) << "]]] not a line of ours\n";
    }
    FakeForm form;
    form.Edits = {{"edtA", "typed"}};
    int events = 0;
    {
      auto store = StoreFor(form);
      store->ComponentsStore = true;
      store->OnLoad = store->OnSave = [&](plat::TObject*, plat::TRegistry&) { ++events; };
      EXPECT_NO_THROW(store->Load());
      EXPECT_EQ(form.T, 10);
      EXPECT_EQ(form.Edits[0].second, "");
      EXPECT_NO_THROW(store->Save());
    }  // and once more from the destructor
    EXPECT_EQ(events, 3);
  }
}

TEST_F(FormStoreTest, NeedsAWindowAndReportsAFailingHandlerOnDestruction) {
  try {
    TFormStore store(nullptr);
    FAIL() << "made without a window";
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.Message, "Invalid class typecast");
  }

  std::vector<std::string> reported;
  plat::SetApplicationErrorHook([&](const std::string& m) { reported.push_back(m); });
  {
    FakeForm form;
    auto store = StoreFor(form);
    store->OnSave = [](plat::TObject*, plat::TRegistry&) { throw plat::Exception("handler failed"); };
  }
  plat::SetApplicationErrorHook(nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
  EXPECT_EQ(Values()[0], "Top=10");  // written before the handler ran
}

}  // namespace

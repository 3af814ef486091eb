// The project model tests' fixture: a fresh folder per test, and the
// globals put back to a new project.
#pragma once

#include "sitepublishing/PrjCls.h"

#include "platform/registry/registry.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

// A fresh folder per test, and the globals put back to a new project.
class PrjTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Project->Form = nullptr;
    Project->Clear();
    for (int f = pfPath; f <= pfExclude; ++f) Project->Fields().SetFieldText(static_cast<TProjectField>(f), "");
    Project->Fields().SetRememberPassword(false);
  }
  void TearDown() override { Project->Clear(); }
  std::string Path(const std::string& name) const { return Dir + "/" + name; }
  // Every file of the test folder.
  std::vector<std::string> ZvpFiles() const { return testsupport::FolderEntries(Dir); }
  static std::vector<std::string> HistoryValues() {
    plat::TRegistry reg;
    plat::TStringList names;
    if (reg.OpenKey("\\Software\\Korvane\\Zentavox\\Projects", false)) reg.GetValueNames(names);
    std::vector<std::string> v;
    for (int i = 0; i < names.Count(); ++i) v.push_back(names[i]);
    std::sort(v.begin(), v.end());
    return v;
  }
  static bool DefaultProjectStored() {
    plat::TRegistry reg;
    return reg.OpenKey("\\Software\\Korvane\\Zentavox", false) && reg.ValueExists("DefaultProject");
  }

  // Each case keeps its own home and registry: cases of this program run at once.
  testsupport::PrivateHome Home;
  const std::string Dir = Home.MakeFolder("work");
};

}  // namespace

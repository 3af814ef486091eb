// What the publishing windows' tests share: the application object, a
// private folder and registry per test, the user's answers at the dialogs,
// and the program's windows made in their order.
#pragma once

#include <gtest/gtest.h>
#include <QApplication>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/qt/qtdialogs.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/gui/Vars.h"
#include "sitepublishing/gui/main.h"
#include "tests/support/dialog_recorder.h"
#include "tests/support/private_home.h"

namespace pubtest {

inline QApplication& App() {
  static int argc = 1;
  static char arg0[] = "publishing_test";
  static char* argv[] = {arg0, nullptr};
  static plat::TApplication* app = new plat::TApplication(argc, argv);
  return *app;
}

inline void Settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A project file as the program writes it; no password line when `password`
// is empty.
struct ProjectSpec {
  std::string Path, Host, Login, Password, FTPPath, Exclude = "zvp:inc:";
  std::vector<std::string> Variables;  // "name=id=value" lines
};

inline std::string ProjectText(const ProjectSpec& p) {
  std::string t = "[GENERAL]\r\nPath=" + p.Path + "\r\nFTPHost=" + p.Host + "\r\nFTPLogin=" + p.Login + "\r\n";
  if (!p.Password.empty()) t += "FTPPassword=" + p.Password + "\r\n";
  t += "FTPPath=" + p.FTPPath + "\r\nExcludeFile=" + p.Exclude + "\r\n[Variables]\r\n";
  for (const std::string& v : p.Variables) t += v + "\r\n";
  return t + "[Versions]\r\n";
}

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    Dir = Home.Top() + "/files";
    std::filesystem::create_directories(Dir);
    Project->Form = nullptr;
    Project->Clear();
  }
  void TearDown() override {
    Vars.reset();
    Main.reset();
    Settle();
    Project->UploadLog = nullptr;
    Project->DeleteLog = nullptr;
    Project->Clear();
  }

  // The windows in the program's order; the main window shown.
  void Start() {
    Main = std::make_unique<TfrmMain>();
    Vars = std::make_unique<TfrmVars>();
    Main->show();
    Settle();
  }

  std::string Path(const std::string& name) const { return Dir + "/" + name; }
  std::string Folder(const std::string& name) const {
    std::filesystem::create_directories(Path(name));
    return Path(name);
  }
  std::string WriteProject(const std::string& name, const ProjectSpec& spec) const {
    WriteBytes(Path(name), ProjectText(spec));
    return Path(name);
  }
  static void SetDefaultProject(const std::string& path) { TProject().WriteDefaultProject(path); }

  testsupport::PrivateHome Home{"pubwin"};
  std::string Dir;
  testsupport::DialogRecorder Rec;
  std::unique_ptr<TfrmMain> Main;
  std::unique_ptr<TfrmVars> Vars;
};

}  // namespace pubtest

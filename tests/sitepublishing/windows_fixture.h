// What the publishing windows' tests share: the application object, a
// private folder and registry per test, the user's answers at the dialogs,
// and the program's windows made in their order.
#pragma once

#include <gtest/gtest.h>
#include <QApplication>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/qtdialogs.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/gui/DeleteLog.h"
#include "sitepublishing/gui/UploadLog.h"
#include "sitepublishing/gui/Vars.h"
#include "sitepublishing/gui/main.h"
#include "sitepublishing/websrv.h"
#include "tests/sitepublishing/project_files.h"
#include "tests/support/files.h"
#include "tests/support/loopback.h"
#include "tests/support/dialog_recorder.h"
#include "tests/support/private_home.h"
#include "tests/support/qt_app.h"

namespace pubtest {

inline void Settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::QtApp();
    Dir = Home.MakeFolder("files");
    Project->Form = nullptr;
    Project->Clear();
  }
  void TearDown() override {
    frmUploadLog = nullptr;
    frmDeleteLog = nullptr;
    DeleteLog.reset();
    UploadLog.reset();
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
    // Tests run side by side: the preview server of each starts on a port
    // of its own, not on 80 and 8000 ... where the program looks first.
    WebServer->SetPort(testsupport::FreeLoopbackPort());
    Vars = std::make_unique<TfrmVars>();
    UploadLog = std::make_unique<TfrmUploadLog>();
    DeleteLog = std::make_unique<TfrmDeleteLog>();
    frmUploadLog = UploadLog.get();
    frmDeleteLog = DeleteLog.get();
    Main->show();
    Settle();
  }

  std::string Path(const std::string& name) const { return Dir + "/" + name; }
  // Made with its parents.
  std::string Folder(const std::string& name) const { return Home.MakeFolder("files/" + name); }
  std::string WriteProject(const std::string& name, const ProjectContent& content) const {
    testsupport::WriteFile(Path(name), ProjectText(content));
    return Path(name);
  }
  static void SetDefaultProject(const std::string& path) { TProject().WriteDefaultProject(path); }

  testsupport::PrivateHome Home{"pubwin"};
  std::string Dir;
  testsupport::DialogRecorder Rec;
  std::unique_ptr<TfrmMain> Main;
  std::unique_ptr<TfrmVars> Vars;
  std::unique_ptr<TfrmUploadLog> UploadLog;
  std::unique_ptr<TfrmDeleteLog> DeleteLog;
};

}  // namespace pubtest

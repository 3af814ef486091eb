// One publishing session from the window against pyftpdlib: a project with
// a variable and an include is saved, "Upload Changed" sends the site with
// the tags filled in and logs every step, the recorded stamps make the
// project modified, and after saving and reopening nothing is sent again.
#include <QAbstractItemModel>
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include "ftpcomponents/SimpFTP.h"
#include "platform/qt/qtext.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/sitepublishing/windows_fixture.h"

using plat::FromQ;
using plat::ToQ;

namespace {

class Publish : public pubtest::WindowsTest {
 protected:
  void SetUp() override {
    pubtest::WindowsTest::SetUp();
    Server = ftptest::MakeServer("pyftpdlib");
    std::string why;
    ASSERT_TRUE(Server->Start(why)) << why;
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> t;
    for (const TLogString& l : UploadLog->Lines.Items) t.push_back(l.Text);
    return t;
  }
  std::unique_ptr<ftptest::FtpServer> Server;
};

TEST_F(Publish, UploadChangedFromTheWindowThenSaveAndReopen) {
  const std::string site = Folder("site");
  testsupport::WriteFile(site + "/index.html", "<html><iVar title><IFILE parts/head.inc></html>");
  Folder("site/parts");
  testsupport::WriteFile(site + "/parts/head.inc", "<h1><ivar title></h1>");
  // Written a while ago: a page whose stamp slot is not over gets no stamp.
  testsupport::ShiftMtime(site + "/index.html", -60);
  Start();
  TfrmMain& w = *Main;
  // The program's server answers on 21; this one where the test put it.
  w.ftpServer->Port = Server->Port();
  w.edtPath->setText(ToQ(site));
  w.edtFTPHost->setText(QStringLiteral("127.0.0.1"));
  w.edtFTPLogin->setText(ToQ(Server->User()));
  w.edtFTPPassword->setText(ToQ(Server->Password()));
  w.edtFTPPath->setText(ToQ(Server->RemoteDir()));
  // The variable, typed into the variables window.
  Vars->sbAddRow->click();
  QAbstractItemModel* vars = Vars->dgVars->model();
  vars->setData(vars->index(1, 0), QStringLiteral("title"));
  vars->setData(vars->index(1, 1), QStringLiteral("Home"));
  const std::string project = Path("site.zvp");
  Rec.SaveAnswers = {project};
  w.miSave->trigger();
  ASSERT_FALSE(Project->Modified);
  ASSERT_TRUE(w.miUploadChangeFiles->isEnabled());

  w.miUploadChangeFiles->trigger();

  const std::string remote = Server->RemoteDir();
  std::vector<std::string> want = {"Connect to 127.0.0.1...", "uploading dir " + site + " to " + remote};
  for (const std::string& name : testsupport::FolderEntriesInListingOrder(site))
    want.push_back(name == "parts" ? "make dir parts" : "uploading file " + name);
  want.push_back("uploading dir " + site + "/parts to " + remote + "/parts");
  want.push_back("Disconnect");
  want.push_back("Upload completed successfully.");
  EXPECT_EQ(LogLines(), want);
  EXPECT_EQ(UploadLog->Lines.Items.back().FontColor, clBlue);
  EXPECT_EQ(UploadLog->ErrorCount(), 0);
  EXPECT_TRUE(UploadLog->isVisible());
  EXPECT_EQ(testsupport::ReadFile(Server->DiskDir() + "/index.html"), "<html>Home<h1>Home</h1></html>");
  EXPECT_FALSE(std::filesystem::exists(Server->DiskDir() + "/parts/head.inc"));
  // The stamp recorded for the page is an unsaved change.
  EXPECT_TRUE(Project->Modified);
  EXPECT_TRUE(w.sbSave->isEnabledTo(&w));
  // While the log shows, the main window waits behind it.
  EXPECT_FALSE(w.isEnabled());

  // The log is closed as the user closes it, which frees the main window.
  UploadLog->btnControl->click();
  EXPECT_FALSE(UploadLog->isVisible());
  ASSERT_TRUE(w.sbSave->isEnabled());
  w.sbSave->click();
  EXPECT_FALSE(Project->Modified);
  const std::string saved = testsupport::ReadFile(project);
  EXPECT_NE(saved.find("\r\ntitle="), std::string::npos) << saved;
  EXPECT_NE(saved.find("\r\n[Versions]\r\n127.0.0.1:" + remote + ":" + site + "/index.html="),
            std::string::npos)
      << saved;

  // Reopened from the History: the same project, and nothing left to send.
  w.miNew->trigger();
  ASSERT_TRUE(w.edtPath->text().isEmpty());
  ASSERT_EQ(w.miProjectList->actions().size(), 1);
  w.miProjectList->actions()[0]->trigger();
  pubtest::Settle();
  EXPECT_EQ(FromQ(w.edtPath->text()), site);
  EXPECT_EQ(FromQ(w.edtFTPPassword->text()), Server->Password());
  ASSERT_EQ(VarList->Count(), 3);
  EXPECT_EQ(VarList->Items(2)->Value, "Home");
  EXPECT_EQ(VersionList->Count(), 1);
  EXPECT_FALSE(Project->Modified);

  w.sbUpload->click();
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connect to 127.0.0.1...", "uploading dir " + site + " to " + remote,
                                                  "uploading dir " + site + "/parts to " + remote + "/parts",
                                                  "Disconnect", "Upload completed successfully."}));
  EXPECT_FALSE(Project->Modified);
  UploadLog->btnControl->click();
}

}  // namespace

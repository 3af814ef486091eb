// The set-up the walk tests share: a real FTP server (one of
// ftptest::kRealServers, passive as the component sets it), the component,
// the window stand-ins bound to the project, a local site folder, and
// helpers for both trees.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ftpcomponents/SimpFTP.h"
#include "sitepublishing/PrjCls.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/support/files.h"
#include "tests/support/private_home.h"
#include "tests/support/walk_fakes.h"

namespace walktest {

namespace fs = std::filesystem;

// Runs f as a user who cannot read every folder (root ignores the bits).
template <class F>
void AsUnprivileged(F f) {
  if (::geteuid() != 0) {
    f();
    return;
  }
  ASSERT_EQ(::setegid(65534), 0);
  ASSERT_EQ(::seteuid(65534), 0);
  f();
  EXPECT_EQ(::seteuid(0), 0);
  EXPECT_EQ(::setegid(0), 0);
}

using testsupport::ShiftMtime;

// Writes a file, making its folders, dated a minute back: a file whose
// 2-second stamp slot is not over when it is sent gets no stamp, and most
// tests want the stamps of files written just before.
inline void Write(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  testsupport::WriteFile(path, data);
  ShiftMtime(path, -60);
}

// The names of a folder in the order the file system lists them: the walks
// take entries in that order, so the expected lines follow it too.
inline std::vector<std::string> ListingOrder(const std::string& dir) { return testsupport::FolderEntriesInListingOrder(dir); }

using LinesOf = std::map<std::string, std::vector<std::string>>;

// The lines of each named entry, in the order of `names`; entries without
// lines are left out.
inline std::vector<std::string> InOrder(const std::vector<std::string>& names, const LinesOf& linesOf) {
  std::vector<std::string> out;
  for (const std::string& n : names) {
    auto it = linesOf.find(n);
    if (it != linesOf.end()) out.insert(out.end(), it->second.begin(), it->second.end());
  }
  return out;
}

// The same in the local folder's listing order.
inline std::vector<std::string> InListingOrder(const std::string& dir, const LinesOf& linesOf) {
  return InOrder(ListingOrder(dir), linesOf);
}

inline void Append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
  to.insert(to.end(), lines.begin(), lines.end());
}

// Every file below a folder, as paths relative to it (folders end in "/",
// links show their target and are not followed).
inline std::vector<std::string> TreeOf(const std::string& root) {
  std::vector<std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = e.path().lexically_relative(root).string();
    if (e.is_symlink())
      out.push_back(rel + " -> " + fs::read_symlink(e.path()).string());
    else
      out.push_back(e.is_directory() ? rel + "/" : rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class WalkServerTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    server_ = ftptest::MakeServer(GetParam());
    if (!ftptest::StartOrSkip(*server_)) return;
    ftp_ = std::make_unique<TSimpleFTP>(nullptr);
    ftp_->Port = server_->Port();
    ftp_->SilentExceptions = false;
    ftp_->SetPassive(true);
    ftp_->SetConnectTimeout(5000);
    ftp_->OnTransferProgress = [this](plat::TObject*, TFTPProgressInfo p) {
      uploadLog_.ShowProgress(p.BytesDone, p.FileSize);
    };
    form_ = std::make_unique<walkfakes::Form>(ftp_.get());
    deleteLog_ = std::make_unique<walkfakes::DeleteLog>(ftp_.get());
    site_ = siteDir_.Top() + "/site";
    fs::create_directory(site_);
    // Readable by anyone, for the test that walks as another user.
    ::chmod(siteDir_.Top().c_str(), 0755);
    form_->Texts[pfPath] = site_;
    form_->Texts[pfFTPHost] = "127.0.0.1";
    form_->Texts[pfFTPLogin] = server_->User();
    form_->Texts[pfFTPPassword] = server_->Password();
    form_->Texts[pfFTPPath] = server_->RemoteDir();
    form_->Texts[pfExclude] = "zvp:inc:";
    Project->Form = form_.get();
    Project->UploadLog = &uploadLog_;
    Project->DeleteLog = deleteLog_.get();
    VersionList->Clear();
    VarList->Clear();
    VarList->AddFixedRows();
  }
  void TearDown() override {
    Project->FolderClock = plat::FileSystemNow;
    Project->Form = nullptr;
    Project->UploadLog = nullptr;
    Project->DeleteLog = nullptr;
    Project->Modified = false;
    VersionList->Clear();
    VarList->Clear();
    VarList->AddFixedRows();
  }

  // A path in the local site folder, and the same path on the server's disk.
  std::string Local(const std::string& rel = "") const { return rel.empty() ? site_ : site_ + "/" + rel; }
  std::string Disk(const std::string& rel = "") const {
    return rel.empty() ? server_->DiskDir() : server_->DiskDir() + "/" + rel;
  }
  std::string Remote() const { return server_->RemoteDir(); }
  // Writes files (and folders, ending in "/") on the server's disk, owned
  // by the user the server writes as.
  void RemoteTree(const std::vector<std::string>& entries) const {
    for (const std::string& e : entries) {
      if (e.back() == '/')
        fs::create_directories(Disk(e));
      else
        Write(Disk(e), "remote " + e);
    }
    for (const auto& e : fs::recursive_directory_iterator(Disk()))
      if (!server_->GiveToServer(e.path().string())) ADD_FAILURE() << e.path();
  }
  // A link on the server's disk (its folders made), owned by the user the
  // server writes as.
  void RemoteLink(const std::string& rel, const std::string& target) const {
    fs::create_directories(fs::path(Disk(rel)).parent_path());
    fs::create_symlink(target, Disk(rel));
    if (!server_->GiveToServer(Disk(rel))) ADD_FAILURE() << rel;
  }
  // Empties the server's folder (the folder itself keeps its owner).
  void ClearRemote() const {
    for (const auto& e : fs::directory_iterator(Disk())) fs::remove_all(e.path());
  }
  // The names of a remote folder in the order the server lists them, asked
  // on a connection of its own.
  std::vector<std::string> RemoteOrder(const std::string& remoteDir) const {
    TSimpleFTP ftp(nullptr);
    ftp.Port = server_->Port();
    ftp.SilentExceptions = false;
    ftp.SetPassive(true);
    ftp.HostName = "127.0.0.1";
    ftp.UserName = server_->User();
    ftp.Password = server_->Password();
    std::vector<std::string> names;
    if (!ftp.Connect()) return names;
    ftp.FindFiles(remoteDir + "/*.*", false);
    for (int i = 0; i < ftp.Files().Count(); ++i)
      if (ftp.Files()[i] != "." && ftp.Files()[i] != "..") names.push_back(ftp.Files()[i]);
    ftp.Disconnect();
    return names;
  }
  // The lines of each named entry of a remote folder, in the server's order.
  std::vector<std::string> InRemoteOrder(const std::string& remoteDir, const LinesOf& linesOf) const {
    return InOrder(RemoteOrder(remoteDir), linesOf);
  }
  // Expected lines written with "~" for a local folder (the site's unless
  // given) and "@" for the remote folder.
  std::vector<std::string> Filled(std::vector<std::string> lines, const std::string& local = "") const {
    for (std::string& l : lines) {
      for (std::size_t at; (at = l.find('~')) != std::string::npos;) l.replace(at, 1, local.empty() ? site_ : local);
      for (std::size_t at; (at = l.find('@')) != std::string::npos;) l.replace(at, 1, Remote());
    }
    return lines;
  }
  std::string Stamp(const std::string& rel) const { return plat::IntToStr(FileStamp(Local(rel))); }
  std::string Recorded(const std::string& rel) const { return VersionList->GetStamp(Project->VersionKey(Local(rel))); }

  std::unique_ptr<ftptest::FtpServer> server_;
  std::unique_ptr<TSimpleFTP> ftp_;
  std::unique_ptr<walkfakes::Form> form_;
  walkfakes::UploadLog uploadLog_;
  std::unique_ptr<walkfakes::DeleteLog> deleteLog_;
  testsupport::TempFolder siteDir_{"sitetools-walk"};
  std::string site_;
};

}  // namespace walktest

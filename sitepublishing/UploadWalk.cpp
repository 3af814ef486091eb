// The upload walk: the local site folder, with its subfolders, into the
// remote folder, each file through the page parser, stamps recorded.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "ftpcomponents/SimpFTP.h"
#include "sitepublishing/LocalFolder.h"
#include "sitepublishing/LogView.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/ProjectText.h"

namespace {

// Runs its action when the scope ends, however it ends.
template <class F>
class Finally {
 public:
  explicit Finally(F f) : F_(std::move(f)) {}
  ~Finally() { F_(); }
  Finally(const Finally&) = delete;
  Finally& operator=(const Finally&) = delete;

 private:
  F F_;
};

// Some servers turn a control byte of a name into another character (and
// answer every later command as if the name were theirs), and listings
// show no such name: the walks could neither keep nor find it.
bool HoldsControlByte(const std::string& name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

// Whether the server holds a file of exactly that remote path with the
// bytes sent (their number, when they went unchanged): 1 it does, 0 it
// answered that it does not, -1 no answer came (an abort, a lost
// connection). Asked by SIZE; a server without it is asked by a listing.
int HeldUnderName(TSimpleFTP& ftp, const std::string& remote, std::int64_t sent) {
  const bool exactBytes = ftp.TransferType() != ttAscii;
  std::int64_t size = -1;
  const int code = ftp.RemoteFileSize(remote, size);
  if (code == 213) return !exactBytes || size == sent ? 1 : 0;
  if (code == 0) return -1;
  if (code != 500 && code != 502 && code != 504) return 0;
  const std::size_t slash = remote.rfind('/');
  const std::string name = remote.substr(slash + 1);
  plat::TStringList list;
  ftp.FindFilesToList(remote.substr(0, slash + 1) + "*.*", &list, false);
  int held = ftp.State() == isConnected ? 0 : -1;
  for (int i = 0; i < list.Count() && held == 0; ++i) {
    const auto* item = dynamic_cast<TFindDataObject*>(list.Objects(i));
    if (list[i] != name || !item || (item->Data.dwFileAttributes & plat::inet::FILE_ATTRIBUTE_DIRECTORY)) continue;
    const std::int64_t listed = (static_cast<std::int64_t>(item->Data.nFileSizeHigh) << 32) | item->Data.nFileSizeLow;
    held = !exactBytes || listed == sent ? 1 : 0;
  }
  TSimpleFTP::ClearFileList(list);
  return held;
}

}  // namespace

TSimpleFTP& TProject::WalkFtp() {
  TSimpleFTP* ftp = Form ? Form->FtpServer() : nullptr;
  if (!ftp) throw plat::Exception("No FTP connection");
  return *ftp;
}

std::string TProject::VersionKey(const std::string& fullPath) {
  TProjectForm& f = Fields();
  return plat::UpperCase(f.FieldText(pfFTPHost)) + ":" + f.FieldText(pfFTPPath) + ":" + fullPath;
}

void TProject::Upload(bool onlyChanged) {
  if (!UploadLog) throw plat::Exception("No upload log");
  TSimpleFTP& ftp = WalkFtp();
  TUploadLogView& log = *UploadLog;
  OnlyChanged = onlyChanged;
  Form->SetFtpParams();
  log.BeginUpload();
  WalkPath_.clear();
  // Whatever escapes the walk, the connection is closed and the log leaves
  // its busy state, or the user could never close it again.
  Finally close([&] {
    ftp.Disconnect();
    if (log.ErrorCount() == 0) log.AddLog(lkPlain, "Disconnect");
    if (log.ErrorCount() == 0 && !log.Aborted()) log.AddLog(lkNotice, "Upload completed successfully.");
    if (log.Aborted())
      log.AddLog(lkError, "Upload aborted.");
    else if (log.ErrorCount() > 0)
      log.AddLog(lkError, "Upload completed with errors.");
    log.EndUpload();
  });
  try {
    log.AddLog(lkPlain, "Connect to " + ftp.HostName + "...");
    if (!ftp.Connect()) throw ESimpleFTPError("Not connected!");
    UploadDir(Fields().FieldText(pfPath), Fields().FieldText(pfFTPPath));
  } catch (const plat::Exception& e) {
    log.AddLog(lkError, e.Message);
  }
}

bool TProject::EnterDirs(const std::string& localFolder, const std::string& remoteFolder) {
  TSimpleFTP& ftp = WalkFtp();
  ftp.LocalDir = localFolder;
  if (remoteFolder.empty()) return true;
  // A component set to answer False instead of raising must not let the
  // walk send a folder's files into whatever folder it stood in before.
  try {
    if (ftp.ChangeDir(remoteFolder)) return true;
    UploadLog->AddLog(lkError, plat::Format("Couldn't change to directory %s", remoteFolder.c_str()));
  } catch (const plat::Exception& e) {
    UploadLog->AddLog(lkError, e.Message);
  }
  return false;
}

void TProject::UploadDir(const std::string& localFolder, std::string remoteFolder,
                         const std::vector<std::string>& caseTwins) {
  TSimpleFTP& ftp = WalkFtp();
  TUploadLogView& log = *UploadLog;
  if (!EnterDirs(localFolder, remoteFolder)) return;
  // Absolute remote paths in the log and for the subfolders.
  if (remoteFolder.empty() || remoteFolder[0] != '/') remoteFolder = ftp.RemoteDir();
  log.AddLog(lkPlain, "uploading dir " + localFolder + " to " + remoteFolder);
  UploadRemote_ = remoteFolder;
  Unheld_.clear();

  // The folder's own clock, read before any of its files: a network share
  // stamps files from its clock, which may lag this machine's, and only once
  // that clock has left a file's 2-second slot can no further edit fall
  // into it.
  FolderClockRead_ = FolderClock && FolderClock(localFolder, FolderNow_);
  // A folder that cannot be read would otherwise pass for an empty one, and
  // the run would end as a success with nothing sent.
  TLocalFolder folder;
  if (folder.Read(localFolder) != 0) {
    log.AddLog(lkError, "Cannot open folder " + localFolder);
    return;
  }
  WalkPath_.push_back(TWalkFolder{folder.Dev, folder.Ino, localFolder});
  Finally pop([this] { WalkPath_.pop_back(); });
  auto loopTarget = [this](const TLocalEntry& e) -> const TWalkFolder* {
    for (const TWalkFolder& w : WalkPath_)
      if (w.Dev == e.St.st_dev && w.Ino == e.St.st_ino) return &w;
    return nullptr;
  };
  const std::string exclude = Fields().FieldText(pfExclude);
  auto excluded = [&exclude](const std::string& name) {
    std::string ext = prjtext::ExtractExt(name);
    return !ext.empty() && exclude.find(ext) != std::string::npos;
  };
  auto sent = [&excluded](const TLocalEntry& e) { return e.IsFile() && !excluded(e.Name); };
  auto walked = [](const TLocalEntry& e) { return e.IsFolder() && !e.IsHidden(); };

  // Two files whose paths differ only in letter case are one file to a
  // server that takes names ignoring case, each sent over the other: no
  // stamp could say which one the server holds, so both are sent on every
  // run, without one.
  std::vector<TLocalFolder> twins(caseTwins.size());
  for (std::size_t i = 0; i < caseTwins.size(); ++i) twins[i].Read(caseTwins[i]);
  std::unordered_map<std::string, int> keyUsers;
  for (const TLocalEntry& e : folder.Entries)
    if (sent(e)) ++keyUsers[plat::UpperCase(e.Name)];
  for (const TLocalFolder& twin : twins)
    for (const TLocalEntry& e : twin.Entries)
      if (sent(e)) ++keyUsers[plat::UpperCase(e.Name)];

  // First pass: the files, and the remote subfolders that are missing.
  // Anything that is neither a regular file nor a folder stays local, and
  // unopened: a FIFO would block the walk.
  for (const TLocalEntry& e : folder.Entries) {
    if (log.Aborted()) return;
    const std::string path = localFolder + "/" + e.Name;
    if (HoldsControlByte(e.Name) && (e.IsFolder() || (e.IsFile() && !excluded(e.Name)))) {
      log.AddLog(lkError, "Skipped " + path + ": its name holds a control byte, which a server may store under "
                          "another name, over another file");
      continue;
    }
    if (e.IsFolder()) {
      if (const TWalkFolder* back = loopTarget(e)) {
        log.AddLog(lkError, "Skipped folder " + path + ": it links back to " + back->Path);
        continue;
      }
      MakeRemoteDir(e.Name);
    } else if (excluded(e.Name)) {
      continue;
    } else if (e.IsFile()) {
      UploadFile(e.Name, keyUsers[plat::UpperCase(e.Name)] > 1);
    } else if (!e.StatOk) {
      const bool nowhere = e.BrokenLink && (e.StatError == ENOENT || e.StatError == ENOTDIR);
      log.AddLog(lkError, "Skipped " + path + ": " + (nowhere ? "it links to nothing" : std::strerror(e.StatError)));
    } else {
      log.AddLog(lkPlain, "Skipped " + path + ": not a regular file");
    }
  }

  if (!Unheld_.empty() && !log.Aborted()) {
    std::vector<std::string> names;
    for (const TLocalEntry& e : folder.Entries)
      if (sent(e) && keyUsers[plat::UpperCase(e.Name)] <= 1) names.push_back(e.Name);
    ResendOverwritten(names);
  }

  // Second pass: each subfolder whole, depth first. Hidden ones were made
  // remotely above but are not entered; links back up were skipped there.
  // The subfolders here and in the twins, by name ignoring case: those
  // that share a name are each other's twins.
  std::unordered_map<std::string, std::vector<std::string>> subfolders;
  for (const TLocalEntry& o : folder.Entries)
    if (walked(o)) subfolders[plat::UpperCase(o.Name)].push_back(localFolder + "/" + o.Name);
  for (std::size_t i = 0; i < twins.size(); ++i)
    for (const TLocalEntry& o : twins[i].Entries)
      if (walked(o)) subfolders[plat::UpperCase(o.Name)].push_back(caseTwins[i] + "/" + o.Name);
  for (const TLocalEntry& e : folder.Entries) {
    if (log.Aborted()) return;
    if (!walked(e) || loopTarget(e) || HoldsControlByte(e.Name)) continue;
    const std::string sub = localFolder + "/" + e.Name;
    std::vector<std::string> subTwins;
    for (const std::string& other : subfolders[plat::UpperCase(e.Name)])
      if (other != sub) subTwins.push_back(other);
    UploadDir(sub, remoteFolder + "/" + e.Name, subTwins);
    EnterDirs(localFolder, remoteFolder);
  }
}

void TProject::MakeRemoteDir(const std::string& name) {
  TSimpleFTP& ftp = WalkFtp();
  // By its whole path, and back by the path the walk knows: the server's
  // word for where it stood may not be its name (some do not double a '"'
  // in it), and "~" or a leading "-" are not read specially there.
  const std::string path = ftp.AddSlash(UploadRemote_) + name;
  bool exists = false;
  try {
    exists = ftp.ChangeDir(path);
  } catch (...) {
    exists = false;  // a failed probe of any kind means "make it"
  }
  if (exists) {
    try {
      ftp.ChangeDir(UploadRemote_);
    } catch (...) {
      // Every later step names its whole path.
    }
    return;
  }
  UploadLog->AddLog(lkPlain, "make dir " + name);
  const std::string refused = plat::Format("Error creating directory %s", name.c_str());
  try {
    if (!ftp.MakeDir(path)) UploadLog->AddLog(lkError, refused);
  } catch (const plat::Exception& e) {
    // The refusal names the folder as the log does, not as it was sent.
    UploadLog->AddLog(lkError, e.Message == plat::Format("Error creating directory %s", path.c_str()) ? refused
                                                                                                     : e.Message);
  }
}

void TProject::UploadFile(const std::string& name, bool sharedKey) {
  TSimpleFTP& ftp = WalkFtp();
  TUploadLogView& log = *UploadLog;
  const std::string saved = ftp.LocalDir;
  const std::string full = saved + "/" + name;
  std::string stamp, unstamped;
  if (sharedKey) {
    log.AddLog(lkPlain, "Sending " + full + " every time: another file's path differs from it only in letter case");
  } else if (!IsChanged(full, stamp, unstamped)) {
    return;
  } else if (!unstamped.empty()) {
    log.AddLog(lkPlain, "Sending " + full + " every time: " + unstamped);
  }
  log.AddLog(lkPlain, "uploading file " + name);
  log.StartProgress();
  TFileParser parser;
  // A put that did not finish (refused, failed, aborted) may have left the
  // server's copy cut short or replaced: the file's stamp must not say it
  // holds this version, whatever the stamp said before.
  bool putStarted = false, putDone = false;
  Finally restore([&] {
    ftp.LocalDir = saved;
    log.StopProgress();
    if (putStarted && !putDone) ForgetVersion(full);
  });
  try {
    parser.Process(full);
    const std::string& out = parser.OutputFile;
    std::size_t slash = out.rfind('/');
    ftp.LocalDir = out.substr(0, slash + 1);
    const std::string file = out.substr(slash + 1);
    const std::string local = ftp.LocalDir + file;
    const std::string remote = ftp.AddSlash(UploadRemote_.empty() ? ftp.RemoteDir() : UploadRemote_) + file;
    putStarted = true;
    if (!ftp.PutFile(local, remote))
      throw ESimpleFTPError(plat::Format("Error putting %s to %s", local.c_str(), remote.c_str()));
    // The server's 226 is not enough: some store a name they cannot hold
    // (a blank at either end, a control byte) under another one and still
    // say so.
    const std::int64_t sentBytes = ftp.Progress().FileSize;
    const int held = HeldUnderName(ftp, remote, sentBytes);
    if (held != 1) {
      if (held == 0) Unheld_.emplace_back(name, sentBytes);
      throw ESimpleFTPError(plat::Format("Error putting %s to %s: the server holds no file of that name and size "
                                         "afterwards",
                                         local.c_str(), remote.c_str()));
    }
    putDone = true;
    // A shared key would hold the other file's stamp as well as this one's.
    RecordVersion(full, sharedKey ? std::string() : stamp);
  } catch (const plat::Exception& e) {
    log.AddLog(lkError, e.Message);
  }
}

void TProject::ResendOverwritten(const std::vector<std::string>& names) {
  TSimpleFTP& ftp = WalkFtp();
  TUploadLogView& log = *UploadLog;
  const std::vector<std::pair<std::string, std::int64_t>> unheld = std::move(Unheld_);
  Unheld_.clear();
  const bool exactBytes = ftp.TransferType() != ttAscii;
  // The server wrote those bytes somewhere under a name of its own choice:
  // a file of this folder that now holds as many (any, when their number
  // changes on the way) may be the one overwritten. It goes again; a name
  // the server could not hold does not, or it would overwrite once more.
  for (const std::string& name : names) {
    if (log.Aborted()) return;
    bool own = false, suspect = false;
    std::int64_t size = -1;
    for (const auto& [bad, bytes] : unheld) own = own || bad == name;
    if (own || ftp.RemoteFileSize(ftp.AddSlash(UploadRemote_) + name, size) != 213) continue;
    for (const auto& [bad, bytes] : unheld) suspect = suspect || !exactBytes || bytes == size;
    if (!suspect) continue;
    const std::string full = ftp.LocalDir + "/" + name;
    log.AddLog(lkPlain, "Sending " + full + " again: a file the server stored under another name may have "
                        "overwritten it");
    if (VersionList->Forget(VersionKey(full), false)) {
      Modified = true;
      if (Form) Form->SetModified();
    }
    UploadFile(name);
  }
  Unheld_.clear();
}

bool TProject::IsChanged(const std::string& fullPath, std::string& stamp, std::string& unstamped) {
  const TStampNow now = ReadStampNow(fullPath, FolderClockRead_ ? &FolderNow_ : nullptr);
  const std::string key = VersionKey(fullPath);
  // A stamp of -1 would match the -1 recorded for it, and the file would
  // never go again.
  unstamped.clear();
  if (now.Stamp == -1)
    unstamped = now.TimeRead ? "its last-write time is outside the years 1980 to 2107"
                             : "its last-write time cannot be read";
  const std::string read = plat::IntToStr(now.Stamp);
  // While the file's slot is not over, a further edit would keep this
  // stamp and never be sent: the file gets none and goes again next run.
  stamp = now.SlotOver ? read : std::string();
  // An entry of an older project file is no proof that the file went under
  // this name (it may have gone as Logo.png and been renamed logo.png since):
  // GetStamp never reads one, so the file is sent.
  return !OnlyChanged || now.Stamp == -1 || read != VersionList->GetStamp(key);
}

void TProject::RecordVersion(const std::string& fullPath, const std::string& stamp) {
  // The stamp read before the file was sent: an edit made during its upload
  // gives a newer stamp, so the next run sends the file again. A file sent
  // without one loses its earlier stamp, which stands for an older version
  // (restored with its own date, it would never go). A server that takes
  // names ignoring letter case wrote over what the keys in other cases
  // stand for: they go too.
  const std::string key = VersionKey(fullPath);
  bool changed = VersionList->Forget(key, false, !stamp.empty());
  if (!stamp.empty()) {
    VersionList->SetStamp(key, stamp);
    changed = true;
  }
  if (!changed) return;
  Modified = true;
  if (Form) Form->SetModified();
}

void TProject::ForgetVersion(const std::string& fullPath) {
  if (!VersionList->Forget(VersionKey(fullPath), false)) return;
  Modified = true;
  if (Form) Form->SetModified();
}

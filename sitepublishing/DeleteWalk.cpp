// The delete-old walk: every remote file and folder below the remote
// folder that has no local counterpart is offered for deletion.
#include <cerrno>
#include <utility>
#include <vector>

#include "ftpcomponents/PathUtils.h"
#include "ftpcomponents/SimpFTP.h"
#include "sitepublishing/LocalFolder.h"
#include "sitepublishing/LogView.h"
#include "sitepublishing/PrjCls.h"

namespace {

constexpr std::uint8_t kAnswerNo = 2;

enum class LocalKind { Missing, File, Folder, BrokenLink };

// What stands locally at the path (links followed; a link that leads
// nowhere is a kind of its own). Only "nothing there" may let the walk
// offer a deletion: any other failure to look is an error.
LocalKind LocalKindOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? LocalKind::Folder : LocalKind::File;
  if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
    if (::lstat(path.c_str(), &st) == 0) return LocalKind::BrokenLink;
    if (errno == ENOENT || errno == ENOTDIR) return LocalKind::Missing;
  }
  throw plat::EFOpenError("Cannot check local path " + path);
}

// Asks unless Yes to All was given; true when the item is to go.
bool ConfirmDelete(TDeleteLogView& log, const std::string& question) {
  if (log.YesToAll()) return true;
  log.AddLog(lkNotice, question);
  return log.AskDelete() != kAnswerNo;
}

// The path with "." and empty parts dropped and ".." taken back, from
// "/"; a relative path is taken from folder.
std::string NormalRemotePath(const std::string& folder, const std::string& path) {
  std::vector<std::string> parts;
  auto add = [&parts](const std::string& p) {
    for (std::size_t start = 0; start <= p.size();) {
      std::size_t end = p.find('/', start);
      if (end == std::string::npos) end = p.size();
      const std::string part = p.substr(start, end - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
  };
  if (path.empty() || path[0] != '/') add(folder);
  add(path);
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string ParentOf(const std::string& normal) {
  const std::size_t slash = normal.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : normal.substr(0, slash);
}

}  // namespace

void TProject::DeleteOld() {
  if (!DeleteLog) throw plat::Exception("No delete-old log");
  TSimpleFTP& ftp = WalkFtp();
  TDeleteLogView& log = *DeleteLog;
  Form->SetFtpParams();
  log.BeginDelete();
  struct Close {
    TProject& project;
    TSimpleFTP& ftp;
    TDeleteLogView& log;
    ~Close() {
      project.Listings_.clear();
      project.RemoteLinks_.clear();
      ftp.Disconnect();
      log.AddLog(lkNotice, "Deleting old files completed");
      // The line above is written in every case; a run that did not get
      // through cleanly must not read as one that did.
      if (log.Aborted())
        log.AddLog(lkError, "Deleting old files aborted.");
      else if (log.ErrorCount() > 0)
        log.AddLog(lkError, "Deleting old files completed with errors.");
      log.EndDelete();
    }
  } close{*this, ftp, log};
  try {
    const std::string local = Fields().FieldText(pfPath);
    // Without the local folder (a disk not mounted, say) every remote file
    // would look stale.
    TLocalFolder folder;
    if (folder.Read(local, false) != 0) throw plat::EFOpenError("Cannot open folder " + local);
    log.AddLog(lkPlain, "Connect to " + ftp.HostName + "...");
    if (!ftp.Connect()) throw ESimpleFTPError("Not connected!");
    log.AddLog(lkPlain, "Find old files...");
    SetRemoteBase(Fields().FieldText(pfFTPPath));
    // A link anywhere in the tree may lead into a folder that the walk
    // reaches before it: every listing comes first.
    Listings_.clear();
    RemoteLinks_.clear();
    ScanRemoteDir(RemoteBase);
    MarkLinkTargets();
    WalkRemoteDir(RemoteBase);
  } catch (const plat::Exception& e) {
    log.AddLog(lkError, e.Message);
  }
}

void TProject::SetRemoteBase(const std::string& path) {
  TSimpleFTP& ftp = WalkFtp();
  if (!path.empty() && !ftp.ChangeDir(path))
    throw ESimpleFTPError(plat::Format("Couldn't change to directory %s", path.c_str()));
  // An absolute path without "." or ".." parts names the folder the walk
  // changed into; the server's reply to PWD need not (some do not double a
  // '"' in it). Any other form is the server's to resolve, so its own name
  // for the folder is taken.
  bool plain = !path.empty() && path[0] == '/';
  for (std::size_t start = 0; plain && start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    plain = part != "." && part != "..";
    start = end + 1;
  }
  RemoteBase = plain ? NormalRemotePath("/", path) : ftp.RemoteDir();
}

bool TProject::ListRemoteDir(const std::string& dir, std::vector<TRemoteEntry>& entries) {
  TSimpleFTP& ftp = WalkFtp();
  TDeleteLogView& log = *DeleteLog;
  entries.clear();
  // A change or listing that failed because the user cancelled is no
  // error of its own: the run just ends.
  bool entered = false;
  try {
    entered = ftp.ChangeDir(dir);
  } catch (const plat::Exception&) {
    if (log.Aborted()) return false;
    throw;
  }
  if (!entered) {
    if (log.Aborted()) return false;
    throw ESimpleFTPError(plat::Format("Couldn't change to directory %s", dir.c_str()));
  }
  // The component gives 0 entries for a listing that failed as well as for
  // an empty folder; a failed one must end the run, or the folder would be
  // taken as empty and offered for removal.
  if (ftp.FindFiles("*.*", false) == 0 &&
      (ftp.State() != isConnected || plat::inet::GetLastError() != plat::inet::ERROR_NO_MORE_FILES)) {
    if (log.Aborted()) return false;
    throw ESimpleFTPError("Cannot list folder " + dir);
  }
  // The listing is refilled by the next search, so the walk keeps its own
  // copy, with each entry's kind. A link is neither a file nor a folder:
  // it is never entered.
  for (int i = 0; i < ftp.Files().Count(); ++i) {
    TWin32FindDataA data;
    ftp.GetFileInfo(i, data);
    TRemoteEntry e;
    // By the folder's path as the walk knows it, not the server's reply to
    // PWD.
    e.Path = (!dir.empty() && dir.back() == '/' ? dir : dir + "/") + ftp.Files()[i];
    e.IsLink = (data.dwFileAttributes & plat::inet::FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    e.IsFolder = !e.IsLink && (data.dwFileAttributes & plat::inet::FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (e.IsLink) e.Target = data.LinkTarget;
    entries.push_back(std::move(e));
  }
  return true;
}

void TProject::ScanRemoteDir(const std::string& dir) {
  TDeleteLogView& log = *DeleteLog;
  if (log.Aborted()) return;
  // The walk leaves a folder alone (and says why) when its local
  // counterpart cannot be checked or links to nothing.
  if (dir != RemoteBase) {
    try {
      if (LocalKindOf(RemoteToLocal(dir)) == LocalKind::BrokenLink) return;
    } catch (const plat::Exception&) {
      return;
    }
  }
  // A folder that cannot be listed ends the walk when it gets there; the
  // scan goes on past it, so that the links beside it are known.
  TRemoteListing& listing = Listings_[dir];
  try {
    if (!ListRemoteDir(dir, listing.Entries)) {
      Listings_.erase(dir);  // aborted: nothing was listed
      return;
    }
  } catch (...) {
    listing.Error = std::current_exception();
    return;
  }
  std::vector<std::string> folders;
  for (const TRemoteEntry& e : listing.Entries) {
    if (e.IsFolder && !e.Path.empty() && e.Path.back() != '.') folders.push_back(e.Path);
    if (!e.IsLink || e.Target.empty()) continue;
    TRemoteLink& link = RemoteLinks_[NormalRemotePath("/", e.Path)];
    link.Absolute = e.Target[0] == '/';
    link.Target = NormalRemotePath(UnixPathPart(e.Path), e.Target);
    // One that stands for a local entry is what the upload writes through;
    // one that cannot be checked is taken as such.
    try {
      std::string twin;
      link.Leads = LocalKindOf(RemoteToLocal(e.Path)) != LocalKind::Missing || MayResolveToLocal(e.Path, twin);
    } catch (const plat::Exception&) {
      link.Leads = true;
    }
  }
  for (const std::string& folder : folders) ScanRemoteDir(folder);
}

void TProject::MarkLinkTargets() {
  // The upload writes through a link found where it writes too.
  for (bool more = true; more;) {
    more = false;
    for (auto& [path, link] : RemoteLinks_) {
      if (link.Leads || !IsLinkTarget(path)) continue;
      link.Leads = true;
      more = true;
    }
  }
}

bool TProject::IsLinkTarget(const std::string& path) const {
  for (std::string at = NormalRemotePath("/", path);; at = ParentOf(at)) {
    for (const auto& [linkPath, link] : RemoteLinks_) {
      if (!link.Leads) continue;
      if (link.Target == at) return true;
      if (link.Absolute && at != "/" && link.Target.size() > at.size() &&
          link.Target.compare(link.Target.size() - at.size(), at.size(), at) == 0)
        return true;
    }
    if (at == "/") return false;
  }
}

bool TProject::HoldsLinkTarget(const std::string& path) const {
  const std::string below = (path == "/" ? std::string() : NormalRemotePath("/", path)) + "/";
  for (const auto& [linkPath, link] : RemoteLinks_) {
    if (!link.Leads) continue;
    if (link.Target.compare(0, below.size(), below) == 0) return true;
    if (link.Absolute && link.Target.find(below) != std::string::npos) return true;
  }
  return false;
}

void TProject::WalkRemoteDir(const std::string& dir) {
  TDeleteLogView& log = *DeleteLog;
  log.AddLog(lkPlain, "checking directory " + dir);
  if (dir != RemoteBase) {
    // Behind a local link that leads nowhere (a disk not mounted, say)
    // every remote file would look stale: the folder is left alone.
    try {
      const std::string local = RemoteToLocal(dir);
      if (LocalKindOf(local) == LocalKind::BrokenLink)
        throw plat::EFOpenError("Cannot check local path " + local + ": it links to nothing");
    } catch (const plat::Exception& e) {
      log.AddLog(lkError, e.Message);
      return;
    }
  }
  std::vector<TRemoteEntry> entries;
  auto listed = Listings_.find(dir);
  if (listed != Listings_.end()) {
    if (listed->second.Error) std::rethrow_exception(listed->second.Error);
    entries = listed->second.Entries;
  } else if (log.Aborted() || !ListRemoteDir(dir, entries)) {
    // Not listed ahead: the scan stopped on an abort, or the local side
    // changed meanwhile.
    return;
  }
  std::vector<std::string> folders;
  for (const TRemoteEntry& e : entries) {
    if (log.Aborted()) return;
    if (!e.IsFolder)
      CheckRemoteFile(e.Path, e.IsLink);
    else if (!e.Path.empty() && e.Path.back() != '.')
      folders.push_back(e.Path);
  }
  for (const std::string& folder : folders) {
    if (log.Aborted()) return;
    WalkRemoteDir(folder);
    if (log.Aborted()) return;
    CheckRemoteDir(folder);
  }
}

void TProject::CheckRemoteFile(const std::string& path, bool isLink) {
  TSimpleFTP& ftp = WalkFtp();
  TDeleteLogView& log = *DeleteLog;
  try {
    log.AddLog(lkPlain, "checking file " + path);
    const LocalKind local = LocalKindOf(RemoteToLocal(path));
    // A remote link named like anything local may be what the site stands
    // on (the upload enters a link to a folder as the folder). For a file,
    // a local folder of that name does not count as the file.
    if (isLink ? local != LocalKind::Missing : local == LocalKind::File || local == LocalKind::BrokenLink) return;
    if (IsLinkTarget(path)) return;
    if (std::string twin; MayResolveToLocal(path, twin)) {
      log.AddLog(lkPlain, "file " + path + " kept: the server may take it for " + twin);
      return;
    }
    if (!ConfirmDelete(log, "File " + path + " does not exist locally. Delete from remote server?")) return;
    if (!ftp.Delete(path)) throw ESimpleFTPError(plat::Format("Error deleting %s", path.c_str()));
    log.AddLog(lkNotice, "file " + path + " deleted");
    // The upload may have written below a link too.
    ForgetStamps(path, isLink);
  } catch (const plat::Exception& e) {
    log.AddLog(lkError, e.Message);
  }
}

void TProject::CheckRemoteDir(const std::string& path) {
  TSimpleFTP& ftp = WalkFtp();
  TDeleteLogView& log = *DeleteLog;
  try {
    const LocalKind local = LocalKindOf(RemoteToLocal(path));
    if (local == LocalKind::Folder || local == LocalKind::BrokenLink) return;
    if (IsLinkTarget(path) || HoldsLinkTarget(path)) return;
    if (std::string twin; MayResolveToLocal(path, twin)) {
      log.AddLog(lkPlain, "directory " + path + " kept: the server may take it for " + twin);
      return;
    }
    if (!ConfirmDelete(log, "Directory " + path + " does not exist locally. Delete from remote server?")) return;
    if (!ftp.RemoveDir(path)) throw ESimpleFTPError(plat::Format("Error removing directory %s", path.c_str()));
    log.AddLog(lkNotice, "directory " + path + " deleted");
    ForgetStamps(path, true);
  } catch (const plat::Exception& e) {
    log.AddLog(lkError, e.Message);
  }
}

void TProject::ForgetStamps(const std::string& remotePath, bool below) {
  // The local path as the upload spells it in its keys: the folder field
  // as typed, "/", the path below it.
  const std::string field = Fields().FieldText(pfPath);
  const std::string rest = RemoteToLocal(remotePath).substr(AddBackslash(field).size());
  if (!VersionList->Forget(VersionKey(field + "/" + rest), below)) return;
  Modified = true;
  if (Form) Form->SetModified();
}

bool TProject::MayResolveToLocal(const std::string& path, std::string& local) {
  const std::string prefix = !RemoteBase.empty() && RemoteBase.back() == '/' ? RemoteBase : RemoteBase + "/";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = path.substr(prefix.size());
  local = AddBackslash(Fields().FieldText(pfPath));
  std::string remoteDir = RemoteBase;
  bool differs = false;
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == "." || part == "..") return false;
    std::string take = part;
    struct stat st {};
    if (::lstat((local + part).c_str(), &st) != 0) {
      if (errno == ENOTDIR) return false;  // a file above: nothing local below it
      TLocalFolder folder;
      // What cannot be looked at may hold the name in another case.
      if (errno != ENOENT || folder.Read(local, false) != 0) return true;
      // The local names that equal this one ignoring case; one that the
      // server lists beside it is a file of its own there.
      const auto listed = Listings_.find(remoteDir);
      const std::string remotePrefix = remoteDir.back() == '/' ? remoteDir : remoteDir + "/";
      auto listedRemotely = [&](const std::string& name) {
        if (listed == Listings_.end()) return false;
        for (const TRemoteEntry& e : listed->second.Entries)
          if (e.Path == remotePrefix + name) return true;
        return false;
      };
      take.clear();
      for (const TLocalEntry& e : folder.Entries)
        if (e.Name != part && plat::SameText(e.Name, part) && !listedRemotely(e.Name)) {
          take = e.Name;
          break;
        }
      if (take.empty()) return false;
      differs = true;
    }
    local += take;
    if (start <= rest.size()) local += "/";
    remoteDir = (remoteDir.back() == '/' ? remoteDir : remoteDir + "/") + part;
  }
  return differs;
}

std::string TProject::RemoteToLocal(const std::string& path) {
  // Only an entry below the base has a local counterpart; mapping any other
  // by cutting characters would name the wrong local file.
  const std::string prefix = !RemoteBase.empty() && RemoteBase.back() == '/' ? RemoteBase : RemoteBase + "/";
  std::string rest;
  if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) rest = path.substr(prefix.size());
  bool inside = !rest.empty();
  for (std::size_t start = 0; inside && start <= rest.size();) {
    std::size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") inside = false;
    start = end + 1;
  }
  if (!inside) throw plat::Exception("Remote path " + path + " is not below " + RemoteBase);
  SlashesToBackslashes(rest);
  return AddBackslash(Fields().FieldText(pfPath)) + rest;
}

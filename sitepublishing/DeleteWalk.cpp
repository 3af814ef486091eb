// The delete-old walk: every remote file and folder below the remote
// folder that has no local counterpart is offered for deletion.
#include <cerrno>
#include <deque>
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

std::string LeafOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::vector<std::string> PartsOf(const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string JoinParts(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

// Whether the normalised path is at or below the normalised folder.
bool AtOrBelow(const std::string& path, const std::string& folder) {
  if (folder == "/" || path == folder) return true;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// A server resolves a chain of links no longer than this (Linux: 40).
constexpr int kMaxHops = 40;
// Bounds on following links: ways tried for one link, and folders listed
// beyond the tree in one run.
constexpr int kMaxWays = 1000;
constexpr int kMaxExtraListings = 1000;

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
      project.LinkEnds_.clear();
      project.LinkWays_.clear();
      project.Unread_.clear();
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
    Unread_.clear();
    ExtraListings_ = 0;
    ScanRemoteDir(RemoteBase);
    if (!log.Aborted()) MarkLinkTargets();
    // A link in what could not be read may lead to any remote entry.
    if (!Unread_.empty() && !log.Aborted()) {
      for (const std::string& why : Unread_) log.AddLog(lkError, why);
      throw ESimpleFTPError("Nothing deleted: a link in what could not be read may lead to any remote entry");
    }
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

bool TProject::ListRemoteDir(const std::string& dir, std::vector<TRemoteEntry>& entries, int permissions, bool all) {
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
  // an empty folder; a failed one must not be taken as empty, or the folder
  // would be offered for removal and the links in it missed. Entries are
  // named by the folder's path as the walk knows it, not the server's
  // reply to PWD.
  if (ftp.FindFiles("*.*", false, all) == 0) {
    if (ftp.State() != isConnected || plat::inet::GetLastError() != plat::inet::ERROR_NO_MORE_FILES) {
      if (log.Aborted()) return false;
      throw ESimpleFTPError("Cannot list folder " + dir);
    }
    if (all) return true;
    // Some servers answer an empty listing with success for a folder they
    // may enter but not read. One that shows "." for "LIST -a" has read it;
    // otherwise the folder's permissions must let everyone read it.
    const bool read = ftp.FindFiles("*.*", false, true) > 0;
    if (log.Aborted()) return false;
    if (!read && permissions >= 0 && (permissions & 0444) != 0444)
      throw ESimpleFTPError("Cannot list folder " + dir + ": the server listed nothing, and may not be able to read it");
    TSimpleFTP::ClearFileList(ftp.Files());
    return true;
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
    e.Permissions = data.UnixPermissions;
    entries.push_back(std::move(e));
  }
  return true;
}

void TProject::ScanRemoteDir(const std::string& dir, int permissions, bool leftAlone) {
  TDeleteLogView& log = *DeleteLog;
  if (log.Aborted()) return;
  // The walk leaves a folder alone (and says why) when its local
  // counterpart cannot be checked or links to nothing; it is listed all
  // the same, for the links in it.
  if (dir != RemoteBase && !leftAlone) {
    try {
      leftAlone = LocalKindOf(RemoteToLocal(dir)) == LocalKind::BrokenLink;
    } catch (const plat::Exception&) {
      leftAlone = true;
    }
  }
  // The scan goes on past a folder that cannot be listed, so that every
  // such folder is named.
  TRemoteListing& listing = Listings_[dir];
  try {
    if (!ListRemoteDir(dir, listing.Entries, permissions)) {
      Listings_.erase(dir);  // aborted: nothing was listed
      return;
    }
  } catch (const plat::Exception& e) {
    listing.Error = std::current_exception();
    Unread_.push_back(e.Message);
    return;
  } catch (...) {
    listing.Error = std::current_exception();
    Unread_.push_back("Cannot list folder " + dir);
    return;
  }
  std::vector<std::pair<std::string, int>> folders;
  for (const TRemoteEntry& e : listing.Entries) {
    const std::string name = LeafOf(e.Path);
    if (e.IsFolder && name != "." && name != ".." && !name.empty()) folders.emplace_back(e.Path, e.Permissions);
    if (!e.IsLink) continue;
    TRemoteLink& link = RemoteLinks_[NormalRemotePath("/", e.Path)];
    // One that stands for a local entry is what the upload writes through;
    // one that cannot be checked, or that the walk leaves where it is, is
    // taken as such.
    try {
      std::string twin;
      link.Leads = leftAlone || LocalKindOf(RemoteToLocal(e.Path)) != LocalKind::Missing ||
                   MayResolveToLocal(e.Path, twin);
    } catch (const plat::Exception&) {
      link.Leads = true;
    }
  }
  for (const auto& [folder, bits] : folders) ScanRemoteDir(folder, bits, leftAlone);
}

bool TProject::RemoteEntryOf(const std::string& folder, const std::string& name, const TRemoteEntry*& entry) {
  entry = nullptr;
  auto it = Listings_.find(folder);
  if (it == Listings_.end()) {
    // Beyond the tree: listed now, once, when its parent's listing shows
    // it as a folder (with its permissions).
    int bits = -1;
    if (folder != "/") {
      const TRemoteEntry* self = nullptr;
      if (!RemoteEntryOf(ParentOf(folder), LeafOf(folder), self)) return false;
      if (!self || !self->IsFolder) return true;  // no such folder: nothing in it
      bits = self->Permissions;
    }
    if (++ExtraListings_ > kMaxExtraListings) {
      Unread_.push_back("Cannot follow the links: too many folders beyond " + RemoteBase);
      return false;
    }
    TRemoteListing listing;
    try {
      if (!ListRemoteDir(folder, listing.Entries, bits)) return false;  // aborted
    } catch (const plat::Exception& e) {
      listing.Error = std::current_exception();
      Unread_.push_back(e.Message);
    }
    it = Listings_.emplace(folder, std::move(listing)).first;
  }
  TRemoteListing& listing = it->second;
  if (listing.Error) return false;
  if (!listing.Indexed) {
    for (std::size_t i = 0; i < listing.Entries.size(); ++i) listing.ByName.emplace(LeafOf(listing.Entries[i].Path), i);
    listing.Indexed = true;
  }
  auto found = listing.ByName.find(name);
  if (found != listing.ByName.end()) {
    entry = &listing.Entries[found->second];
    return true;
  }
  if (!listing.ListedAll && !name.empty() && name[0] == '.') {
    // Some servers (vsftpd) list no hidden entries unless asked.
    listing.ListedAll = true;
    std::vector<TRemoteEntry> all;
    try {
      if (ListRemoteDir(folder, all, -1, true))
        for (TRemoteEntry& e : all) listing.Hidden.emplace(LeafOf(e.Path), std::move(e));
    } catch (const plat::Exception&) {
      // Not taken: the plain listing stands.
    }
  }
  auto hidden = listing.Hidden.find(name);
  if (hidden != listing.Hidden.end() && name != "." && name != "..") entry = &hidden->second;
  return true;
}

bool TProject::ResolveLink(const std::string& path, std::vector<std::string>& ends,
                           std::vector<std::string>& passed) {
  // Component by component, as the server's file system does: each link
  // met is replaced by its target (taken from the link's folder unless
  // absolute), ".." goes back from the folder reached. The links met and
  // the folders left by ".." are on the way.
  struct Way {
    std::vector<std::string> done;  // the folders reached, no link among them
    std::deque<std::string> todo;
    int hops = 0;
  };
  std::vector<Way> ways(1);
  for (const std::string& part : PartsOf(ParentOf(path)))
    if (!part.empty()) ways[0].done.push_back(part);
  ways[0].todo.push_back(LeafOf(path));
  int tried = 0;
  while (!ways.empty()) {
    if (++tried > kMaxWays) {
      Unread_.push_back("Cannot follow link " + path + ": too many ways");
      return false;
    }
    Way way = std::move(ways.back());
    ways.pop_back();
    while (!way.todo.empty()) {
      const std::string part = way.todo.front();
      way.todo.pop_front();
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        // The folder left was passed through: it must stay as well.
        if (!way.done.empty()) {
          passed.push_back(JoinParts(way.done));
          way.done.pop_back();
        }
        continue;
      }
      const std::string folder = JoinParts(way.done);
      const std::string at = (folder == "/" ? "" : folder) + "/" + part;
      const TRemoteEntry* e = nullptr;
      if (!RemoteEntryOf(folder, part, e)) {
        if (!DeleteLog->Aborted()) Unread_.push_back("Cannot follow link " + path + ": " + folder + " could not be read");
        return false;
      }
      if (!e || !(e->IsLink || e->IsFolder)) {
        // Nothing there, or a file: no link lies further on.
        way.done.push_back(part);
        for (const std::string& rest : way.todo) {
          if (rest.empty() || rest == ".") continue;
          if (rest == "..") {
            if (!way.done.empty()) way.done.pop_back();
          } else {
            way.done.push_back(rest);
          }
        }
        way.todo.clear();
        break;
      }
      if (!e->IsLink) {
        way.done.push_back(part);
        continue;
      }
      passed.push_back(at);
      if (e->Target.empty()) {
        Unread_.push_back("Cannot follow link " + at + ": the server does not show its target");
        return false;
      }
      if (++way.hops > kMaxHops) {
        // A circle: the server finds nothing there either.
        way.todo.clear();
        way.done.push_back(part);
        break;
      }
      std::vector<std::string> target = PartsOf(e->Target);
      way.todo.insert(way.todo.begin(), target.begin(), target.end());
      if (e->Target[0] == '/') {
        // Absolute: on the server's root as it shows it, or a path of its
        // disk ending in one of that root's paths; each is followed.
        way.done.clear();
        for (std::size_t drop = 2; drop < target.size(); ++drop) {
          if (target[drop].empty()) continue;
          Way shorter = way;
          shorter.todo.erase(shorter.todo.begin(), shorter.todo.begin() + static_cast<std::ptrdiff_t>(drop));
          ways.push_back(std::move(shorter));
        }
      }
    }
    ends.push_back(JoinParts(way.done));
  }
  return true;
}

void TProject::ScanOutside(const std::string& folder, int permissions) {
  if (DeleteLog->Aborted() || Listings_.count(folder) || AtOrBelow(folder, NormalRemotePath("/", RemoteBase))) return;
  if (++ExtraListings_ > kMaxExtraListings) {
    Unread_.push_back("Cannot follow the links: too many folders beyond " + RemoteBase);
    return;
  }
  TRemoteListing& listing = Listings_[folder];
  try {
    if (!ListRemoteDir(folder, listing.Entries, permissions)) return;
  } catch (const plat::Exception& e) {
    listing.Error = std::current_exception();
    Unread_.push_back(e.Message);
    return;
  }
  std::vector<std::pair<std::string, int>> folders;
  for (const TRemoteEntry& e : listing.Entries) {
    const std::string name = LeafOf(e.Path);
    if (e.IsFolder && name != "." && name != ".." && !name.empty())
      folders.emplace_back(NormalRemotePath("/", e.Path), e.Permissions);
    // Below an end: the upload may write through it.
    if (e.IsLink) RemoteLinks_[NormalRemotePath("/", e.Path)].Leads = true;
  }
  for (const auto& [sub, bits] : folders) ScanOutside(sub, bits);
}

void TProject::MarkLinkTargets() {
  // The upload writes through a link found where it writes too. Each link
  // that leads is followed to its end; an end outside the tree is listed
  // for the links below it.
  const std::string base = NormalRemotePath("/", RemoteBase);
  LinkEnds_.clear();
  LinkWays_.clear();
  for (bool more = true; more && Unread_.empty();) {
    more = false;
    std::vector<std::string> paths;
    for (const auto& [path, link] : RemoteLinks_) paths.push_back(path);
    for (const std::string& path : paths) {
      if (DeleteLog->Aborted() || !Unread_.empty()) return;
      TRemoteLink& link = RemoteLinks_[path];
      if (!link.Leads && AtOrBelowAnEnd(path)) {
        link.Leads = true;
        more = true;
      }
      if (!link.Leads || link.Resolved) continue;
      link.Resolved = true;
      more = true;
      std::vector<std::string> ends, ways;
      if (!ResolveLink(path, ends, ways)) return;
      LinkWays_.insert(ways.begin(), ways.end());
      for (const std::string& end : ends) {
        LinkEnds_.insert(end);
        if (AtOrBelow(end, base)) continue;
        const TRemoteEntry* e = nullptr;
        if (end == "/") {
          ScanOutside(end, -1);
        } else if (!RemoteEntryOf(ParentOf(end), LeafOf(end), e)) {
          return;
        } else if (e && e->IsFolder) {
          ScanOutside(end, e->Permissions);
        }
      }
    }
  }
}

bool TProject::AtOrBelowAnEnd(const std::string& path) const {
  for (std::string at = NormalRemotePath("/", path);; at = ParentOf(at)) {
    if (LinkEnds_.count(at)) return true;
    if (at == "/") return false;
  }
}

bool TProject::IsLinkTarget(const std::string& path) const {
  // A link on the way is kept, not what else lies behind it.
  return AtOrBelowAnEnd(path) || LinkWays_.count(NormalRemotePath("/", path)) > 0;
}

bool TProject::HoldsLinkTarget(const std::string& path) const {
  const std::string folder = NormalRemotePath("/", path);
  const std::string below = folder == "/" ? "/" : folder + "/";
  for (const std::set<std::string>* kept : {&LinkEnds_, &LinkWays_}) {
    auto it = kept->lower_bound(below);
    if (it != kept->end() && it->compare(0, below.size(), below) == 0 && *it != folder) return true;
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

// The publishing program's project model: the user's variables, the upload
// stamps, the project file (".zvp"), the project history in the registry
// and the page tag parser. No GUI here: the main window lends its fields
// through TProjectForm and builds its History menu from FillHistoryMenu.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/classes/classes.h"
#include "platform/fs/fs.h"

class TSimpleFTP;
class TUploadLogView;
class TDeleteLogView;

// ---- date and time -------------------------------------------------------------

// Local date-time as days since 30 December 1899, time of day as the fraction.
double DateTimeNow();
double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);
// The user's short date, a space, the user's long time; the time is left out
// at exactly midnight (hours, minutes and seconds all zero).
std::string DateTimeText(double dateTime);
// The row id form: general format, up to 15 significant digits.
std::string DateTimeIdText(double dateTime);

// ---- upload stamps ---------------------------------------------------------------

// Local time packed into the 32-bit DOS date-time form (date in the high word:
// years since 1980, month, day; time in the low word: hour, minute, seconds / 2),
// read as a signed number: from 2044 on it is negative. -1 when the year
// cannot be packed (before 1980 or after 2107).
std::int32_t PackDosDateTime(const std::tm& local);
// The stamp of a file's last write; -1 when it cannot be found or is a folder.
std::int32_t FileStamp(const std::string& path);
// The stamp of a file's last write as read now, and whether its 2-second
// slot is over: while it is not, a further edit would keep the same stamp.
struct TStampNow {
  std::int32_t Stamp = -1;
  bool SlotOver = false;
  bool TimeRead = false;  // false: the file could not be examined
};
// folderNow: the time on the clock of the file system that holds the file,
// read before: the slot must be over on that clock as well.
TStampNow ReadStampNow(const std::string& path, const struct timespec* folderNow = nullptr);


// ---- file errors -----------------------------------------------------------------

// The file layer's I/O error: "File not found", "File access denied",
// "Disk full", or "I/O error %d" with the system's code.
class EInOutError : public plat::Exception {
 public:
  explicit EInOutError(int errorCode);
  int ErrorCode;
};

// ---- variables ----------------------------------------------------------------------

class TVar : public plat::TObject {
  friend class TVarList;
  std::string Name_;

 public:
  // Read here; rows are renamed through TVarList::SetName, which keeps the
  // list's name index.
  const std::string& Name = Name_;
  std::string Value;
  std::string Id;  // creation stamp, kept in the file, never looked up
};

// Row 0 is the header ("Name"/"Value"), row 1 the sysdate row, the user's
// variables follow. Owns its rows.
class TVarList : public plat::TObject {
 public:
  TVarList() = default;
  ~TVarList() override;
  TVarList(const TVarList&) = delete;
  TVarList& operator=(const TVarList&) = delete;

  int Count() const { return static_cast<int>(Items_.size()); }
  // Raises EListError outside 0 .. Count - 1.
  TVar* Items(int index) const;

  void AddVar(const std::string& name, const std::string& value, const std::string& id);
  // Out-of-range indexes are ignored.
  void DeleteVar(int index);
  // Raises EListError outside 0 .. Count - 1.
  void SetName(int index, const std::string& name);
  // The text for a variable tag; "sysdate" (any case) is the time now. The
  // first look-up after a change indexes the names, so that a page's tags
  // cost the same however long the list is.
  std::string GetValue(const std::string& name) const;
  void AddFixedRows();
  void Clear();
  // Appends the "[Variables]" section (user rows only). Raises Exception for a
  // row that the file could not give back: a line break anywhere, "=" in a name.
  void WriteSection(std::string& text) const;
  void LoadFromFile(const std::string& fileName);

 private:
  void IndexNames() const;

  std::vector<TVar*> Items_;
  // Every row as (hash of its upper-cased name, row), sorted: rows of one
  // name follow one another, the first row first. Built again on the first
  // look-up after any change of the rows or their names.
  mutable std::vector<std::pair<std::uint64_t, std::size_t>> ByName_;
  mutable bool ByNameStale_ = false;
};

// ---- upload stamps ---------------------------------------------------------------

class TVersion : public plat::TObject {
 public:
  // In the letter case of its paths: a file renamed in case alone is
  // another file on the server.
  std::string Key;
  std::string Stamp;
  // Read from a file that the old program may have saved (no
  // kExactKeysName line) and holding no lower-case letter: it may stand
  // for its path in another letter case, so it is no proof that a file of
  // exactly this path was sent. Never read back; left out when saving.
  bool Legacy = false;
};

// The [GENERAL] line that says the [Versions] keys keep their letter case.
// The old program ignores it when it reads a file and leaves it out when
// it saves one, upper-casing every key then: a file without it may hold
// such keys.
inline constexpr char kExactKeysName[] = "VersionKeys";
inline constexpr char kExactKeysValue[] = "exact";

class TVersionList : public plat::TObject {
 public:
  TVersionList() = default;
  ~TVersionList() override;
  TVersionList(const TVersionList&) = delete;
  TVersionList& operator=(const TVersionList&) = delete;

  int Count() const { return static_cast<int>(Items_.size()); }
  TVersion* Items(int index) const;

  // Index of the first entry with exactly this key; 0 when there is none,
  // so callers re-test the key at the index they get.
  int IndexOfKey(const std::string& key) const;
  // Both go through the index: a run looks up every file of the site.
  // GetStamp reads the entry of exactly this key, never a legacy one.
  std::string GetStamp(const std::string& key) const;
  // Replaces the stamp of the key's entry, else inserts the key first.
  void SetStamp(const std::string& key, const std::string& stamp);
  // Drops every entry whose key equals this one ignoring letter case (a
  // server that resolves names so may have put or deleted any of them)
  // and, with below, every entry of a path below it; keepExact spares the
  // entry of exactly this key. True when one went.
  bool Forget(const std::string& key, bool below, bool keepExact = false);
  void Clear();
  // Appends the "[Versions]" section. An entry holding a line break is left
  // out: it could not be read back, and losing it only costs a re-upload.
  void WriteSection(std::string& text) const;
  void LoadFromFile(const std::string& fileName);

 private:
  // The entries in list order (the order the file gets) and, beside them,
  // each entry by its key and by its upper-cased key.
  std::deque<TVersion*> Items_;
  std::unordered_map<std::string, TVersion*> ByKey_;
  std::unordered_multimap<std::string, TVersion*> ByUpperKey_;
  void Insert(TVersion* v);
  void Remove(TVersion* v);
};

// ---- the project ---------------------------------------------------------------------

// The main window's fields that a project saves and fills.
enum TProjectField { pfPath, pfFTPHost, pfFTPLogin, pfFTPPassword, pfFTPPath, pfExclude };

class TProjectForm {
 public:
  virtual ~TProjectForm() = default;
  virtual std::string FieldText(TProjectField field) const = 0;
  // Called in load order; the window runs its change handlers as typing would.
  virtual void SetFieldText(TProjectField field, const std::string& text) = 0;
  // "Remember ?": the password line is saved only when it is checked.
  virtual bool RememberPassword() const = 0;
  virtual void SetRememberPassword(bool checked) = 0;
  // The variables editor's grid takes as many rows as the list holds.
  virtual void VarRowsChanged(int rows) { (void)rows; }

  // What the walks use of the main window: its FTP component (null while
  // no window is attached), copying host, login and password into it with
  // its remote folder emptied, and marking the project modified.
  virtual TSimpleFTP* FtpServer() { return nullptr; }
  virtual void SetFtpParams() {}
  virtual void SetModified() {}
};

// Plain field texts, used when no window is attached.
class TProjectFieldStore : public TProjectForm {
 public:
  std::string FieldText(TProjectField field) const override { return Texts[field]; }
  void SetFieldText(TProjectField field, const std::string& text) override { Texts[field] = text; }
  bool RememberPassword() const override { return Remember; }
  void SetRememberPassword(bool checked) override { Remember = checked; }
  std::string Texts[pfExclude + 1];
  bool Remember = false;
};

// One entry of the History menu: "&" + number + " " + display name; the hint
// is the project's path, which the entry's click opens.
struct THistoryEntry {
  std::string Caption;
  std::string Hint;
};

class TProject : public plat::TObject {
 public:
  std::string FileName;
  bool Modified = false;
  std::string RemoteBase;
  bool OnlyChanged = false;
  // The main window; while none is attached the project keeps its own texts.
  TProjectForm* Form = nullptr;
  // The log windows the walks report into.
  TUploadLogView* UploadLog = nullptr;
  TDeleteLogView* DeleteLog = nullptr;
  TProjectForm& Fields() { return Form ? *Form : OwnFields_; }
  // How the upload reads the clock of the file system holding a folder.
  std::function<bool(const std::string& folder, struct timespec& now)> FolderClock = plat::FileSystemNow;

  // Writes the whole file through a temporary file renamed into place (in
  // place where that cannot stand in for the file); only then Modified :=
  // False, history and default project. A save that fails leaves Modified
  // set.
  void Save();
  // A load that fails reading the file leaves FileName empty, so that no
  // later close saves over the file that failed.
  void Load();
  void Clear();

  // Appends the [GENERAL] section built from the fields.
  void WriteGeneral(std::string& text);
  void ReadGeneral(const std::string& fileName);

  // Rebuilds the history entries (sorted, files gone are dropped from the
  // registry); the menu is enabled exactly when it is not empty.
  void FillHistoryMenu(std::vector<THistoryEntry>& menu);
  void AddToHistory();
  void RemoveFromHistory(const std::string& path);
  static std::string DisplayName(const std::string& path);
  std::string ReadDefaultProject();
  void WriteDefaultProject(const std::string& path);

  // ---- upload (UploadWalk.cpp) ----
  // One whole run into the upload log: every file of the local folder that
  // is not excluded and whose stamp changed since its last upload (every
  // file when onlyChanged is false) goes to the remote folder, files of a
  // folder first, then its subfolders, depth first.
  void Upload(bool onlyChanged);
  // One folder and, recursively, its subfolders. caseTwins: the other local
  // folders whose paths differ from this one's only in letter case, so
  // that their files share stamp keys with this folder's.
  void UploadDir(const std::string& localFolder, std::string remoteFolder,
                 const std::vector<std::string>& caseTwins = {});
  // Stands in the folder on both sides; false (logged) when the remote one
  // cannot be entered.
  bool EnterDirs(const std::string& localFolder, const std::string& remoteFolder);
  // Makes a subfolder of the current remote folder unless it exists.
  void MakeRemoteDir(const std::string& name);
  // One file of the current local folder, kept only once the server holds
  // it under its own name (its size there). sharedKey: another file's path
  // differs from this one's only in letter case, so a server that takes
  // names ignoring case holds one copy for both: the file is sent every
  // time and no stamp is recorded for it.
  void UploadFile(const std::string& name, bool sharedKey = false);
  // The changed test; stamp gets what is recorded after a successful put:
  // the file's stamp as read now, or "" when the file is to get none (its
  // stamp slot is not over yet, or it has no stamp at all). unstamped: not
  // "" when the file's last-write time gives no stamp, so it is sent on
  // every run, and why is its line.
  bool IsChanged(const std::string& fullPath, std::string& stamp, std::string& unstamped);
  // After a whole put: records a stamp that is not "", and drops the
  // file's earlier stamp when it is "".
  void RecordVersion(const std::string& fullPath, const std::string& stamp);
  // After a put that did not finish: the file has no stamp.
  void ForgetVersion(const std::string& fullPath);
  // Host upper-cased, ":", the remote folder field as typed, ":", the path
  // in its own letter case.
  std::string VersionKey(const std::string& fullPath);

  // ---- delete old (DeleteWalk.cpp) ----
  // One whole run into the delete-old log: offers every remote file and
  // folder below the remote folder that has no local counterpart.
  void DeleteOld();
  // Enters the remote folder (the login folder when path is empty) and
  // takes the server's absolute name for it as RemoteBase.
  void SetRemoteBase(const std::string& path);
  // Lists the folder and the folders below it ahead of any check (also
  // those the walk leaves alone), and notes the remote links. A listing
  // that fails is kept, and nothing is deleted in that run: a link in it
  // may lead anywhere. permissions: the folder's bits as its parent's
  // listing shows them (-1: not known); leftAlone: the walk will not enter
  // it, so its links stay and count as leading. An abort stops the scan.
  void ScanRemoteDir(const std::string& dir, int permissions = -1, bool leftAlone = false);
  void WalkRemoteDir(const std::string& dir);
  // One remote file, or a remote link (offered only when nothing local
  // bears its name).
  void CheckRemoteFile(const std::string& path, bool isLink = false);
  void CheckRemoteDir(const std::string& path);
  // The local path of a remote entry below RemoteBase; raises for any other.
  std::string RemoteToLocal(const std::string& path);
  // Whether the remote path is, or lies below, what a remote link that
  // stands for a local entry leads to as the server resolves it (through
  // every link on the way), or is one of the links on that way: the upload
  // writes there through the link, so it is never offered.
  bool IsLinkTarget(const std::string& path) const;
  // Whether such a target or link lies below the remote folder: the server
  // would refuse to remove it.
  bool HoldsLinkTarget(const std::string& path) const;
  // Whether a server that takes names ignoring letter case may take the
  // remote path (which has no exact local counterpart) for a local entry
  // whose path differs from it in case alone: the upload sent that entry
  // there. A name the server lists beside it in its own case is held apart.
  // local gets that entry's path.
  bool MayResolveToLocal(const std::string& path, std::string& local);
  // Forgets the upload stamps of the local counterpart of a remote entry
  // just deleted (with below, of everything below it), and of the paths
  // that differ from it in letter case alone (a server may have taken them
  // for it), so that such a file is sent again, whatever its last-write
  // time.
  void ForgetStamps(const std::string& remotePath, bool below);

 private:
  TSimpleFTP& WalkFtp();
  // The remote folder the upload walk stands in, as it named it to the
  // server: files and folders go there by that path, never by the server's
  // reply to PWD, which some servers do not quote soundly.
  std::string UploadRemote_;
  // Puts into that folder that the server kept under another name, or not
  // at all, though it said it stored them: each name with the bytes sent.
  std::vector<std::pair<std::string, std::int64_t>> Unheld_;
  // Sends again each file of the folder that one of those puts may have
  // overwritten.
  void ResendOverwritten(const std::vector<std::string>& names);
  // The folders the upload walk stands in, root first: a folder met again
  // (through a link) would loop.
  struct TWalkFolder {
    dev_t Dev;
    ino_t Ino;
    std::string Path;
  };
  std::vector<TWalkFolder> WalkPath_;
  // The clock of the folder being uploaded, read as the walk entered it.
  struct timespec FolderNow_ {};
  bool FolderClockRead_ = false;
  // The delete-old walk's listings, made ahead of its checks.
  struct TRemoteEntry {
    std::string Path;
    bool IsFolder = false;
    bool IsLink = false;
    std::string Target;    // a link's, as listed
    int Permissions = -1;  // as listed; -1: not shown
  };
  struct TRemoteListing {
    std::vector<TRemoteEntry> Entries;
    std::exception_ptr Error;  // the listing failed: nothing is deleted
    // The entries by name, made when the links are followed; and the
    // hidden ones "LIST -a" shows besides (asked for a name the listing
    // lacks), which the walk itself does not see.
    std::unordered_map<std::string, std::size_t> ByName;
    bool Indexed = false;
    bool ListedAll = false;
    std::unordered_map<std::string, TRemoteEntry> Hidden;
  };
  // A folder that cannot be listed raises, and so does an empty listing the
  // server may have sent for a folder it cannot read (permissions: the
  // folder's bits as listed); an abort gives false. all: hidden entries too.
  bool ListRemoteDir(const std::string& dir, std::vector<TRemoteEntry>& entries, int permissions = -1,
                     bool all = false);
  std::unordered_map<std::string, TRemoteListing> Listings_;
  // Every remote link met in the tree (and below the ends of links that
  // lead outside it), by normalised path.
  struct TRemoteLink {
    bool Leads = false;  // the upload writes through it
    bool Resolved = false;
  };
  std::unordered_map<std::string, TRemoteLink> RemoteLinks_;
  // Where the links that lead end, as the server takes them (more than one
  // for an absolute target that may be a path of the server's disk rather
  // than of what it shows: servers that give their users no root of their
  // own list it so): kept with everything below. And what lies on their
  // way: the links passed and the folders a ".." went back from, kept
  // themselves.
  std::set<std::string> LinkEnds_, LinkWays_;
  // Why the run deletes nothing: parts of the remote tree that could not be
  // read, or links that could not be followed, in the order met.
  std::vector<std::string> Unread_;
  int ExtraListings_ = 0;
  void MarkLinkTargets();
  // Whether the path is, or lies below, where a link that leads ends: the
  // upload writes there (links met there lead too).
  bool AtOrBelowAnEnd(const std::string& path) const;
  // The entry of that name in the remote folder (listed now unless it was);
  // null when there is none. False when the folder could not be listed.
  bool RemoteEntryOf(const std::string& folder, const std::string& name, const TRemoteEntry*& entry);
  // Follows the link at path as the server does into ends and ways; false
  // (noted in Unread_) when something on the way could not be read.
  bool ResolveLink(const std::string& path, std::vector<std::string>& ends, std::vector<std::string>& passed);
  // Lists what lies below a link's end outside the tree and notes its links.
  void ScanOutside(const std::string& folder, int permissions);
  TProjectFieldStore OwnFields_;
};

// Appends the lines of the first section of that name (header included,
// header matched ignoring case) to lines. A section ends at the next line
// that starts with "[", ends with "]" and holds no "=".
void ReadProjectSection(const std::string& fileName, const std::string& name, plat::TStringList& lines);

// Writes text to fileName so that a crash leaves the old or the new file:
// a temporary file in the same folder, flushed, then renamed over it. The
// permission bits of an existing file are kept; a new file gets the usual
// ones. mode >= 0 forces those bits (0600 for a file holding a password).
// Where the temporary file cannot stand in for the file (the folder takes
// no new file or refuses the rename, the file's group, a file of several
// names) but the file can be written, it is written in place, with room
// for the new bytes made before an old one goes. A link that leads nowhere
// gets the file it names.
void WriteFileAtomically(const std::string& fileName, const std::string& text, int mode = -1);

// ---- page tags ------------------------------------------------------------------------

// Makes the substituted copy of one page in a private temporary folder of
// its own; other files pass through unchanged. Freeing the parser removes
// the copy and its folder.
class TFileParser : public plat::TObject {
 public:
  static constexpr int MaxIncludeDepth = 32;

  TFileParser() = default;
  ~TFileParser() override;
  TFileParser(const TFileParser&) = delete;
  TFileParser& operator=(const TFileParser&) = delete;

  void Process(const std::string& sourceFile);

  std::string OutputFile;
  std::string TempFolder;
  std::string SourceName;
  // Bounds on one file read and on the whole copy.
  std::int64_t MaxFileSize = std::int64_t{64} << 20;
  std::int64_t MaxOutputSize = std::int64_t{256} << 20;

 private:
  struct FileId {
    dev_t Dev = 0;
    ino_t Ino = 0;
  };
  void PrepareTemp(const std::string& sourceFile);
  std::string ReadFileText(const std::string& fileName, FileId* id = nullptr);
  void RemoveTemp();
};

// ---- the one instance of each -----------------------------------------------------

extern TVarList* VarList;
extern TVersionList* VersionList;
extern TProject* Project;

// The file chores every part of the programs shares: the user's folders,
// making folder chains, reading a whole file, and replacing a file so that
// a crash or a failed write leaves either the old or the new copy, never
// half of one. Callers turn the failures into their own errors and texts.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// ---- the user's folders ----------------------------------------------------------
// Environment values that are not absolute paths are ignored, as relative
// ones would depend on the current folder.

// $HOME, else the password entry's home, else "/".
std::string HomeFolder();
// $XDG_CONFIG_HOME, else HomeFolder() + "/.config".
std::string ConfigFolder();
// $XDG_DATA_HOME, else HomeFolder() + "/.local/share".
std::string DataFolder();
// XDG_DESKTOP_DIR of ConfigFolder() + "/user-dirs.dirs" (a quoted path,
// absolute or starting with $HOME), else HomeFolder() + "/Desktop".
std::string DesktopFolder();

// ---- paths and folders -------------------------------------------------------------

// The folder part of a '/' path: everything before its last '/' ("/" for a
// file in the root, empty when there is no '/').
std::string FolderOf(const std::string& path);

// The path as an absolute one: a relative path is taken from the current
// folder, as the system's calls take it; "." and empty parts are dropped,
// ".." is kept (the file system resolves it, through links). An empty path
// is the current folder. Without a current folder the path comes back as
// it was.
std::string AbsolutePath(const std::string& path);

// Creates dir and every missing parent (mode 0777 less the umask, or
// `mode`). True when the folder exists afterwards; else errno tells why
// (ENOTDIR when a part of it is a file). An empty path fails.
bool ForceDirectories(const std::string& dir, mode_t mode = 0777);

// The time now on the clock of the file system that holds the folder (a
// network share stamps files from its own): the last-write time of a file
// made there for the purpose, then removed. False, errno set, when no file
// can be made there.
bool FileSystemNow(const std::string& folder, struct timespec& now);

// ---- reading -------------------------------------------------------------------------

enum TReadStep {
  rsNone,      // read
  rsOpen,      // could not be opened; Code is the system's reason
  rsNotFile,   // not a regular file: Code EISDIR for a folder, else EINVAL
  rsTooLarge,  // more than the limit; Code EFBIG
  rsRead,      // reading failed part-way
};

struct TFileText {
  std::string Text;
  TReadStep Failed = rsNone;
  int Code = 0;
  // Which file was read (device and inode), for callers that must know
  // when two paths name the same file.
  dev_t Dev = 0;
  ino_t Ino = 0;
  bool Ok() const { return Failed == rsNone; }
};

// Reads a regular file whole, at most maxBytes when that is >= 0. The file
// is opened without blocking, so a FIFO is refused instead of waited on.
TFileText ReadWholeFile(const std::string& path, std::int64_t maxBytes = -1);

// ---- replacing -----------------------------------------------------------------------

struct TReplaceOptions {
  // Permission bits: exactly Mode when it is >= 0. Otherwise a file that is
  // replaced keeps its bits and a new one gets NewMode less the umask.
  int Mode = -1;
  mode_t NewMode = 0666;
  // Write through a symbolic link to the file it names, so the link stays;
  // a link that leads nowhere gets the file it names made.
  bool ThroughLinks = false;
  // Refuse to replace a file the caller could not write into (the rename
  // alone would replace it anyway).
  bool RespectReadOnly = false;
  // Make the file's folder and its missing parents first, with FolderMode.
  bool MakeFolder = false;
  mode_t FolderMode = 0700;
  // Write an existing regular file in place (when it can be written) where
  // the temporary file cannot stand in for it: the folder's permissions
  // refuse the temporary file, the folder refuses the rename (a sticky
  // folder holding another user's file), the temporary file cannot take
  // the file's group, or the file has more than one name (a rename would
  // split them). The new bytes are held until Commit, which makes room for
  // all of them before it touches the old ones: a full disk, a quota or a
  // file-size limit fails the commit with the old file whole. Only a crash
  // or a failing disk while the old bytes are overwritten can leave a mix.
  bool InPlaceWhereNeeded = false;
};

enum TWriteStep {
  wsNone,     // written
  wsFolder,   // the folder could not be made (MakeFolder)
  wsCreate,   // the temporary file could not be made
  wsWrite,    // setting its bits, writing, flushing or closing it failed
  wsReplace,  // refused (a folder, a write-protected file, no name), or the rename failed
};

// True when the write failed.
struct TWriteFault {
  TWriteStep Step = wsNone;
  int Code = 0;  // the system's reason
  explicit operator bool() const { return Step != wsNone; }
};

// A file replaced as a whole: the new bytes go to a temporary file in the
// same folder, which takes the old file's group (and owner, where this
// user may give it), and Commit flushes it to disk and renames it over the
// old name (then flushes the folder, so the new name survives a crash
// too). Until then, and after any failure, the old file is untouched; a
// replacement that is not committed is removed when the object goes.
class TReplacingFile {
 public:
  TReplacingFile() = default;
  ~TReplacingFile();
  TReplacingFile(const TReplacingFile&) = delete;
  TReplacingFile& operator=(const TReplacingFile&) = delete;

  // Starts the replacement of path. False (and Fault() set) when it cannot.
  bool Open(const std::string& path, const TReplaceOptions& options = {});
  // False once anything failed; the temporary file is gone then.
  bool Write(const void* data, std::size_t size);
  bool Write(const std::string& s) { return Write(s.data(), s.size()); }
  bool Commit();
  // Drops the replacement; the old file stays.
  void Discard();

  const TWriteFault& Fault() const { return Fault_; }
  // The file that is replaced: the link's target when written through one.
  const std::string& Target() const { return Target_; }

 private:
  bool Fail(TWriteStep step, int code);
  bool OpenInPlace();
  bool CommitInPlace();
  void DropTemp();
  bool TakeOwners();

  int Fd_ = -1;
  std::string Target_;
  std::string Temp_;
  bool SetBits_ = false;
  mode_t Bits_ = 0;
  // The file replaced, as Open found it, and whether it may be written in
  // place.
  bool Exists_ = false;
  struct ::stat Old_ {};
  int Mode_ = -1;
  bool InPlaceAllowed_ = false;
  // Writing in place: the bytes wait here for Commit, and ForceBits_ says
  // whether the file must get Bits_ first.
  bool InPlace_ = false;
  bool ForceBits_ = false;
  std::string Pending_;
  TWriteFault Fault_;
};

// Replaces path with content in one go (see TReplacingFile).
TWriteFault ReplaceFile(const std::string& path, const std::string& content, const TReplaceOptions& options = {});

// Replaces path with content; the file gets exactly `mode`. Raises
// EFCreateError ("Cannot create file <path>: <reason>") when the temporary
// file cannot be made, else EWriteError ("Cannot write file ..." or
// "Cannot replace file ..."); the old file is kept then.
void WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode);

// Whether a file name is one that TReplacingFile gives its temporary files
// ("." + the file's name + "." + process id + "-" + count + ".tmp"), in any
// letter case: they hold the new bytes of whatever file is saved, so
// nothing that shows a folder's files should show them.
bool IsReplacementName(const std::string& fileName);

// ---- this process ----------------------------------------------------------------------

// Makes a write past the process's file-size limit fail with EFBIG, as a
// full disk fails, instead of killing the process. Called at start-up.
void IgnoreFileSizeSignal();

// Descriptors this process has open now (the system's list of them); 0 when
// that list cannot be read.
std::size_t OpenDescriptorCount();

}  // namespace plat

#include "ftpcomponents/SimpFTP.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ftpcomponents/FileUtils.h"
#include "ftpcomponents/PathUtils.h"
#include "platform/messaging/messaging.h"

using namespace plat::inet;

namespace {

std::string ExtractFileName(const std::string& s) {
  std::size_t slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

bool FileExists(const std::string& fileName) {
  struct stat st{};
  return ::stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// An argument the server may see: CR or LF would start a command of its
// own, and NUL would cut the name short.
bool SafeArgument(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

// Errors after which the library has closed the control connection.
bool ConnectionLost(DWORD error) {
  return error == ERROR_INTERNET_CONNECTION_ABORTED || error == ERROR_FTP_DROPPED || error == ERROR_INTERNET_TIMEOUT;
}

DWORD_PTR ContextOf(TSimpleFTP* ftp) { return reinterpret_cast<DWORD_PTR>(static_cast<TWinInetControl*>(ftp)); }

}  // namespace

TSimpleFTP::TSimpleFTP(plat::TComponent* owner) : TWinInetControl(owner) {
  SetTransferType(ttBinary);
  FileSystemType_ = ftUnix;
  Port = 21;
  FailIfExistsOnGet = false;
  QuickProgress = false;
  SetPassive(false);
}

TSimpleFTP::~TSimpleFTP() {
  MarkDestroying();
  Disconnect();
  ClearFileList(Files_);
}

void TSimpleFTP::SetTransferType(TFTPTransferType value) {
  TransferType_ = value;
  switch (value) {
    case ttBinary: TransferFlags_ = FTP_TRANSFER_TYPE_BINARY; break;
    case ttAscii: TransferFlags_ = FTP_TRANSFER_TYPE_ASCII; break;
    case ttUnknown: TransferFlags_ = FTP_TRANSFER_TYPE_UNKNOWN; break;
  }
}

void TSimpleFTP::SetFileSystemType(TFTPFileSystemType value) {
  if (!Connected()) {
    FileSystemType_ = value;
    return;
  }
  if (!SilentExceptions) throw ESimpleFTPError("Cannot change file system type when connected");
}

void TSimpleFTP::SetPassive(bool value) {
  Passive_ = value;
  if (value)
    ConnectFlags_ |= INTERNET_FLAG_PASSIVE;
  else
    ConnectFlags_ &= ~INTERNET_FLAG_PASSIVE;
}

std::string TSimpleFTP::AddSlash(const std::string& Path) const {
  if ((!Path.empty() && Path.back() == '/') || FileSystemType_ == ftUnknown) return Path;
  return Path + '/';
}

bool TSimpleFTP::Connect() {
  // A connection the server dropped is not reused: a new one is made.
  if (ConnHandle_.load() && !Connected()) CloseInetHandle(ConnHandle_);
  TWinInetControl::Connect();
  if (OnLogin) OnLogin(this, UserName, Password);
  DWORD error = plat::inet::GetLastError();
  if (InetHandle_.load() && !ConnHandle_.load()) {
    if (!SafeArgument(HostName) || !SafeArgument(UserName) || !SafeArgument(Password)) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      HINTERNET h = InternetConnectA(InetHandle_.load(), HostName.c_str(), static_cast<INTERNET_PORT>(Port),
                                     UserName.c_str(), Password.c_str(), INTERNET_SERVICE_FTP, ConnectFlags_,
                                     ContextOf(this));
      error = plat::inet::GetLastError();
      if (h && !InetHandle_.load()) {
        // Aborted while the login finished: the session is gone already.
        InternetCloseHandle(h);
        h = 0;
        error = ERROR_INTERNET_OPERATION_CANCELLED;
      }
      ConnHandle_.store(h);
    }
  }
  if (ConnHandle_.load()) {
    ServerMessage = LastResponseText();
    if (!StoredRemoteDir_.empty()) ChangeDir(StoredRemoteDir_);
    if (OnConnected) OnConnected(this);
    return true;
  }
  CloseInetHandle(InetHandle_);
  RaiseConnectError(error);
  return false;
}

bool TSimpleFTP::Disconnect() {
  // Both handles are closed whatever the first close or a handler does.
  bool ok = true;
  try {
    CloseInetHandle(ConnHandle_);
  } catch (...) {
    ok = false;
  }
  try {
    if (!TWinInetControl::Disconnect()) ok = false;
  } catch (...) {
    ok = false;
  }
  return ok;
}

bool TSimpleFTP::ChangeDir(const std::string& Dir) {
  if (!Connected()) {
    StoredRemoteDir_ = Dir;
    return true;
  }
  const std::string arg = StripTrailingDelimiter(Dir);
  if (SafeArgument(arg) && FtpSetCurrentDirectoryA(ConnHandle_.load(), arg.c_str())) {
    StoredRemoteDir_ = Dir;
    if (OnDirectoryChange) OnDirectoryChange(this);
    return true;
  }
  if (SilentExceptions || FileSystemType_ == ftUnknown) return false;
  throw ESimpleFTPError(plat::Format("Couldn't change to directory %s", Dir.c_str()));
}

namespace {

// Asking the server a question (where we are, a file's size) is no
// progress and needs no pumping: the status callback is off meanwhile.
class TQuietQuestion {
 public:
  explicit TQuietQuestion(HINTERNET h) : H_(h) { InternetSetStatusCallback(H_, nullptr); }
  ~TQuietQuestion() { InternetSetStatusCallback(H_, InetStatusCallback); }
  TQuietQuestion(const TQuietQuestion&) = delete;
  TQuietQuestion& operator=(const TQuietQuestion&) = delete;

 private:
  HINTERNET H_;
};

}  // namespace

std::string TSimpleFTP::GetRemoteDir() {
  if (!Connected()) return StoredRemoteDir_;
  const HINTERNET conn = ConnHandle_.load();
  const TQuietQuestion quiet(conn);
  std::vector<char> buf(1025, '\0');
  DWORD len = 1024;
  bool ok = FtpGetCurrentDirectoryA(conn, buf.data(), &len);
  if (!ok && plat::inet::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // Long paths are read whole.
    buf.assign(len + 1, '\0');
    len = static_cast<DWORD>(buf.size());
    ok = FtpGetCurrentDirectoryA(conn, buf.data(), &len);
  }
  if (ok) return std::string(buf.data());
  // With the callback off, the library's word that it closed the connection
  // reached no one: the state follows it here.
  if (ConnectionLost(plat::inet::GetLastError())) SetState(isDisconnected);
  return StoredRemoteDir_;
}

bool TSimpleFTP::CheckConnected() const {
  if (Connected()) return true;
  if (!SilentExceptions) throw ESimpleFTPError("Not connected!");
  return false;
}

bool TSimpleFTP::DirExists(const std::string& Dir) {
  // Not connected and silent: both changes are only stored.
  CheckConnected();
  const std::string saved = GetRemoteDir();
  bool result;
  try {
    result = ChangeDir(Dir);
  } catch (...) {
    ChangeDir(saved);
    throw;
  }
  ChangeDir(saved);
  return result;
}

bool TSimpleFTP::MakeDir(const std::string& Dir) {
  if (!CheckConnected()) return false;
  // The whole path goes to the server: remote names may hold ':' or '\'.
  const std::string arg = StripTrailingDelimiter(Dir);
  bool ok = SafeArgument(arg) && FtpCreateDirectoryA(ConnHandle_.load(), arg.c_str());
  if (!ok && !SilentExceptions) throw ESimpleFTPError(plat::Format("Error creating directory %s", Dir.c_str()));
  return ok;
}

bool TSimpleFTP::RemoveDir(const std::string& Dir) {
  if (!CheckConnected()) return false;
  const std::string arg = StripTrailingDelimiter(Dir);
  bool ok = SafeArgument(arg) && FtpRemoveDirectoryA(ConnHandle_.load(), arg.c_str());
  if (!ok && !SilentExceptions) throw ESimpleFTPError(plat::Format("Error removing directory %s", Dir.c_str()));
  return ok;
}

bool TSimpleFTP::Delete(const std::string& FileName) {
  if (FileName.find('/') != std::string::npos) return DeleteFile(FileName);
  return DeleteFile(AddSlash(GetRemoteDir()) + FileName);
}

bool TSimpleFTP::DeleteFile(const std::string& RemoteFile) {
  bool ok = Connected() && SafeArgument(RemoteFile) && FtpDeleteFileA(ConnHandle_.load(), RemoteFile.c_str());
  if (!ok && !SilentExceptions) throw ESimpleFTPError(plat::Format("Error deleting %s", RemoteFile.c_str()));
  return ok;
}

bool TSimpleFTP::Put(const std::string& FileName) {
  if (FileName.find('/') != std::string::npos)
    return PutFile(FileName, AddSlash(GetRemoteDir()) + ExtractFileName(FileName));
  return PutFile(AddBackslash(LocalDir) + FileName, AddSlash(GetRemoteDir()) + FileName);
}

bool TSimpleFTP::PutFile(const std::string& LocalFile, const std::string& RemoteFile) {
  // Silent, the call is still made and fails in the library.
  CheckConnected();
  if (!FileExists(LocalFile) && !SilentExceptions)
    throw ESimpleFTPError(
        plat::Format("Error putting %s to %s: local file not found", LocalFile.c_str(), RemoteFile.c_str()));
  Progress_.BytesDone = 0;
  Progress_.FileSize = FileSizeOf(LocalFile);
  Progress_.FileName = ExtractFileName(LocalFile);
  bool ok = SafeArgument(LocalFile) && SafeArgument(RemoteFile) &&
            FtpPutFileA(ConnHandle_.load(), LocalFile.c_str(), RemoteFile.c_str(), TransferFlags_, ContextOf(this));
  if (!ok && !SilentExceptions)
    throw ESimpleFTPError(plat::Format("Error putting %s to %s", LocalFile.c_str(), RemoteFile.c_str()));
  return ok;
}

int TSimpleFTP::RemoteFileSize(const std::string& RemoteFile, std::int64_t& Size) {
  Size = -1;
  if (!Connected() || !SafeArgument(RemoteFile)) return 0;
  const HINTERNET conn = ConnHandle_.load();
  const TQuietQuestion quiet(conn);
  const std::string command = "SIZE " + RemoteFile;
  if (!FtpCommandA(conn, false, FTP_TRANSFER_TYPE_BINARY, command.c_str(), ContextOf(this), nullptr) &&
      plat::inet::GetLastError() != ERROR_INTERNET_EXTENDED_ERROR) {
    if (ConnectionLost(plat::inet::GetLastError())) SetState(isDisconnected);
    return 0;
  }
  DWORD code = 0;
  char text[256] = {};
  DWORD len = sizeof text;
  if (!InternetGetLastResponseInfoA(&code, text, &len) && plat::inet::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return 0;
  if (code != 213) return static_cast<int>(code);
  // "213 <decimal size>"
  const char* at = std::strchr(text, ' ');
  if (!at || at[1] < '0' || at[1] > '9') return 0;
  std::int64_t v = 0;
  for (++at; *at >= '0' && *at <= '9'; ++at) {
    if (v > (INT64_MAX - 9) / 10) return 0;
    v = v * 10 + (*at - '0');
  }
  Size = v;
  return 213;
}

int TSimpleFTP::FindFiles(const std::string& Mask, bool WithPath, bool All) {
  ClearFileList(Files_);
  Files_.Clear();
  return FindFilesToList(Mask, &Files_, WithPath, All);
}

int TSimpleFTP::FindFilesToList(const std::string& Mask, plat::TStringList* List, bool WithPath, bool All) {
  int count = 0;
  if (List) ClearFileList(*List);
  std::string prefix, mask = Mask;
  if (Mask.find('/') != std::string::npos) {
    prefix = UnixPathPart(Mask);
  } else {
    prefix = AddSlash(GetRemoteDir());
    mask = prefix + Mask;
  }
  if (!SafeArgument(mask)) return 0;
  TWin32FindDataA data;
  HINTERNET find = FtpFindFirstFileA(ConnHandle_.load(), mask.c_str(), &data,
                                    FindFlags_ | (All ? FTP_FLAG_LIST_ALL : 0), ContextOf(this));
  if (!find) return 0;
  std::atomic<HINTERNET> findHandle{find};
  try {
    do {
      auto copy = std::make_unique<TFindDataObject>();
      copy->Data = data;
      TFindDataObject* item = copy.get();
      ++count;
      if (List) List->AddObject(WithPath ? prefix + data.cFileName : data.cFileName, copy.release());
      if (OnFindItem) OnFindItem(this, item->Data);
    } while (InternetFindNextFileA(find, &data));
  } catch (...) {
    CloseInetHandle(findHandle);
    throw;
  }
  CloseInetHandle(findHandle);
  return count;
}

void TSimpleFTP::ClearFileList(plat::TStringList& List) {
  while (List.Count() > 0) {
    const int last = List.Count() - 1;
    plat::TObject* o = List.Objects(last);
    List.SetObject(last, nullptr);
    plat::Free(o);
    List.Delete(last);
  }
}

void TSimpleFTP::GetFileInfo(int Index, TWin32FindDataA& FindData) {
  if (Index < 0 || Index >= Files_.Count()) throw plat::EListError("File index is out of bounds.");
  auto* item = dynamic_cast<TFindDataObject*>(Files_.Objects(Index));
  if (!item) throw plat::EListError("No file information at this index.");
  FindData = item->Data;
}

void TSimpleFTP::StatusChanged(DWORD Status, void* Info, DWORD InfoLength) {
  // Notifications of the destructor's close reach no one.
  if (BeingDestroyed()) return;
  TWinInetControl::StatusChanged(Status, Info, InfoLength);
  // On the abort worker the state change was handed to the GUI thread; the
  // progress and the pumping belong to the GUI thread alone.
  if (!OnOwnerThread()) return;
  if ((Status == INTERNET_STATUS_REQUEST_SENT || Status == INTERNET_STATUS_RESPONSE_RECEIVED) && Info &&
      InfoLength >= sizeof(DWORD)) {
    DWORD count;
    std::memcpy(&count, Info, sizeof count);
    const std::int64_t previous = Progress_.BytesDone;
    Progress_.BytesDone = previous + count;
    if (Progress_.BytesDone == previous || Progress_.BytesDone > Progress_.FileSize)
      Progress_.BytesDone = Progress_.FileSize;
    if (OnTransferProgress && !Progress_.FileName.empty()) OnTransferProgress(this, Progress_);
    if (QuickProgress) UpdateQuickProgress();
  }
  plat::ProcessMessages();
}

void TSimpleFTP::UpdateQuickProgress() {
  if (QuickProgressMajor) {
    QuickProgressMajor->SetMax(Progress_.FilesTotal);
    QuickProgressMajor->SetPosition(Progress_.FilesDone);
  }
  if (QuickProgressMinor) {
    QuickProgressMinor->SetMax(100);
    if (Progress_.FileSize <= 0)
      QuickProgressMinor->SetPosition(0);
    else
      QuickProgressMinor->SetPosition(static_cast<int>(
          std::nearbyint(static_cast<double>(Progress_.BytesDone) / static_cast<double>(Progress_.FileSize) * 100.0)));
  }
  if (QuickLabelMajor && Progress_.FilesTotal > 0)
    QuickLabelMajor->SetCaption(plat::IntToStr(Progress_.FilesDone) + " of " + plat::IntToStr(Progress_.FilesTotal));
  if (QuickLabelMinor && !Progress_.FileName.empty()) QuickLabelMinor->SetCaption(Progress_.FileName);
}

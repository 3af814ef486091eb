// The FTP client component: one FTP connection through the Internet
// library, with the few operations the publishing program needs. Every
// operation blocks; the status handling pumps the GUI thread's messages
// after each notification, so that the windows stay alive and Abort works.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ftpcomponents/WinInetControl.h"

enum TFTPTransferType : std::uint8_t { ttBinary, ttAscii, ttUnknown };
enum TFTPFileSystemType : std::uint8_t { ftUnix, ftUnknown };

struct TFTPProgressInfo {
  std::int64_t BytesDone = 0;
  std::int64_t FileSize = 0;
  std::int32_t FilesDone = 0;
  std::int32_t FilesTotal = 0;
  std::string FileName;
};

using TWin32FindDataA = plat::inet::WIN32_FIND_DATAA;

// The copy of an entry's find data kept as the object of each entry of `Files`.
class TFindDataObject : public plat::TObject {
 public:
  TWin32FindDataA Data;
};

using TLoginEvent = std::function<void(plat::TObject* Sender, std::string& UserName, std::string& Password)>;
using TTransferProgressEvent = std::function<void(plat::TObject* Sender, TFTPProgressInfo ProgressInfo)>;
using TFindItemEvent = std::function<void(plat::TObject* Sender, const TWin32FindDataA& FindData)>;

class ESimpleFTPError : public plat::Exception {
 public:
  using plat::Exception::Exception;
};

class TSimpleFTP : public TWinInetControl {
 public:
  explicit TSimpleFTP(plat::TComponent* owner);
  ~TSimpleFTP() override;

  // ---- published ----
  TFTPTransferType TransferType() const { return TransferType_; }
  void SetTransferType(TFTPTransferType value);
  std::string LocalDir;
  std::string RemoteDir() { return GetRemoteDir(); }
  void SetRemoteDir(const std::string& value) { ChangeDir(value); }
  bool FailIfExistsOnGet = false;  // kept for the form files; there is no download
  TFTPFileSystemType FileSystemType() const { return FileSystemType_; }
  void SetFileSystemType(TFTPFileSystemType value);
  bool Passive() const { return Passive_; }
  void SetPassive(bool value);
  TNotifyEvent OnDirectoryChange;
  TFindItemEvent OnFindItem;
  TLoginEvent OnLogin;
  TTransferProgressEvent OnTransferProgress;

  // ---- public ----
  std::string ServerMessage;
  const TFTPProgressInfo& Progress() const { return Progress_; }
  // The last listing: entry names, each with a TFindDataObject.
  plat::TStringList& Files() { return Files_; }

  bool Connect() override;
  bool Disconnect() override;
  bool ChangeDir(const std::string& Dir);
  std::string GetRemoteDir();
  bool DirExists(const std::string& Dir);
  bool MakeDir(const std::string& Dir);
  bool RemoveDir(const std::string& Dir);
  bool Delete(const std::string& FileName);
  bool DeleteFile(const std::string& RemoteFile);
  bool Put(const std::string& FileName);
  bool PutFile(const std::string& LocalFile, const std::string& RemoteFile);
  // The size the server gives for a remote file (SIZE, asked in binary)
  // and its reply code: 213 with Size set; the server's code when it
  // refused; 0 when no reply came (not connected, connection lost). Never
  // raises.
  int RemoteFileSize(const std::string& RemoteFile, std::int64_t& Size);
  // All: list with "LIST -a" (hidden entries, "." and "..", where the
  // server takes the option).
  int FindFiles(const std::string& Mask, bool WithPath, bool All = false);
  int FindFilesToList(const std::string& Mask, plat::TStringList* List, bool WithPath, bool All = false);
  void GetFileInfo(int Index, TWin32FindDataA& FindData);
  static void ClearFileList(plat::TStringList& List);
  std::string AddSlash(const std::string& Path) const;

  void StatusChanged(plat::inet::DWORD Status, void* Info, plat::inet::DWORD InfoLength) override;

 protected:
  void UpdateQuickProgress() override;

 private:
  bool Connected() const { return State() == isConnected; }
  // True when connected; otherwise raises "Not connected!" unless silent.
  bool CheckConnected() const;

  std::string StoredRemoteDir_;
  TFTPTransferType TransferType_ = ttBinary;
  plat::inet::DWORD TransferFlags_ = plat::inet::FTP_TRANSFER_TYPE_BINARY;
  plat::TStringList Files_;
  std::atomic<plat::inet::HINTERNET> ConnHandle_{0};
  TFTPProgressInfo Progress_;
  bool Passive_ = false;
  TFTPFileSystemType FileSystemType_ = ftUnix;
};

// Our stand-in for the system registry: three roots (current user, local
// machine, classes root), each kept in one text file of the user's
// configuration folder, and the class library's accessor TRegistry on top.
//
// Where the files live: $SITETOOLS_REGISTRY_DIR when set (tests point it at a
// folder of their own), else $XDG_CONFIG_HOME/sitetools/registry, else
// ~/.config/sitetools/registry. Files: "current-user.reg",
// "local-machine.reg", "classes-root.reg" (mode 0600).
//
// Key names compare ignoring ASCII case and keep the spelling they were made
// with; '\' separates key names and is the only byte a key name cannot hold.
// Value names compare exactly (they are often file paths, and '/' paths are
// case-sensitive) and may hold any byte. Values are byte strings or signed
// 32-bit integers.
//
// Every operation re-reads the root's file under a lock (shared for reading,
// exclusive for changing), and every change writes a temporary file that is
// renamed over the old one, so programs working on one root at the same
// time keep each other's changes and a crash never leaves half a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/classes/classes.h"

namespace plat {

using HKEY = std::uint32_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

// Access rights of an opened key.
inline constexpr unsigned KEY_READ = 0x20019u;
inline constexpr unsigned KEY_ALL_ACCESS = 0xF003Fu;

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// Folder holding the registry files (see above); made on the first change.
std::string RegistryFolder();
// The file of one root; raises ERegistryException for an unknown root.
std::string RegistryFile(HKEY root);

class TRegistry : public TObject {
 public:
  TRegistry();  // root HKEY_CURRENT_USER, full access
  explicit TRegistry(unsigned access);
  ~TRegistry() override = default;

  HKEY RootKey() const { return Root_; }
  // Closes the open key. Raises ERegistryException for an unknown root.
  void SetRootKey(HKEY root);
  // Rights used by OpenKey (KEY_READ makes every write raise).
  unsigned Access = KEY_ALL_ACCESS;

  // A key beginning with '\' is taken from the root, any other from the
  // open key (from the root when none is open); empty names between '\' are
  // skipped, so "\Software\Firm\" is "Software\Firm". With canCreate the key
  // and its missing parents are made. On success the key becomes the open
  // one; on failure the open key stays.
  bool OpenKey(const std::string& key, bool canCreate);
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey();
  // The open key's path from the root, without a leading '\' (empty for the
  // root itself or when nothing is open).
  const std::string& CurrentPath() const { return Path_; }
  bool KeyOpen() const { return Open_; }

  bool KeyExists(const std::string& key);
  // Deletes the key with everything below it. False when it does not exist;
  // the root itself (an empty key name) is never deleted.
  bool DeleteKey(const std::string& key);

  // Value operations work on the open key. Without one, reads see nothing
  // and writes raise.
  bool ValueExists(const std::string& name);
  // A missing value reads as the empty string; an integer value raises.
  std::string ReadString(const std::string& name);
  void WriteString(const std::string& name, const std::string& value);
  // A missing value or a string value raises.
  std::int32_t ReadInteger(const std::string& name);
  void WriteInteger(const std::string& name, std::int32_t value);
  bool DeleteValue(const std::string& name);
  // Deletes every value of these names in one change of the file; the
  // number deleted (names not there are passed over).
  int DeleteValues(const std::vector<std::string>& names);
  // Clears list and fills it with the open key's value names in the order
  // they were made.
  void GetValueNames(TStringList& list);

 private:
  bool Open(const std::string& key, bool canCreate, unsigned access);
  std::vector<std::string> Resolve(const std::string& key) const;
  void CheckWritable(const std::string& name) const;
  void WriteValue(const std::string& name, bool isInt, const std::string& str, std::int32_t num);

  HKEY Root_ = HKEY_CURRENT_USER;
  bool Open_ = false;
  bool OpenWritable_ = false;
  std::string Path_;
};

// Values that the system keeps in its own keys (the shell stand-in's
// folders); they are seen by every read but never written to the files
// unless a program overwrites them.
struct TSystemRegistryValue {
  std::string Key;  // path from the root, '\' separated
  std::string Name;
  std::string Value;
};
std::vector<TSystemRegistryValue> SystemRegistryValues(HKEY root);

}  // namespace plat

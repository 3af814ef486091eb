#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/fs/fs.h"
#include "platform/shell/shell.h"

// File format, one line each, LF ends (CR before LF is tolerated):
//   ; comment                      (ignored, as are empty lines)
//   [Software\Firm\Product]        a key, its path from the root
//   Name=s:text                    a string value of the last key
//   Name=i:-12                     an integer value of the last key
// "[]" names the root itself. Bytes below 0x20, 0x7F and '%' are written as
// %HH everywhere; in names also '=', '[', ']', ';' and '\' (in key names),
// so a line's kind is told by its first byte and a value name ends at its
// first '='.

namespace plat {

namespace {

struct Value {
  std::string Name;  // fixed once the value is made: the key's index views it
  bool IsInt = false;
  std::string Str;
  std::int32_t Int = 0;
  bool System = false;  // supplied by the system, not stored in the file
};

// Key names compare ignoring ASCII case.
struct KeyNameHash {
  std::size_t operator()(std::string_view s) const {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
  }
};
struct KeyNameEqual {
  bool operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      char x = a[i], y = b[i];
      if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
      if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
      if (x != y) return false;
    }
    return true;
  }
};

// Values and subkeys in the order they were made. A key with more than a
// few of either also finds them through an index, so that a file is read
// in time linear in its length; the few of most keys are searched, which
// keeps small keys small. The indexes view the names held by the values
// and keys themselves, each on the heap of its own, where growing the
// lists moves none of them.
struct Key {
  std::string Name;  // fixed once the key is made
  std::vector<std::unique_ptr<Value>> Values;
  std::vector<std::unique_ptr<Key>> Keys;
  bool System = false;

  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  Key* Child(const std::string& name) {
    if (!ChildIndex_) {
      for (auto& k : Keys)
        if (KeyNameEqual()(k->Name, name)) return k.get();
      return nullptr;
    }
    auto it = ChildIndex_->find(name);
    return it == ChildIndex_->end() ? nullptr : it->second;
  }
  Key* AddChild(const std::string& name) {
    Keys.push_back(std::make_unique<Key>());
    Key* k = Keys.back().get();
    k->Name = name;
    if (ChildIndex_) {
      ChildIndex_->emplace(k->Name, k);
    } else if (Keys.size() > kSearched) {
      ChildIndex_ = std::make_unique<ChildMap>();
      for (auto& c : Keys) ChildIndex_->emplace(c->Name, c.get());
    }
    return k;
  }
  bool RemoveChild(const std::string& name) {
    Key* k = Child(name);
    if (!k) return false;
    if (ChildIndex_) ChildIndex_->erase(k->Name);  // before the key and its name go
    std::erase_if(Keys, [k](const std::unique_ptr<Key>& c) { return c.get() == k; });
    return true;
  }

  Value* FindValue(const std::string& name) {
    if (!ValueIndex_) {
      for (auto& v : Values)
        if (v->Name == name) return v.get();
      return nullptr;
    }
    auto it = ValueIndex_->find(name);
    return it == ValueIndex_->end() ? nullptr : it->second;
  }
  // The value of that name, made (empty, last) when missing.
  Value& SetValue(const std::string& name) {
    Value* v = FindValue(name);
    if (!v) {
      v = Values.emplace_back(std::make_unique<Value>()).get();
      v->Name = name;
      if (ValueIndex_) {
        ValueIndex_->emplace(v->Name, v);
      } else if (Values.size() > kSearched) {
        ValueIndex_ = std::make_unique<ValueMap>();
        for (auto& each : Values) ValueIndex_->emplace(each->Name, each.get());
      }
    }
    v->System = false;
    return *v;
  }
  // Removes the values whose names `gone` says; the rest keep their order.
  template <class Pred>
  std::size_t RemoveValues(Pred gone) {
    return std::erase_if(Values, [&](const std::unique_ptr<Value>& v) {
      if (!gone(v->Name)) return false;
      if (ValueIndex_) ValueIndex_->erase(v->Name);  // before the value and its name go
      return true;
    });
  }

 private:
  // Up to this many values or subkeys are searched; beyond, indexed.
  static constexpr std::size_t kSearched = 8;
  using ValueMap = std::unordered_map<std::string_view, Value*>;
  using ChildMap = std::unordered_map<std::string_view, Key*, KeyNameHash, KeyNameEqual>;
  std::unique_ptr<ValueMap> ValueIndex_;
  std::unique_ptr<ChildMap> ChildIndex_;
};

const char* RootFileName(HKEY root) {
  switch (root) {
    case HKEY_CURRENT_USER: return "current-user.reg";
    case HKEY_LOCAL_MACHINE: return "local-machine.reg";
    case HKEY_CLASSES_ROOT: return "classes-root.reg";
    default: return nullptr;
  }
}

const char* RootName(HKEY root) {
  switch (root) {
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    default: return "HKEY_CLASSES_ROOT";
  }
}

std::string Escape(const std::string& s, const char* special) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F || c == '%' || (c != 0 && std::strchr(special, c))) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

const char kNameSpecial[] = "=[];";
const char kKeySpecial[] = "[]\\;=";

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= key.size()) {
    std::size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    if (end > start) parts.push_back(key.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool ParseInt32(const std::string& s, std::int32_t& out) {
  if (s.empty() || s.size() > 11) return false;
  std::size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  if (s[0] == '-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

void Parse(const std::string& text, const std::string& file, Key& root) {
  Key* cur = &root;
  std::size_t pos = 0;
  int lineNo = 0;
  auto damaged = [&]() {
    throw ERegistryException(Format("Registry file %s is damaged at line %d", file.c_str(), lineNo));
  };
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') damaged();
      cur = &root;
      std::string name;
      for (const std::string& part : SplitKey(line.substr(1, line.size() - 2))) {
        if (!Unescape(part, name)) damaged();
        Key* next = cur->Child(name);
        cur = next ? next : cur->AddChild(name);
      }
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || line.size() < eq + 3 || line[eq + 2] != ':') damaged();
    std::string name;
    if (!Unescape(line.substr(0, eq), name)) damaged();
    std::string raw = line.substr(eq + 3);
    Value v;
    if (line[eq + 1] == 's') {
      if (!Unescape(raw, v.Str)) damaged();
    } else if (line[eq + 1] == 'i') {
      v.IsInt = true;
      if (!ParseInt32(raw, v.Int)) damaged();
    } else {
      damaged();
    }
    // A name given twice keeps its first place and its last data.
    Value& slot = cur->SetValue(name);
    slot.IsInt = v.IsInt;
    slot.Str = std::move(v.Str);
    slot.Int = v.Int;
  }
}

void Serialize(const Key& key, const std::string& path, bool isRoot, std::string& out) {
  bool hasStored = false;
  for (const auto& v : key.Values) hasStored |= !v->System;
  if ((!isRoot && !key.System) || hasStored) {
    out += "[" + path + "]\n";
    for (const auto& v : key.Values) {
      if (v->System) continue;
      out += Escape(v->Name, kNameSpecial);
      out += v->IsInt ? "=i:" + std::to_string(v->Int) : "=s:" + Escape(v->Str, "");
      out += '\n';
    }
  }
  for (const auto& k : key.Keys) {
    std::string sub = Escape(k->Name, kKeySpecial);
    Serialize(*k, isRoot ? sub : path + "\\" + sub, false, out);
  }
}

// One root loaded under its lock; Save() writes it back before the lock goes.
class LockedRoot {
 public:
  LockedRoot(HKEY root, bool forChange) : Root_(root) {
    File_ = RegistryFile(root);
    std::string folder = RegistryFolder();
    std::string lockFile = File_ + ".lock";
    if (forChange) {
      if (!ForceDirectories(folder, 0700)) {
        throw ERegistryException(Format("Cannot create the registry folder %s: %s", folder.c_str(),
                                        std::strerror(errno)));
      }
      Fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (Fd_ < 0) {
        throw ERegistryException(Format("Cannot lock the registry file %s: %s", File_.c_str(),
                                        std::strerror(errno)));
      }
    } else {
      // Reading needs no folder: a missing one is an empty registry.
      Fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (Fd_ < 0) Fd_ = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (Fd_ >= 0) {
      while (::flock(Fd_, forChange ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
          int err = errno;
          ::close(Fd_);
          throw ERegistryException(Format("Cannot lock the registry file %s: %s", File_.c_str(),
                                          std::strerror(err)));
        }
      }
    }
    try {
      Load();
    } catch (...) {
      if (Fd_ >= 0) ::close(Fd_);
      throw;
    }
  }
  ~LockedRoot() {
    if (Fd_ >= 0) ::close(Fd_);  // also drops the lock
  }
  LockedRoot(const LockedRoot&) = delete;
  LockedRoot& operator=(const LockedRoot&) = delete;

  Key Tree;

  // The key at path (first spellings kept), made with its parents when create.
  Key* Find(const std::vector<std::string>& path, bool create, bool* made = nullptr) {
    Key* cur = &Tree;
    for (const std::string& part : path) {
      Key* next = cur->Child(part);
      if (!next) {
        if (!create) return nullptr;
        next = cur->AddChild(part);
        if (made) *made = true;
      }
      cur = next;
    }
    return cur;
  }

  void Save() {
    std::string out = "; Registry stand-in, root ";
    out += RootName(Root_);
    out += ". Written by the programs; edit only while none of them runs.\n";
    Serialize(Tree, "", true, out);
    try {
      WriteFileAtomically(File_, out, 0600);
    } catch (const Exception& e) {
      throw ERegistryException(e.Message);
    }
  }

 private:
  void Load() {
    TFileText file = ReadWholeFile(File_);
    if (file.Ok()) {
      Parse(file.Text, File_, Tree);
    } else if (!(file.Failed == rsOpen && file.Code == ENOENT)) {
      throw ERegistryException(Format("Cannot read the registry file %s: %s", File_.c_str(),
                                      std::strerror(file.Code)));
    }
    for (const TSystemRegistryValue& sv : SystemRegistryValues(Root_)) {
      Key* cur = &Tree;
      for (const std::string& part : SplitKey(sv.Key)) {
        Key* next = cur->Child(part);
        if (!next) {
          next = cur->AddChild(part);
          next->System = true;
        }
        cur = next;
      }
      if (!cur->FindValue(sv.Name)) {
        Value& v = cur->SetValue(sv.Name);
        v.Str = sv.Value;
        v.System = true;
      }
    }
  }

  HKEY Root_;
  std::string File_;
  int Fd_ = -1;
};

std::string JoinKey(const std::vector<std::string>& parts) {
  std::string s;
  for (const std::string& p : parts) {
    if (!s.empty()) s += '\\';
    s += p;
  }
  return s;
}

}  // namespace

std::string RegistryFolder() {
  const char* dir = std::getenv("SITETOOLS_REGISTRY_DIR");
  if (dir && *dir) return dir;
  return ConfigFolder() + "/sitetools/registry";
}

std::vector<TSystemRegistryValue> SystemRegistryValues(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) {
    return {{"Software\\MicroSoft\\Windows\\CurrentVersion", "ProgramFilesDir", ProgramFilesFolder()}};
  }
  if (root == HKEY_CURRENT_USER) {
    const char* key = "Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    return {{key, "Desktop", DesktopFolder()}, {key, "Programs", ProgramsFolder()}};
  }
  return {};
}

std::string RegistryFile(HKEY root) {
  const char* name = RootFileName(root);
  if (!name) throw ERegistryException(Format("Unknown registry root %#x", root));
  return RegistryFolder() + "/" + name;
}

TRegistry::TRegistry() = default;

TRegistry::TRegistry(unsigned access) : Access(access) {}

void TRegistry::SetRootKey(HKEY root) {
  if (!RootFileName(root)) throw ERegistryException(Format("Unknown registry root %#x", root));
  CloseKey();
  Root_ = root;
}

std::vector<std::string> TRegistry::Resolve(const std::string& key) const {
  std::vector<std::string> parts;
  if (!(key.size() > 0 && key[0] == '\\') && Open_) parts = SplitKey(Path_);
  for (std::string& p : SplitKey(key)) parts.push_back(std::move(p));
  return parts;
}

bool TRegistry::Open(const std::string& key, bool canCreate, unsigned access) {
  std::vector<std::string> path = Resolve(key);
  LockedRoot store(Root_, canCreate);
  bool made = false;
  Key* k = store.Find(path, canCreate, &made);
  if (!k) return false;
  if (made) store.Save();
  // Report the path with the spellings the keys were made with.
  std::vector<std::string> spelled;
  Key* cur = &store.Tree;
  for (const std::string& part : path) {
    cur = cur->Child(part);
    spelled.push_back(cur->Name);
  }
  Path_ = JoinKey(spelled);
  Open_ = true;
  OpenWritable_ = (access & 0x6u) != 0;  // set value or create subkey
  return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) { return Open(key, canCreate, Access); }

bool TRegistry::OpenKeyReadOnly(const std::string& key) { return Open(key, false, KEY_READ); }

void TRegistry::CloseKey() {
  Open_ = false;
  OpenWritable_ = false;
  Path_.clear();
}

bool TRegistry::KeyExists(const std::string& key) {
  LockedRoot store(Root_, false);
  return store.Find(Resolve(key), false) != nullptr;
}

bool TRegistry::DeleteKey(const std::string& key) {
  if (SplitKey(key).empty()) return false;
  std::vector<std::string> path = Resolve(key);
  LockedRoot store(Root_, true);
  std::string last = path.back();
  path.pop_back();
  Key* parent = store.Find(path, false);
  if (!parent || !parent->RemoveChild(last)) return false;
  store.Save();
  return true;
}

bool TRegistry::ValueExists(const std::string& name) {
  if (!Open_) return false;
  LockedRoot store(Root_, false);
  Key* k = store.Find(SplitKey(Path_), false);
  return k && k->FindValue(name);
}

std::string TRegistry::ReadString(const std::string& name) {
  if (!Open_) return std::string();
  LockedRoot store(Root_, false);
  Key* k = store.Find(SplitKey(Path_), false);
  Value* v = k ? k->FindValue(name) : nullptr;
  if (!v) return std::string();
  if (v->IsInt) throw ERegistryException(Format("Invalid data type for '%s'", name.c_str()));
  return v->Str;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
  if (Open_) {
    LockedRoot store(Root_, false);
    Key* k = store.Find(SplitKey(Path_), false);
    Value* v = k ? k->FindValue(name) : nullptr;
    if (v && v->IsInt) return v->Int;
  }
  throw ERegistryException(Format("Invalid data type for '%s'", name.c_str()));
}

void TRegistry::CheckWritable(const std::string& name) const {
  if (!Open_) throw ERegistryException(Format("Failed to set data for '%s': no key is open", name.c_str()));
  if (!OpenWritable_) {
    throw ERegistryException(Format("Failed to set data for '%s': the key is open for reading only", name.c_str()));
  }
}

void TRegistry::WriteValue(const std::string& name, bool isInt, const std::string& str, std::int32_t num) {
  CheckWritable(name);
  LockedRoot store(Root_, true);
  Key* k = store.Find(SplitKey(Path_), false);
  if (!k) {
    throw ERegistryException(Format("Failed to set data for '%s': the key %s no longer exists", name.c_str(),
                                    Path_.c_str()));
  }
  Value& v = k->SetValue(name);
  v.IsInt = isInt;
  v.Str = str;
  v.Int = num;
  store.Save();
}

void TRegistry::WriteString(const std::string& name, const std::string& value) { WriteValue(name, false, value, 0); }

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) { WriteValue(name, true, std::string(), value); }

bool TRegistry::DeleteValue(const std::string& name) {
  if (!Open_ || !OpenWritable_) return false;
  LockedRoot store(Root_, true);
  Key* k = store.Find(SplitKey(Path_), false);
  if (!k || !k->FindValue(name)) return false;
  k->RemoveValues([&name](const std::string& n) { return n == name; });
  store.Save();
  return true;
}

int TRegistry::DeleteValues(const std::vector<std::string>& names) {
  if (!Open_ || !OpenWritable_ || names.empty()) return 0;
  LockedRoot store(Root_, true);
  Key* k = store.Find(SplitKey(Path_), false);
  if (!k) return 0;
  std::unordered_set<std::string_view> gone(names.begin(), names.end());
  std::size_t removed = k->RemoveValues([&gone](const std::string& n) { return gone.count(n) != 0; });
  if (removed > 0) store.Save();
  return static_cast<int>(removed);
}

void TRegistry::GetValueNames(TStringList& list) {
  list.Clear();
  if (!Open_) return;
  LockedRoot store(Root_, false);
  Key* k = store.Find(SplitKey(Path_), false);
  if (!k) return;
  for (const auto& v : k->Values) list.Add(v->Name);
}

}  // namespace plat

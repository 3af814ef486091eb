// Dates, upload stamps, the variables and the stamp list.
#include "sitepublishing/PrjCls.h"

#include <langinfo.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "sitepublishing/ProjectText.h"

using plat::Format;
using plat::Trim;
using plat::UpperCase;
using namespace prjtext;

// ---- date and time -------------------------------------------------------------

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  using namespace std::chrono;
  sys_days d = year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                              std::chrono::day{static_cast<unsigned>(day)}};
  sys_days epoch = year_month_day{std::chrono::year{1899}, std::chrono::month{12}, std::chrono::day{30}};
  double days = static_cast<double>((d - epoch).count());
  double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec;
  return days + ms / 86400000.0;
}

double DateTimeNow() {
  struct timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  ::localtime_r(&ts.tv_sec, &tm);
  return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<int>(ts.tv_nsec / 1000000));
}

std::string DateTimeText(double dateTime) {
  using namespace std::chrono;
  double whole = std::floor(dateTime);
  auto msOfDay = static_cast<long long>(std::llround((dateTime - whole) * 86400000.0));
  auto dayNo = static_cast<long long>(whole);
  if (msOfDay >= 86400000) {
    msOfDay -= 86400000;
    ++dayNo;
  }
  sys_days epoch = year_month_day{std::chrono::year{1899}, std::chrono::month{12}, std::chrono::day{30}};
  year_month_day ymd{epoch + days{dayNo}};
  std::tm tm{};
  tm.tm_year = static_cast<int>(ymd.year()) - 1900;
  tm.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
  tm.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
  tm.tm_wday = static_cast<int>(weekday{sys_days{ymd}}.c_encoding());
  tm.tm_yday = static_cast<int>((sys_days{ymd} - sys_days{ymd.year() / January / 1}).count());
  long long secs = msOfDay / 1000;
  tm.tm_hour = static_cast<int>(secs / 3600);
  tm.tm_min = static_cast<int>(secs / 60 % 60);
  tm.tm_sec = static_cast<int>(secs % 60);
  tm.tm_isdst = -1;
  std::string fmt = ::nl_langinfo(D_FMT);
  if (tm.tm_hour != 0 || tm.tm_min != 0 || tm.tm_sec != 0) {
    fmt += ' ';
    fmt += ::nl_langinfo(T_FMT);
  }
  char buf[256];
  std::size_t n = std::strftime(buf, sizeof buf, fmt.c_str(), &tm);
  return std::string(buf, n);
}

std::string DateTimeIdText(double dateTime) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", dateTime);
  return buf;
}

// ---- upload stamps ---------------------------------------------------------------

std::int32_t PackDosDateTime(const std::tm& local) {
  int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return -1;
  std::uint32_t date = (static_cast<std::uint32_t>(year - 1980) << 9) |
                       (static_cast<std::uint32_t>(local.tm_mon + 1) << 5) |
                       static_cast<std::uint32_t>(local.tm_mday);
  std::uint32_t time = (static_cast<std::uint32_t>(local.tm_hour) << 11) |
                       (static_cast<std::uint32_t>(local.tm_min) << 5) |
                       static_cast<std::uint32_t>(local.tm_sec / 2);
  return static_cast<std::int32_t>((date << 16) | time);
}

std::int32_t FileStamp(const std::string& path) {
  struct stat st{};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  std::tm tm{};
  time_t t = st.st_mtime;
  if (!::localtime_r(&t, &tm)) return -1;
  return PackDosDateTime(tm);
}

TStampNow ReadStampNow(const std::string& path, const struct timespec* folderNow) {
  // File times are wall-clock times, so the slot is judged on that clock,
  // read before the file: an edit after this reading is later still.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  TStampNow r;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return r;
  r.TimeRead = true;
  std::tm tm{};
  const time_t t = st.st_mtime;
  if (!::localtime_r(&t, &tm)) return r;
  r.Stamp = PackDosDateTime(tm);
  // The slot runs over two seconds of local time. A second to spare, since
  // file systems stamp from a coarser clock than the one read here.
  const std::int64_t local = static_cast<std::int64_t>(t) + tm.tm_gmtoff;
  const std::int64_t slotEnd = local - (((local % 2) + 2) % 2) + 2 - tm.tm_gmtoff;
  auto ms = [](const struct timespec& ts) {
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  };
  r.SlotOver = r.Stamp != -1 && ms(now) >= slotEnd * 1000 + 1000;
  // A time from the file system's own clock needs no spare: any later write
  // there is stamped that time or later.
  if (folderNow) r.SlotOver = r.SlotOver && ms(*folderNow) >= slotEnd * 1000;
  return r;
}

// ---- variables ----------------------------------------------------------------------

TVarList::~TVarList() { Clear(); }

TVar* TVarList::Items(int index) const {
  if (index < 0 || index >= Count()) throw plat::EListError(Format("List index out of bounds (%d)", index));
  return Items_[static_cast<std::size_t>(index)];
}

void TVarList::AddVar(const std::string& name, const std::string& value, const std::string& id) {
  auto* v = new TVar;
  v->Name_ = name;
  v->Value = value;
  v->Id = id;
  Items_.push_back(v);
  ByNameStale_ = true;
}

void TVarList::DeleteVar(int index) {
  if (index < 0 || index >= Count()) return;
  TVar* v = Items_[static_cast<std::size_t>(index)];
  Items_.erase(Items_.begin() + index);
  plat::Free(v);
  ByNameStale_ = true;
}

void TVarList::SetName(int index, const std::string& name) {
  Items(index)->Name_ = name;
  ByNameStale_ = true;
}

namespace {

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// FNV-1a over the upper-cased bytes: names equal ignoring ASCII case hash
// alike.
std::uint64_t NameHash(const std::string& s) {
  std::uint64_t h = 14695981039346656037ull;
  for (char c : s) {
    h ^= static_cast<unsigned char>(UpperAscii(c));
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

void TVarList::IndexNames() const {
  ByName_.clear();
  ByName_.reserve(Items_.size());
  for (std::size_t i = 0; i < Items_.size(); ++i) ByName_.emplace_back(NameHash(Items_[i]->Name), i);
  std::sort(ByName_.begin(), ByName_.end());
  ByNameStale_ = false;
}

std::string TVarList::GetValue(const std::string& name) const {
  if (plat::SameText(name, "SYSDATE")) return DateTimeText(DateTimeNow());
  if (ByNameStale_) IndexNames();
  // The first row of that name wins, as a search from row 0 would find it.
  const std::uint64_t h = NameHash(name);
  for (auto it = std::lower_bound(ByName_.begin(), ByName_.end(), std::make_pair(h, std::size_t{0}));
       it != ByName_.end() && it->first == h; ++it) {
    const TVar* v = Items_[it->second];
    if (plat::SameText(v->Name, name)) return v->Value;
  }
  return std::string();
}

void TVarList::AddFixedRows() {
  double now = DateTimeNow();
  AddVar("Name", "Value", DateTimeIdText(now));
  AddVar("sysdate", DateTimeText(now), DateTimeIdText(now));
}

void TVarList::Clear() {
  // Freed from the back: taking row 0 each time would move every other row.
  while (!Items_.empty()) {
    TVar* v = Items_.back();
    Items_.pop_back();
    plat::Free(v);
  }
  ByName_.clear();
  ByNameStale_ = false;
}

void TVarList::WriteSection(std::string& text) const {
  AppendLine(text, "[Variables]");
  for (std::size_t i = 2; i < Items_.size(); ++i) {
    const TVar* v = Items_[i];
    if (HasLineBreak(v->Name) || HasLineBreak(v->Id) || HasLineBreak(v->Value))
      throw plat::Exception(Format("Cannot save the project: the variable \"%s\" holds a line break", v->Name.c_str()));
    if (v->Name.find('=') != std::string::npos)
      throw plat::Exception(Format("Cannot save the project: the variable name \"%s\" holds \"=\"", v->Name.c_str()));
    if (v->Id.find('=') != std::string::npos)
      throw plat::Exception(Format("Cannot save the project: the id of variable \"%s\" holds \"=\"", v->Name.c_str()));
    AppendLine(text, v->Name + "=" + v->Id + "=" + v->Value);
  }
}

void TVarList::LoadFromFile(const std::string& fileName) {
  plat::TStringList lines;
  ReadProjectSection(fileName, "Variables", lines);
  Clear();
  AddFixedRows();
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq);
    if (Trim(name).empty()) continue;
    std::string rest = line.substr(eq + 1);
    std::size_t eq2 = rest.find('=');
    if (eq2 == std::string::npos)
      AddVar(name, rest, std::string());
    else
      AddVar(name, rest.substr(eq2 + 1), rest.substr(0, eq2));
  }
}

// ---- upload stamps ---------------------------------------------------------------

TVersionList::~TVersionList() { Clear(); }

TVersion* TVersionList::Items(int index) const {
  if (index < 0 || index >= Count()) throw plat::EListError(Format("List index out of bounds (%d)", index));
  return Items_[static_cast<std::size_t>(index)];
}

int TVersionList::IndexOfKey(const std::string& key) const {
  for (std::size_t i = 0; i < Items_.size(); ++i)
    if (Items_[i]->Key == key) return static_cast<int>(i);
  return 0;
}

void TVersionList::Insert(TVersion* v) {
  // A new key goes first, as a missing key's index (0) says.
  Items_.push_front(v);
  ByKey_.emplace(v->Key, v);
  ByUpperKey_.emplace(UpperCase(v->Key), v);
}

void TVersionList::Remove(TVersion* v) {
  ByKey_.erase(v->Key);
  auto [from, to] = ByUpperKey_.equal_range(UpperCase(v->Key));
  for (auto it = from; it != to; ++it)
    if (it->second == v) {
      ByUpperKey_.erase(it);
      break;
    }
  Items_.erase(std::find(Items_.begin(), Items_.end(), v));
  plat::Free(v);
}

std::string TVersionList::GetStamp(const std::string& key) const {
  auto it = ByKey_.find(key);
  return it != ByKey_.end() && !it->second->Legacy ? it->second->Stamp : std::string();
}

void TVersionList::SetStamp(const std::string& key, const std::string& stamp) {
  auto it = ByKey_.find(key);
  if (it != ByKey_.end()) {
    it->second->Stamp = stamp;
    it->second->Legacy = false;
    return;
  }
  auto* v = new TVersion;
  v->Key = key;
  v->Stamp = stamp;
  Insert(v);
}

bool TVersionList::Forget(const std::string& key, bool below, bool keepExact) {
  std::vector<TVersion*> gone;
  const std::string upper = UpperCase(key);
  if (below) {
    const std::string prefix = upper + "/";
    for (TVersion* v : Items_) {
      if (keepExact && v->Key == key) continue;
      const std::string k = UpperCase(v->Key);
      if (k == upper || k.compare(0, prefix.size(), prefix) == 0) gone.push_back(v);
    }
  } else {
    auto [from, to] = ByUpperKey_.equal_range(upper);
    for (auto it = from; it != to; ++it)
      if (!keepExact || it->second->Key != key) gone.push_back(it->second);
  }
  for (TVersion* v : gone) Remove(v);
  return !gone.empty();
}

void TVersionList::Clear() {
  ByKey_.clear();
  ByUpperKey_.clear();
  while (!Items_.empty()) {
    TVersion* v = Items_.front();
    Items_.pop_front();
    plat::Free(v);
  }
}

void TVersionList::WriteSection(std::string& text) const {
  AppendLine(text, "[Versions]");
  for (const TVersion* v : Items_) {
    // A legacy entry is never read, and the file written now says its keys
    // are exact ones.
    if (v->Legacy || HasLineBreak(v->Key) || HasLineBreak(v->Stamp)) continue;
    AppendLine(text, v->Key + "=" + v->Stamp);
  }
}

void TVersionList::LoadFromFile(const std::string& fileName) {
  // Only a file written by this program says that its keys keep their case.
  plat::TStringList general;
  ReadProjectSection(fileName, "GENERAL", general);
  bool exactKeys = false;
  for (int i = 0; i < general.Count(); ++i) {
    const std::string& line = general[i];
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && plat::SameText(line.substr(0, eq), kExactKeysName) &&
        line.substr(eq + 1) == kExactKeysValue)
      exactKeys = true;
  }
  std::vector<std::string> lines = SplitLines(ReadProjectText(fileName));
  Clear();
  bool inside = false;
  for (const std::string& line : lines) {
    if (!inside) {
      inside = line == "[Versions]";
      continue;
    }
    if (IsSectionLine(line)) break;
    // Keys are paths and may hold "="; stamps never do.
    std::size_t eq = line.rfind('=');
    const std::string key = eq == std::string::npos ? std::string() : line.substr(0, eq);
    const std::string stamp = eq == std::string::npos ? line : line.substr(eq + 1);
    // A repeated key overwrites; keys in another letter case are other keys.
    auto it = ByKey_.find(key);
    if (it != ByKey_.end()) {
      it->second->Stamp = stamp;
      continue;
    }
    auto* v = new TVersion;
    v->Key = key;
    v->Stamp = stamp;
    // The old program wrote every key upper-cased.
    v->Legacy = !exactKeys && key == UpperCase(key);
    Insert(v);
  }
}

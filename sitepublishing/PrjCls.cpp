#include "sitepublishing/PrjCls.h"

#include "ftpcomponents/PathUtils.h"
#include "platform/registry/registry.h"

#include <fcntl.h>
#include <langinfo.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

using plat::Format;
using plat::Trim;
using plat::UpperCase;

namespace {

std::string ExtractFileName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileDir(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The text after the last "." of the file name; empty without one.
std::string ExtractExt(const std::string& path) {
  std::string name = ExtractFileName(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// A section header as the reader recognises it. Every other line of a file
// this program writes holds "=", so values with brackets never end a section.
bool IsSectionLine(const std::string& line) {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']' && line.find('=') == std::string::npos;
}

int ReadAllFromFd(int fd, std::string& out, std::int64_t limit) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (limit >= 0 && static_cast<std::int64_t>(out.size()) + n > limit) return EFBIG;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// A project file read whole; raises the file layer's error.
std::string ReadProjectText(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw EInOutError(errno);
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    ::close(fd);
    throw EInOutError(err);
  }
  std::string text;
  int err = ReadAllFromFd(fd, text, -1);
  ::close(fd);
  if (err != 0) throw EInOutError(err);
  return text;
}

// Lines end with CR LF; hand-edited files may use LF or CR alone.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void AppendLine(std::string& text, const std::string& line) {
  text += line;
  text += "\r\n";
}

}  // namespace

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

// ---- file errors -----------------------------------------------------------------

namespace {
std::string InOutText(int code) {
  switch (code) {
    case ENOENT: return "File not found";
    case ENOTDIR: return "Path not found";
    case EMFILE:
    case ENFILE: return "Too many open files";
    case EACCES:
    case EPERM:
    case EROFS: return "File access denied";
    case ENOSPC:
    case EDQUOT: return "Disk full";
    default: return Format("I/O error %d", code);
  }
}
}  // namespace

EInOutError::EInOutError(int errorCode) : plat::Exception(InOutText(errorCode)), ErrorCode(errorCode) {}

// ---- variables ----------------------------------------------------------------------

TVarList::~TVarList() { Clear(); }

TVar* TVarList::Items(int index) const {
  if (index < 0 || index >= Count()) throw plat::EListError(Format("List index out of bounds (%d)", index));
  return Items_[static_cast<std::size_t>(index)];
}

void TVarList::AddVar(const std::string& name, const std::string& value, const std::string& id) {
  auto* v = new TVar;
  v->Name = name;
  v->Value = value;
  v->Id = id;
  Items_.push_back(v);
}

void TVarList::DeleteVar(int index) {
  if (index < 0 || index >= Count()) return;
  TVar* v = Items_[static_cast<std::size_t>(index)];
  Items_.erase(Items_.begin() + index);
  plat::Free(v);
}

std::string TVarList::GetValue(const std::string& name) const {
  std::string n = UpperCase(name);
  if (n == "SYSDATE") return DateTimeText(DateTimeNow());
  for (const TVar* v : Items_)
    if (UpperCase(v->Name) == n) return v->Value;
  return std::string();
}

void TVarList::AddFixedRows() {
  double now = DateTimeNow();
  AddVar("Name", "Value", DateTimeIdText(now));
  AddVar("sysdate", DateTimeText(now), DateTimeIdText(now));
}

void TVarList::Clear() {
  while (!Items_.empty()) DeleteVar(0);
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
  std::string k = UpperCase(key);
  for (std::size_t i = 0; i < Items_.size(); ++i)
    if (Items_[i]->Key == k) return static_cast<int>(i);
  return 0;
}

std::string TVersionList::GetStamp(const std::string& key) const {
  std::string k = UpperCase(key);
  int i = IndexOfKey(k);
  if (i < Count() && Items_[static_cast<std::size_t>(i)]->Key == k) return Items_[static_cast<std::size_t>(i)]->Stamp;
  return std::string();
}

void TVersionList::SetStamp(const std::string& key, const std::string& stamp) {
  std::string k = UpperCase(key);
  int i = IndexOfKey(k);
  if (i < Count() && Items_[static_cast<std::size_t>(i)]->Key == k) {
    Items_[static_cast<std::size_t>(i)]->Stamp = stamp;
    return;
  }
  auto* v = new TVersion;
  v->Key = k;
  v->Stamp = stamp;
  Items_.insert(Items_.begin() + i, v);
}

void TVersionList::Clear() {
  while (!Items_.empty()) {
    TVersion* v = Items_.front();
    Items_.erase(Items_.begin());
    plat::Free(v);
  }
}

void TVersionList::WriteSection(std::string& text) const {
  AppendLine(text, "[Versions]");
  for (const TVersion* v : Items_) {
    if (HasLineBreak(v->Key) || HasLineBreak(v->Stamp)) continue;
    AppendLine(text, v->Key + "=" + v->Stamp);
  }
}

void TVersionList::LoadFromFile(const std::string& fileName) {
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
    if (eq == std::string::npos)
      SetStamp(std::string(), line);
    else
      SetStamp(line.substr(0, eq), line.substr(eq + 1));
  }
}

// ---- project file ----------------------------------------------------------------

void ReadProjectSection(const std::string& fileName, const std::string& name, plat::TStringList& lines) {
  std::string target = "[" + UpperCase(name) + "]";
  bool inside = false;
  for (const std::string& line : SplitLines(ReadProjectText(fileName))) {
    if (inside && IsSectionLine(line)) break;
    if (!inside && UpperCase(line) == target) inside = true;
    if (inside) lines.Add(line);
  }
}

void WriteFileAtomically(const std::string& fileName, const std::string& text, int mode) {
  // Write through a link to the file it names, so the link survives.
  std::string target = fileName;
  struct stat lst{};
  if (::lstat(fileName.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(fileName.c_str(), nullptr);
    if (real) {
      target = real;
      ::free(real);
    }
  }
  struct stat old{};
  bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) throw EInOutError(EISDIR);
  // The rename would replace a write-protected file as well; refuse as
  // writing into it would.
  if (exists && ::access(target.c_str(), W_OK) != 0) throw EInOutError(errno);
  if (target.empty()) throw EInOutError(ENOENT);

  static std::atomic<unsigned> counter{0};
  std::string dir = ExtractFileDir(target);
  std::string base = ExtractFileName(target);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = Format("%s/.%s.%d-%u.tmp", dir.c_str(), base.c_str(), static_cast<int>(::getpid()), counter++);
    // 0666 lets the umask give a new file the usual bits.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode >= 0 ? mode : 0666);
    if (fd < 0 && errno != EEXIST) throw EInOutError(errno);
  }
  if (fd < 0) throw EInOutError(EEXIST);

  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw EInOutError(err);
  };
  mode_t bits = 0;
  bool setBits = false;
  if (mode >= 0) {
    bits = static_cast<mode_t>(mode);
    setBits = true;
  } else if (exists) {
    bits = old.st_mode & 07777;
    setBits = true;
  }
  if (setBits && ::fchmod(fd, bits) != 0) fail(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    if (n == 0) fail(ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    throw EInOutError(err);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    throw EInOutError(err);
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

// ---- the project ---------------------------------------------------------------------

namespace {
struct GeneralKey {
  const char* Key;
  TProjectField Field;
};
constexpr GeneralKey kGeneralKeys[] = {
    {"Path", pfPath},         {"FTPHost", pfFTPHost}, {"FTPLogin", pfFTPLogin},
    {"FTPPassword", pfFTPPassword}, {"FTPPath", pfFTPPath}, {"ExcludeFile", pfExclude},
};
}  // namespace

void TProject::WriteGeneral(std::string& text) {
  TProjectForm& f = Fields();
  bool remember = f.RememberPassword();
  AppendLine(text, "[GENERAL]");
  for (const GeneralKey& k : kGeneralKeys) {
    if (k.Field == pfFTPPassword && !remember) continue;
    std::string value = f.FieldText(k.Field);
    if (HasLineBreak(value))
      throw plat::Exception(Format("Cannot save the project: the %s field holds a line break", k.Key));
    AppendLine(text, std::string(k.Key) + "=" + value);
  }
}

void TProject::ReadGeneral(const std::string& fileName) {
  plat::TStringList lines;
  ReadProjectSection(fileName, "GENERAL", lines);
  auto valueOf = [&](const char* key) {
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string& line = lines[i];
      std::size_t eq = line.find('=');
      if (eq != std::string::npos && plat::SameText(line.substr(0, eq), key)) return line.substr(eq + 1);
    }
    return std::string();
  };
  TProjectForm& f = Fields();
  f.SetFieldText(pfPath, valueOf("Path"));
  f.SetFieldText(pfFTPHost, valueOf("FTPHost"));
  f.SetFieldText(pfFTPLogin, valueOf("FTPLogin"));
  std::string password = valueOf("FTPPassword");
  f.SetFieldText(pfFTPPassword, password);
  f.SetRememberPassword(!password.empty());
  f.SetFieldText(pfFTPPath, valueOf("FTPPath"));
  f.SetFieldText(pfExclude, valueOf("ExcludeFile"));
}

void TProject::Save() {
  std::string text;
  WriteGeneral(text);
  VarList->WriteSection(text);
  VersionList->WriteSection(text);
  // A password in plain text is for the owner's eyes only.
  WriteFileAtomically(FileName, text, Fields().RememberPassword() ? 0600 : -1);
  Modified = false;
  AddToHistory();
  WriteDefaultProject(FileName);
}

void TProject::Load() {
  try {
    ReadGeneral(FileName);
    VarList->LoadFromFile(FileName);
    Fields().VarRowsChanged(VarList->Count());
    VersionList->LoadFromFile(FileName);
  } catch (...) {
    FileName.clear();
    throw;
  }
  Modified = false;
  AddToHistory();
  WriteDefaultProject(FileName);
}

void TProject::Clear() {
  FileName.clear();
  VarList->Clear();
  VarList->AddFixedRows();
  Fields().VarRowsChanged(VarList->Count());
  VersionList->Clear();
  Modified = false;
}

std::string TProject::DisplayName(const std::string& path) {
  std::string name = ExtractFileName(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// ---- page tags ------------------------------------------------------------------------

TFileParser::~TFileParser() { RemoveTemp(); }

void TFileParser::RemoveTemp() {
  if (!SourceName.empty()) ::unlink((TempFolder + "/" + SourceName).c_str());
  if (!TempFolder.empty()) ::rmdir(TempFolder.c_str());
  SourceName.clear();
  TempFolder.clear();
}

void TFileParser::PrepareTemp(const std::string& sourceFile) {
  RemoveTemp();
  const char* tmp = ::getenv("TMPDIR");
  std::string tempPath = AddBackslash(tmp && *tmp ? tmp : "/tmp");
  std::string pattern = tempPath + "zvfXXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw plat::EFCreateError(Format("Cannot create file %s", pattern.c_str()));
  TempFolder = buf.data();
  SourceName = ExtractFileName(sourceFile);
  OutputFile = TempFolder + "/" + SourceName;
}

std::string TFileParser::ReadFileText(const std::string& fileName, FileId* id) {
  // Non-blocking, so that a FIFO is refused instead of waited on.
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw plat::EFOpenError(Format("Cannot open file %s", fileName.c_str()));
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw plat::EFOpenError(Format("Cannot open file %s", fileName.c_str()));
  }
  if (id) {
    id->Dev = st.st_dev;
    id->Ino = st.st_ino;
  }
  std::string text;
  int err = st.st_size > MaxFileSize ? EFBIG : ReadAllFromFd(fd, text, MaxFileSize);
  ::close(fd);
  if (err == EFBIG) throw plat::EReadError(Format("File %s is too large", fileName.c_str()));
  if (err != 0) throw plat::EReadError(Format("Cannot read file %s", fileName.c_str()));
  return text;
}

namespace {

// The text still to be scanned: the unread rest of each file in the include
// chain, innermost first. A file stays in the chain until the scan looks for
// the next "<" beyond its end, so a tag that starts in a file counts as
// written there even when its ">" lies in the file around it.
struct ScanFile {
  std::string Text;
  std::size_t Pos = 0;
  dev_t Dev = 0;
  ino_t Ino = 0;
};

class Scanner {
 public:
  std::vector<ScanFile> Files;  // back() is scanned first

  // Hands over the text before the next "<" and consumes the "<"; false at
  // the end of all text.
  template <class Sink>
  bool NextTag(Sink&& sink) {
    for (;;) {
      while (!Files.empty() && Files.back().Pos >= Files.back().Text.size()) Files.pop_back();
      if (Files.empty()) return false;
      ScanFile& f = Files.back();
      std::size_t lt = f.Text.find('<', f.Pos);
      if (lt == std::string::npos) {
        sink(f.Text.data() + f.Pos, f.Text.size() - f.Pos);
        f.Pos = f.Text.size();
        continue;
      }
      sink(f.Text.data() + f.Pos, lt - f.Pos);
      f.Pos = lt + 1;
      return true;
    }
  }

  // The first n characters still to be scanned (fewer at the end).
  std::string Peek(std::size_t n) const {
    std::string s;
    for (auto it = Files.rbegin(); it != Files.rend() && s.size() < n; ++it)
      s.append(it->Text, it->Pos, std::min(n - s.size(), it->Text.size() - it->Pos));
    return s;
  }

  // Position (counting from 1) of the first ">", 0 when there is none.
  std::size_t FindGt() const {
    std::size_t before = 0;
    for (auto it = Files.rbegin(); it != Files.rend(); ++it) {
      std::size_t gt = it->Text.find('>', it->Pos);
      if (gt != std::string::npos) return before + (gt - it->Pos) + 1;
      before += it->Text.size() - it->Pos;
    }
    return 0;
  }

  // Removes the first n characters, returning them.
  std::string Take(std::size_t n) {
    std::string s;
    for (auto it = Files.rbegin(); it != Files.rend() && n > 0; ++it) {
      std::size_t k = std::min(n, it->Text.size() - it->Pos);
      s.append(it->Text, it->Pos, k);
      it->Pos += k;
      n -= k;
    }
    return s;
  }
};

class OutputWriter {
 public:
  OutputWriter(int fd, const std::string& name, std::int64_t limit) : Fd_(fd), Name_(name), Limit_(limit) {}
  void Write(const char* p, std::size_t n) {
    Total_ += static_cast<std::int64_t>(n);
    if (Total_ > Limit_) throw plat::EWriteError(Format("Output of %s is too large", Name_.c_str()));
    Buf_.append(p, n);
    if (Buf_.size() >= 65536) Flush();
  }
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  void Flush() {
    std::size_t done = 0;
    while (done < Buf_.size()) {
      ssize_t n = ::write(Fd_, Buf_.data() + done, Buf_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw plat::EWriteError(Format("Cannot write file %s", Name_.c_str()));
      done += static_cast<std::size_t>(n);
    }
    Buf_.clear();
  }

 private:
  int Fd_;
  std::string Name_;
  std::int64_t Limit_;
  std::int64_t Total_ = 0;
  std::string Buf_;
};

}  // namespace

void TFileParser::Process(const std::string& sourceFile) {
  std::string ext = ExtractExt(sourceFile);
  if (ext.empty() || std::string("html:htm").find(ext) == std::string::npos) {
    OutputFile = sourceFile;
    return;
  }
  PrepareTemp(sourceFile);
  int fd = ::open(OutputFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw plat::EFCreateError(Format("Cannot create file %s", OutputFile.c_str()));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  Scanner scan;
  FileId id;
  scan.Files.push_back(ScanFile{ReadFileText(sourceFile, &id), 0, id.Dev, id.Ino});
  OutputWriter out(fd, sourceFile, MaxOutputSize);
  std::string folder = Project ? Project->Fields().FieldText(pfPath) : std::string();

  while (scan.NextTag([&](const char* p, std::size_t n) { out.Write(p, n); })) {
    if (UpperCase(scan.Peek(5)) == "IVAR ") {
      std::size_t q = scan.FindGt();
      if (q == 0) q = 5;
      std::string tag = scan.Take(q);
      std::string name = q > 6 ? Trim(tag.substr(5, q - 6)) : std::string();
      out.Write(VarList ? VarList->GetValue(name) : std::string());
    } else if (UpperCase(scan.Peek(6)) == "IFILE ") {
      std::size_t q = scan.FindGt();
      if (q == 0) q = 6;
      std::string tag = scan.Take(q);
      std::string path = q > 7 ? Trim(tag.substr(6, q - 7)) : std::string();
      // A relative path is taken from the project folder, not from the
      // folder of the including file.
      if (path.empty() || path.front() != '/') path = AddBackslash(folder) + path;
      FileId inc;
      std::string content = ReadFileText(path, &inc);
      for (const ScanFile& f : scan.Files)
        if (f.Dev == inc.Dev && f.Ino == inc.Ino)
          throw plat::EFOpenError(Format("Cannot include file %s: it includes itself", path.c_str()));
      if (static_cast<int>(scan.Files.size()) > MaxIncludeDepth)
        throw plat::EFOpenError(Format("Cannot include file %s: more than %d nested includes", path.c_str(),
                                       MaxIncludeDepth));
      scan.Files.push_back(ScanFile{std::move(content), 0, inc.Dev, inc.Ino});
    } else {
      out.Write("<", 1);
    }
  }
  out.Flush();
}

// ---- the one instance of each -----------------------------------------------------

TVarList* VarList = nullptr;
TVersionList* VersionList = nullptr;
TProject* Project = nullptr;

namespace {
struct UnitLifetime {
  UnitLifetime() {
    VarList = new TVarList;
    VarList->AddFixedRows();
    VersionList = new TVersionList;
    Project = new TProject;
  }
  ~UnitLifetime() {
    plat::FreeAndNil(VarList);
    plat::FreeAndNil(VersionList);
    plat::FreeAndNil(Project);
  }
} unitLifetime;
}  // namespace

// ---- project history (registry) ---------------------------------------------------

namespace {

const char kProductKey[] = "\\Software\\Korvane\\Zentavox";
const char kProjectsKey[] = "\\Software\\Korvane\\Zentavox\\Projects\\";
const char kDefaultProject[] = "DefaultProject";

// Every key is opened for writing and made when missing. Writers need it
// and raise when it cannot be had; readers then see nothing.
bool OpenProductKey(plat::TRegistry& reg, const char* key, bool mustOpen) {
  if (reg.OpenKey(key, true)) return true;
  if (mustOpen) throw plat::ERegistryException(Format("Cannot open registry key %s", key));
  return false;
}

bool ProjectFileExists(const std::string& path) {
  struct stat st{};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

void TProject::FillHistoryMenu(std::vector<THistoryEntry>& menu) {
  menu.clear();
  plat::TStringList names;
  {
    plat::TRegistry reg;
    if (!OpenProductKey(reg, kProjectsKey, false)) return;
    reg.GetValueNames(names);
  }
  std::vector<std::string> paths;
  for (int i = 0; i < names.Count(); ++i) paths.push_back(names[i]);
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    int c = plat::CompareText(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  for (std::size_t i = 0; i < paths.size(); ++i) {
    // A file that has gone leaves the history; its number is not reused.
    if (!ProjectFileExists(paths[i])) {
      RemoveFromHistory(paths[i]);
      continue;
    }
    menu.push_back(THistoryEntry{"&" + plat::IntToStr(static_cast<std::int64_t>(i) + 1) + " " + DisplayName(paths[i]),
                                 paths[i]});
  }
}

void TProject::AddToHistory() {
  if (Trim(FileName).empty()) return;
  plat::TRegistry reg;
  OpenProductKey(reg, kProjectsKey, true);
  reg.WriteString(FileName, std::string());
}

void TProject::RemoveFromHistory(const std::string& path) {
  if (Trim(path).empty()) return;
  plat::TRegistry reg;
  OpenProductKey(reg, kProjectsKey, true);
  reg.DeleteValue(path);
}

std::string TProject::ReadDefaultProject() {
  plat::TRegistry reg;
  if (!OpenProductKey(reg, kProductKey, false) || !reg.ValueExists(kDefaultProject)) return std::string();
  std::string path;
  try {
    path = reg.ReadString(kDefaultProject);
  } catch (const plat::ERegistryException&) {
    return std::string();  // not a string: no project to open
  }
  if (!ProjectFileExists(path)) {
    reg.DeleteValue(kDefaultProject);
    return std::string();
  }
  return path;
}

void TProject::WriteDefaultProject(const std::string& path) {
  plat::TRegistry reg;
  OpenProductKey(reg, kProductKey, true);
  reg.WriteString(kDefaultProject, path);
}

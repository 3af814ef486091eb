#include "platform/classes/classes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace plat {

void Free(TObject* obj) {
  if (!obj) return;
  obj->BeforeDestruction();
  delete obj;
}

// ---- error box ---------------------------------------------------------------

namespace {
std::mutex g_errorHookMutex;
ErrorBoxHook g_errorHook;
}  // namespace

void SetApplicationErrorHook(ErrorBoxHook hook) {
  std::lock_guard<std::mutex> lock(g_errorHookMutex);
  g_errorHook = std::move(hook);
}

void ShowApplicationError(const std::string& message) {
  ErrorBoxHook hook;
  {
    std::lock_guard<std::mutex> lock(g_errorHookMutex);
    hook = g_errorHook;
  }
  if (hook) {
    hook(message);
  } else {
    std::fprintf(stderr, "%s\n", message.c_str());
  }
}

void ShowApplicationException(const std::exception& e) { ShowApplicationError(e.what()); }

// ---- components ----------------------------------------------------------------

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying_ = true;
  // Free owned components last first; each one removes itself from the list.
  while (!Components_.empty()) {
    TComponent* c = Components_.back();
    Free(c);
  }
  if (Owner_) Owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* c) {
  c->Owner_ = this;
  Components_.push_back(c);
}

void TComponent::RemoveComponent(TComponent* c) {
  auto it = std::find(Components_.rbegin(), Components_.rend(), c);
  if (it != Components_.rend()) Components_.erase(std::next(it).base());
  c->Owner_ = nullptr;
}

// ---- text helpers ------------------------------------------------------------

std::string IntToStr(std::int64_t v) { return std::to_string(v); }

std::string UpperCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

int CompareText(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string FormatV(const char* fmt, va_list ap) {
  va_list ap1;
  va_copy(ap1, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap1);
  va_end(ap1);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    va_list ap2;
    va_copy(ap2, ap);
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    va_end(ap2);
    out.resize(static_cast<std::size_t>(n));
  }
  return out;
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string out = FormatV(fmt, ap);
  va_end(ap);
  return out;
}

// ---- string list -------------------------------------------------------------

namespace {
void CheckIndex(int i, int count) {
  if (i < 0 || i >= count) throw EListError(Format("List index out of bounds (%d)", i));
}
}  // namespace

int TStringList::Compare(const std::string& a, const std::string& b) const {
  return CaseSensitive ? a.compare(b) : CompareText(a, b);
}

const std::string& TStringList::Strings(int i) const {
  CheckIndex(i, Count());
  return Items_[static_cast<std::size_t>(i)].S;
}

void TStringList::SetString(int i, const std::string& s) {
  CheckIndex(i, Count());
  Items_[static_cast<std::size_t>(i)].S = s;
}

TObject* TStringList::Objects(int i) const {
  CheckIndex(i, Count());
  return Items_[static_cast<std::size_t>(i)].O;
}

void TStringList::SetObject(int i, TObject* o) {
  CheckIndex(i, Count());
  Items_[static_cast<std::size_t>(i)].O = o;
}

int TStringList::Add(const std::string& s) { return AddObject(s, nullptr); }

int TStringList::AddObject(const std::string& s, TObject* o) {
  if (Sorted) {
    auto it = std::upper_bound(Items_.begin(), Items_.end(), s,
                               [this](const std::string& v, const Item& it2) { return Compare(v, it2.S) < 0; });
    auto pos = it - Items_.begin();
    Items_.insert(it, Item{s, o});
    return static_cast<int>(pos);
  }
  Items_.push_back(Item{s, o});
  return Count() - 1;
}

void TStringList::Insert(int i, const std::string& s, TObject* o) {
  if (i < 0 || i > Count()) throw EListError(Format("List index out of bounds (%d)", i));
  Items_.insert(Items_.begin() + i, Item{s, o});
}

void TStringList::Delete(int i) {
  CheckIndex(i, Count());
  Items_.erase(Items_.begin() + i);
}

void TStringList::Clear() { Items_.clear(); }

void TStringList::Move(int from, int to) {
  CheckIndex(from, Count());
  CheckIndex(to, Count());
  Item it = Items_[static_cast<std::size_t>(from)];
  Items_.erase(Items_.begin() + from);
  Items_.insert(Items_.begin() + to, it);
}

void TStringList::Exchange(int a, int b) {
  CheckIndex(a, Count());
  CheckIndex(b, Count());
  std::swap(Items_[static_cast<std::size_t>(a)], Items_[static_cast<std::size_t>(b)]);
}

int TStringList::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i)
    if (Compare(Items_[static_cast<std::size_t>(i)].S, s) == 0) return i;
  return -1;
}

std::string TStringList::Names(int i) const {
  const std::string& s = Strings(i);
  auto p = s.find('=');
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

int TStringList::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = Items_[static_cast<std::size_t>(i)].S;
    auto p = s.find('=');
    if (p != std::string::npos && Compare(s.substr(0, p), name) == 0) return i;
  }
  return -1;
}

std::string TStringList::Values(const std::string& name) const {
  int i = IndexOfName(name);
  if (i < 0) return std::string();
  const std::string& s = Items_[static_cast<std::size_t>(i)].S;
  return s.substr(s.find('=') + 1);
}

std::string TStringList::Text() const {
  std::string out;
  for (const Item& it : Items_) {
    out += it.S;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(const std::string& text) {
  Items_.clear();
  std::size_t i = 0, n = text.size();
  while (i < n) {
    std::size_t j = i;
    while (j < n && text[j] != '\r' && text[j] != '\n') ++j;
    Add(text.substr(i, j - i));
    if (j < n && text[j] == '\r') ++j;
    if (j < n && text[j] == '\n') ++j;
    i = j;
  }
}

void TStringList::Sort() {
  std::stable_sort(Items_.begin(), Items_.end(),
                   [this](const Item& a, const Item& b) { return Compare(a.S, b.S) < 0; });
}

void TStringList::LoadFromFile(const std::string& path) {
  TMemoryStream m;
  m.LoadFromFile(path);
  SetText(m.Data());
}

void TStringList::SaveToFile(const std::string& path) const {
  TFileStream f(path, fmCreate);
  std::string t = Text();
  f.WriteBuffer(t.data(), static_cast<std::int64_t>(t.size()));
}

// ---- streams ---------------------------------------------------------------------

std::int64_t TStream::Size() {
  std::int64_t pos = Seek(0, soCurrent);
  std::int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::int64_t done = 0;
  char buf[65536];
  while (done < count) {
    std::int64_t n = std::min<std::int64_t>(count - done, sizeof buf);
    source.ReadBuffer(buf, n);
    WriteBuffer(buf, n);
    done += n;
  }
  return done;
}

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : FileName_(fileName) {
  if (mode == fmCreate) {
    Fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (Fd_ < 0) throw EFCreateError(Format("Cannot create file %s", fileName.c_str()));
    return;
  }
  int flags = O_CLOEXEC;
  switch (mode & 3) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  Fd_ = ::open(fileName.c_str(), flags);
  if (Fd_ < 0) throw EFOpenError(Format("Cannot open file %s", fileName.c_str()));
}

TFileStream::~TFileStream() {
  if (Fd_ >= 0) ::close(Fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(Fd_, static_cast<char*>(buffer) + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(Fd_, static_cast<const char*>(buffer) + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(Fd_, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

void TFileStream::SetSize(std::int64_t newSize) {
  if (::ftruncate(Fd_, static_cast<off_t>(newSize)) != 0) throw EStreamError("Stream size error");
  if (Position() > newSize) Seek(newSize, soBeginning);
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  std::int64_t avail = static_cast<std::int64_t>(Data_.size()) - Pos_;
  std::int64_t n = std::max<std::int64_t>(0, std::min(avail, count));
  if (n > 0) std::memcpy(buffer, Data_.data() + Pos_, static_cast<std::size_t>(n));
  Pos_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::size_t end = static_cast<std::size_t>(Pos_ + count);
  if (end > Data_.size()) Data_.resize(end);
  std::memcpy(Data_.data() + Pos_, buffer, static_cast<std::size_t>(count));
  Pos_ += count;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? Pos_ : static_cast<std::int64_t>(Data_.size());
  std::int64_t p = base + offset;
  if (p < 0) p = 0;
  Pos_ = p;
  return Pos_;
}

void TMemoryStream::SetSize(std::int64_t newSize) {
  Data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, newSize)));
  if (Pos_ > newSize) Pos_ = newSize;
}

void TMemoryStream::Clear() {
  Data_.clear();
  Pos_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream f(path, fmOpenRead);
  std::int64_t size = f.Size();
  Data_.resize(static_cast<std::size_t>(size));
  f.ReadBuffer(Data_.data(), size);
  Pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const {
  TFileStream f(path, fmCreate);
  f.WriteBuffer(Data_.data(), static_cast<std::int64_t>(Data_.size()));
}

}  // namespace plat

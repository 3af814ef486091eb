// The least of the component class library the programs are written
// against: owner-freed components, string lists, streams, the exception base
// class and the application's standard error box.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace plat {

class TObject {
 public:
  virtual ~TObject() = default;
  // Called by Free just before the object is deleted; components set their
  // "being destroyed" state here, before any destructor body runs.
  virtual void BeforeDestruction() {}
};

// Frees an object the way the class library does: BeforeDestruction, then
// delete. Null is fine.
void Free(TObject* obj);
template <class T>
void FreeAndNil(T*& obj) {
  T* p = obj;
  obj = nullptr;
  Free(p);
}

// ---- exceptions ----------------------------------------------------------------

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EListError : public Exception {
 public:
  using Exception::Exception;
};
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};
// A value outside the range an operation accepts (an index, a date, a mode).
class ERangeError : public Exception {
 public:
  using Exception::Exception;
};

// "The application's standard error box": shows an exception that reached
// the message loop. Without a hook it writes the message to stderr; the GUI
// programs install a message box; tests install a recorder.
using ErrorBoxHook = std::function<void(const std::string& message)>;
void SetApplicationErrorHook(ErrorBoxHook hook);
void ShowApplicationException(const std::exception& e);
void ShowApplicationError(const std::string& message);

// ---- components ------------------------------------------------------------

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  void BeforeDestruction() override { Destroying_ = true; }
  // The "being destroyed" state of the component.
  bool Destroying() const { return Destroying_; }

  TComponent* Owner() const { return Owner_; }
  int ComponentCount() const { return static_cast<int>(Components_.size()); }
  TComponent* Component(int i) const { return Components_.at(static_cast<std::size_t>(i)); }

  std::string Name;
  std::int64_t Tag = 0;

 private:
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);

  TComponent* Owner_ = nullptr;
  std::vector<TComponent*> Components_;
  bool Destroying_ = false;
};

// ---- string list -------------------------------------------------------------

class TStringList : public TObject {
 public:
  TStringList() = default;
  ~TStringList() override = default;

  int Count() const { return static_cast<int>(Items_.size()); }
  const std::string& Strings(int i) const;
  void SetString(int i, const std::string& s);
  TObject* Objects(int i) const;
  void SetObject(int i, TObject* o);
  const std::string& operator[](int i) const { return Strings(i); }

  int Add(const std::string& s);
  int AddObject(const std::string& s, TObject* o);
  void Insert(int i, const std::string& s, TObject* o = nullptr);
  void Delete(int i);
  void Clear();
  void Move(int from, int to);
  void Exchange(int a, int b);
  // Compares ignoring ASCII case unless CaseSensitive is set.
  int IndexOf(const std::string& s) const;

  // Name=Value lines.
  std::string Names(int i) const;
  std::string Values(const std::string& name) const;
  int IndexOfName(const std::string& name) const;

  // Lines joined with CR LF (each line followed by one). Setting splits at
  // CR LF, LF or CR.
  std::string Text() const;
  void SetText(const std::string& text);

  // Sorted lists keep their order on Add (ASCII case-insensitive unless
  // CaseSensitive); duplicates are kept.
  void Sort();
  bool Sorted = false;
  bool CaseSensitive = false;

  void LoadFromFile(const std::string& path);  // raises EFOpenError
  void SaveToFile(const std::string& path) const;  // raises EFCreateError

 private:
  struct Item {
    std::string S;
    TObject* O = nullptr;
  };
  int Compare(const std::string& a, const std::string& b) const;
  std::vector<Item> Items_;
};

// ---- streams -------------------------------------------------------------------

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
 public:
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual void SetSize(std::int64_t newSize) = 0;

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t p) { Seek(p, soBeginning); }
  std::int64_t Size();
  // Read or write exactly count bytes, else raise EReadError / EWriteError.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Copies count bytes from source (count 0: the whole source from its start).
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// Open modes of a file stream.
enum : unsigned {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFFFF,
};

class TFileStream : public TStream {
 public:
  // Raises EFOpenError ("Cannot open file %s") or EFCreateError ("Cannot
  // create file %s").
  TFileStream(const std::string& fileName, unsigned mode);
  ~TFileStream() override;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t newSize) override;
  int Handle() const { return Fd_; }
  const std::string& FileName() const { return FileName_; }

 private:
  int Fd_ = -1;
  std::string FileName_;
};

class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t newSize) override;
  void Clear();
  const char* Memory() const { return Data_.data(); }
  const std::string& Data() const { return Data_; }
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

 private:
  std::string Data_;
  std::int64_t Pos_ = 0;
};

// ---- small text helpers the class library's users lean on -------------------

std::string IntToStr(std::int64_t v);
std::string UpperCase(const std::string& s);  // ASCII letters only
std::string LowerCase(const std::string& s);
int CompareText(const std::string& a, const std::string& b);  // ASCII case-insensitive
bool SameText(const std::string& a, const std::string& b);
std::string Trim(const std::string& s);  // drops bytes <= ' ' at both ends
// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same for an argument list already begun (ap is left as it was).
std::string FormatV(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

}  // namespace plat

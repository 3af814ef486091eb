// Tag substitution in pages: the substituted copy of one page.
#include "sitepublishing/PrjCls.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ftpcomponents/PathUtils.h"
#include "platform/fs/fs.h"
#include "platform/sysutils/sysutils.h"
#include "sitepublishing/ProjectText.h"

using plat::Format;
using plat::Trim;
using plat::UpperCase;
using namespace prjtext;

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
  SourceName = plat::ExtractFileName(sourceFile);
  OutputFile = TempFolder + "/" + SourceName;
}

std::string TFileParser::ReadFileText(const std::string& fileName, FileId* id) {
  plat::TFileText file = plat::ReadWholeFile(fileName, MaxFileSize);
  switch (file.Failed) {
    case plat::rsNone: break;
    case plat::rsOpen:
    case plat::rsNotFile: throw plat::EFOpenError(Format("Cannot open file %s", fileName.c_str()));
    case plat::rsTooLarge: throw plat::EReadError(Format("File %s is too large", fileName.c_str()));
    case plat::rsRead: throw plat::EReadError(Format("Cannot read file %s", fileName.c_str()));
  }
  if (id) {
    id->Dev = file.Dev;
    id->Ino = file.Ino;
  }
  return std::move(file.Text);
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

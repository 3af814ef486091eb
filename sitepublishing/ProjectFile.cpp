// The project file: its errors, sections and atomic write, the project's
// load and save, and the one instance of each model object.
#include "sitepublishing/PrjCls.h"

#include <cerrno>

#include "platform/fs/fs.h"
#include "platform/sysutils/sysutils.h"
#include "sitepublishing/ProjectText.h"

using plat::Format;
using plat::UpperCase;
using namespace prjtext;

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
  plat::TReplaceOptions options;
  options.Mode = mode;
  // Write through a link to the file it names, so the link survives.
  options.ThroughLinks = true;
  // The rename would replace a write-protected file as well; refuse as
  // writing into it would.
  options.RespectReadOnly = true;
  // A writable project in a folder that takes no new file is still saved.
  options.InPlaceWhereNeeded = true;
  if (plat::TWriteFault f = plat::ReplaceFile(fileName, text, options)) throw EInOutError(f.Code);
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
  // The [Versions] keys below keep their letter case (an older file's keys
  // were upper-cased); the old program reads past this line.
  AppendLine(text, std::string(kExactKeysName) + "=" + kExactKeysValue);
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
  try {
    std::string text;
    WriteGeneral(text);
    VarList->WriteSection(text);
    VersionList->WriteSection(text);
    // A password in plain text is for the owner's eyes only.
    WriteFileAtomically(FileName, text, Fields().RememberPassword() ? 0600 : -1);
  } catch (...) {
    // What is shown is not on the disk, even when nothing was changed
    // since the last save: a close must still try to save it.
    Modified = true;
    throw;
  }
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
  std::string name = plat::ExtractFileName(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
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

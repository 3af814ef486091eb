// The project history and the default project, kept in the registry.
#include "sitepublishing/PrjCls.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/registry/registry.h"

using plat::Format;
using plat::Trim;

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
  std::vector<std::string> gone;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    // A file that has gone leaves the history; its number is not reused.
    if (!ProjectFileExists(paths[i])) {
      if (!Trim(paths[i]).empty()) gone.push_back(paths[i]);
      continue;
    }
    menu.push_back(THistoryEntry{"&" + plat::IntToStr(static_cast<std::int64_t>(i) + 1) + " " + DisplayName(paths[i]),
                                 paths[i]});
  }
  // All in one change: the registry file is read and written whole at
  // every change, so one change per entry would grow with the square of a
  // long history.
  if (!gone.empty()) {
    plat::TRegistry reg;
    OpenProductKey(reg, kProjectsKey, true);
    reg.DeleteValues(gone);
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

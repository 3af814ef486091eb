#include "tests/support/folder_entries.h"

#include <dirent.h>

namespace testsupport {

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

}  // namespace testsupport

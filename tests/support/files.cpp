#include "tests/support/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes, int mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) throw std::runtime_error("cannot write the test file " + path);
  }
  if (mode >= 0 && ::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::runtime_error("cannot set the bits of the test file " + path);
  }
}

void ShiftMtime(const std::string& path, int seconds) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot examine the test file " + path);
  timespec times[2] = {st.st_atim, st.st_mtim};
  times[1].tv_sec += seconds;
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot date the test file " + path);
}

std::vector<std::string> FolderEntriesInListingOrder(const std::string& dir) {
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

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names = FolderEntriesInListingOrder(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testsupport

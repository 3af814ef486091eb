#include "ftpcomponents/FileUtils.h"

#include <sys/stat.h>

#include "platform/classes/classes.h"

std::int64_t FileSizeOf(const std::string& FileName) {
  plat::TFileStream f(FileName, plat::fmOpenRead);
  struct stat st {};
  if (::fstat(f.Handle(), &st) != 0 || S_ISDIR(st.st_mode)) {
    throw plat::EFOpenError(plat::Format("Cannot open file %s", FileName.c_str()));
  }
  return static_cast<std::int64_t>(st.st_size);
}

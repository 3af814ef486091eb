// The size of a local file.
#pragma once

#include <cstdint>
#include <string>

// Size in bytes. A file that cannot be opened for reading, or a folder,
// raises plat::EFOpenError.
std::int64_t FileSizeOf(const std::string& FileName);

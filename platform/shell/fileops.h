// File-system operations the registry and shell stand-ins share and that the
// install code needs: making a folder chain, and replacing a file so that a
// crash leaves either the old or the new copy.
#pragma once

#include <string>
#include <sys/types.h>

#include "platform/classes/classes.h"

namespace plat {

// Creates dir and every missing parent (mode 0777 less the umask, or `mode`).
// True when the folder exists afterwards. An empty path fails.
bool ForceDirectories(const std::string& dir, mode_t mode = 0777);

// Writes content to a temporary file next to path, flushes it to disk and
// renames it over path; the file gets exactly `mode`. Raises EFCreateError or
// EWriteError (with the system's reason) and leaves no temporary behind.
void WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode);

// The folder part of a '/' path: everything before its last '/' ("/" for a
// file in the root, empty when there is no '/').
std::string FolderOf(const std::string& path);

}  // namespace plat

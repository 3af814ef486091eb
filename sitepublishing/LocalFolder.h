// Reading the local site folder for the publishing walks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// One entry of a local folder, with what stat says of it (links followed).
struct TLocalEntry {
  std::string Name;
  bool StatOk = false;
  struct stat St {};
  // When stat failed: the system's reason, and whether the entry itself is
  // a link (one that leads nowhere, or round in a circle).
  int StatError = 0;
  bool BrokenLink = false;
  bool IsFolder() const { return StatOk && S_ISDIR(St.st_mode); }
  // Only regular files are ever opened: a FIFO would block the walk.
  bool IsFile() const { return StatOk && S_ISREG(St.st_mode); }
  // The user's "hidden" entries: the name starts with a dot.
  bool IsHidden() const { return !Name.empty() && Name[0] == '.'; }
};

// A local folder read whole: its entries without "." and "..", in the order
// the file system lists them.
struct TLocalFolder {
  dev_t Dev = 0;
  ino_t Ino = 0;
  std::vector<TLocalEntry> Entries;
  // 0, or the system's error when the folder cannot be opened or read.
  // withStat false leaves the entries unexamined.
  int Read(const std::string& path, bool withStat = true);
};

#include "platform/shell/browsefolder.h"

#include <mutex>
#include <utility>

namespace plat {

namespace {
std::mutex g_mutex;
BrowseForFolderHandler g_handler;
}  // namespace

bool SHGetSpecialFolderLocation(int csidl, std::string& path) {
  if (csidl != CSIDL_DESKTOP && csidl != CSIDL_DRIVES) return false;
  // assign(1, ...) rather than = "/": GCC 12 at -O2 warns a false overlap
  // for the literal assignment.
  path.assign(1, '/');
  return true;
}

bool SHBrowseForFolder(const BROWSEINFO& info, std::string& path) {
  BrowseForFolderHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_handler;
  }
  return handler ? handler(info, path) : false;
}

BrowseForFolderHandler SetBrowseForFolderHandler(BrowseForFolderHandler handler) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::swap(g_handler, handler);
  return handler;
}

}  // namespace plat

// Our stand-in for the shell's browse-for-folder dialog: a modal folder tree
// with a title, an optional status line, OK and Cancel, and a callback that
// hears when the dialog is ready and when the selection moves, and that may
// steer the open dialog. No Qt here: the GUI programs install the Qt dialog
// (platform/qt/browsedialog.h); without one, the dialog counts as cancelled.
#pragma once

#include <functional>
#include <string>

namespace plat {

// Flags of the browse information.
inline constexpr unsigned BIF_RETURNONLYFSDIRS = 0x0001;
inline constexpr unsigned BIF_STATUSTEXT = 0x0004;

// What the callback is told.
inline constexpr int BFFM_INITIALIZED = 1;  // the dialog is up; path is empty
inline constexpr int BFFM_SELCHANGED = 2;   // path: the new selection ("" when it is no folder)

// Special folders whose location can be asked for.
inline constexpr int CSIDL_DESKTOP = 0x0000;
inline constexpr int CSIDL_DRIVES = 0x0011;

// The open dialog, as the callback sees it.
class IBrowseWindow {
 public:
  // Selects (and shows) the folder of that path, if there is one.
  virtual void SetSelection(const std::string& path) = 0;
  // Shows the text in the status line; without a status line it is dropped.
  virtual void SetStatusText(const std::string& text) = 0;

 protected:
  ~IBrowseWindow() = default;
};

using BrowseCallback = std::function<int(IBrowseWindow& dialog, int message, const std::string& path)>;

struct BROWSEINFO {
  std::string Root;  // top of the folder tree
  std::string Title;
  unsigned Flags = 0;
  BrowseCallback Callback;  // may be empty
};

// The top folder of a special folder's tree. Both mean the whole file
// system here; false for an unknown one.
bool SHGetSpecialFolderLocation(int csidl, std::string& path);

// Shows the dialog modally. True when the user confirmed a folder, whose
// path is then in `path`.
bool SHBrowseForFolder(const BROWSEINFO& info, std::string& path);

// Installs the dialog that SHBrowseForFolder shows; returns the previous one.
using BrowseForFolderHandler = std::function<bool(const BROWSEINFO& info, std::string& path)>;
BrowseForFolderHandler SetBrowseForFolderHandler(BrowseForFolderHandler handler);

}  // namespace plat

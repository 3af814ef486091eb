// The folder picker: shows the shell's browse-for-folder dialog and returns
// the chosen folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/classes/classes.h"

namespace plat {
class IBrowseWindow;
}

enum TRootItem : std::uint8_t { riMyComputer, riDesktop };

using TNotifyEvent = std::function<void(plat::TObject* Sender)>;
using TSelectEvent = std::function<void(plat::TObject* Sender, const std::string& Path)>;

class TPathDialog : public plat::TComponent {
 public:
  explicit TPathDialog(plat::TComponent* owner);
  ~TPathDialog() override = default;

  // Shows the dialog modally; true when the user chose a folder, which is
  // then in Directory.
  bool Execute();

  // ---- published ----
  std::string Title;
  const std::string& Directory() const { return Directory_; }
  // One trailing '/' is dropped ("/" itself stays); an empty value means the
  // current directory. While the dialog is open it selects the folder.
  void SetDirectory(const std::string& value);
  bool ShowStatus = false;
  const std::string& StatusText() const { return StatusText_; }
  // While the dialog is open with its status line, shows the text there.
  void SetStatusText(const std::string& value);
  TRootItem RootItem = riMyComputer;
  // The dialog is up (Directory and StatusText have been applied to it).
  TNotifyEvent OnShow;
  // The selection moved; Path is "" for an item that is no folder.
  TSelectEvent OnSelect;

 private:
  int BrowseCallback(plat::IBrowseWindow& dialog, int message, const std::string& path);

  plat::IBrowseWindow* Dialog_ = nullptr;  // while Execute shows it
  std::string Directory_;
  std::string StatusText_;
};

#include "ftpcomponents/PathDialog.h"

#include <unistd.h>

#include <climits>
#include <exception>

#include "platform/shell/browsefolder.h"
#include "platform/ui/dialogs.h"

namespace {

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) throw plat::Exception("Cannot read the current directory");
  return buf;
}

}  // namespace

TPathDialog::TPathDialog(plat::TComponent* owner) : plat::TComponent(owner) {}

void TPathDialog::SetDirectory(const std::string& value) {
  if (value.empty()) {
    Directory_ = CurrentDirectory();
  } else if (value.back() == '/' && value.size() > 1) {
    Directory_ = value.substr(0, value.size() - 1);
  } else {
    Directory_ = value;
  }
  if (Dialog_ && !Directory_.empty()) Dialog_->SetSelection(Directory_);
}

void TPathDialog::SetStatusText(const std::string& value) {
  StatusText_ = value;
  if (Dialog_ && ShowStatus) Dialog_->SetStatusText(StatusText_);
}

bool TPathDialog::Execute() {
  plat::BROWSEINFO info;
  if (!plat::SHGetSpecialFolderLocation(RootItem == riDesktop ? plat::CSIDL_DESKTOP : plat::CSIDL_DRIVES, info.Root))
    return false;
  info.Title = Title;
  info.Flags = plat::BIF_RETURNONLYFSDIRS | (ShowStatus ? plat::BIF_STATUSTEXT : 0u);
  info.Callback = [this](plat::IBrowseWindow& dialog, int message, const std::string& path) {
    return BrowseCallback(dialog, message, path);
  };
  std::string chosen;
  bool ok = false;
  try {
    ok = plat::SHBrowseForFolder(info, chosen);
  } catch (...) {
    Dialog_ = nullptr;
    throw;
  }
  Dialog_ = nullptr;
  if (!ok || chosen.empty()) return false;
  // The chosen path as the dialog gives it: the root keeps its '/'.
  Directory_ = chosen;
  return true;
}

int TPathDialog::BrowseCallback(plat::IBrowseWindow& dialog, int message, const std::string& path) {
  // The dialog must stay up whatever a handler does: a handler's error is
  // shown, anything else is dropped.
  try {
    if (message == plat::BFFM_INITIALIZED) {
      Dialog_ = &dialog;
      try {
        SetDirectory(Directory_);
        SetStatusText(StatusText_);
      } catch (...) {
      }
      if (OnShow) OnShow(this);
    } else if (message == plat::BFFM_SELCHANGED && OnSelect) {
      OnSelect(this, path);
    }
  } catch (const std::exception& e) {
    plat::ShowMessage(e.what());
  } catch (...) {
  }
  return 0;
}

// The Qt dialog behind SHBrowseForFolder (platform/shell/browsefolder.h): a
// title, a tree of the file system's folders, a status line when asked for,
// OK and Cancel.
#pragma once

#include <QDialog>
#include <QPersistentModelIndex>
#include <QStringList>
#include <QTimer>
#include <string>

#include "platform/shell/browsefolder.h"

class QDialogButtonBox;
class QFileSystemModel;
class QLabel;
class QTreeView;

namespace plat {

class TBrowseFolderDialog : public QDialog, public IBrowseWindow {
  Q_OBJECT
 public:
  TBrowseFolderDialog(const BROWSEINFO& info, QWidget* parent = nullptr);

  void SetSelection(const std::string& path) override;
  void SetStatusText(const std::string& text) override;
  // The selected folder ("" when nothing is selected).
  std::string SelectedPath() const;

  QLabel* lblTitle = nullptr;
  QTreeView* tvFolders = nullptr;
  QLabel* lblStatus = nullptr;  // null without BIF_STATUSTEXT
  QDialogButtonBox* Buttons = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void Notify(int message, const std::string& path);
  // The folder last selected by SetSelection is scrolled into view again
  // after each folder above it has been listed (and sorted).
  void FolderListed(const QString& folder);
  void RevealSelection();

  BROWSEINFO Info_;
  QFileSystemModel* Model_ = nullptr;
  bool Initialized_ = false;
  QPersistentModelIndex Reveal_;
  QStringList Unlisted_;  // folders above Reveal_ not listed yet
  QTimer RevealTimer_;
};

// Makes SHBrowseForFolder show TBrowseFolderDialog, over the active window.
void InstallQtBrowseForFolder();

}  // namespace plat

#include "platform/qt/browsedialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "platform/qt/qtext.h"

namespace plat {

TBrowseFolderDialog::TBrowseFolderDialog(const BROWSEINFO& info, QWidget* parent) : QDialog(parent), Info_(info) {
  setObjectName(QStringLiteral("BrowseFolderDialog"));
  setWindowTitle(QStringLiteral("Browse for Folder"));
  resize(340, 420);
  auto* v = new QVBoxLayout(this);

  lblTitle = new QLabel(ToQ(Info_.Title), this);
  lblTitle->setObjectName(QStringLiteral("lblTitle"));
  lblTitle->setWordWrap(true);
  v->addWidget(lblTitle);

  Model_ = new QFileSystemModel(this);
  Model_->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  Model_->setRootPath(ToQ(Info_.Root));
  tvFolders = new QTreeView(this);
  tvFolders->setObjectName(QStringLiteral("tvFolders"));
  tvFolders->setModel(Model_);
  for (int c = 1; c < Model_->columnCount(); ++c) tvFolders->hideColumn(c);
  tvFolders->header()->hide();
  tvFolders->setRootIndex(Model_->index(ToQ(Info_.Root)));
  tvFolders->setAccessibleName(Info_.Title.empty() ? QStringLiteral("Folders") : ToQ(Info_.Title));
  lblTitle->setBuddy(tvFolders);
  v->addWidget(tvFolders, 1);

  if (Info_.Flags & BIF_STATUSTEXT) {
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setAccessibleName(QStringLiteral("Status"));
    v->addWidget(lblStatus);
  }

  Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  Buttons->setObjectName(QStringLiteral("Buttons"));
  Buttons->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
  Buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
  v->addWidget(Buttons);
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  connect(tvFolders->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            Notify(BFFM_SELCHANGED, current.isValid() ? FromQ(Model_->filePath(current)) : std::string());
          });

  // The model lists folders in the background: every listing above the
  // selection pushes it down, out of the sight it was scrolled into.
  RevealTimer_.setSingleShot(true);
  RevealTimer_.setInterval(50);  // after the model's own sorting of the listing
  connect(&RevealTimer_, &QTimer::timeout, this, [this] { RevealSelection(); });
  connect(Model_, &QFileSystemModel::directoryLoaded, this, [this](const QString& folder) { FolderListed(folder); });

  // Until the caller says otherwise, the user starts at home.
  SetSelection(FromQ(QDir::homePath()));
}

void TBrowseFolderDialog::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (Initialized_) return;
  Initialized_ = true;
  Notify(BFFM_INITIALIZED, std::string());
}

void TBrowseFolderDialog::Notify(int message, const std::string& path) {
  // Nothing is reported before the dialog has said that it is up.
  if (!Info_.Callback || !Initialized_) return;
  try {
    Info_.Callback(*this, message, path);
  } catch (...) {
    // The callback's troubles are its own; the dialog stays.
  }
}

void TBrowseFolderDialog::SetSelection(const std::string& path) {
  QModelIndex index = Model_->index(ToQ(path));
  if (!index.isValid()) return;
  tvFolders->setCurrentIndex(index);
  tvFolders->scrollTo(index);
  Reveal_ = index;
  Unlisted_.clear();
  for (QModelIndex i = index.parent(); i.isValid(); i = i.parent()) Unlisted_ << Model_->filePath(i);
}

void TBrowseFolderDialog::FolderListed(const QString& folder) {
  if (Reveal_.isValid() && Unlisted_.removeAll(folder) > 0) RevealTimer_.start();
}

void TBrowseFolderDialog::RevealSelection() {
  // Once the user has moved on, the tree stays where they put it.
  if (Reveal_.isValid() && tvFolders->currentIndex() == QModelIndex(Reveal_)) tvFolders->scrollTo(Reveal_);
  if (Unlisted_.isEmpty() || tvFolders->currentIndex() != QModelIndex(Reveal_)) Reveal_ = QPersistentModelIndex();
}

void TBrowseFolderDialog::SetStatusText(const std::string& text) {
  if (lblStatus) lblStatus->setText(ToQ(text));
}

std::string TBrowseFolderDialog::SelectedPath() const {
  QModelIndex index = tvFolders->currentIndex();
  return index.isValid() ? FromQ(Model_->filePath(index)) : std::string();
}

void InstallQtBrowseForFolder() {
  SetBrowseForFolderHandler([](const BROWSEINFO& info, std::string& path) {
    TBrowseFolderDialog dialog(info, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted) return false;
    path = dialog.SelectedPath();
    return !path.empty();
  });
}

}  // namespace plat

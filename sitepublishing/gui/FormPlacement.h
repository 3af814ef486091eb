// The placement store's view of a Qt window: its object name, frame
// position and size, window state and named line edits.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftpcomponents/korvlib.h"

class QWidget;

class TWidgetForm : public TStoredForm {
 public:
  explicit TWidgetForm(QWidget* window) : Window_(window) {}

  std::string FormName() const override;
  int Top() const override;
  int Left() const override;
  int Width() const override;
  int Height() const override;
  void SetTop(int value) override;
  void SetLeft(int value) override;
  void SetWidth(int value) override;
  void SetHeight(int value) override;
  TWindowState WindowState() const override;
  void SetWindowState(TWindowState value) override;
  void PlacementLoaded() override;
  // Named line edits below the window, in creation order; the inner edits
  // of spin boxes and combo boxes are not the window's own.
  std::vector<std::string> EditNames() const override;
  std::string EditText(const std::string& name) const override;
  void SetEditText(const std::string& name, const std::string& text) override;

 private:
  // Stored bounds wait here until the placement is complete and are then
  // applied at once, kept on screen: a window moved to any stored number
  // on its own could lie where its edges pass the int range.
  void ApplyPending();
  std::optional<int> Top_, Left_, Width_, Height_;

  QWidget* Window_;
};

// The store every window of the publishing program carries: company
// "Korvane", project "Zentavox", the current user's root, placement only.
// The window must destroy it (which saves) while it is still whole.
std::unique_ptr<TFormStore> MakeProgramFormStore(TWidgetForm& form);

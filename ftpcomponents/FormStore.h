// Keeps a window's placement (and, on request, its edit texts) in the
// registry, so that the window reopens where the user left it. Part of the
// korvlib unit; Qt-free: the window is reached through TStoredForm, which
// the GUI implements over its widget.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/classes/classes.h"

namespace plat {
class TRegistry;
}

enum TRootKey : std::uint8_t { hkeyCurrentUser, hkeyLocalMachine, hkeyClassesRoot };

// A window's own order of states (the stored codes differ, see FormStore.cpp).
enum TWindowState : std::uint8_t { wsNormal, wsMinimized, wsMaximized };

// What the store needs of the window that carries it.
class TStoredForm {
 public:
  virtual ~TStoredForm() = default;
  virtual std::string FormName() const = 0;
  // The current bounds in pixels.
  virtual int Top() const = 0;
  virtual int Left() const = 0;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual void SetTop(int value) = 0;
  virtual void SetLeft(int value) = 0;
  virtual void SetWidth(int value) = 0;
  virtual void SetHeight(int value) = 0;
  virtual TWindowState WindowState() const = 0;
  virtual void SetWindowState(TWindowState value) = 0;
  // Called after the stored placement has been applied, so the window can
  // bring a place that no screen shows back into view.
  virtual void PlacementLoaded() {}
  // The window's edit boxes in component order, by name.
  virtual std::vector<std::string> EditNames() const { return {}; }
  virtual std::string EditText(const std::string& name) const {
    (void)name;
    return std::string();
  }
  virtual void SetEditText(const std::string& name, const std::string& text) {
    (void)name;
    (void)text;
  }
};

// Sender; the accessor open at the window's key.
using TStoreEvent = std::function<void(plat::TObject* Sender, plat::TRegistry& Reg)>;

// Key: "\Software\" + CompanyName + "\" + ProjectName + "\" + the window's
// name, under RootKey. Values "Top", "Left", "Width", "Height" and
// "WindowState" (32-bit integers), and <edit name> + ".Text" (strings).
//
// Load when the window's widgets are built and before it is first shown;
// the destructor saves, so the window must outlive its store. Neither a key
// that cannot be opened nor a value of the wrong type stops either: the
// value is skipped. Exceptions from OnLoad / OnSave pass through Load and
// Save; the destructor reports them instead.
class TFormStore : public plat::TComponent {
 public:
  // Raises plat::Exception ("Invalid class typecast") without a window.
  explicit TFormStore(TStoredForm* owner);
  ~TFormStore() override;

  std::string CompanyName;
  std::string ProjectName;
  TRootKey RootKey = hkeyCurrentUser;
  TStoreEvent OnLoad;
  TStoreEvent OnSave;
  bool FormStore = true;
  bool ComponentsStore = false;

  void Load();
  void Save();
  // "\Software\<CompanyName>\<ProjectName>\<window name>".
  std::string FormKey() const;

 private:
  bool OpenFormKey(plat::TRegistry& reg);
  void LoadPlacement(plat::TRegistry& reg);
  void SavePlacement(plat::TRegistry& reg);
  void LoadEditTexts(plat::TRegistry& reg);
  void SaveEditTexts(plat::TRegistry& reg);

  TStoredForm* Form_;
};

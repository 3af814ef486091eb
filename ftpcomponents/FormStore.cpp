#include "ftpcomponents/FormStore.h"

#include <functional>
#include <iterator>

#include "platform/registry/registry.h"

namespace {

// The four bounds: each value's name and the window's accessors for it
// (called through std::invoke: the sanitizer build's compiler takes the
// ->* form for a read of an unset value).
struct TBound {
  const char* Name;
  int (TStoredForm::*Get)() const;
  void (TStoredForm::*Set)(int);
};
const TBound kBounds[] = {
    {"Top", &TStoredForm::Top, &TStoredForm::SetTop},
    {"Left", &TStoredForm::Left, &TStoredForm::SetLeft},
    {"Width", &TStoredForm::Width, &TStoredForm::SetWidth},
    {"Height", &TStoredForm::Height, &TStoredForm::SetHeight},
};
const char kWindowState[] = "WindowState";
// The stored code of each state is its index: 0 normal, 1 maximised,
// 2 minimised.
constexpr TWindowState kStateOfCode[] = {wsNormal, wsMaximized, wsMinimized};
constexpr std::int32_t kStateCodes = static_cast<std::int32_t>(std::size(kStateOfCode));
const char kTextSuffix[] = ".Text";

plat::HKEY RootOf(TRootKey key) {
  switch (key) {
    case hkeyLocalMachine:
      return plat::HKEY_LOCAL_MACHINE;
    case hkeyClassesRoot:
      return plat::HKEY_CLASSES_ROOT;
    case hkeyCurrentUser:
      break;
  }
  return plat::HKEY_CURRENT_USER;
}

// One registry step: its failure (an unreadable or unwritable file, a value
// of the other type) skips that step only. A window is built and destroyed
// around these calls, so nothing here may end the program.
template <class Step>
void Skippable(Step step) {
  try {
    step();
  } catch (const plat::Exception&) {
  }
}

}  // namespace

TFormStore::TFormStore(TStoredForm* owner) : plat::TComponent(nullptr), Form_(owner) {
  if (!owner) throw plat::Exception("Invalid class typecast");
}

TFormStore::~TFormStore() {
  try {
    Save();
  } catch (const std::exception& e) {
    plat::ShowApplicationException(e);
  } catch (...) {
  }
}

std::string TFormStore::FormKey() const {
  return "\\Software\\" + CompanyName + "\\" + ProjectName + "\\" + Form_->FormName();
}

bool TFormStore::OpenFormKey(plat::TRegistry& reg) {
  bool opened = false;
  Skippable([&] {
    reg.SetRootKey(RootOf(RootKey));
    opened = reg.OpenKey(FormKey(), true);
  });
  return opened;
}

void TFormStore::Load() {
  plat::TRegistry reg;
  OpenFormKey(reg);
  // Without the key the reads find nothing: the placement stays, the edit
  // boxes are emptied.
  if (FormStore) LoadPlacement(reg);
  if (ComponentsStore) LoadEditTexts(reg);
  if (OnLoad) OnLoad(this, reg);
  reg.CloseKey();
}

void TFormStore::Save() {
  plat::TRegistry reg;
  if (OpenFormKey(reg)) {
    if (FormStore) SavePlacement(reg);
    if (ComponentsStore) SaveEditTexts(reg);
  }
  if (OnSave) OnSave(this, reg);
  reg.CloseKey();
}

void TFormStore::LoadPlacement(plat::TRegistry& reg) {
  for (const TBound& b : kBounds) {
    Skippable([&] {
      if (reg.ValueExists(b.Name)) std::invoke(b.Set, *Form_, reg.ReadInteger(b.Name));
    });
  }
  Skippable([&] {
    if (!reg.ValueExists(kWindowState)) return;
    // Other codes change nothing.
    const std::int32_t code = reg.ReadInteger(kWindowState);
    if (code >= 0 && code < kStateCodes) Form_->SetWindowState(kStateOfCode[code]);
  });
  Form_->PlacementLoaded();
}

void TFormStore::SavePlacement(plat::TRegistry& reg) {
  const TWindowState state = Form_->WindowState();
  // Only a normal window's bounds are its own; a maximised or minimised
  // one keeps the bounds of its last normal close.
  if (state == wsNormal) {
    for (const TBound& b : kBounds) Skippable([&] { reg.WriteInteger(b.Name, std::invoke(b.Get, *Form_)); });
  }
  for (std::int32_t code = 0; code < kStateCodes; ++code) {
    if (kStateOfCode[code] == state) Skippable([&] { reg.WriteInteger(kWindowState, code); });
  }
}

void TFormStore::LoadEditTexts(plat::TRegistry& reg) {
  for (const std::string& name : Form_->EditNames()) {
    Skippable([&] { Form_->SetEditText(name, reg.ReadString(name + kTextSuffix)); });
  }
}

void TFormStore::SaveEditTexts(plat::TRegistry& reg) {
  for (const std::string& name : Form_->EditNames()) {
    Skippable([&] { reg.WriteString(name + kTextSuffix, Form_->EditText(name)); });
  }
}

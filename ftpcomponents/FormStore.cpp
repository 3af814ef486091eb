#include "ftpcomponents/FormStore.h"

#include "platform/registry/registry.h"

namespace {

const char* const kBoundNames[] = {"Top", "Left", "Width", "Height"};
const char kWindowState[] = "WindowState";
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
  for (int i = 0; i < 4; ++i) {
    Skippable([&] {
      if (!reg.ValueExists(kBoundNames[i])) return;
      const int value = reg.ReadInteger(kBoundNames[i]);
      switch (i) {
        case 0:
          Form_->SetTop(value);
          break;
        case 1:
          Form_->SetLeft(value);
          break;
        case 2:
          Form_->SetWidth(value);
          break;
        default:
          Form_->SetHeight(value);
          break;
      }
    });
  }
  Skippable([&] {
    if (!reg.ValueExists(kWindowState)) return;
    // Stored 0 normal, 1 maximised, 2 minimised; other codes change nothing.
    static const TWindowState kFromCode[] = {wsNormal, wsMaximized, wsMinimized};
    const std::int32_t code = reg.ReadInteger(kWindowState);
    if (code >= 0 && code <= 2) Form_->SetWindowState(kFromCode[code]);
  });
  Form_->PlacementLoaded();
}

void TFormStore::SavePlacement(plat::TRegistry& reg) {
  switch (Form_->WindowState()) {
    case wsNormal: {
      // Only a normal window's bounds are its own; a maximised or minimised
      // one keeps the bounds of its last normal close.
      const int bounds[] = {Form_->Top(), Form_->Left(), Form_->Width(), Form_->Height()};
      for (int i = 0; i < 4; ++i) Skippable([&] { reg.WriteInteger(kBoundNames[i], bounds[i]); });
      Skippable([&] { reg.WriteInteger(kWindowState, 0); });
      break;
    }
    case wsMinimized:
      Skippable([&] { reg.WriteInteger(kWindowState, 2); });
      break;
    case wsMaximized:
      Skippable([&] { reg.WriteInteger(kWindowState, 1); });
      break;
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

#include "platform/ui/dialogs.h"

#include <cstdio>
#include <mutex>

#include "platform/classes/classes.h"

namespace plat {

namespace {

class StderrDialogs : public IUserDialogs {
 public:
  void ShowMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void MessageBeep(unsigned) override {}
  bool ShellOpen(const std::string&) override { return false; }
  void ErrorBox(const std::string& message) override { std::fprintf(stderr, "%s\n", message.c_str()); }
  int MessageDlg(const std::string& text, TMsgDlgType type, unsigned buttons) override {
    std::fprintf(stderr, "%s\n", text.c_str());
    return IUserDialogs::MessageDlg(text, type, buttons);
  }
};

StderrDialogs g_fallback;
IUserDialogs* g_dialogs = nullptr;
std::mutex g_titleMutex;
std::string g_title;

}  // namespace

int MessageDlgEscapeResult(unsigned buttons) {
  if (buttons & mbCancel) return mrCancel;
  if (buttons & mbNo) return mrNo;
  if (buttons & mbOK) return mrOk;
  return mrCancel;
}

int IUserDialogs::MessageDlg(const std::string&, TMsgDlgType, unsigned buttons) {
  return MessageDlgEscapeResult(buttons);
}
bool IUserDialogs::ExecuteOpenDialog(TOpenDialog&) { return false; }
bool IUserDialogs::ExecuteSaveDialog(TSaveDialog&) { return false; }

bool TOpenDialog::Execute() { return UserDialogs().ExecuteOpenDialog(*this); }
bool TSaveDialog::Execute() { return UserDialogs().ExecuteSaveDialog(*this); }

IUserDialogs& UserDialogs() { return g_dialogs ? *g_dialogs : g_fallback; }

IUserDialogs* SetUserDialogs(IUserDialogs* d) {
  IUserDialogs* old = g_dialogs;
  g_dialogs = d;
  return old;
}

void ShowMessage(const std::string& text) { UserDialogs().ShowMessage(text); }
int MessageDlg(const std::string& text, TMsgDlgType type, unsigned buttons) {
  return UserDialogs().MessageDlg(text, type, buttons);
}
void MessageBeep(unsigned type) { UserDialogs().MessageBeep(type); }
bool ShellOpen(const std::string& document) { return UserDialogs().ShellOpen(document); }

void InstallErrorBoxHook() {
  SetApplicationErrorHook([](const std::string& message) { UserDialogs().ErrorBox(message); });
}

void Safely(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowApplicationException(e);
  } catch (...) {
    ShowApplicationError("Unknown error");
  }
}

void SetApplicationTitle(const std::string& title) {
  std::lock_guard<std::mutex> lock(g_titleMutex);
  g_title = title;
}

std::string ApplicationTitle() {
  std::lock_guard<std::mutex> lock(g_titleMutex);
  return g_title;
}

}  // namespace plat

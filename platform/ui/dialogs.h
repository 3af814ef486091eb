// What the programs say to the user outside their own windows: message
// boxes, the two beeps, the shell's "open" and the application's standard
// error box. One interface, so that tests put a recorder in its place; the
// GUI programs install the Qt one (platform/qt/qtdialogs.h).
#pragma once

#include <functional>
#include <string>

namespace plat {

// Beep types: the default sound and the stop (error) sound.
constexpr unsigned MB_OK = 0;
constexpr unsigned MB_ICONHAND = 0x10;

class IUserDialogs {
 public:
  virtual ~IUserDialogs() = default;
  // A modal message with one "OK" button; returns when it is closed.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void MessageBeep(unsigned type) = 0;
  // Opens a document or address with the user's default handler. The result
  // is true when a handler was started.
  virtual bool ShellOpen(const std::string& document) = 0;
  // The application's standard error box.
  virtual void ErrorBox(const std::string& message) = 0;
};

// The dialogs in use; without any installed, messages go to stderr.
IUserDialogs& UserDialogs();
// Installs `d` (null: back to the stderr fallback); returns the previous one.
IUserDialogs* SetUserDialogs(IUserDialogs* d);

void ShowMessage(const std::string& text);
void MessageBeep(unsigned type);
bool ShellOpen(const std::string& document);

// Routes the application error hook (classes.h) to UserDialogs().ErrorBox.
void InstallErrorBoxHook();

// Runs a handler; an exception it throws is shown in the error box and goes
// no further. Every handler the event loop calls is run through this.
void Safely(const std::function<void()>& handler);

// The application's title: the caption of its message boxes.
void SetApplicationTitle(const std::string& title);
std::string ApplicationTitle();

}  // namespace plat

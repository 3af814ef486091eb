// What the programs say to and ask of the user outside their own windows:
// message boxes, questions, the two beeps, the shell's "open", the file
// open and save dialogs and the application's standard error box. One
// interface, so that tests put a recorder in its place; the GUI programs
// install the Qt one (platform/qt/qtdialogs.h).
#pragma once

#include <functional>
#include <string>

namespace plat {

// Beep types: the default sound and the stop (error) sound.
constexpr unsigned MB_OK = 0;
constexpr unsigned MB_ICONHAND = 0x10;

// Kinds of message box.
enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };
// Buttons a message box offers (or-ed together).
constexpr unsigned mbYes = 0x1;
constexpr unsigned mbNo = 0x2;
constexpr unsigned mbOK = 0x4;
constexpr unsigned mbCancel = 0x8;
// What the user pressed.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

class TOpenDialog;
class TSaveDialog;

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

  // A modal message box with the given buttons; returns the mr value of the
  // one pressed. Closing it without a button counts as Cancel (or No, or OK,
  // whichever of them it offers first in that order). Texts break lines at
  // CR LF. Without a user to ask, that same answer is given.
  virtual int MessageDlg(const std::string& text, TMsgDlgType type, unsigned buttons);
  // The file dialogs: true when confirmed, with the chosen path in the
  // dialog's FileName. Without a user to ask they are cancelled.
  virtual bool ExecuteOpenDialog(TOpenDialog& dialog);
  virtual bool ExecuteSaveDialog(TSaveDialog& dialog);
};

// The answer a message box gives when it is closed without a button.
int MessageDlgEscapeResult(unsigned buttons);

// The file dialogs as components. Filter is pairs of description and
// pattern list, all separated by '|' ("Projects|*.zvp|All Files|*.*");
// DefaultExt (without the dot) is added to a typed name that has none.
class TOpenDialog {
 public:
  virtual ~TOpenDialog() = default;
  // Shows the dialog; true when confirmed, FileName then holds the choice.
  virtual bool Execute();
  std::string Title;
  std::string FileName;
  std::string InitialDir;
  std::string Filter;
  std::string DefaultExt;
};

class TSaveDialog : public TOpenDialog {
 public:
  bool Execute() override;
};

// The dialogs in use; without any installed, messages go to stderr.
IUserDialogs& UserDialogs();
// Installs `d` (null: back to the stderr fallback); returns the previous one.
IUserDialogs* SetUserDialogs(IUserDialogs* d);

void ShowMessage(const std::string& text);
int MessageDlg(const std::string& text, TMsgDlgType type, unsigned buttons);
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

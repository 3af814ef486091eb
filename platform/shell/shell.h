// Our stand-in for the shell: the special folders and shortcut files.
//
//   Program Files  ~/.local/opt
//   Desktop        the XDG desktop folder (user-dirs.dirs, else ~/Desktop)
//   Programs       $XDG_DATA_HOME/applications (~/.local/share/applications)
//
// The system publishes these folders in the registry where programs look
// them up (see SystemRegistryValues in the registry stand-in): the local
// machine's "Software\MicroSoft\Windows\CurrentVersion" value
// "ProgramFilesDir", and the current user's
// "Software\MicroSoft\Windows\CurrentVersion\Explorer\Shell Folders" values
// "Desktop" and "Programs".
//
// A shortcut is a desktop entry file (Type, Name, Exec).
#pragma once

#include <string>

#include "platform/classes/classes.h"
#include "platform/fs/fs.h"  // HomeFolder, DesktopFolder

namespace plat {

class EShellError : public Exception {
 public:
  using Exception::Exception;
};

std::string ProgramFilesFolder();
std::string ProgramsFolder();

// One argument of a command line, as a POSIX shell reads it (sh -c) and as
// a desktop entry's Exec key quotes it: unchanged when it holds no reserved
// byte, else in double quotes with '"', '`', '$' and '\' escaped by a
// backslash. The command lines kept in the registry (an Uninstall entry's
// UninstallString) are written this way. Control bytes cannot be
// represented and raise EShellError.
std::string CommandLineArgument(const std::string& arg);

// One argument of a desktop entry's Exec line: CommandLineArgument with '%'
// doubled, then escaped for the file's string rules.
std::string DesktopExecArgument(const std::string& arg);

// The shell-link object: a target set with SetPath and saved to a file.
class TShellLink : public TObject {
 public:
  void SetPath(const std::string& target) { Path_ = target; }
  const std::string& Path() const { return Path_; }
  // The file's text: "[Desktop Entry]", Type=Application, Name (the link
  // file's name without folder and extension), Exec (the target).
  std::string DesktopEntry(const std::string& linkFile) const;
  // Writes the entry to linkFile through a temporary file and a rename
  // (mode 0755, which desktops want before they start a launcher). The
  // folder must exist. Raises EShellError, EFCreateError or EWriteError.
  void Save(const std::string& linkFile) const;

 private:
  std::string Path_;
};

}  // namespace plat

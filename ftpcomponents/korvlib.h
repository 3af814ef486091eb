// Install, shell-folder and text helpers of the publishing program, and the
// window placement store (FormStore.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ftpcomponents/FormStore.h"

// A rectangle in pixels.
struct TRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;
};

// The drawing surface the word-wrap helpers work on, with its current font:
// pixel width and height of a text, and text output at a point. The GUI
// fills it from its painter; DrawWrappedText needs TextOut, the height
// routine does not.
struct TTextCanvas {
  std::function<int(const std::string&)> TextWidth;
  std::function<int(const std::string&)> TextHeight;
  std::function<void(int X, int Y, const std::string&)> TextOut;
};

// Folders the system publishes in the registry; "" when the key or value is
// missing.
std::string GetProgramFilesDir();
std::string GetShellFolder(const std::string& Name);
std::string GetDesktopDir();   // GetShellFolder("Desktop")
std::string GetProgramsDir();  // GetShellFolder("Programs")

// Writes a shortcut to TargetFile as LinkFile, making LinkFile's folder and
// its missing parents. Raises plat::EShellError when the folder cannot be
// made (also when LinkFile has no folder part) and the file layer's errors
// when the shortcut cannot be written.
void CreateShortcut(const std::string& LinkFile, const std::string& TargetFile);

// The entry of the system's list of installed programs, under the local
// machine's "Software\MicroSoft\Windows\CurrentVersion\Uninstall\<Name>".
void RegisterUninstall(const std::string& Name, const std::string& Command);
// Deletes that entry with everything below it; a missing one is no error.
// An empty name, or one holding '\', would name another key and raises
// plat::ERegistryException.
void UnregisterUninstall(const std::string& Name);

// Copies Source's bytes and permission bits to Dest through a temporary file
// in Dest's folder that is renamed over Dest, so Dest is never left half
// written. Raises plat::EFOpenError (Source), plat::EFCreateError (Dest, or
// Dest being Source), plat::EReadError or plat::EWriteError.
void CopyFileByStreams(const std::string& Source, const std::string& Dest);

// Word wrap at the last blank that fits Rect's width (a blank is appended to
// Text first; a word wider than the width is cut where the prefix reaches
// it). WrappedTextHeight gives the summed line heights; DrawWrappedText
// writes the lines from Rect's top-left without clipping.
int WrappedTextHeight(TTextCanvas& Canvas, const TRect& Rect, const std::string& Text);
void DrawWrappedText(TTextCanvas& Canvas, const TRect& Rect, const std::string& Text);

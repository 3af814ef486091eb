// Path-string rules shared by the FTP component and the publishing program.
// Local paths use '/', so the "backslash" routines work with '/'; they keep
// the names their callers know them by.
#pragma once

#include <string>

// S followed by one '/' unless it already ends in '/'; "" gives "/".
std::string AddBackslash(const std::string& S);
// Turns a remote ('/') path into a local one in place. Both use '/', so the
// text stays as it is.
void SlashesToBackslashes(std::string& S);
// S without one trailing '/'; a string of one character ("/") is kept. A
// '\' is an ordinary byte of a name on both sides, never a separator.
std::string StripTrailingDelimiter(const std::string& S);
// The text up to and including the last '/'; "" when there is none.
std::string UnixPathPart(const std::string& S);

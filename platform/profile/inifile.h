// INI profile files: the private-profile functions and the INI file class
// the load tester keeps its settings with.
//
// Rules: sections and keys compare ignoring ASCII case and the first of two
// equal keys wins; a value reads back up to 2047 bytes; integers are decimal
// or "0x"/"0X" hexadecimal, anything else counts as missing. Writing updates
// an existing key in place and appends a new key to the end of its section
// (a new section to the end of the file). Every write replaces the whole file
// through a temporary file and a rename, so a failed write leaves the old
// file as it was.
//
// A bare file name (no '/') lives in the user's configuration folder.
#pragma once

#include <cstdint>
#include <string>

#include "platform/classes/classes.h"

namespace plat {

// Longest value a read returns, in bytes.
constexpr std::size_t kMaxProfileValue = 2047;

class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// A bare name in the configuration folder (ConfigFolder, platform/fs); a
// name with a '/' unchanged.
std::string ProfilePath(const std::string& fileName);

// Reads a value; `def` when the file, section or key is missing. The result
// is cut to kMaxProfileValue bytes.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName);
// Reads a whole number; `def` when missing or not a number.
std::int64_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                  std::int64_t def, const std::string& fileName);
// Writes one value (line breaks in it become blanks, so a value can never
// make lines of its own). False when the file could not be replaced; errno
// tells why.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);

// Parses a profile integer: optional sign and decimal digits, or "0x"/"0X"
// and hex digits, surrounded by blanks at most. False for anything else.
bool ParseProfileInt(const std::string& text, std::int64_t& value);

class TIniFile : public TObject {
 public:
  explicit TIniFile(const std::string& fileName);

  // The name as given and the path it resolves to.
  const std::string& FileName() const { return FileName_; }
  const std::string& Path() const { return Path_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  std::int64_t ReadInteger(const std::string& section, const std::string& key,
                           std::int64_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // Raise EIniFileException "Unable to write to <file name>" on failure.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int64_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

 private:
  std::string FileName_;
  std::string Path_;
};

}  // namespace plat

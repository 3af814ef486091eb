// Project files for the publishing tests, written as the program writes them.
#pragma once

#include <string>
#include <vector>

namespace pubtest {

// A project file as the program writes it; no password line when `password`
// is empty.
struct ProjectContent {
  std::string Path, Host, Login, Password, FTPPath, Exclude = "zvp:inc:";
  std::vector<std::string> Variables;  // "name=id=value" lines
};

inline std::string ProjectText(const ProjectContent& p) {
  std::string t = "[GENERAL]\r\nPath=" + p.Path + "\r\nFTPHost=" + p.Host + "\r\nFTPLogin=" + p.Login + "\r\n";
  if (!p.Password.empty()) t += "FTPPassword=" + p.Password + "\r\n";
  t += "FTPPath=" + p.FTPPath + "\r\nExcludeFile=" + p.Exclude + "\r\n[Variables]\r\n";
  for (const std::string& v : p.Variables) t += v + "\r\n";
  return t + "[Versions]\r\n";
}

}  // namespace pubtest

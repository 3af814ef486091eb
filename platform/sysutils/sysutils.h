// The process's command line and executable, as the class library offers
// them (ParamCount, ParamStr).
#pragma once

#include <string>
#include <vector>

namespace plat {

// Kept by the program entry; tests set their own.
void SetCommandLine(int argc, char** argv);
void SetCommandLine(std::vector<std::string> args);
// Arguments after the program name.
int ParamCount();
// 0 is the program name as started; past the end an empty string.
std::string ParamStr(int i);

// Full path of the running executable (empty if it cannot be found).
std::string ExeName();
// The part of a path after its last '/'.
std::string ExtractFileName(const std::string& path);

}  // namespace plat

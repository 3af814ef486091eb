// Path and text rules the project file, its sections and the page parser
// share: file name parts, line splitting, section headers and reading a
// project file whole.
#pragma once

#include <string>
#include <vector>

namespace prjtext {

// The text after the last "." of the file name; empty without one.
std::string ExtractExt(const std::string& path);

bool HasLineBreak(const std::string& s);

// A section header as the reader recognises it. Every other line of a file
// this program writes holds "=", so values with brackets never end a section.
bool IsSectionLine(const std::string& line);

// A project file read whole; raises the file layer's error.
std::string ReadProjectText(const std::string& fileName);

// Lines end with CR LF; hand-edited files may use LF or CR alone.
std::vector<std::string> SplitLines(const std::string& text);

void AppendLine(std::string& text, const std::string& line);

}  // namespace prjtext

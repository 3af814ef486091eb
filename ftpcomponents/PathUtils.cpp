#include "ftpcomponents/PathUtils.h"

std::string AddBackslash(const std::string& S) {
  if (!S.empty() && S.back() == '/') return S;
  return S + '/';
}

void SlashesToBackslashes(std::string& S) { (void)S; }

std::string StripTrailingDelimiter(const std::string& S) {
  if (S.size() > 1 && S.back() == '/') return S.substr(0, S.size() - 1);
  return S;
}

std::string UnixPathPart(const std::string& S) {
  std::size_t slash = S.find_last_of('/');
  return slash == std::string::npos ? std::string() : S.substr(0, slash + 1);
}

// Text is bytes in the program and Latin-1 at the GUI edge.
#pragma once

#include <QString>
#include <string>

namespace plat {

inline QString ToQ(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
// Characters outside Latin-1 become '?'.
inline std::string FromQ(const QString& s) {
  QByteArray b = s.toLatin1();
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

}  // namespace plat

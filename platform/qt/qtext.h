// Text is bytes in the program; at the GUI edge it is UTF-8, the desktop's
// text and the encoding of the file system's names.
#pragma once

#include <QString>
#include <QStringDecoder>
#include <string>

namespace plat {

// Bytes that are not UTF-8 (text from an older 8-bit file) show as Latin-1,
// one character per byte, rather than as replacement marks.
inline QString ToQ(const std::string& s) {
  QByteArrayView bytes(s.data(), static_cast<qsizetype>(s.size()));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString text = utf8(bytes);
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes);
}

inline std::string FromQ(const QString& s) {
  QByteArray b = s.toUtf8();
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

}  // namespace plat

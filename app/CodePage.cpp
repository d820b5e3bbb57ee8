#include "CodePage.h"

#include <QVector>

#include "data/Text.h"

namespace cp1252 {

QString toQString(const std::string& bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(bytes.size()));
  for (unsigned char b : bytes) out.append(QChar(toUnicode(b)));
  return out;
}

std::string fromQString(const QString& text) {
  std::string out;
  out.reserve(static_cast<size_t>(text.size()));
  for (char32_t c : text.toUcs4()) out.push_back(fromUnicode(c));
  return out;
}

}  // namespace cp1252

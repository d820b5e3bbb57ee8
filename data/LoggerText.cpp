#include "data/LoggerText.h"

namespace {

bool printable(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return false;
  return c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D;
}

}  // namespace

std::string loggerText(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && printable(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size()) return text;  // the usual case: nothing to escape, no copy to build
  static const char kHex[] = "0123456789ABCDEF";
  std::string out(text, 0, i);
  out.reserve(text.size() + 12);
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (printable(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

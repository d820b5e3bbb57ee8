#include "cli/ConsoleText.h"

#include "data/Text.h"

namespace cli {
std::string printable(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (unsigned char b : ansi) {
    const char32_t c = cp1252::toUnicode(b);
    appendUtf8(out, c < 0x20 || (c >= 0x7F && c < 0xA0) ? U'?' : c);
  }
  return out;
}

}  // namespace cli

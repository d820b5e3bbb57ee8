#include "cli/ConsoleText.h"

#include <unistd.h>

#include <cerrno>

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

bool writeAll(std::FILE* out, const std::string& bytes) {
  if (std::fflush(out) != 0) return false;
  const int fd = fileno(out);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace cli

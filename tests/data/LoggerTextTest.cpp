#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "data/LoggerText.h"

TEST(LoggerText, OnlyControlsAndUndefinedBytesAreEscaped) {
  for (int c = 0; c < 256; ++c) {
    const std::string byte(1, static_cast<char>(c));
    const bool escaped =
        c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
    char expected[5];
    std::snprintf(expected, sizeof expected, "\\x%02X", c);
    EXPECT_EQ(loggerText(byte), escaped ? std::string(expected) : byte) << c;
  }
}

TEST(LoggerText, ForgedLinesStayInTheirLine) {
  const std::string serial = "VLM1\r\nDownload finished\x1B[2J\x80 \\x41";
  const std::string shown = loggerText(serial);
  EXPECT_EQ(shown, "VLM1\\x0D\\x0ADownload finished\\x1B[2J\x80 \\x41");
  EXPECT_EQ(loggerText(shown), shown);
  EXPECT_EQ(loggerText(std::string("a\0b", 3)), "a\\x00b");
}

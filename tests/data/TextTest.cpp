#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "data/Text.h"

namespace {

TEST(Cp1252, EveryByteGoesToItsCharacterAndBack) {
  EXPECT_EQ(cp1252::toUnicode(0x80), u'\u20AC');
  EXPECT_EQ(cp1252::toUnicode(0x9F), u'\u0178');
  EXPECT_EQ(cp1252::toUnicode(0x81), u'\u0081');  // unassigned: stays a C1 code
  EXPECT_EQ(cp1252::toUnicode(0xE4), u'\u00E4');
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(
        static_cast<unsigned char>(cp1252::fromUnicode(cp1252::toUnicode(static_cast<unsigned char>(b)))), b);
  }
  EXPECT_EQ(cp1252::fromUnicode(U'\u65E5'), '?');
  EXPECT_EQ(cp1252::fromUnicode(U'\U0001F600'), '?');
}

// The serial string's conversion gives no byte for a C1 control, where the window's keeps it.
TEST(Utf16ToAnsi, MapsWindows1252AndMarksTheRest) {
  const uint16_t units[] = {u'V', 0x20AC, 0x00E4, 0x0081, 0x0099, 0x2122, 0x65E5, 0xD83D, 0xDE00};
  EXPECT_EQ(utf16ToAnsi(units, sizeof units / sizeof units[0]), std::string("V\x80\xE4??\x99???"));
  EXPECT_EQ(utf16ToAnsi(units, 0), "");
}

}  // namespace

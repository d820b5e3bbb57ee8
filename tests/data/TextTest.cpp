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

// Terminals, files and locales speak UTF-8: every byte survives the trip, a malformed or cut sequence
// becomes one '?' per byte and never swallows the character after it.
TEST(Utf8, EveryAnsiByteGoesThroughUtf8AndBack) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(ansiFromUtf8(utf8FromAnsi(all)), all);
  EXPECT_EQ(utf8FromAnsi("\x80\xE4"), "\u20AC\u00E4");
  EXPECT_EQ(ansiFromUtf8("a\xC3(\xE2\x82z\xF0\x9F\x98\x80\xE2\x82"), "a?(??z???");
  EXPECT_EQ(decodeUtf8("\xF0\x9F\x98\x80\xE2\x82\xAC"), U"\U0001F600\u20AC");
  EXPECT_EQ(encodeUtf8(U"\U0001F600\u20AC"), "\xF0\x9F\x98\x80\xE2\x82\xAC");
}

}  // namespace

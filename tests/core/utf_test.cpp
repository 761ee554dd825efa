#include <gtest/gtest.h>

#include "core/platform/platform.h"
#include "core/platform/utf.h"

namespace quarn::platform {
namespace {

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string input, expected;
  };
  const Case cases[] = {
      {"zażółć", "zażółć"},
      {"a\xFF" "b", "a\uFFFD" "b"},
      {"\xC3", "\uFFFD"},                         // truncated two-byte sequence
      {"\xE2\x82", "\uFFFD"},                     // truncated three-byte: one replacement
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},     // encoded surrogate
      {"\xC0\xAF", "\uFFFD\uFFFD"},               // overlong slash
      {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},   // U+1F600 is fine
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sanitize_utf8(c.input), c.expected) << c.input;
    EXPECT_EQ(is_valid_utf8(c.input), c.input == c.expected) << c.input;
  }
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));  // a genuine U+FFFD
}

TEST(Utf16, RoundTripsAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(utf8_to_utf16("ł\xF0\x9F\x98\x80"), (std::u16string{u'ł', 0xD83D, 0xDE00}));
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'a', 0xD800, u'b'}), "a\uFFFD" "b");
  EXPECT_EQ(utf16_to_utf8(std::u16string{0xDC00}), "\uFFFD");
  EXPECT_EQ(utf16_to_utf8(std::u16string{0xD83D}), "\uFFFD");
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16("Źdźbło 🙂")), "Źdźbło 🙂");
  EXPECT_EQ(utf8_to_utf16("\xFF"), std::u16string{0xFFFD});
}

TEST(PathText, Utf8NamesRoundTripThroughPaths) {
  const std::string name = "raport źdźbła 🙂.2024.exe";
  EXPECT_EQ(path_to_utf8(path_from_utf8(name)), name);
  EXPECT_EQ(path_to_utf8(path_from_utf8("a\xFF")), "a\uFFFD");
}

}  // namespace
}  // namespace quarn::platform

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

// Three bytes per unit is the worst case (BMP letters and U+FFFD); a
// surrogate pair takes four bytes for two units. Nothing past the length
// may be touched.
TEST(Utf16, IntoASpanFitsInThreeBytesPerUnit) {
  for (const std::u16string& units : {std::u16string{}, std::u16string{u'€', 0xDC00, u'€'},
                                      std::u16string{0xD83D, 0xDE00, u'a'}}) {
    std::vector<std::uint8_t> out(units.size() * 3 + 1, 0xEE);
    const std::size_t length = utf16_to_utf8(units, std::span(out).first(units.size() * 3));
    const std::string expected = utf16_to_utf8(units);
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)), expected);
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(length), out.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
  }
}

TEST(PathText, Utf8NamesRoundTripThroughPaths) {
  const std::string name = "raport źdźbła 🙂.2024.exe";
  EXPECT_EQ(path_to_utf8(path_from_utf8(name)), name);
  EXPECT_EQ(path_to_utf8(path_from_utf8("a\xFF")), "a\uFFFD");
}

}  // namespace
}  // namespace quarn::platform

#include <gtest/gtest.h>

#include <string>

#include "core/archive/unicode_lowercase.h"

namespace quarn {
namespace {

std::u32string lower(char32_t c) {
  std::u32string out;
  append_lowercase(c, out);
  return out;
}

TEST(UnicodeLowercase, MapsSingleCodePointsWithTheFullMapping) {
  struct Case {
    char32_t in;
    std::u32string out;
  };
  const Case cases[] = {
      {U'A', U"a"},         {U'Z', U"z"},          {U'@', U"@"},  // the neighbours of A..Z stay
      {U'[', U"["},         {U'a', U"a"},          {U'1', U"1"},
      {0x00C4, U"\u00E4"},  // Ä
      {0x0141, U"\u0142"},  // Ł
      {0x03A3, U"\u03C3"},  // capital sigma, taken on its own: never the final form
      {0x03C2, U"\u03C3"},  // final sigma folds with sigma: one letter to Windows
      {0x00B5, U"\u03BC"},  // micro sign folds with mu
      {0x017F, U"s"},        // long s folds with s
      {0x0130, U"i\u0307"},  // capital I with dot above expands to two code points
      {0x0049, U"i"},        // no Turkish rule
      {0x0131, U"i"},        // dotless i shares its capital with i
      {0x1E9E, U"\u00DF"},   // capital sharp s
      {0x00DF, U"\u00DF"},   // sharp s is lowercase already (no expansion to "ss")
      {0x01C5, U"\u01C6"},   // titlecase Dz
      {0x212A, U"k"},        // Kelvin sign
      {0x2126, U"\u03C9"},   // Ohm sign
      {0x13A0, U"\uAB70"},   // Cherokee
      {0x10400, U"\U00010428"},  // Deseret, beyond the BMP
      {0x1E921, U"\U0001E943"},  // Adlam, the last capital in the table
      {0x2C2F, U"\u2C5F"},       // Glagolitic, new in Unicode 14
      {0x10570, U"\U00010597"},  // Vithkuqi, new in Unicode 14
      {0xFFFD, U"\uFFFD"},
      {0x10FFFF, U"\U0010FFFF"},
      {0x110000, std::u32string(1, char32_t{0x110000})},  // not a code point: unchanged
  };
  for (const Case& c : cases) EXPECT_EQ(lower(c.in), c.out) << std::hex << static_cast<std::uint32_t>(c.in);
}

TEST(UnicodeLowercase, TableCoversEveryChangingCodePointAndIsStable) {
  // 1455 one-to-one mappings and U+0130 in Unicode 14.0.0; a lookup that
  // misses the first or last row of a table would show here.
  EXPECT_EQ(lowercase_unicode_version(), "14.0.0");
  std::size_t changed = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const std::u32string once = lower(c);
    if (once != std::u32string(1, c)) ++changed;
    std::u32string twice;
    for (const char32_t d : once) append_lowercase(d, twice);
    ASSERT_EQ(twice, once) << std::hex << static_cast<std::uint32_t>(c);
  }
  EXPECT_EQ(changed, 1456u);
}

TEST(UnicodeLowercase, Utf8TextIsLoweredCodePointByCodePoint) {
  EXPECT_EQ(lowercase_utf8("ZAŻÓŁĆ GĘŚLĄ JAŹŃ.TXT"), "zażółć gęślą jaźń.txt");
  EXPECT_EQ(lowercase_utf8("ΟΔΟΣ"), "οδοσ");  // no final-sigma context
  EXPECT_EQ(lowercase_utf8("\xC4\xB0STANBUL"), "i\xCC\x87stanbul");
  EXPECT_EQ(lowercase_utf8("A\xFF" "B"), "a\uFFFD" "b");
  EXPECT_EQ(lowercase_utf8(""), "");
}

}  // namespace
}  // namespace quarn

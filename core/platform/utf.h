// Conversions between UTF-8 and UTF-16 that never fail: anything invalid
// becomes U+FFFD. Pure functions, shared by both platform implementations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quarn::platform {

// Replaces every maximal invalid subsequence by U+FFFD (the WHATWG rule).
std::string sanitize_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The valid UTF-8 sequence at the start of `bytes`: its code point and its
// length in bytes. nullopt when `bytes` is empty or starts otherwise.
struct Utf8Sequence {
  char32_t point;
  std::size_t length;
};
std::optional<Utf8Sequence> leading_utf8(std::string_view bytes);

// Every byte below 0x80: the text is its own code points.
bool is_ascii(std::string_view bytes);

// Code points of `bytes`, invalid sequences as U+FFFD.
std::u32string utf8_to_utf32(std::string_view bytes);

// Surrogates and values above U+10FFFF become U+FFFD.
std::string utf32_to_utf8(std::u32string_view points);

std::u16string utf8_to_utf16(std::string_view bytes);

// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view units);
// The same into `out`, which holds at least three bytes per unit; returns the
// length written. Allocates nothing, so a secret can pass through it.
std::size_t utf16_to_utf8(std::u16string_view units, std::span<std::uint8_t> out);

// A line as a console's line input hands it over, `read` being what one read
// into a buffer returned: the text before its line end (LF, and a CR before
// it), as UTF-8 into `out`. nullopt when there is no line end in `read` (the
// line went on past the buffer) or the text does not fit `out`; nothing is
// written past `out` either way. Allocates nothing, so a secret can pass
// through it.
std::optional<std::size_t> console_line_to_utf8(std::u16string_view read, std::span<std::uint8_t> out);

}  // namespace quarn::platform

#include "core/platform/utf.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace quarn::platform {
namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one code point from `bytes` at `i`, advancing `i` past it. Invalid
// input yields U+FFFD and advances past the maximal invalid subsequence.
char32_t decode_utf8(std::string_view bytes, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
  const std::uint8_t lead = byte(i++);
  if (lead < 0x80) return lead;

  std::size_t needed = 0;
  char32_t cp = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the valid range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1; cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2; cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3; cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return replacement;
  }
  for (std::size_t k = 0; k < needed; ++k) {
    if (i >= bytes.size()) return replacement;
    const std::uint8_t b = byte(i);
    const std::uint8_t lo = k == 0 ? low : 0x80;
    const std::uint8_t hi = k == 0 ? high : 0xBF;
    if (b < lo || b > hi) return replacement;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

// Writes `cp` as one to four bytes at `out`; returns how many.
std::size_t encode_utf8(char32_t cp, std::uint8_t* out) {
  if (cp < 0x80) {
    out[0] = static_cast<std::uint8_t>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
    out[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
    out[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
  out[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
  return 4;
}

void append_utf8(std::string& out, char32_t cp) {
  std::uint8_t bytes[4];
  const std::size_t count = encode_utf8(cp, bytes);
  out.append(reinterpret_cast<const char*>(bytes), count);
}

}  // namespace

std::string sanitize_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) append_utf8(out, decode_utf8(bytes, i));
  return out;
}

bool is_ascii(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::optional<Utf8Sequence> leading_utf8(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  std::size_t length = 0;
  const char32_t point = decode_utf8(bytes, length);
  // A decoded U+FFFD is genuine only when it was spelled out as EF BF BD: an
  // invalid sequence can take three bytes too (F0 90 80, cut short).
  if (point == replacement && bytes.substr(0, length) != "\xEF\xBF\xBD") return std::nullopt;
  return Utf8Sequence{point, length};
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto sequence = leading_utf8(bytes.substr(i));
    if (!sequence) return false;
    i += sequence->length;
  }
  return true;
}

std::u32string utf8_to_utf32(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) out += decode_utf8(bytes, i);
  return out;
}

std::string utf32_to_utf8(std::u32string_view points) {
  std::string out;
  out.reserve(points.size());
  for (const char32_t cp : points)
    append_utf8(out, (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ? replacement : cp);
  return out;
}

std::u16string utf8_to_utf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const char32_t cp = decode_utf8(bytes, i);
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

namespace {

// Decodes one code point from `units` at `i`, advancing `i` past it; an
// unpaired surrogate yields U+FFFD.
char32_t decode_utf16(std::u16string_view units, std::size_t& i) {
  const char16_t u = units[i++];
  if (u >= 0xD800 && u <= 0xDBFF && i < units.size() && units[i] >= 0xDC00 && units[i] <= 0xDFFF)
    return 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i++]) - 0xDC00);
  if (u >= 0xD800 && u <= 0xDFFF) return replacement;
  return u;
}

std::size_t utf8_length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

}  // namespace

std::size_t utf16_to_utf8(std::u16string_view units, std::span<std::uint8_t> out) {
  if (out.size() < units.size() * 3) std::abort();  // a caller sized it wrong: stop before writing past it
  std::size_t length = 0;
  for (std::size_t i = 0; i < units.size();) length += encode_utf8(decode_utf16(units, i), out.data() + length);
  return length;
}

std::optional<std::size_t> console_line_to_utf8(std::u16string_view read, std::span<std::uint8_t> out) {
  const std::size_t end = read.find(u'\n');
  if (end == std::u16string_view::npos) return std::nullopt;
  std::u16string_view units = read.substr(0, end);
  if (!units.empty() && units.back() == u'\r') units.remove_suffix(1);
  std::size_t length = 0;
  for (std::size_t i = 0; i < units.size();) {
    const char32_t cp = decode_utf16(units, i);
    if (utf8_length(cp) > out.size() - length) return std::nullopt;
    length += encode_utf8(cp, out.data() + length);
  }
  return length;
}

std::string utf16_to_utf8(std::u16string_view units) {
  std::string out(units.size() * 3, '\0');
  const std::size_t length =
      utf16_to_utf8(units, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
  out.resize(length);
  return out;
}

}  // namespace quarn::platform

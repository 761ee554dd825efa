#include "core/archive/unicode_lowercase.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/platform/utf.h"

namespace quarn {
namespace {

struct LowercasePair {
  char32_t from;
  char32_t to;
};

struct LowercaseExpansion {
  char32_t from;
  std::uint8_t length;
  std::array<char32_t, 3> to;
};

#include "core/archive/unicode_lowercase_table.inc"

constexpr bool strictly_ascending() {
  for (std::size_t i = 1; i < std::size(lowercase_single); ++i)
    if (lowercase_single[i - 1].from >= lowercase_single[i].from) return false;
  for (std::size_t i = 1; i < std::size(lowercase_expanding); ++i)
    if (lowercase_expanding[i - 1].from >= lowercase_expanding[i].from) return false;
  return true;
}
static_assert(strictly_ascending(), "the lowercase tables must be sorted for binary search");

}  // namespace

void append_lowercase(char32_t c, std::u32string& out) {
  // Names are mostly ASCII; spare them the search.
  if (c < 0x80) {
    out += (c >= U'A' && c <= U'Z') ? c + 32 : c;
    return;
  }
  const auto single = std::lower_bound(std::begin(lowercase_single), std::end(lowercase_single), c,
                                       [](const LowercasePair& p, char32_t v) { return p.from < v; });
  if (single != std::end(lowercase_single) && single->from == c) {
    out += single->to;
    return;
  }
  const auto expanding =
      std::lower_bound(std::begin(lowercase_expanding), std::end(lowercase_expanding), c,
                       [](const LowercaseExpansion& p, char32_t v) { return p.from < v; });
  if (expanding != std::end(lowercase_expanding) && expanding->from == c) {
    out.append(expanding->to.data(), expanding->length);
    return;
  }
  out += c;
}

std::string lowercase_utf8(std::string_view text) {
  std::u32string lowered;
  lowered.reserve(text.size());
  for (const char32_t c : platform::utf8_to_utf32(text)) append_lowercase(c, lowered);
  return platform::utf32_to_utf8(lowered);
}

std::string_view lowercase_unicode_version() { return lowercase_table_unicode_version; }

}  // namespace quarn

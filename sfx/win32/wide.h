// UTF-8 text to and from the UTF-16 strings of Win32 calls, always through
// core/platform/utf.h (never through the ANSI code page).
#pragma once

#include <string>
#include <string_view>

#include "core/platform/utf.h"

namespace quarn::sfx::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring widen(std::string_view utf8) {
  const std::u16string units = platform::utf8_to_utf16(utf8);
  return std::wstring(units.begin(), units.end());
}

// Unpaired surrogates become U+FFFD.
inline std::string narrow(std::wstring_view units) {
  return platform::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(units.data()), units.size()));
}

}  // namespace quarn::sfx::win32

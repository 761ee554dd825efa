#include "core/archive/entry_path.h"

#include <array>
#include <string>
#include <type_traits>

#include "core/platform/platform.h"
#include "core/platform/utf.h"

namespace quarn {
namespace {

// Windows also takes COM and LPT with the superscript digits one to three as
// devices, and opens the console for CONIN$ and CONOUT$ (with or without an
// extension) wherever they stand in a path.
constexpr std::array<std::u32string_view, 30> reserved_names = {
    U"CON",    U"PRN",     U"AUX",  U"NUL",  U"COM1", U"COM2", U"COM3", U"COM4", U"COM5", U"COM6",
    U"COM7",   U"COM8",    U"COM9", U"LPT1", U"LPT2", U"LPT3", U"LPT4", U"LPT5", U"LPT6", U"LPT7",
    U"LPT8",   U"LPT9",    U"COM\u00B9", U"COM\u00B2", U"COM\u00B3", U"LPT\u00B9", U"LPT\u00B2", U"LPT\u00B3",
    U"CONIN$", U"CONOUT$"};

char32_t ascii_upper(char32_t c) { return (c >= U'a' && c <= U'z') ? c - 32 : c; }

bool forbidden_character(char32_t c) {
  return c < 0x20 || c == U'"' || c == U'*' || c == U':' || c == U'<' || c == U'>' || c == U'?' || c == U'\\' ||
         c == U'|';
}

// A component as code points: decoded UTF-8, or ASCII bytes as they are
// (most names are ASCII, and this runs for every entry).
template <class Char>
char32_t point(Char c) {
  return static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(c));
}

template <class Char>
bool is_device_name(std::basic_string_view<Char> component) {
  std::basic_string_view<Char> base = component.substr(0, component.find(static_cast<Char>('.')));
  while (!base.empty() && is_unicode_white_space(point(base.back()))) base.remove_suffix(1);
  for (const std::u32string_view reserved : reserved_names) {
    if (base.size() != reserved.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < base.size() && same; ++i) same = ascii_upper(point(base[i])) == reserved[i];
    if (same) return true;
  }
  return false;
}

template <class Char>
bool component_allowed(std::basic_string_view<Char> c) {
  if (c.empty()) return false;
  if (c.size() <= 2 && c.find_first_not_of(static_cast<Char>('.')) == c.npos) return false;  // "." and ".."
  if (point(c.back()) == U' ' || point(c.back()) == U'.') return false;
  for (const Char ch : c)
    if (forbidden_character(point(ch))) return false;
  return !is_device_name(c);
}

}  // namespace

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

Result<std::filesystem::path> check_entry_path(std::string_view entry_path, const std::filesystem::path& destination) {
  const auto refuse = [&] { return std::unexpected(ArchiveError::unsafe_path(std::string(entry_path))); };
  if (entry_path.empty() || entry_path.size() > MAX_ENTRY_PATH || entry_path.front() == '/') return refuse();

  // The first component is joined as paths join; the others follow a name,
  // so a separator goes before each. Joined as text, the whole is made a
  // path once: appending to a path splits it again.
  std::filesystem::path::string_type out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = entry_path.find('/', start);
    const std::string_view component = entry_path.substr(start, slash - start);
    const bool allowed = platform::is_ascii(component) ? component_allowed(component)
                                             : component_allowed(std::u32string_view(platform::utf8_to_utf32(component)));
    if (!allowed) return refuse();
    if (start == 0) {
      out = (destination / platform::path_from_utf8(component)).native();
      out.reserve(out.size() + entry_path.size());
    } else {
      out += std::filesystem::path::preferred_separator;
      out += platform::path_from_utf8(component).native();
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return std::filesystem::path(std::move(out));
}

}  // namespace quarn

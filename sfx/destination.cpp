#include "sfx/destination.h"

#include "core/archive/entry_path.h"
#include "core/platform/platform.h"
#include "core/platform/utf.h"

namespace quarn::sfx {

std::filesystem::path default_destination_path(const std::filesystem::path& own_path) {
  const std::filesystem::path parent = own_path.parent_path();
  if (parent.empty()) return {};
  const std::filesystem::path::string_type name = own_path.filename().native();
  std::filesystem::path stem;
  if (name.empty()) {
    stem = "archiwum";
  } else {
    const auto dot = name.rfind('.');
    stem = std::filesystem::path(dot == std::filesystem::path::string_type::npos || dot == 0 ? name
                                                                                           : name.substr(0, dot));
  }
  return parent / stem;
}

std::string default_destination(const std::filesystem::path& own_path) {
  const std::filesystem::path path = default_destination_path(own_path);
  return path.empty() ? std::string() : platform::path_to_utf8(path);
}

std::string trim_destination(std::string_view text) {
  const std::u32string points = platform::utf8_to_utf32(text);
  std::size_t first = 0, last = points.size();
  while (first < last && is_unicode_white_space(points[first])) ++first;
  while (last > first && is_unicode_white_space(points[last - 1])) --last;
  return platform::utf32_to_utf8(std::u32string_view(points).substr(first, last - first));
}

}  // namespace quarn::sfx

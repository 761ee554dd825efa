#include "core/platform/extended_path.h"

namespace quarn::platform {
namespace {

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

bool is_drive_letter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// \??\ is the system's own prefix, taken only with backslashes; \\?\ and
// \\.\ are recognised by Windows with either separator.
bool is_extended_or_device(std::u16string_view path) {
  if (path.size() < 4) return false;
  if (path.substr(0, 4) == u"\\??\\") return true;
  return is_separator(path[0]) && is_separator(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
         is_separator(path[3]);
}

}  // namespace

std::u16string extended_path(std::u16string_view path, const FullPathResolver& full_path) {
  if (path.empty() || is_extended_or_device(path)) return std::u16string(path);
  std::u16string full = full_path(path);
  if (full.size() >= 3 && is_drive_letter(full[0]) && full[1] == u':' && full[2] == u'\\')
    return u"\\\\?\\" + full;
  // A name such as NUL resolves to a device path, which stays as given.
  if (full.size() >= 3 && full[0] == u'\\' && full[1] == u'\\' && full[2] != u'\\' && !is_extended_or_device(full))
    return u"\\\\?\\UNC\\" + full.substr(2);
  return std::u16string(path);
}

std::u16string plain_path(std::u16string_view path) {
  constexpr std::u16string_view extended = u"\\\\?\\", network = u"\\\\?\\UNC\\";
  if (path.starts_with(network)) return u"\\\\" + std::u16string(path.substr(network.size()));
  if (path.starts_with(extended) && path.size() >= extended.size() + 3 && is_drive_letter(path[extended.size()]) &&
      path[extended.size() + 1] == u':' && path[extended.size() + 2] == u'\\')
    return std::u16string(path.substr(extended.size()));
  return std::u16string(path);
}

}  // namespace quarn::platform

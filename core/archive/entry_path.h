// check_entry_path: turns a stored entry path into an output path under a
// destination, refusing anything that could leave it or name a drive, a
// device or an alternate data stream. The writer applies the same rules
// before storing a path.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "core/error/archive_error.h"

namespace quarn {

inline constexpr std::size_t MAX_ENTRY_PATH = 32000;

// The output path, or UnsafePath carrying `entry_path` as stored. Touches no file.
Result<std::filesystem::path> check_entry_path(std::string_view entry_path,
                                               const std::filesystem::path& destination);

// True for characters with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

}  // namespace quarn

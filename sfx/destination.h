// The destination folder the self-extractor proposes, and the trimming the
// window applies to what the user typed.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quarn::sfx {

// The parent folder joined with the file stem (the name before its last
// "."; a name whose only "." is its first character is its own stem;
// "archiwum" without a file name); empty without a parent folder.
std::filesystem::path default_destination_path(const std::filesystem::path& own_path);

// default_destination_path as text, for the window's field.
std::string default_destination(const std::filesystem::path& own_path);

// Removes leading and trailing characters with the Unicode White_Space property.
std::string trim_destination(std::string_view text);

}  // namespace quarn::sfx

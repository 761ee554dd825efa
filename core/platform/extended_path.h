// The extended form of a Windows path (\\?\C:\..., \\?\UNC\server\share\...),
// in which Windows takes a path as it is and lets it run to about 32,767
// units whatever the machine's long-path setting. A pure function, so both
// builds test it; the Win32 implementation hands every path to the system in
// this form.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quarn::platform {

// Windows' own reading of `path` as a full path: `.` and `..` resolved,
// separators as backslashes, trailing dots and spaces dropped where Windows
// drops them, relative paths joined to the current folder. Empty when the
// system cannot say.
using FullPathResolver = std::function<std::u16string(std::u16string_view path)>;

// `path` in the extended form. A path already in the extended form (\\?\,
// \??\) or a device path (\\.\, or any two separators, `.` or `?` and a
// separator) is returned as it is. Any other path is first resolved by
// `full_path`, since the extended form switches Windows' own parsing off;
// a full drive path then gets \\?\ and a network path \\server\share
// becomes \\?\UNC\server\share. What `full_path` cannot resolve, or
// resolves to neither, is returned as given, and the system's call will say
// what is wrong with it.
std::u16string extended_path(std::u16string_view path, const FullPathResolver& full_path);

// The plain form of an extended drive or network path, for people to read
// (\\?\C:\a -> C:\a, \\?\UNC\server\share -> \\server\share); any other
// path as it is.
std::u16string plain_path(std::u16string_view path);

}  // namespace quarn::platform

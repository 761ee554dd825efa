// What the Win32 implementation files of the platform interface share.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/platform/platform.h"

namespace quarn::platform {

// A GetLastError value as an OsError, with the system's text for it.
OsError windows_error(DWORD code);
OsError last_error();

// `path` as every call that takes one hands it to the system: in the
// extended form (\\?\C:\..., \\?\UNC\...), which no 260-character limit
// applies to, whatever the machine's long-path setting. Only here; what is
// stored or shown stays in the plain form.
std::wstring system_path(const std::filesystem::path& path);

// Sets the creation and last-write times through `h` in one call; a 0 leaves
// that time as it is.
bool set_handle_times(HANDLE h, std::uint64_t created_ticks, std::uint64_t modified_ticks);

}  // namespace quarn::platform

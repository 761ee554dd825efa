// What the Win32 implementation files of the platform interface share.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/platform/platform.h"

namespace quarn::platform {

// A GetLastError value as an OsError, with the system's text for it.
OsError windows_error(DWORD code);
OsError last_error();

// Sets the creation and last-write times through `h` in one call; a 0 leaves
// that time as it is.
bool set_handle_times(HANDLE h, std::uint64_t created_ticks, std::uint64_t modified_ticks);

}  // namespace quarn::platform

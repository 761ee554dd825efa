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

// Metadata from the fields that a query or a listing reports; `reparse_tag`
// counts only when `attributes` mark a reparse point.
FileInfo file_info_of(DWORD attributes, DWORD reparse_tag, std::uint64_t size, std::uint64_t created_ticks,
                      std::uint64_t modified_ticks);

// The identity of the file open as `h`: its 128-bit id where the file system
// has one (FileIdInfo), its 64-bit index otherwise, with the volume's serial
// number from the same query.
OsResult<FileIdentity> handle_identity(HANDLE h);

}  // namespace quarn::platform

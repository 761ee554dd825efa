// Finding a program's code signature: the PE certificate table that a
// signing tool appends as the last bytes of the file, after the archive.
#pragma once

#include <cstdint>
#include <optional>

#include "core/error/archive_error.h"
#include "core/platform/platform.h"

namespace quarn {

// Where the certificate table lies in the file; it runs to the file's end.
struct CodeSignature {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// The certificate table of `file` (`file_length` bytes long) when the file is
// a well-formed PE program ("MZ", e_lfanew, "PE\0\0" and the optional
// header's magic and data directory 4 all inside the file) whose table is
// non-empty, ends exactly at the end of the file and is tiled by its
// WIN_CERTIFICATE entries; nullopt for anything else, however malformed.
// Only a failed read is an error (Io).
Result<std::optional<CodeSignature>> find_code_signature(const platform::File& file, std::uint64_t file_length);

}  // namespace quarn

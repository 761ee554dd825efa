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

// Signing tools write one WIN_CERTIFICATE (nested signatures live inside its
// PKCS#7); a table of more entries than this is refused as damaged.
inline constexpr int MAX_CERTIFICATE_ENTRIES = 16;

// Whether `file` (`file_length` bytes long) is a signed PE program:
//   nullopt when it is not a PE program whose headers hold data directory 4
//   ("MZ", e_lfanew, "PE\0\0", the optional header's magic, at least five
//   directories, all inside the file), or when that directory is all zero
//   (an unsigned program);
//   the certificate table when the directory is not all zero and the table is
//   what a signing tool leaves: non-empty, after the headers and the section
//   table, ending exactly at the end of the file, and filled exactly by 1 to
//   MAX_CERTIFICATE_ENTRIES WIN_CERTIFICATE entries, each padded to 8 bytes
//   (the last may stop short of its padding);
//   Corrupt texts::signature_area_damaged for any other non-zero directory;
//   Io when a read fails.
// Reads at most the DOS header, the PE headers and one 8-byte entry header
// per entry.
Result<std::optional<CodeSignature>> find_code_signature(const platform::File& file, std::uint64_t file_length);

}  // namespace quarn

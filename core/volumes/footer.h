// SfxFooter: the 32 bytes that end every archive stream and locate the file
// list, and the checks made on it before an archive is extracted.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/error/archive_error.h"
#include "core/volumes/format.h"
#include "core/volumes/volume_set.h"

namespace quarn {

struct SfxFooter {
  std::uint64_t filelist_offset = 0;
  std::uint64_t archive_length = 0;
};

// Valid when the magic matches and the CRC-32C of bytes 0..23 is the stored
// one; bytes 28..31 are not interpreted.
Result<SfxFooter> parse_footer(std::span<const std::uint8_t, format::footer_size> bytes);

// The stored form; the reserved bytes are written as zero.
std::array<std::uint8_t, format::footer_size> encode_footer(const SfxFooter& footer);

// Checks the footer against the archive whose header is `header_length`
// bytes long; on success the position is at the file-list frame.
Result<SfxFooter> check_footer(VolumeSet& volumes, std::uint64_t header_length);

}  // namespace quarn

// HeaderExtensions: the second factors an archive header asks for, parsed
// from its extension records (type 1: a key file; type 2: a FIDO2 key).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error/archive_error.h"

namespace quarn {

struct Fido2KeyDescriptor {
  std::string rp_id;  // valid UTF-8
  std::vector<std::uint8_t> credential_id;  // at least one byte
  std::array<std::uint8_t, 32> salt{};
};

struct HeaderExtensions {
  std::optional<Fido2KeyDescriptor> fido2;  // the last type-2 record counts
  bool key_file_required = false;
};

// Walks the extension records. A record of another type means the archive
// needs a newer reader: UnsupportedVersion with `header_version`.
Result<HeaderExtensions> parse_extensions(std::span<const std::uint8_t> extension_bytes,
                                          std::uint16_t header_version);

}  // namespace quarn

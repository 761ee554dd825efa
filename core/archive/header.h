// Header: the parsed archive header, its canonical bytes, the HeaderDigest
// that binds every frame to it, and its extension records.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/crypto/argon2_params.h"
#include "core/crypto/encryption_mode.h"
#include "core/crypto/header_extensions.h"
#include "core/crypto/key_derivation.h"
#include "core/error/archive_error.h"
#include "core/volumes/volume_set.h"

namespace quarn {

using HeaderDigest = std::array<std::uint8_t, 32>;

struct Header {
  std::vector<std::uint8_t> extensions;  // empty for version 1
  std::optional<Argon2Params> argon2;    // present exactly when kdf_present = 1
  std::array<std::uint8_t, 32> argon2_salt{};
  std::array<std::uint8_t, 16> hkdf_salt{};
  std::array<std::uint8_t, 64> header_tag{};
  std::uint32_t block_size = 0;
  std::uint16_t version = 0;
  std::uint16_t flags = 0;
  EncryptionMode mode = EncryptionMode::None;
  std::uint8_t compression = 0;
  std::uint8_t byte14 = 0;

  // Parses and checks the header from the current position (0 on a fresh
  // VolumeSet) and leaves the position at H. A plain archive's tag (SHA-512)
  // is verified here; an encrypted archive's tag needs the keys.
  static Result<Header> read(VolumeSet& volumes);

  // The bytes the tag and the digest cover: the stored layout with the
  // reserved bytes (and absent Argon2id fields) as zero, then, from version 2
  // on, L and the extension bytes. The tag itself is not included.
  std::vector<std::uint8_t> canonical_bytes() const;

  // SHA-256(canonical bytes ‖ header_tag).
  HeaderDigest digest() const;

  // H: where the first frame starts.
  std::uint64_t length() const;

  bool encrypted() const { return (flags & 1) != 0; }
};

Result<HeaderExtensions> parse_extensions(const Header& header);

// What key derivation needs of this header.
KeyMaterial key_material(const Header& header);

}  // namespace quarn

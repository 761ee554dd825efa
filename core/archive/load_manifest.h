// load_manifest: reads, verifies and parses an archive's file list.
#pragma once

#include <cstdint>

#include "core/archive/header.h"
#include "core/archive/manifest.h"
#include "core/crypto/frame_cipher.h"
#include "core/volumes/volume_set.h"

namespace quarn {

struct LoadedManifest {
  Manifest manifest;
  HeaderDigest digest{};
  std::uint64_t filelist_offset = 0;  // where the data frames must end
};

// The footer checks, the file-list frame (CRC, decryption, decompression
// capped at 512 MiB, length), the JSON, then the checks against the frames.
Result<LoadedManifest> load_manifest(VolumeSet& volumes, const Header& header, const FrameCipher& cipher);

}  // namespace quarn

// Opening an archive for reading its file list: container, header, keys
// (asking for the password when the archive is encrypted) and the file list.
#pragma once

#include <filesystem>
#include <optional>

#include "core/archive/header.h"
#include "core/archive/load_manifest.h"
#include "core/crypto/frame_cipher.h"
#include "core/volumes/volume_set.h"

namespace quarn::cli {

struct OpenedArchive {
  std::optional<VolumeSet> volumes;  // released before extraction: the reader opens its own
  Header header;
  FrameCipher cipher;
  LoadedManifest loaded;
};

struct KeySources {
  std::optional<std::filesystem::path> password_file;
  std::optional<std::filesystem::path> key_file;
  Fido2Authenticator* fido2 = nullptr;  // null: the platform's
};

// The password is asked for only when the header says the archive is
// encrypted, and released as soon as the keys are derived.
Result<OpenedArchive> open_archive(const std::filesystem::path& path, const KeySources& keys);

// Tells the user on stderr, before the key is asked, that this header's
// archive needs a touch of its FIDO2 key; nothing for other archives, when a
// key file it demands is missing, or when it names another relying party
// (each of which ends the request first).
void announce_fido2_touch(const Header& header, bool key_file_given);

}  // namespace quarn::cli

// describe_archive: the one-line description of an archive that the window
// and the command line show before anything is extracted.
#pragma once

#include <filesystem>
#include <string>

#include "core/crypto/encryption_mode.h"

namespace quarn::sfx {

// "Archiwum: " NAME "  ·  " MODE NAME, NAME being the last component of
// `own_path` (empty when it has none), any invalid text replaced by U+FFFD.
std::string describe_archive(const std::filesystem::path& own_path, EncryptionMode mode);

}  // namespace quarn::sfx

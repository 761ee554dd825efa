#include "core/crypto/encryption_mode.h"

#include "core/error/archive_error.h"

namespace quarn {

std::string_view display_name(EncryptionMode mode) {
  switch (mode) {
    case EncryptionMode::None:
      return "bez szyfrowania";
    case EncryptionMode::Aes256Gcm:
      return "AES-256-GCM";
    case EncryptionMode::ChaCha20Poly1305ThenAes256Gcm:
      return "kaskada ChaCha20-Poly1305 + AES-256-GCM (2x256 bit)";
    case EncryptionMode::Twofish256Gcm:
      return "Twofish-256-GCM";
    case EncryptionMode::Serpent256Gcm:
      return "Serpent-256-GCM";
    case EncryptionMode::SerpentTwofishAes256:
      return "kaskada Serpent + Twofish + AES-256 (3x256 bit)";
  }
  invariant_violated("encryption mode out of range");
}

}  // namespace quarn

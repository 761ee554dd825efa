#include <gtest/gtest.h>

#include "core/platform/platform.h"
#include "sfx/describe.h"

namespace quarn::sfx {
namespace {

TEST(DescribeArchive, UsesTheWholeFileNameAndTheModeName) {
  struct Case {
    const char* path;
    EncryptionMode mode;
    const char* expected;
  };
  const Case cases[] = {
      {"C/umowa.exe", EncryptionMode::Aes256Gcm, "Archiwum: umowa.exe  \u00B7  AES-256-GCM"},
      {"raport.2024.exe", EncryptionMode::None, "Archiwum: raport.2024.exe  \u00B7  bez szyfrowania"},
      {"dir/bez_rozszerzenia", EncryptionMode::SerpentTwofishAes256,
       "Archiwum: bez_rozszerzenia  \u00B7  kaskada Serpent + Twofish + AES-256 (3x256 bit)"},
      {"", EncryptionMode::Twofish256Gcm, "Archiwum:   \u00B7  Twofish-256-GCM"},
      {"dir/żółw.exe", EncryptionMode::ChaCha20Poly1305ThenAes256Gcm,
       "Archiwum: żółw.exe  \u00B7  kaskada ChaCha20-Poly1305 + AES-256-GCM (2x256 bit)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(describe_archive(platform::path_from_utf8(c.path), c.mode), c.expected) << c.path;
}

}  // namespace
}  // namespace quarn::sfx

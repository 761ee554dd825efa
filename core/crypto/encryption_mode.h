// EncryptionMode: the header's mode byte, its display name and how many tag
// bytes a frame payload may carry beyond the block size.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quarn {

enum class EncryptionMode : std::uint8_t {
  None = 0,
  Aes256Gcm = 1,
  ChaCha20Poly1305ThenAes256Gcm = 2,
  Twofish256Gcm = 3,
  Serpent256Gcm = 4,
  SerpentTwofishAes256 = 5,
};

inline constexpr std::size_t encryption_mode_count = 6;

// Tag bytes per frame, indexed by the mode byte.
inline constexpr std::array<std::uint32_t, encryption_mode_count> TAG_OVERHEAD = {0, 16, 32, 16, 16, 48};

inline std::uint32_t tag_overhead(EncryptionMode mode) { return TAG_OVERHEAD[static_cast<std::size_t>(mode)]; }

// The name the window and the command line show, e.g. "AES-256-GCM".
std::string_view display_name(EncryptionMode mode);

}  // namespace quarn

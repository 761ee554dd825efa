// Deterministic inputs for the micro-benchmarks: text-like bytes,
// incompressible bytes and their 50/50 mix, and the ciphers of every mode
// with fixed keys.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/archive/header.h"
#include "core/crypto/frame_cipher.h"

namespace quarn::bench {

inline constexpr std::size_t MiB = 1u << 20;

// Words of a synthetic vocabulary with Zipf frequencies, separated by
// spaces, line breaks, punctuation and numbers; zstd level 3 makes it
// about 2.4 times smaller.
std::vector<std::uint8_t> text_bytes(std::size_t size, std::uint64_t seed);

// Pseudo-random bytes: incompressible.
std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint64_t seed);

// Text-like and random pieces of 256 KiB in turn.
std::vector<std::uint8_t> mixed_bytes(std::size_t size, std::uint64_t seed);

// The cipher of `mode` under fixed keys (mode 0: no layers).
FrameCipher fixed_cipher(EncryptionMode mode);

// A fixed header digest for the associated data of frames.
HeaderDigest fixed_digest();

inline constexpr EncryptionMode all_modes[] = {
    EncryptionMode::None,          EncryptionMode::Aes256Gcm,     EncryptionMode::ChaCha20Poly1305ThenAes256Gcm,
    EncryptionMode::Twofish256Gcm, EncryptionMode::Serpent256Gcm, EncryptionMode::SerpentTwofishAes256,
};

}  // namespace quarn::bench

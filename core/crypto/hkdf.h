// HMAC-SHA-512 and HKDF-SHA-512 (extract and expand) over libgcrypt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace quarn::crypto {

inline constexpr std::size_t SHA512_SIZE = 64;

// HMAC-SHA-512 under `key` (non-empty) of the concatenation of `message`,
// written to `out`. libgcrypt's internal state is wiped when it closes.
void hmac_sha512(std::span<const std::uint8_t> key, std::initializer_list<std::span<const std::uint8_t>> message,
                 std::span<std::uint8_t, SHA512_SIZE> out);

// PRK = HMAC-SHA-512(key = salt, message = ikm).
void hkdf_sha512_extract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                         std::span<std::uint8_t, SHA512_SIZE> prk);

// Fills `out` (at most 255 × 64 bytes) with T(1) ‖ T(2) ‖ ..., starting from
// the counter byte 1. Intermediate blocks are wiped.
void hkdf_sha512_expand(std::span<const std::uint8_t, SHA512_SIZE> prk, std::span<const std::uint8_t> info,
                        std::span<std::uint8_t> out);

}  // namespace quarn::crypto

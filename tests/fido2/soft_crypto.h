// The primitives of a FIDO2 authenticator and of its client, over
// libgcrypt: SHA-256, HMAC-SHA-256, HKDF-SHA-256, AES-256-CBC without
// padding, and P-256 keys for ECDH and ECDSA. Test code: keys are ordinary
// vectors.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quarn::softkey {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

Bytes bytes_of(std::string_view text);
Bytes concat(std::initializer_list<ByteView> parts);
Bytes random_bytes(std::size_t count);

Bytes sha256(ByteView data);
Bytes hmac_sha256(ByteView key, ByteView message);
// One output block of HKDF-SHA-256 (32 bytes).
Bytes hkdf_sha256(ByteView salt, ByteView input, std::string_view info);
// `data` a whole number of 16-byte blocks; `key` 32 bytes, `iv` 16.
Bytes aes256_cbc_encrypt(ByteView key, ByteView iv, ByteView data);
Bytes aes256_cbc_decrypt(ByteView key, ByteView iv, ByteView data);

// A P-256 key pair; coordinates and scalar big-endian, 32 bytes each.
struct P256Key {
  Bytes d, x, y;
  static P256Key generate();
  // The key whose scalar is `seed` reduced into [1, n-1].
  static P256Key from_seed(ByteView seed);
};

// The x coordinate of own.d * (x, y); nullopt when the point is not on the curve.
std::optional<Bytes> ecdh_shared_x(const P256Key& own, ByteView x, ByteView y);
// ECDSA over SHA-256(message), DER-encoded.
Bytes ecdsa_sign(const P256Key& key, ByteView message);

}  // namespace quarn::softkey

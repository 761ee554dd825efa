// CTAP2's PIN/UV auth protocols 1 and 2, the same on both ends: the shared
// secret from an ECDH exchange, encryption of salts, PIN hashes and tokens,
// and the authentication of messages.
#pragma once

#include <optional>

#include "tests/fido2/cbor.h"
#include "tests/fido2/soft_crypto.h"

namespace quarn::softkey {

class PinProtocol {
 public:
  // 1 or 2; anything else is not a protocol.
  static std::optional<PinProtocol> of(std::int64_t version);
  int version() const { return version_; }

  // From the ECDH x coordinate: SHA-256 of it (1), or an HMAC key and an AES
  // key of 32 bytes each drawn with HKDF-SHA-256 (2).
  Bytes kdf(ByteView shared_x) const;
  // Protocol 1: AES-256-CBC with a zero IV; protocol 2: a random IV first.
  Bytes encrypt(ByteView shared, ByteView plain) const;
  // nullopt when the length does not fit the protocol.
  std::optional<Bytes> decrypt(ByteView shared, ByteView cipher) const;
  // HMAC-SHA-256, its first 16 bytes in protocol 1. `key` is a shared secret
  // or a PIN/UV token: protocol 2 takes the HMAC key half of a shared secret.
  Bytes authenticate(ByteView key, ByteView message) const;

 private:
  explicit PinProtocol(int version) : version_(version) {}
  int version_;
};

// A P-256 public key as a COSE key of the ECDH-ES+HKDF-256 kind CTAP2 uses.
Cbor cose_key(const P256Key& key);
// The x and y of a COSE EC2 P-256 key; nullopt when it is not one.
std::optional<std::pair<Bytes, Bytes>> cose_point(const Cbor& key);
// The public key of an ES256 credential.
Cbor cose_es256_key(const P256Key& key);

}  // namespace quarn::softkey

#include "tests/fido2/pin_protocol.h"

namespace quarn::softkey {
namespace {

constexpr std::size_t block = 16;

ByteView hmac_half(ByteView key, int version) {
  // A protocol-2 shared secret is the HMAC key followed by the AES key; a
  // token is used whole.
  return version == 2 && key.size() == 64 ? key.first(32) : key;
}

ByteView aes_half(ByteView shared, int version) { return version == 2 ? shared.subspan(32, 32) : shared; }

}  // namespace

std::optional<PinProtocol> PinProtocol::of(std::int64_t version) {
  if (version != 1 && version != 2) return std::nullopt;
  return PinProtocol(static_cast<int>(version));
}

Bytes PinProtocol::kdf(ByteView shared_x) const {
  if (version_ == 1) return sha256(shared_x);
  const Bytes salt(32, 0);
  return concat({hkdf_sha256(salt, shared_x, "CTAP2 HMAC key"), hkdf_sha256(salt, shared_x, "CTAP2 AES key")});
}

Bytes PinProtocol::encrypt(ByteView shared, ByteView plain) const {
  if (version_ == 1) return aes256_cbc_encrypt(shared, Bytes(block, 0), plain);
  const Bytes iv = random_bytes(block);
  return concat({iv, aes256_cbc_encrypt(aes_half(shared, version_), iv, plain)});
}

std::optional<Bytes> PinProtocol::decrypt(ByteView shared, ByteView cipher) const {
  if (version_ == 1) {
    if (cipher.empty() || cipher.size() % block) return std::nullopt;
    return aes256_cbc_decrypt(shared, Bytes(block, 0), cipher);
  }
  if (cipher.size() < 2 * block || cipher.size() % block) return std::nullopt;
  return aes256_cbc_decrypt(aes_half(shared, version_), cipher.first(block), cipher.subspan(block));
}

Bytes PinProtocol::authenticate(ByteView key, ByteView message) const {
  Bytes mac = hmac_sha256(hmac_half(key, version_), message);
  if (version_ == 1) mac.resize(16);
  return mac;
}

Cbor cose_key(const P256Key& key) {
  return Cbor::map({{1, 2}, {3, -25}, {-1, 1}, {-2, Cbor(key.x)}, {-3, Cbor(key.y)}});
}

Cbor cose_es256_key(const P256Key& key) {
  return Cbor::map({{1, 2}, {3, -7}, {-1, 1}, {-2, Cbor(key.x)}, {-3, Cbor(key.y)}});
}

std::optional<std::pair<Bytes, Bytes>> cose_point(const Cbor& key) {
  const Cbor* kty = key.find(1);
  const Cbor* crv = key.find(-1);
  const Cbor* x = key.find(-2);
  const Cbor* y = key.find(-3);
  if (!kty || !crv || !x || !y || !kty->is(Cbor::Type::Integer) || kty->integer() != 2 ||
      !crv->is(Cbor::Type::Integer) || crv->integer() != 1 || !x->is(Cbor::Type::ByteString) || !y->is(Cbor::Type::ByteString))
    return std::nullopt;
  return std::make_pair(x->bytes(), y->bytes());
}

}  // namespace quarn::softkey

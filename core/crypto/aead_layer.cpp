#include "core/crypto/aead_layer.h"

#include <gcrypt.h>

#include <array>
#include <cstring>
#include <utility>

#include "core/crypto/constant_time.h"
#include "core/crypto/gcrypt_init.h"
#include "core/error/archive_error.h"

namespace quarn::crypto {
namespace {

gcry_cipher_hd_t as_cipher(void* handle) { return static_cast<gcry_cipher_hd_t>(handle); }

std::pair<int, int> algorithm_of(LayerKind kind) {
  switch (kind) {
    case LayerKind::Aes256Gcm:
      return {GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_GCM};
    case LayerKind::ChaCha20Poly1305:
      return {GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305};
    case LayerKind::Twofish256Gcm:
      return {GCRY_CIPHER_TWOFISH, GCRY_CIPHER_MODE_GCM};
    case LayerKind::Serpent256Gcm:
      return {GCRY_CIPHER_SERPENT256, GCRY_CIPHER_MODE_GCM};
  }
  invariant_violated("cipher layer kind out of range");
}

// Sets the nonce (which also resets the previous message's state) and feeds
// the associated data.
bool start_message(gcry_cipher_hd_t h, std::span<const std::uint8_t, LAYER_NONCE_SIZE> nonce,
                   std::span<const std::uint8_t> aad) {
  return gcry_cipher_setiv(h, nonce.data(), nonce.size()) == 0 &&
         gcry_cipher_authenticate(h, aad.data(), aad.size()) == 0;
}

}  // namespace

AeadLayer::AeadLayer(LayerKind kind, std::span<const std::uint8_t, LAYER_KEY_SIZE> key) : kind_(kind) {
  ensure_gcrypt_initialised();
  const auto [algorithm, mode] = algorithm_of(kind);
  gcry_cipher_hd_t h = nullptr;
  if (gcry_cipher_open(&h, algorithm, mode, 0) != 0) invariant_violated("gcry_cipher_open failed");
  if (gcry_cipher_setkey(h, key.data(), key.size()) != 0) {
    gcry_cipher_close(h);
    invariant_violated("gcry_cipher_setkey refused a 256-bit key");
  }
  handle_ = h;
}

AeadLayer::AeadLayer(AeadLayer&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), kind_(other.kind_) {}

AeadLayer& AeadLayer::operator=(AeadLayer&& other) noexcept {
  if (this != &other) {
    if (handle_) gcry_cipher_close(as_cipher(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
    kind_ = other.kind_;
  }
  return *this;
}

AeadLayer::~AeadLayer() {
  if (handle_) gcry_cipher_close(as_cipher(handle_));
}

void AeadLayer::seal(std::span<const std::uint8_t, LAYER_NONCE_SIZE> nonce, std::span<const std::uint8_t> aad,
                     std::span<std::uint8_t> data, std::span<std::uint8_t, LAYER_TAG_SIZE> tag) {
  const auto h = as_cipher(handle_);
  if (!start_message(h, nonce, aad) || gcry_cipher_encrypt(h, data.data(), data.size(), nullptr, 0) != 0 ||
      gcry_cipher_gettag(h, tag.data(), tag.size()) != 0)
    invariant_violated("sealing a frame layer failed");
}

bool AeadLayer::open(std::span<const std::uint8_t, LAYER_NONCE_SIZE> nonce, std::span<const std::uint8_t> aad,
                     std::span<std::uint8_t> data, std::span<const std::uint8_t, LAYER_TAG_SIZE> tag) {
  const auto h = as_cipher(handle_);
  // libgcrypt computes the tag while it decrypts, so the plaintext exists
  // before the verdict; it is wiped below when the verdict is negative.
  std::array<std::uint8_t, LAYER_TAG_SIZE> expected{};
  const bool processed = start_message(h, nonce, aad) &&
                         gcry_cipher_decrypt(h, data.data(), data.size(), nullptr, 0) == 0 &&
                         gcry_cipher_gettag(h, expected.data(), expected.size()) == 0;
  const bool authentic = equal_constant_time(expected, tag) && processed;
  if (!authentic && !data.empty()) std::memset(data.data(), 0, data.size());
  return authentic;
}

}  // namespace quarn::crypto

#include "core/crypto/frame_cipher.h"

#include <algorithm>

#include "core/error/detail_texts.h"
#include "core/volumes/byte_order.h"

namespace quarn {
namespace {

using crypto::LayerKind;

std::vector<LayerKind> layers_of(EncryptionMode mode) {
  switch (mode) {
    case EncryptionMode::None:
      return {};
    case EncryptionMode::Aes256Gcm:
      return {LayerKind::Aes256Gcm};
    case EncryptionMode::ChaCha20Poly1305ThenAes256Gcm:
      return {LayerKind::ChaCha20Poly1305, LayerKind::Aes256Gcm};
    case EncryptionMode::Twofish256Gcm:
      return {LayerKind::Twofish256Gcm};
    case EncryptionMode::Serpent256Gcm:
      return {LayerKind::Serpent256Gcm};
    case EncryptionMode::SerpentTwofishAes256:
      return {LayerKind::Serpent256Gcm, LayerKind::Twofish256Gcm, LayerKind::Aes256Gcm};
  }
  invariant_violated("encryption mode out of range");
}

const SecretBuffer& key_of(const KeySet& keys, LayerKind kind) {
  switch (kind) {
    case LayerKind::Aes256Gcm:
      return keys.aes_key;
    case LayerKind::ChaCha20Poly1305:
      return keys.chacha_key;
    case LayerKind::Twofish256Gcm:
      return keys.twofish_key;
    case LayerKind::Serpent256Gcm:
      return keys.serpent_key;
  }
  invariant_violated("cipher layer kind out of range");
}

std::span<const std::uint8_t, crypto::LAYER_KEY_SIZE> fixed_key(const SecretBuffer& key) {
  if (key.size() != crypto::LAYER_KEY_SIZE) invariant_violated("cipher key is not 32 bytes");
  return key.view().first<crypto::LAYER_KEY_SIZE>();
}

ArchiveError not_authentic() { return ArchiveError::integrity(std::string(texts::frame_not_authentic)); }

}  // namespace

FrameAad make_frame_aad(std::span<const std::uint8_t, 32> header_digest, std::uint8_t kind, std::uint8_t flags,
                        std::uint64_t index, std::uint32_t plain_length, std::uint32_t stored_length) {
  FrameAad aad{};
  std::copy(header_digest.begin(), header_digest.end(), aad.begin());
  aad[32] = kind;
  aad[33] = flags;
  store_le<std::uint64_t>(aad.data() + 36, index);
  store_le<std::uint32_t>(aad.data() + 44, plain_length);
  store_le<std::uint32_t>(aad.data() + 48, stored_length);
  return aad;
}

std::array<std::uint8_t, crypto::LAYER_NONCE_SIZE> make_frame_nonce(const FrameId& id) {
  std::array<std::uint8_t, crypto::LAYER_NONCE_SIZE> nonce{};
  store_le<std::uint64_t>(nonce.data(), id.index);
  nonce[8] = id.kind;
  return nonce;
}

FrameCipher build_cipher(EncryptionMode mode, const KeySet& keys) {
  FrameCipher cipher;
  cipher.mode_ = mode;
  for (const LayerKind kind : layers_of(mode))
    cipher.layers_.push_back({kind, SecretBuffer::from_bytes(fixed_key(key_of(keys, kind)))});
  return cipher;
}

FrameCipher plain_cipher() { return FrameCipher(); }

FrameDecryptor::FrameDecryptor(const FrameCipher& cipher) {
  layers_.reserve(cipher.layers_.size());
  for (const auto& layer : cipher.layers_) layers_.emplace_back(layer.kind, fixed_key(layer.key));
}

Result<void> FrameDecryptor::decrypt(const FrameId& id, const FrameAad& aad, std::vector<std::uint8_t>& payload) {
  if (layers_.empty()) return {};
  const auto nonce = make_frame_nonce(id);
  for (auto layer = layers_.rbegin(); layer != layers_.rend(); ++layer) {
    if (payload.size() < crypto::LAYER_TAG_SIZE) {
      std::fill(payload.begin(), payload.end(), std::uint8_t{0});
      payload.clear();
      return std::unexpected(not_authentic());
    }
    const std::size_t text_length = payload.size() - crypto::LAYER_TAG_SIZE;
    const std::span<std::uint8_t> text(payload.data(), text_length);
    const std::span<const std::uint8_t, crypto::LAYER_TAG_SIZE> tag(payload.data() + text_length,
                                                                    crypto::LAYER_TAG_SIZE);
    if (!layer->open(nonce, aad, text, tag)) {
      // The layer zeroed what it decrypted; what outer layers decrypted
      // before is this layer's unauthenticated input and goes too.
      std::fill(payload.begin(), payload.end(), std::uint8_t{0});
      payload.clear();
      return std::unexpected(not_authentic());
    }
    payload.resize(text_length);
  }
  return {};
}

Result<void> decrypt_frame(const FrameCipher& cipher, const FrameId& id, const FrameAad& aad,
                           std::vector<std::uint8_t>& payload) {
  FrameDecryptor decryptor(cipher);
  return decryptor.decrypt(id, aad, payload);
}

FrameSealer::FrameSealer(const FrameCipher& cipher) {
  layers_.reserve(cipher.layers_.size());
  for (const auto& layer : cipher.layers_) layers_.emplace_back(layer.kind, fixed_key(layer.key));
}

void FrameSealer::seal(const FrameId& id, const FrameAad& aad, std::vector<std::uint8_t>& payload) {
  if (layers_.empty()) return;
  const auto nonce = make_frame_nonce(id);
  payload.reserve(payload.size() + layers_.size() * crypto::LAYER_TAG_SIZE);
  for (auto& layer : layers_) {
    const std::size_t text_length = payload.size();
    payload.resize(text_length + crypto::LAYER_TAG_SIZE);
    layer.seal(nonce, aad, std::span<std::uint8_t>(payload.data(), text_length),
               std::span<std::uint8_t, crypto::LAYER_TAG_SIZE>(payload.data() + text_length,
                                                               crypto::LAYER_TAG_SIZE));
  }
}

}  // namespace quarn

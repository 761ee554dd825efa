// FrameCipher: an archive's encryption mode with the keys of its layers;
// FrameDecryptor and FrameSealer: per-thread prepared ciphers that remove or
// apply those layers on one frame payload, in place.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/crypto/aead_layer.h"
#include "core/crypto/encryption_mode.h"
#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"

namespace quarn {

// Which frame a payload belongs to; both fields enter the nonce.
struct FrameId {
  std::uint64_t index = 0;
  std::uint8_t kind = 0;  // Data = 1, FileList = 2
};

// The 52 bytes every layer of a frame authenticates: the header digest, then
// kind, flags, two zero bytes, index (u64), plain_length and stored_length
// (u32), all little-endian.
using FrameAad = std::array<std::uint8_t, 52>;

FrameAad make_frame_aad(std::span<const std::uint8_t, 32> header_digest, std::uint8_t kind, std::uint8_t flags,
                        std::uint64_t index, std::uint32_t plain_length, std::uint32_t stored_length);

// The 12-byte nonce of a frame: index (u64 little-endian), kind, three zeros.
std::array<std::uint8_t, crypto::LAYER_NONCE_SIZE> make_frame_nonce(const FrameId& id);

// The mode and, innermost layer first, each layer's kind and a copy of its
// key. Move-only; its keys are wiped when it ends. Built once, then only read:
// any number of threads may build decryptors from one FrameCipher at once.
class FrameCipher {
 public:
  FrameCipher() = default;  // mode 0, no layers

  EncryptionMode mode() const { return mode_; }
  std::size_t layer_count() const { return layers_.size(); }
  // 16 bytes per layer.
  std::size_t tag_bytes() const { return layers_.size() * crypto::LAYER_TAG_SIZE; }

 private:
  friend FrameCipher build_cipher(EncryptionMode mode, const KeySet& keys);
  friend class FrameDecryptor;
  friend class FrameSealer;

  struct Layer {
    crypto::LayerKind kind;
    SecretBuffer key;  // 32 bytes
  };

  EncryptionMode mode_ = EncryptionMode::None;
  std::vector<Layer> layers_;
};

// The cipher of `mode` with copies of the keys it uses; `keys` may be
// released afterwards. Mode 5 layers Serpent, Twofish, AES (innermost
// first); mode 2 ChaCha20-Poly1305, AES. Never fails for modes 0..5.
FrameCipher build_cipher(EncryptionMode mode, const KeySet& keys);

// Mode 0: no layers, payloads pass untouched.
FrameCipher plain_cipher();

// One thread's prepared handles for a FrameCipher: key schedules are set up
// here once and reused for every frame. Keeps no reference to the cipher, so
// it may outlive it. Not for concurrent use: one per worker thread.
class FrameDecryptor {
 public:
  explicit FrameDecryptor(const FrameCipher& cipher);

  // Removes the layers outermost first, each checking its 16-byte tag (the
  // last 16 bytes) before its plaintext is kept. On success `payload` has
  // shrunk by 16 bytes per layer. Any failure, including a payload shorter
  // than a tag, is Integrity texts::frame_not_authentic and leaves `payload`
  // empty with its old bytes zeroed. Mode 0 leaves `payload` untouched.
  Result<void> decrypt(const FrameId& id, const FrameAad& aad, std::vector<std::uint8_t>& payload);

 private:
  std::vector<crypto::AeadLayer> layers_;  // innermost first
};

// decrypt() of a FrameDecryptor made for this one call; for single frames
// such as the file list, where preparing the handles once does not pay.
Result<void> decrypt_frame(const FrameCipher& cipher, const FrameId& id, const FrameAad& aad,
                           std::vector<std::uint8_t>& payload);

// The writing direction: one thread's prepared handles. Not for concurrent use.
class FrameSealer {
 public:
  explicit FrameSealer(const FrameCipher& cipher);

  // Encrypts `payload` in place innermost layer first, appending each layer's
  // tag; it grows by 16 bytes per layer. Mode 0 leaves it untouched.
  void seal(const FrameId& id, const FrameAad& aad, std::vector<std::uint8_t>& payload);

 private:
  std::vector<crypto::AeadLayer> layers_;  // innermost first
};

}  // namespace quarn

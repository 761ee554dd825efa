// AeadLayer: one authenticated cipher (AES-256-GCM, ChaCha20-Poly1305,
// Twofish-256-GCM or Serpent-256-GCM) with its key schedule prepared once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarn::crypto {

enum class LayerKind : std::uint8_t {
  Aes256Gcm = 0,
  ChaCha20Poly1305 = 1,
  Twofish256Gcm = 2,
  Serpent256Gcm = 3,
};

inline constexpr std::size_t LAYER_KEY_SIZE = 32;
inline constexpr std::size_t LAYER_NONCE_SIZE = 12;
inline constexpr std::size_t LAYER_TAG_SIZE = 16;

// Owns one libgcrypt cipher handle whose key is set in the constructor and
// never again. Not for concurrent use: give each thread its own layer. The
// handle's key schedule is wiped by libgcrypt when the layer is destroyed.
class AeadLayer {
 public:
  AeadLayer(LayerKind kind, std::span<const std::uint8_t, LAYER_KEY_SIZE> key);
  AeadLayer(AeadLayer&& other) noexcept;
  AeadLayer& operator=(AeadLayer&& other) noexcept;
  AeadLayer(const AeadLayer&) = delete;
  AeadLayer& operator=(const AeadLayer&) = delete;
  ~AeadLayer();

  LayerKind kind() const { return kind_; }

  // Encrypts `data` in place under `nonce` and `aad` and writes the 16-byte
  // tag to `tag`.
  void seal(std::span<const std::uint8_t, LAYER_NONCE_SIZE> nonce, std::span<const std::uint8_t> aad,
            std::span<std::uint8_t> data, std::span<std::uint8_t, LAYER_TAG_SIZE> tag);

  // Decrypts `data` in place and returns true when `tag` is the one the key,
  // nonce, aad and ciphertext give (compared over all 16 bytes). On false
  // `data` holds zeros: nothing unauthenticated is left behind.
  [[nodiscard]] bool open(std::span<const std::uint8_t, LAYER_NONCE_SIZE> nonce, std::span<const std::uint8_t> aad,
                          std::span<std::uint8_t> data, std::span<const std::uint8_t, LAYER_TAG_SIZE> tag);

 private:
  void* handle_ = nullptr;  // gcry_cipher_hd_t
  LayerKind kind_;
};

}  // namespace quarn::crypto

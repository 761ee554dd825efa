// SHA-256 and SHA-512 over libgcrypt, one-shot and streaming.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quarn::crypto {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha512Digest = std::array<std::uint8_t, 64>;

Sha256Digest sha256(std::span<const std::uint8_t> bytes);
Sha512Digest sha512(std::span<const std::uint8_t> bytes);

// Incremental SHA-256 for data that arrives in pieces. Move-only.
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&& other) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void update(std::span<const std::uint8_t> bytes);
  // Ends the computation; the object may then only be destroyed or reset.
  Sha256Digest finish();
  void reset();

 private:
  void* handle_ = nullptr;  // gcry_md_hd_t
};

}  // namespace quarn::crypto

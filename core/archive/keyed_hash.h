// SipHash-2-4, a keyed hash for hash tables whose keys come from an archive:
// with a secret random key nobody can pick names that all land in one bucket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quarn {

struct SipHashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;

  // The two halves read little-endian, as the reference implementation does.
  static SipHashKey from_bytes(std::span<const std::uint8_t, 16> bytes);
};

std::uint64_t siphash_2_4(const SipHashKey& key, std::span<const std::uint8_t> message);

// Hash functor for unordered containers of byte strings. Holds its own copy
// of the key; copies hash alike.
class KeyedTextHash {
 public:
  explicit KeyedTextHash(SipHashKey key) : key_(key) {}
  std::size_t operator()(std::string_view text) const;

 private:
  SipHashKey key_;
};

}  // namespace quarn

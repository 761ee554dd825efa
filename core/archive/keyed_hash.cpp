#include "core/archive/keyed_hash.h"

#include <bit>

namespace quarn {
namespace {

std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return value;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

}  // namespace

SipHashKey SipHashKey::from_bytes(std::span<const std::uint8_t, 16> bytes) {
  return {load_le64(bytes.data()), load_le64(bytes.data() + 8)};
}

std::uint64_t siphash_2_4(const SipHashKey& key, std::span<const std::uint8_t> message) {
  SipState s{0x736f6d6570736575ull ^ key.k0, 0x646f72616e646f6dull ^ key.k1, 0x6c7967656e657261ull ^ key.k0,
             0x7465646279746573ull ^ key.k1};
  const std::size_t whole = message.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(message.data() + i));

  // The last block: the remaining bytes, and the message length modulo 256 in the top byte.
  std::uint64_t last = static_cast<std::uint64_t>(message.size()) << 56;
  for (std::size_t i = whole; i < message.size(); ++i)
    last |= static_cast<std::uint64_t>(message[i]) << (8 * (i - whole));
  s.absorb(last);

  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::size_t KeyedTextHash::operator()(std::string_view text) const {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  return static_cast<std::size_t>(siphash_2_4(key_, std::span(bytes, text.size())));
}

}  // namespace quarn

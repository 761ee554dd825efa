#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/archive/keyed_hash.h"

namespace quarn {
namespace {

// Key 00 01 .. 0f and message 00 01 .. (length-1), as in the SipHash paper
// (Aumasson and Bernstein, 2012, appendix A) and the reference
// implementation's vectors.h.
SipHashKey reference_key() {
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return SipHashKey::from_bytes(bytes);
}

std::vector<std::uint8_t> counting_message(std::size_t length) {
  std::vector<std::uint8_t> message(length);
  for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<std::uint8_t>(i);
  return message;
}

TEST(SipHash24, MatchesTheReferenceVectors) {
  struct Vector {
    std::size_t length;
    std::uint64_t expected;
  };
  const Vector vectors[] = {
      {15, 0xa129ca6149be45e5ull},  // the paper's worked example
      {0, 0x726fdb47dd0e0e31ull},   // only the length block
      {1, 0x74f839c593dc67fdull},
      {8, 0x93f5f5799a932462ull},   // one whole block, then an empty tail
  };
  const SipHashKey key = reference_key();
  EXPECT_EQ(key.k0, 0x0706050403020100ull);
  EXPECT_EQ(key.k1, 0x0f0e0d0c0b0a0908ull);
  for (const Vector& v : vectors) {
    const std::vector<std::uint8_t> message = counting_message(v.length);
    EXPECT_EQ(siphash_2_4(key, message), v.expected) << "length " << v.length;

    // Any change to the key or the message must change the result.
    SipHashKey other_key = key;
    other_key.k1 ^= 1ull << 63;
    EXPECT_NE(siphash_2_4(other_key, message), v.expected) << "length " << v.length;
    std::vector<std::uint8_t> longer = message;
    longer.push_back(0);
    EXPECT_NE(siphash_2_4(key, longer), v.expected) << "length " << v.length;
    if (!message.empty()) {
      std::vector<std::uint8_t> flipped = message;
      flipped.back() ^= 0x80;
      EXPECT_NE(siphash_2_4(key, flipped), v.expected) << "length " << v.length;
    }
  }
}

TEST(KeyedTextHash, HashesTheTextBytesUnderItsOwnKey) {
  const SipHashKey key = reference_key();
  const std::vector<std::uint8_t> message = counting_message(15);
  const std::string text(message.begin(), message.end());
  EXPECT_EQ(KeyedTextHash(key)(text), static_cast<std::size_t>(0xa129ca6149be45e5ull));

  SipHashKey other = key;
  other.k0 ^= 1;
  EXPECT_NE(KeyedTextHash(other)("readme.txt"), KeyedTextHash(key)("readme.txt"));
}

}  // namespace
}  // namespace quarn

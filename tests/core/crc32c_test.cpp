#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/volumes/crc32c.h"
#include "tests/support/archive_image.h"

namespace quarn {
namespace {

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32c, BothImplementationsGiveTheStandardCheckValue) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32c_portable(as_bytes(check)), 0xE3069283u);
  EXPECT_EQ(crc32c(as_bytes(check)), 0xE3069283u);
  if (!crc32c_hardware_available()) GTEST_SKIP() << "no SSE4.2 on this processor";
  EXPECT_EQ(crc32c_hardware(as_bytes(check)), 0xE3069283u);
}

TEST(Crc32c, ImplementationsAgreeOnEveryLengthAndAlignment) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> data(4096 + 16);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t offset : {0u, 1u, 3u, 7u}) {
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 63u, 64u, 65u, 1000u, 4096u}) {
      const std::span<const std::uint8_t> piece(data.data() + offset, n);
      const std::uint32_t reference = test::crc32c_bitwise(piece.data(), piece.size());
      EXPECT_EQ(crc32c_portable(piece), reference) << offset << "/" << n;
      if (crc32c_hardware_available()) {
        EXPECT_EQ(crc32c_hardware(piece), reference) << offset << "/" << n;
      }
    }
  }
}

// The hardware path joins three chains over blocks of 3 x 8192 and 3 x 256
// bytes and finishes with a single chain; lengths on either side of those
// block sizes, and combinations of them, exercise every join.
TEST(Crc32c, HardwareAgreesAroundItsBlockBoundaries) {
  if (!crc32c_hardware_available()) GTEST_SKIP() << "no SSE4.2 on this processor";
  std::mt19937 rng(7);
  std::vector<std::uint8_t> data(3 * 3 * 8192 + 3 * 256 + 64);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  std::vector<std::size_t> lengths;
  for (const std::size_t block : {3u * 256, 3u * 8192, 2u * 3 * 8192, 3u * 8192 + 3 * 256, 3u * 3 * 8192 + 3 * 256})
    for (const std::size_t delta : {0u, 1u, 7u, 8u, 9u})
      lengths.insert(lengths.end(), {block - delta, block + delta});
  for (const std::size_t offset : {0u, 1u, 5u}) {
    for (const std::size_t n : lengths) {
      const std::span<const std::uint8_t> piece(data.data() + offset, n);
      EXPECT_EQ(crc32c_hardware(piece), test::crc32c_bitwise(piece.data(), piece.size())) << offset << "/" << n;
    }
  }
}

// A non-zero starting CRC enters only the first chain of a block; the other
// two start from zero and are joined to it.
TEST(Crc32c, HardwareContinuesAcrossLargePieces) {
  if (!crc32c_hardware_available()) GTEST_SKIP() << "no SSE4.2 on this processor";
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data(200000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::span<const std::uint8_t> all(data);
  const std::uint32_t whole = test::crc32c_bitwise(data.data(), data.size());
  EXPECT_EQ(crc32c_hardware(all), whole);
  EXPECT_EQ(crc32c_portable(all), whole);
  for (const std::size_t cut : {1u, 768u, 24575u, 24576u, 100003u, 199999u}) {
    EXPECT_EQ(crc32c_hardware(all.subspan(cut), crc32c_hardware(all.first(cut))), whole) << cut;
  }
}

TEST(Crc32c, ContinuesAcrossPieces) {
  const std::string all = "The quick brown fox jumps over the lazy dog";
  const auto whole = crc32c(as_bytes(all));
  for (std::size_t cut = 0; cut <= all.size(); ++cut) {
    const auto bytes = as_bytes(all);
    EXPECT_EQ(crc32c(bytes.subspan(cut), crc32c(bytes.first(cut))), whole);
    EXPECT_EQ(crc32c_portable(bytes.subspan(cut), crc32c_portable(bytes.first(cut))), whole);
  }
}

}  // namespace
}  // namespace quarn

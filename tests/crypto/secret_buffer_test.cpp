// SecretBuffer and KeySet: zero-filled creation, wiping on release, locking
// that may fail silently; the platform's random generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/crypto/secret_buffer.h"
#include "core/platform/system.h"

namespace quarn {
namespace {

namespace hooks = secret_buffer_testing;

// Records what buffers ask of the system and what they leave behind.
struct Recorder {
  static inline int locks = 0;
  static inline int unlocks = 0;
  static inline bool refuse_lock = false;
  static inline std::vector<std::vector<std::uint8_t>> wiped;  // copies of released bytes, after the wipe

  static bool lock(void*, std::size_t) {
    ++locks;
    return !refuse_lock;
  }
  static bool unlock(void*, std::size_t) {
    ++unlocks;
    return true;
  }
  static void on_wiped(std::span<const std::uint8_t> bytes) { wiped.emplace_back(bytes.begin(), bytes.end()); }
};

class SecretBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::locks = Recorder::unlocks = 0;
    Recorder::refuse_lock = false;
    Recorder::wiped.clear();
    hooks::set_hooks(&hooks_);
  }
  void TearDown() override { hooks::set_hooks(nullptr); }

  static bool all_zero(const std::vector<std::uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
  }

  hooks::Hooks hooks_{&Recorder::lock, &Recorder::unlock, &Recorder::on_wiped};
};

TEST_F(SecretBufferTest, NewBufferIsZeroFilledAndLocked) {
  SecretBuffer buffer(100);
  ASSERT_EQ(buffer.size(), 100u);
  EXPECT_TRUE(buffer.locked());
  EXPECT_EQ(Recorder::locks, 1);
  EXPECT_TRUE(std::all_of(buffer.view().begin(), buffer.view().end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(SecretBufferTest, ReleaseWipesThenUnlocksAndEmpties) {
  SecretBuffer buffer = SecretBuffer::from_bytes(std::vector<std::uint8_t>(40, 0xAB));
  ASSERT_EQ(buffer.view()[39], 0xAB);
  buffer.release();
  ASSERT_EQ(Recorder::wiped.size(), 1u);
  EXPECT_EQ(Recorder::wiped[0].size(), 40u);
  EXPECT_TRUE(all_zero(Recorder::wiped[0]));
  EXPECT_EQ(Recorder::unlocks, 1);
  EXPECT_TRUE(buffer.empty());
  EXPECT_FALSE(buffer.locked());
  buffer.release();  // a second release does nothing
  EXPECT_EQ(Recorder::wiped.size(), 1u);
  EXPECT_EQ(Recorder::unlocks, 1);
}

TEST_F(SecretBufferTest, DestructorReleases) {
  { SecretBuffer buffer = SecretBuffer::from_bytes(std::vector<std::uint8_t>(8, 0x5A)); }
  ASSERT_EQ(Recorder::wiped.size(), 1u);
  EXPECT_TRUE(all_zero(Recorder::wiped[0]));
}

TEST_F(SecretBufferTest, ZeroLengthMakesNoSystemCall) {
  {
    SecretBuffer buffer(0);
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(buffer.locked());
    SecretBuffer copy = SecretBuffer::from_bytes({});
    EXPECT_TRUE(copy.empty());
  }
  EXPECT_EQ(Recorder::locks, 0);
  EXPECT_EQ(Recorder::unlocks, 0);
  EXPECT_TRUE(Recorder::wiped.empty());
}

TEST_F(SecretBufferTest, RefusedLockLeavesBufferUsableAndSkipsUnlock) {
  Recorder::refuse_lock = true;
  const std::vector<std::uint8_t> secret = {1, 2, 3, 4, 5};
  SecretBuffer buffer = SecretBuffer::from_bytes(secret);
  EXPECT_FALSE(buffer.locked());
  EXPECT_TRUE(std::equal(secret.begin(), secret.end(), buffer.view().begin(), buffer.view().end()));
  buffer.release();
  EXPECT_EQ(Recorder::locks, 1);
  EXPECT_EQ(Recorder::unlocks, 0);
  ASSERT_EQ(Recorder::wiped.size(), 1u);
  EXPECT_TRUE(all_zero(Recorder::wiped[0]));
}

TEST_F(SecretBufferTest, MoveTransfersOwnershipWithoutCopying) {
  SecretBuffer first = SecretBuffer::from_bytes(std::vector<std::uint8_t>(16, 0x11));
  const std::uint8_t* address = first.view().data();
  SecretBuffer second = std::move(first);
  EXPECT_TRUE(first.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_EQ(second.view().data(), address);
  SecretBuffer third = SecretBuffer::from_bytes(std::vector<std::uint8_t>(4, 0x22));
  third = std::move(second);  // releases third's old bytes
  ASSERT_EQ(Recorder::wiped.size(), 1u);
  EXPECT_EQ(Recorder::wiped[0].size(), 4u);
  EXPECT_EQ(third.view().data(), address);
  EXPECT_EQ(Recorder::unlocks, 1);
}

TEST_F(SecretBufferTest, KeySetReleaseWipesAllFiveFields) {
  KeySet keys = KeySet::allocate();
  const std::vector<std::size_t> expected_sizes = {64, 32, 32, 32, 32};
  for (SecretBuffer* field : {&keys.header_mac_key, &keys.aes_key, &keys.chacha_key, &keys.twofish_key,
                              &keys.serpent_key})
    std::fill(field->mutable_view().begin(), field->mutable_view().end(), std::uint8_t{0xEE});
  keys.release();
  ASSERT_EQ(Recorder::wiped.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Recorder::wiped[i].size(), expected_sizes[i]) << "field " << i;
    EXPECT_TRUE(all_zero(Recorder::wiped[i])) << "field " << i;
  }
  EXPECT_EQ(Recorder::unlocks, 5);
  EXPECT_TRUE(keys.header_mac_key.empty() && keys.serpent_key.empty());
}

TEST(SystemRandomTest, FillsEveryRequestedByte) {
  std::vector<std::uint8_t> a(4096), b(4096);
  ASSERT_TRUE(platform::random_bytes(a).has_value());
  ASSERT_TRUE(platform::random_bytes(b).has_value());
  EXPECT_NE(a, b);
  // 4096 random bytes without a single 0xFF (or without a 0x00) would be a
  // one in 10^7 event: the whole buffer was written.
  EXPECT_NE(std::find(a.begin(), a.end(), 0xFF), a.end());
  EXPECT_NE(std::find(a.begin(), a.end(), 0x00), a.end());
}

}  // namespace
}  // namespace quarn

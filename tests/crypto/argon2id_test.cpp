// Argon2id through our call path: the known answers with each copy of
// libargon2's block-filling code (SSE2, AVX2, AVX-512F: each one runs where
// the processor has it), the library's own errors, and the working memory:
// huge pages on Linux, wiped before it is freed, a clean error when the
// system refuses it.
#include <argon2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "core/crypto/argon2id.h"
#include "core/platform/system.h"
#include "tests/crypto/vectors.h"

namespace quarn::crypto {
namespace {
const char* fill_name(Argon2Fill fill) {
  switch (fill) {
    case Argon2Fill::sse2: return "Sse2";
    case Argon2Fill::avx2: return "Avx2";
    case Argon2Fill::avx512: return "Avx512";
  }
  return "?";
}
}  // namespace

// How GoogleTest prints a copy.
void PrintTo(Argon2Fill fill, std::ostream* out) { *out << fill_name(fill); }
}  // namespace quarn::crypto

namespace quarn {
namespace {

using Bytes = std::vector<std::uint8_t>;
using crypto::Argon2Fill;
namespace v = vectors;

template <std::size_t N>
Bytes bytes(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

// ---- the known answers, with each copy ----------------------------------------

// Selects the copy under test and gives the process its own choice back
// afterwards (under Wine every case runs in the same process).
class Argon2idFillTest : public ::testing::TestWithParam<Argon2Fill> {
 protected:
  void SetUp() override {
    if (!crypto::select_argon2_fill(GetParam()))
      GTEST_SKIP() << "this processor cannot run the " << crypto::fill_name(GetParam()) << " copy";
    ASSERT_EQ(crypto::argon2_fill(), GetParam());
  }
  void TearDown() override { ASSERT_TRUE(crypto::select_argon2_fill(initial_)); }

 private:
  const Argon2Fill initial_ = crypto::argon2_fill();
};

TEST_P(Argon2idFillTest, Rfc9106Vector) {
  const Bytes password(32, 0x01), salt(16, 0x02), secret(8, 0x03), ad(12, 0x04);
  Bytes out(32);
  ASSERT_TRUE(crypto::argon2id(Argon2Params{32, 3, 4}, password, salt, secret, ad, out).has_value());
  const Bytes expected = {0x0d, 0x64, 0x0d, 0xf5, 0x8d, 0x78, 0x76, 0x6c, 0x08, 0xc0, 0x37,
                          0xa3, 0x4a, 0x8b, 0x53, 0xc9, 0xd0, 0x1e, 0xf0, 0x45, 0x2d, 0x75,
                          0xb6, 0x5e, 0xb5, 0x25, 0x20, 0xe9, 0x6b, 0x01, 0xe6, 0x59};
  EXPECT_EQ(out, expected);
}

TEST_P(Argon2idFillTest, OurInputsMatchTheReferenceTool) {
  Bytes out(64);
  ASSERT_TRUE(crypto::argon2id(Argon2Params{v::kdf_memory_kib, v::kdf_iterations, v::kdf_parallelism},
                               v::kdf_password, v::kdf_argon2_salt, {}, {}, out)
                  .has_value());
  EXPECT_EQ(out, bytes(v::kdf_argon2id_output));
}

// The two vectors above have segments of two blocks; here every segment is
// 256 blocks long, so the data-independent part of the first pass needs a
// second block of addresses in the middle of a segment.
TEST_P(Argon2idFillTest, LongSegmentsMatchTheReferenceTool) {
  Bytes out(64);
  ASSERT_TRUE(crypto::argon2id(Argon2Params{v::argon2id_large_memory_kib, v::argon2id_large_iterations,
                                            v::argon2id_large_parallelism},
                               v::kdf_password, v::kdf_argon2_salt, {}, {}, out)
                  .has_value());
  EXPECT_EQ(out, bytes(v::argon2id_large_output));
}

INSTANTIATE_TEST_SUITE_P(EachCopy, Argon2idFillTest,
                         ::testing::Values(Argon2Fill::sse2, Argon2Fill::avx2, Argon2Fill::avx512),
                         [](const auto& param) { return std::string(crypto::fill_name(param.param)); });

TEST(Argon2idTest, TheWidestCopyTheProcessorHasRuns) {
  __builtin_cpu_init();
  const Argon2Fill widest = __builtin_cpu_supports("avx512f") ? Argon2Fill::avx512
                            : __builtin_cpu_supports("avx2")  ? Argon2Fill::avx2
                                                              : Argon2Fill::sse2;
  EXPECT_EQ(crypto::argon2_fill(), widest);
}

TEST(Argon2idTest, LibraryFailureCarriesItsDescription) {
  Bytes out(64);
  const Bytes short_salt(4, 0);
  const auto result = crypto::argon2id(Argon2Params{8, 1, 1}, Bytes{1}, short_salt, {}, {}, out);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Message);
  EXPECT_EQ(result.error().detail(), "Argon2id: Salt is too short");
}

// ---- the working memory -------------------------------------------------------

#ifndef _WIN32
// The mapping of /proc/self/smaps that holds `address`: its lines, from the
// address range to VmFlags.
std::string smaps_entry(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line, entry;
  bool inside = false;
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  while (std::getline(smaps, line)) {
    unsigned long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 && line.find(':') > line.find(' ')) {
      if (inside) break;
      inside = start <= at && at < end;
    }
    if (inside) entry += line + "\n";
  }
  return entry;
}
#endif

TEST(Argon2idMemoryTest, LargeBlockIsZeroedAlignedAndAdvisedForHugePages) {
  const std::size_t length = (5 << 20) + 3;
  auto* block = static_cast<std::uint8_t*>(platform::allocate_large(length));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + length, [](std::uint8_t b) { return b == 0; }));
  block[0] = 1;
  block[length - 1] = 1;
#ifdef _WIN32
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % platform::page_size(), 0u);
#else
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (2 << 20), 0u);
  const std::string entry = smaps_entry(block);
  ASSERT_FALSE(entry.empty());
  std::istringstream lines(entry);
  std::string first;
  std::getline(lines, first);
  unsigned long start = 0, end = 0;
  ASSERT_EQ(std::sscanf(first.c_str(), "%lx-%lx", &start, &end), 2);
  EXPECT_EQ(start, reinterpret_cast<std::uintptr_t>(block));
  EXPECT_EQ(end - start, std::size_t{6} << 20) << entry;  // whole 2 MiB pages, nothing beside them
  const std::size_t flags = entry.find("VmFlags:");
  ASSERT_NE(flags, std::string::npos);
  EXPECT_NE(entry.find(" dd", flags), std::string::npos) << "not kept out of core dumps: " << entry;
  if (access("/sys/kernel/mm/transparent_hugepage/enabled", F_OK) == 0) {
    EXPECT_NE(entry.find(" hg", flags), std::string::npos) << "no MADV_HUGEPAGE: " << entry;
  }
#endif
  platform::free_large(block, length);
}

#ifndef _WIN32
bool kernel_at_least(int major, int minor) {
  std::ifstream release("/proc/sys/kernel/osrelease");
  int got_major = 0, got_minor = 0;
  char dot = 0;
  release >> got_major >> dot >> got_minor;
  return got_major > major || (got_major == major && got_minor >= minor);
}

// Faulting in ahead must leave every byte as it was, wherever the range
// starts and ends, and make the pages present.
TEST(Argon2idMemoryTest, PrefaultKeepsTheContentAndMakesThePagesPresent) {
  const std::size_t length = std::size_t{6} << 20;
  auto* block = static_cast<std::uint8_t*>(platform::allocate_large(length));
  ASSERT_NE(block, nullptr);
  // Written bytes only in the first 2 MiB: the pages after it can only be
  // present through the prefault.
  const std::size_t offsets[] = {0, 999, 1000, 4095, 4096, (2u << 20) - 1};
  for (std::size_t i = 0; i < std::size(offsets); ++i) block[offsets[i]] = static_cast<std::uint8_t>(0xA0 + i);

  const std::size_t from = 1000, count = (std::size_t{3} << 20) + 5;
  platform::prefault_large(block + from, count);

  // Looked at before any read below could map pages of its own.
  if (kernel_at_least(5, 14)) {
    const std::size_t page = platform::page_size();
    std::vector<unsigned char> present(length / page);
    ASSERT_EQ(mincore(block, length, present.data()), 0);
    for (std::size_t p = (2u << 20) / page; p * page < from + count; ++p) EXPECT_TRUE(present[p] & 1) << "page " << p;
  }
  for (std::size_t i = 0; i < std::size(offsets); ++i)
    EXPECT_EQ(block[offsets[i]], 0xA0 + i) << "offset " << offsets[i];
  EXPECT_TRUE(std::all_of(block + 1001, block + 4095, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(block + (2u << 20), block + length, [](std::uint8_t b) { return b == 0; }));
  platform::free_large(block, length);
}
#endif

// What the library hands to its free callback, seen by callbacks of our own
// around the platform's functions.
struct FreedBlock {
  std::size_t allocated = 0, freed = 0;
  bool all_zero = false;
};
FreedBlock freed_block;

int observing_allocate(std::uint8_t** memory, std::size_t length) {
  freed_block.allocated = length;
  *memory = static_cast<std::uint8_t*>(platform::allocate_large(length));
  return *memory ? ARGON2_OK : ARGON2_MEMORY_ALLOCATION_ERROR;
}

void observing_free(std::uint8_t* memory, std::size_t length) {
  freed_block.freed = length;
  freed_block.all_zero = std::all_of(memory, memory + length, [](std::uint8_t b) { return b == 0; });
  platform::free_large(memory, length);
}

// argon2id() leaves the wiping to libargon2 (its free callback only unmaps):
// the blocks, pseudo-random until then, must reach the callback as zeros.
TEST(Argon2idMemoryTest, LibraryWipesTheBlocksBeforeFreeingThem) {
  Bytes password(v::kdf_password.begin(), v::kdf_password.end());
  Bytes salt(v::kdf_argon2_salt.begin(), v::kdf_argon2_salt.end());
  Bytes out(64);
  argon2_context context{};
  context.out = out.data();
  context.outlen = static_cast<std::uint32_t>(out.size());
  context.pwd = password.data();
  context.pwdlen = static_cast<std::uint32_t>(password.size());
  context.salt = salt.data();
  context.saltlen = static_cast<std::uint32_t>(salt.size());
  context.t_cost = v::kdf_iterations;
  context.m_cost = v::kdf_memory_kib;
  context.lanes = context.threads = v::kdf_parallelism;
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  context.allocate_cbk = observing_allocate;
  context.free_cbk = observing_free;
  freed_block = {};
  ASSERT_EQ(argon2_ctx(&context, Argon2_id), ARGON2_OK);
  EXPECT_EQ(out, bytes(v::kdf_argon2id_output));
  EXPECT_EQ(freed_block.allocated, std::size_t{v::kdf_memory_kib} * 1024);
  EXPECT_EQ(freed_block.freed, freed_block.allocated);
  EXPECT_TRUE(freed_block.all_zero);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUARN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QUARN_TEST_SANITIZED 1
#endif
#endif

// The system refuses the 256 MiB: an address-space limit just above what the
// process already uses.
TEST(Argon2idMemoryTest, RefusedMemoryIsACleanError) {
#if defined(_WIN32)
  GTEST_SKIP() << "no address-space limit to set here";
#elif defined(QUARN_TEST_SANITIZED)
  GTEST_SKIP() << "sanitizers reserve terabytes of address space";
#else
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  ASSERT_TRUE(statm >> pages);
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &previous), 0);
  rlimit low = previous;
  low.rlim_cur = static_cast<rlim_t>(pages * platform::page_size() + (std::size_t{64} << 20));
  ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
  Bytes out(64);
  const auto result =
      crypto::argon2id(Argon2Params{256 * 1024, 1, 4}, v::kdf_password, v::kdf_argon2_salt, {}, {}, out);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &previous), 0);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Message);
  EXPECT_EQ(result.error().detail(), "Argon2id: Memory allocation error");
#endif
}

}  // namespace
}  // namespace quarn

#include "core/crypto/argon2id.h"

#include <argon2.h>

#include <limits>
#include <system_error>
#include <thread>

#include "core/crypto/argon2_fill.h"
#include "core/error/detail_texts.h"
#include "core/platform/system.h"

namespace quarn::crypto {
namespace {

// libargon2 takes non-const pointers but, without ARGON2_FLAG_CLEAR_*, only
// reads the inputs.
std::uint8_t* input(std::span<const std::uint8_t> bytes) {
  return bytes.empty() ? nullptr : const_cast<std::uint8_t*>(bytes.data());
}

std::uint32_t length32(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) invariant_violated("Argon2id input too long");
  return static_cast<std::uint32_t>(bytes.size());
}

// The blocks come from platform::allocate_large (transparent huge pages on
// Linux: Argon2id touches every block of its memory, at random). libargon2
// looks only at *memory to tell a failure, and wipes the blocks itself before
// handing them to free_blocks (clear_internal_memory in free_memory, with
// FLAG_clear_internal_memory at its default, on).
//
// Taking hundreds of MiB of fresh pages costs about as much as computing the
// first pass over them, so a second thread faults them in ahead of the
// computation, in the order the first pass fills them: slice by slice, and
// within a slice lane by lane. The callbacks have no user pointer; libargon2
// calls both on the thread that called argon2id(), hence a thread_local
// pointer to the helper, which lives in argon2id()'s frame (the Windows
// toolchain's destructors of thread_local objects are not reliable).
constexpr std::size_t block_bytes = 1024;
constexpr std::uint32_t slices = 4;  // ARGON2_SYNC_POINTS

struct Prefault {
  std::uint32_t lanes;
  std::thread helper;
};
thread_local Prefault* prefault = nullptr;

void prefault_in_fill_order(std::uint8_t* memory, std::size_t length, std::uint32_t lanes) {
  const std::size_t lane_bytes = length / block_bytes / lanes * block_bytes;
  const std::size_t segment_bytes = lane_bytes / slices;
  for (std::uint32_t slice = 0; slice < slices; ++slice)
    for (std::uint32_t lane = 0; lane < lanes; ++lane)
      platform::prefault_large(memory + lane * lane_bytes + slice * segment_bytes, segment_bytes);
}

int allocate_blocks(std::uint8_t** memory, std::size_t length) {
  *memory = static_cast<std::uint8_t*>(platform::allocate_large(length));
  if (!*memory) return ARGON2_MEMORY_ALLOCATION_ERROR;
  if (!prefault || prefault->helper.joinable()) return ARGON2_OK;
  try {
    prefault->helper = std::thread(prefault_in_fill_order, *memory, length, prefault->lanes);
  } catch (const std::system_error&) {
    // no thread to spare: the computation faults the pages in itself
  }
  return ARGON2_OK;
}

void free_blocks(std::uint8_t* memory, std::size_t length) {
  if (prefault && prefault->helper.joinable()) prefault->helper.join();
  platform::free_large(memory, length);
}

}  // namespace

Result<void> argon2id(const Argon2Params& params, std::span<const std::uint8_t> password,
                      std::span<const std::uint8_t> salt, std::span<const std::uint8_t> secret,
                      std::span<const std::uint8_t> associated_data, std::span<std::uint8_t> out) {
  argon2_context context{};
  context.out = out.data();
  context.outlen = length32(out);
  context.pwd = input(password);
  context.pwdlen = length32(password);
  context.salt = input(salt);
  context.saltlen = length32(salt);
  context.secret = input(secret);
  context.secretlen = length32(secret);
  context.ad = input(associated_data);
  context.adlen = length32(associated_data);
  context.t_cost = params.iterations;
  context.m_cost = params.memory_kib;
  context.lanes = params.parallelism;
  context.threads = 1;  // all lanes on the calling thread
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  Prefault ahead{params.parallelism, {}};
  prefault = &ahead;
  context.allocate_cbk = allocate_blocks;
  context.free_cbk = free_blocks;
  const int status = argon2_ctx(&context, Argon2_id);
  if (ahead.helper.joinable()) ahead.helper.join();  // any path that skipped free_blocks
  prefault = nullptr;
  if (status != ARGON2_OK)
    return std::unexpected(ArchiveError::message(texts::argon2_failure(argon2_error_message(status))));
  return {};
}

Argon2Fill argon2_fill() {
  switch (quarn_argon2_fill_in_use()) {
    case QUARN_ARGON2_FILL_AVX512: return Argon2Fill::avx512;
    case QUARN_ARGON2_FILL_AVX2: return Argon2Fill::avx2;
    default: return Argon2Fill::sse2;
  }
}

bool select_argon2_fill(Argon2Fill fill) {
  switch (fill) {
    case Argon2Fill::avx512: return quarn_argon2_fill_select(QUARN_ARGON2_FILL_AVX512) != 0;
    case Argon2Fill::avx2: return quarn_argon2_fill_select(QUARN_ARGON2_FILL_AVX2) != 0;
    case Argon2Fill::sse2: return quarn_argon2_fill_select(QUARN_ARGON2_FILL_SSE2) != 0;
  }
  return false;
}

}  // namespace quarn::crypto

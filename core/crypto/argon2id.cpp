#include "core/crypto/argon2id.h"

#include <argon2.h>

#include <limits>

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
int allocate_blocks(std::uint8_t** memory, std::size_t length) {
  *memory = static_cast<std::uint8_t*>(platform::allocate_large(length));
  return *memory ? ARGON2_OK : ARGON2_MEMORY_ALLOCATION_ERROR;
}

void free_blocks(std::uint8_t* memory, std::size_t length) { platform::free_large(memory, length); }

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
  context.allocate_cbk = allocate_blocks;
  context.free_cbk = free_blocks;
  const int status = argon2_ctx(&context, Argon2_id);
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

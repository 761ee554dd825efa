// Argon2id (version 0x13) over libargon2, computed on the calling thread.
#pragma once

#include <cstdint>
#include <span>

#include "core/crypto/argon2_params.h"
#include "core/error/archive_error.h"

namespace quarn::crypto {

// Fills `out` (4 bytes or more) with Argon2id of `password` and `salt` under
// `params`: parallelism lanes, all computed on the calling thread. `secret`
// and `associated_data` may be empty. The library's own checks apply; a
// failure is Message "Argon2id: " + the library's description. The working
// memory (params.memory_kib KiB, platform::allocate_large: huge pages on
// Linux) is allocated, wiped and freed inside the call, and faulted in ahead
// of the computation by a helper thread that ends before the call returns;
// when the system refuses the memory the failure is "Argon2id: Memory
// allocation error".
Result<void> argon2id(const Argon2Params& params, std::span<const std::uint8_t> password,
                      std::span<const std::uint8_t> salt, std::span<const std::uint8_t> secret,
                      std::span<const std::uint8_t> associated_data, std::span<std::uint8_t> out);

// The copies of libargon2's block-filling code in the build: one at the
// x86-64 baseline, one for AVX2, one for AVX-512F.
enum class Argon2Fill { sse2, avx2, avx512 };

// The copy argon2id() runs: the widest one the processor has and the system
// saves the registers of; decided once, on first use.
Argon2Fill argon2_fill();

// Makes every later argon2id() run `fill`. False, changing nothing, when this
// processor cannot run it. For tests and benchmarks comparing the copies;
// never while another thread is inside argon2id().
bool select_argon2_fill(Argon2Fill fill);

}  // namespace quarn::crypto

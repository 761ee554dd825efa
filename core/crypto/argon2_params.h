// The Argon2id cost parameters an archive header carries, and their bounds.
#pragma once

#include <cstdint>

namespace quarn {

struct Argon2Params {
  std::uint32_t memory_kib = 0;
  std::uint32_t iterations = 0;
  std::uint32_t parallelism = 0;
  bool operator==(const Argon2Params&) const = default;
};

// 1 ≤ parallelism ≤ 64, 1 ≤ iterations ≤ 64, 8·parallelism ≤ memory ≤ 4 GiB
// (in KiB). Header reading and key derivation both apply these bounds.
bool argon2_params_allowed(const Argon2Params& params);

}  // namespace quarn

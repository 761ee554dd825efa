#include "core/crypto/argon2_params.h"

#include "core/volumes/format.h"

namespace quarn {

bool argon2_params_allowed(const Argon2Params& p) {
  return p.parallelism >= 1 && p.parallelism <= format::argon2_max_parallelism && p.iterations >= 1 &&
         p.iterations <= format::argon2_max_iterations &&
         std::uint64_t{p.memory_kib} >= 8 * std::uint64_t{p.parallelism} &&
         p.memory_kib <= format::argon2_max_memory_kib;
}

}  // namespace quarn

// Argon2id (version 0x13) over libargon2, computed on the calling thread.
#pragma once

#include <cstdint>
#include <span>

#include "core/crypto/argon2_params.h"
#include "core/error/archive_error.h"

namespace quarn::crypto {

// Fills `out` (4 bytes or more) with Argon2id of `password` and `salt` under
// `params`: parallelism lanes, one thread, no threads started. `secret` and
// `associated_data` may be empty. The library's own checks apply; a failure
// is Message "Argon2id: " + the library's description. The working memory
// (params.memory_kib KiB) is allocated, wiped and freed inside the call.
Result<void> argon2id(const Argon2Params& params, std::span<const std::uint8_t> password,
                      std::span<const std::uint8_t> salt, std::span<const std::uint8_t> secret,
                      std::span<const std::uint8_t> associated_data, std::span<std::uint8_t> out);

}  // namespace quarn::crypto

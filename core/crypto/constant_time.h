// Comparison of secrets and tags that visits every byte, whatever differs.
#pragma once

#include <cstdint>
#include <span>

namespace quarn::crypto {

// False when the lengths differ; otherwise the time does not depend on where
// (or whether) the contents differ.
bool equal_constant_time(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

}  // namespace quarn::crypto

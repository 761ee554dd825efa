#include "core/crypto/constant_time.h"

namespace quarn::crypto {

bool equal_constant_time(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.size() != b.size()) return false;
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference = difference | static_cast<std::uint8_t>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace quarn::crypto

#include "core/volumes/crc32c.h"

#include <array>

#include "core/volumes/byte_order.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace quarn {
namespace {

constexpr std::uint32_t polynomial = 0x82F63B78;

// Slicing-by-8 tables: tables[k][b] is the CRC of byte b followed by k zeros.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ ((c & 1) ? polynomial : 0);
    t[0][b] = c;
  }
  for (std::uint32_t b = 0; b < 256; ++b)
    for (std::size_t k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}

constexpr auto tables = make_tables();

}  // namespace

std::uint32_t crc32c_portable(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  std::uint32_t c = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n >= 8) {
    const std::uint32_t lo = load_le<std::uint32_t>(p) ^ c;
    const std::uint32_t hi = load_le<std::uint32_t>(p + 4);
    c = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^
        tables[4][lo >> 24] ^ tables[3][hi & 0xFF] ^ tables[2][(hi >> 8) & 0xFF] ^
        tables[1][(hi >> 16) & 0xFF] ^ tables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ tables[0][(c ^ *p++) & 0xFF];
  return ~c;
}

#if defined(__x86_64__)

__attribute__((target("sse4.2"))) std::uint32_t crc32c_hardware(std::span<const std::uint8_t> bytes,
                                                                 std::uint32_t crc) {
  std::uint64_t c = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n >= 8) {
    c = _mm_crc32_u64(c, load_le<std::uint64_t>(p));
    p += 8;
    n -= 8;
  }
  std::uint32_t c32 = static_cast<std::uint32_t>(c);
  while (n--) c32 = _mm_crc32_u8(c32, *p++);
  return ~c32;
}

bool crc32c_hardware_available() {
  static const bool available = __builtin_cpu_supports("sse4.2");
  return available;
}

#else

std::uint32_t crc32c_hardware(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  return crc32c_portable(bytes, crc);
}
bool crc32c_hardware_available() { return false; }

#endif

std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  return crc32c_hardware_available() ? crc32c_hardware(bytes, crc) : crc32c_portable(bytes, crc);
}

}  // namespace quarn

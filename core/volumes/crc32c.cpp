#include "core/volumes/crc32c.h"

#include <array>
#include <bit>
#include <cstring>

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

// Little-endian loads through memcpy: GCC 12 does not merge the byte-wise
// load_le of byte_order.h into one load inside these loops, which made every
// 8-byte step cost some twenty instructions.
template <class T>
T load_little(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

}  // namespace

std::uint32_t crc32c_portable(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  std::uint32_t c = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n >= 8) {
    const std::uint32_t lo = load_little<std::uint32_t>(p) ^ c;
    const std::uint32_t hi = load_little<std::uint32_t>(p + 4);
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

namespace {

// The CRC instruction has a latency of 3 cycles but can start every cycle, so
// a single chain uses a third of it. The hardware path therefore runs three
// chains over three adjacent pieces of a block and joins them afterwards: the
// CRC register is linear, so the register after A ‖ B is the register after
// A advanced over |B| zero bytes, xor the register of B alone (started from
// zero). Advancing over
// n zero bytes is multiplication by x^(8n) modulo the polynomial, done with
// four table lookups (one per byte of the register).

// Polynomials in the reflected order of the register: bit 31 is x^0.
constexpr std::uint32_t multiply_mod(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ polynomial : b >> 1;
  }
  return product;
}

// x^(8·bytes) modulo the polynomial.
constexpr std::uint32_t x_pow_8n(std::size_t bytes) {
  std::uint32_t result = 1u << 31;  // x^0
  std::uint32_t square = 1u << 30;  // x^1, then x^2, x^4, ...
  for (std::size_t e = 8 * bytes; e != 0; e >>= 1) {
    if (e & 1) result = multiply_mod(square, result);
    square = multiply_mod(square, square);
  }
  return result;
}

using ShiftTable = std::array<std::array<std::uint32_t, 256>, 4>;

// shift[k][b]: the register whose byte k is b and the rest zero, advanced over `bytes` zero bytes.
constexpr ShiftTable make_shift_table(std::size_t bytes) {
  const std::uint32_t factor = x_pow_8n(bytes);
  ShiftTable t{};
  for (std::size_t k = 0; k < 4; ++k)
    for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = multiply_mod(factor, b << (8 * k));
  return t;
}

// Chain lengths: long blocks for the bulk of a frame, short ones for what is
// left, single-chain code below 3 short chains.
constexpr std::size_t long_chain = 8192;
constexpr std::size_t short_chain = 256;

constexpr ShiftTable long_shift = make_shift_table(long_chain);
constexpr ShiftTable short_shift = make_shift_table(short_chain);

std::uint32_t shift(const ShiftTable& t, std::uint32_t c) {
  return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
}

// Runs three chains over the next 3·chain bytes and joins them into `c`.
template <std::size_t chain>
__attribute__((target("sse4.2"), always_inline)) inline std::uint32_t three_chains(const std::uint8_t* p,
                                                                                    std::uint32_t c,
                                                                                    const ShiftTable& t) {
  std::uint64_t c0 = c;
  std::uint64_t c1 = 0;
  std::uint64_t c2 = 0;
  for (std::size_t i = 0; i < chain; i += 8) {
    c0 = _mm_crc32_u64(c0, load_little<std::uint64_t>(p + i));
    c1 = _mm_crc32_u64(c1, load_little<std::uint64_t>(p + chain + i));
    c2 = _mm_crc32_u64(c2, load_little<std::uint64_t>(p + 2 * chain + i));
  }
  c = shift(t, static_cast<std::uint32_t>(c0)) ^ static_cast<std::uint32_t>(c1);
  return shift(t, c) ^ static_cast<std::uint32_t>(c2);
}

}  // namespace

__attribute__((target("sse4.2"))) std::uint32_t crc32c_hardware(std::span<const std::uint8_t> bytes,
                                                                 std::uint32_t crc) {
  std::uint32_t c = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  // Up to an 8-byte boundary first, so that no word load splits a cache line.
  while (n > 0 && (reinterpret_cast<std::uintptr_t>(p) & 7) != 0) {
    c = _mm_crc32_u8(c, *p++);
    --n;
  }
  for (; n >= 3 * long_chain; n -= 3 * long_chain, p += 3 * long_chain) c = three_chains<long_chain>(p, c, long_shift);
  for (; n >= 3 * short_chain; n -= 3 * short_chain, p += 3 * short_chain)
    c = three_chains<short_chain>(p, c, short_shift);
  std::uint64_t c64 = c;
  for (; n >= 8; n -= 8, p += 8) c64 = _mm_crc32_u64(c64, load_little<std::uint64_t>(p));
  c = static_cast<std::uint32_t>(c64);
  while (n--) c = _mm_crc32_u8(c, *p++);
  return ~c;
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

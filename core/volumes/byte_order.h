// Little-endian loads and stores, and a bounds-checked cursor for parsing.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace quarn {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// One unaligned load or store on little-endian machines (GCC turns the
// byte-by-byte form into eight loads and shifts); the loop elsewhere.
template <class T>
T load_le(const std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
  } else {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
    return value;
  }
}

template <class T>
void store_le(std::uint8_t* p, T value) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &value, sizeof(T));
  } else {
    for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

template <class T>
void append_le(Bytes& out, T value) {
  std::uint8_t buffer[sizeof(T)];
  store_le(buffer, value);
  out.insert(out.end(), buffer, buffer + sizeof(T));
}

// Reads fields front to back; every take reports running out instead of
// reading past the end.
class ByteCursor {
 public:
  explicit ByteCursor(ByteView bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - at_; }

  template <class T>
  std::optional<T> take_le() {
    if (remaining() < sizeof(T)) return std::nullopt;
    const T value = load_le<T>(bytes_.data() + at_);
    at_ += sizeof(T);
    return value;
  }

  std::optional<ByteView> take(std::size_t n) {
    if (remaining() < n) return std::nullopt;
    const ByteView piece = bytes_.subspan(at_, n);
    at_ += n;
    return piece;
  }

 private:
  ByteView bytes_;
  std::size_t at_ = 0;
};

}  // namespace quarn

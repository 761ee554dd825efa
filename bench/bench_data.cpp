#include "bench/bench_data.h"

#include <algorithm>
#include <random>
#include <string>

namespace quarn::bench {
namespace {

// 65536 slots: each of 30000 words once, the rest shared out by Zipf's law.
std::vector<std::string> word_slots(std::mt19937_64& rng) {
  static constexpr char letters[] = "etaoinshrdlucmfwypvbgkjqxz";
  std::discrete_distribution<int> letter({12, 9, 8, 7.5, 7, 6.7, 6.3, 6, 6, 4.3, 4, 2.8, 2.8, 2.4, 2.2, 2.4, 2, 1.9, 1,
                                          1.5, 2, 0.8, 0.2, 0.1, 0.2, 0.1});
  std::normal_distribution<double> length(6, 2.5);
  std::vector<std::string> words;
  while (words.size() < 30000) {
    const int n = std::clamp(static_cast<int>(length(rng)), 1, 14);
    std::string w;
    for (int i = 0; i < n; ++i) w += letters[letter(rng)];
    words.push_back(std::move(w));
  }
  double harmonic = 0;
  for (std::size_t r = 1; r <= words.size(); ++r) harmonic += 1.0 / static_cast<double>(r);
  const double spare = 65536.0 - static_cast<double>(words.size());
  std::vector<std::string> slots;
  for (std::size_t r = 1; r <= words.size() && slots.size() < 65536; ++r) {
    const auto copies = 1 + static_cast<std::size_t>(spare / (static_cast<double>(r) * harmonic));
    for (std::size_t c = 0; c < copies && slots.size() < 65536; ++c) slots.push_back(words[r - 1]);
  }
  for (std::size_t i = 0; slots.size() < 65536; ++i) slots.push_back(words[i]);
  return slots;
}

}  // namespace

std::vector<std::uint8_t> text_bytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  static const std::vector<std::string> slots = [] {
    std::mt19937_64 vocabulary_rng(1);
    return word_slots(vocabulary_rng);
  }();
  static constexpr const char* separators[] = {" ", " ", " ", " ", " ", " ", " ", " ", " ", " ", " ", " ",
                                               " ", " ", " ", " ", "\n", "\n", ", ", ". ", ".\n", "; "};
  std::vector<std::uint8_t> out;
  out.reserve(size + 32);
  while (out.size() < size) {
    const std::uint64_t r = rng();
    const std::string& w = slots[r & 0xFFFF];
    out.insert(out.end(), w.begin(), w.end());
    const std::uint64_t s = (r >> 16) % 64;
    if (s == 63) {
      const std::string number = std::to_string((r >> 32) % 100000);
      out.push_back(' ');
      out.insert(out.end(), number.begin(), number.end());
      out.push_back(' ');
    } else {
      const char* sep = separators[s % std::size(separators)];
      out.insert(out.end(), sep, sep + std::char_traits<char>::length(sep));
    }
  }
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> out(size);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const std::uint64_t v = rng();
    for (int k = 0; k < 8; ++k) out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  for (; i < size; ++i) out[i] = static_cast<std::uint8_t>(rng());
  return out;
}

std::vector<std::uint8_t> mixed_bytes(std::size_t size, std::uint64_t seed) {
  constexpr std::size_t piece = 256 * 1024;
  std::vector<std::uint8_t> out;
  out.reserve(size);
  for (std::size_t i = 0; out.size() < size; ++i) {
    const std::size_t n = std::min(piece, size - out.size());
    const auto part = (i % 2 == 0) ? text_bytes(n, seed + i) : random_bytes(n, seed + i);
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

FrameCipher fixed_cipher(EncryptionMode mode) {
  if (mode == EncryptionMode::None) return plain_cipher();
  KeySet keys = KeySet::allocate();
  std::uint8_t v = 1;
  for (SecretBuffer* key : {&keys.header_mac_key, &keys.aes_key, &keys.chacha_key, &keys.twofish_key, &keys.serpent_key})
    for (std::uint8_t& b : key->mutable_view()) b = v++;
  return build_cipher(mode, keys);
}

HeaderDigest fixed_digest() {
  HeaderDigest d{};
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0xA0 + i);
  return d;
}

}  // namespace quarn::bench

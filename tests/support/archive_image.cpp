#include "tests/support/archive_image.h"

#include "core/crypto/hash.h"

namespace quarn::test {
namespace {

template <class T>
void put(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

HeaderImage HeaderImage::encrypted(std::uint8_t mode) {
  HeaderImage h;
  h.flags = 1;
  h.mode = mode;
  h.kdf_present = 1;
  h.memory_kib = 64;
  h.iterations = 1;
  h.parallelism = 1;
  h.tag = std::array<std::uint8_t, 64>{};
  h.tag->fill(0x5A);
  return h;
}

std::vector<std::uint8_t> HeaderImage::bytes() const {
  const auto fixed = [&](bool canonical) {
    std::vector<std::uint8_t> out = {'Q', 'U', 'A', 'R', 'N', 0x1A, 0x0D, 0x0A};
    put(out, version);
    put(out, flags);
    out.push_back(mode);
    out.push_back(compression);
    out.push_back(byte14);
    out.push_back(canonical ? 0 : byte15);
    put(out, block_size);
    out.push_back(canonical ? (kdf_present == 1 ? 1 : 0) : kdf_present);
    for (std::uint8_t b : reserved21) out.push_back(canonical ? 0 : b);
    const bool params = !canonical || kdf_present == 1;
    put(out, params ? memory_kib : 0u);
    put(out, params ? iterations : 0u);
    put(out, params ? parallelism : 0u);
    out.insert(out.end(), argon2_salt.begin(), argon2_salt.end());
    out.insert(out.end(), hkdf_salt.begin(), hkdf_salt.end());
    if (version >= 2) {
      put(out, extension_length.value_or(static_cast<std::uint32_t>(extensions.size())));
      out.insert(out.end(), extensions.begin(), extensions.end());
    }
    return out;
  };
  std::vector<std::uint8_t> out = fixed(false);
  std::array<std::uint8_t, 64> t{};
  if (tag) {
    t = *tag;
  } else {
    t = crypto::sha512(fixed(true));
  }
  out.insert(out.end(), t.begin(), t.end());
  return out;
}

std::vector<std::uint8_t> extension_record(std::uint16_t type, const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> out;
  put(out, type);
  put(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> fido2_payload(const std::string& rp_id, const std::vector<std::uint8_t>& credential,
                                        std::size_t salt_size) {
  std::vector<std::uint8_t> out;
  put(out, static_cast<std::uint16_t>(rp_id.size()));
  out.insert(out.end(), rp_id.begin(), rp_id.end());
  put(out, static_cast<std::uint16_t>(credential.size()));
  out.insert(out.end(), credential.begin(), credential.end());
  out.insert(out.end(), salt_size, 0x77);
  return out;
}

std::uint32_t crc32c_bitwise(const std::uint8_t* data, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? 0x82F63B78u : 0u);
  }
  return ~c;
}

std::vector<std::uint8_t> footer_bytes(std::uint64_t filelist_offset, std::uint64_t archive_length) {
  std::vector<std::uint8_t> out = {'Q', 'U', 'A', 'R', 'N', 'E', 'N', 'D'};
  put(out, filelist_offset);
  put(out, archive_length);
  put(out, crc32c_bitwise(out.data(), out.size()));
  put(out, std::uint32_t{0});
  return out;
}

std::vector<std::uint8_t> archive_bytes(const HeaderImage& header, const std::string& json) {
  std::vector<std::uint8_t> out = header.bytes();
  const std::uint64_t filelist_offset = out.size();
  std::vector<std::uint8_t> frame;
  frame.push_back(2);  // file list
  frame.push_back(1);  // stored
  put(frame, std::uint16_t{0});
  put(frame, std::uint64_t{0});
  put(frame, static_cast<std::uint32_t>(json.size()));
  put(frame, static_cast<std::uint32_t>(json.size()));
  std::vector<std::uint8_t> covered(frame);
  covered.insert(covered.end(), json.begin(), json.end());
  put(frame, crc32c_bitwise(covered.data(), covered.size()));
  frame.insert(frame.end(), json.begin(), json.end());
  out.insert(out.end(), frame.begin(), frame.end());
  const std::uint64_t length = out.size() + 32;
  const auto footer = footer_bytes(filelist_offset, length);
  out.insert(out.end(), footer.begin(), footer.end());
  return out;
}

}  // namespace quarn::test

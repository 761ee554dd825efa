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

namespace {

constexpr std::size_t pe_header_at = 0x80;

void set_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<std::uint8_t> pe_program(bool pe32_plus, std::size_t size) {
  std::vector<std::uint8_t> out(pe_header_at, 0);
  out[0] = 'M';
  out[1] = 'Z';
  set_u32(out, 0x3C, pe_header_at);
  for (const char c : {'P', 'E', '\0', '\0'}) out.push_back(static_cast<std::uint8_t>(c));
  const std::uint16_t optional_size = pe32_plus ? 240 : 224;
  put<std::uint16_t>(out, pe32_plus ? 0x8664 : 0x14C);  // machine
  put<std::uint16_t>(out, 0);                           // sections
  put<std::uint32_t>(out, 0);
  put<std::uint32_t>(out, 0);
  put<std::uint32_t>(out, 0);
  put<std::uint16_t>(out, optional_size);
  put<std::uint16_t>(out, 0x0022);  // executable, large-address aware
  const std::size_t optional_at = out.size();
  out.resize(optional_at + optional_size, 0);
  out[optional_at] = 0x0B;  // magic 0x20B (PE32+) or 0x10B (PE32)
  out[optional_at + 1] = pe32_plus ? 0x02 : 0x01;
  set_u32(out, optional_at + (pe32_plus ? 108 : 92), 16);  // data directories
  if (out.size() < size) out.resize(size, 0);
  return out;
}

std::size_t security_directory_at(bool pe32_plus) { return pe_header_at + 4 + 20 + (pe32_plus ? 112 : 96) + 4 * 8; }

void append_signature(std::vector<std::uint8_t>& file, std::uint32_t table_size, bool pe32_plus) {
  file.resize((file.size() + 7) / 8 * 8, 0);
  const auto table_at = static_cast<std::uint32_t>(file.size());
  put<std::uint32_t>(file, table_size);
  put<std::uint16_t>(file, 0x0200);  // revision 2.0
  put<std::uint16_t>(file, 0x0002);  // PKCS#7 signed data
  for (std::uint32_t i = 8; i < table_size; ++i) file.push_back(static_cast<std::uint8_t>(0x30 + i % 7));
  set_u32(file, security_directory_at(pe32_plus), table_at);
  set_u32(file, security_directory_at(pe32_plus) + 4, table_size);
}

}  // namespace quarn::test

#include "core/archive/header.h"

#include <algorithm>
#include <string>

#include "core/crypto/constant_time.h"
#include "core/crypto/hash.h"
#include "core/error/detail_texts.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/format.h"

namespace quarn {
namespace {

ArchiveError corrupt(std::string_view detail) { return ArchiveError::corrupt(std::string(detail)); }

template <std::size_t N>
void copy_into(std::array<std::uint8_t, N>& out, const std::uint8_t* from) {
  std::copy(from, from + N, out.begin());
}

}  // namespace

Result<Header> Header::read(VolumeSet& volumes) {
  std::array<std::uint8_t, format::header_fixed_size> fixed{};
  if (!read_exact(volumes, fixed)) return std::unexpected(ArchiveError::not_archive());
  if (!std::equal(format::header_magic.begin(), format::header_magic.end(), fixed.begin()))
    return std::unexpected(ArchiveError::not_archive());

  Header h;
  h.version = load_le<std::uint16_t>(&fixed[8]);
  h.flags = load_le<std::uint16_t>(&fixed[10]);
  const std::uint8_t mode = fixed[12];
  h.compression = fixed[13];
  h.byte14 = fixed[14];
  h.block_size = load_le<std::uint32_t>(&fixed[16]);
  const bool kdf_present = fixed[20] == format::kdf_present;
  copy_into(h.argon2_salt, &fixed[36]);
  copy_into(h.hkdf_salt, &fixed[68]);

  if (h.version != format::version_1 && h.version != format::version_2)
    return std::unexpected(ArchiveError::unsupported_version(h.version));
  if (mode >= encryption_mode_count) return std::unexpected(corrupt(texts::unknown_encryption_mode));
  h.mode = static_cast<EncryptionMode>(mode);
  if (h.compression >= 2) return std::unexpected(corrupt(texts::unknown_compression));
  if (h.block_size == 0 || h.block_size > format::max_block_size)
    return std::unexpected(corrupt(texts::bad_block_size));
  const bool flagged = h.encrypted();
  if (flagged != (h.mode != EncryptionMode::None) || flagged != kdf_present)
    return std::unexpected(corrupt(texts::inconsistent_encryption_flags));
  if (kdf_present) {
    h.argon2 = Argon2Params{load_le<std::uint32_t>(&fixed[24]), load_le<std::uint32_t>(&fixed[28]),
                            load_le<std::uint32_t>(&fixed[32])};
    if (!argon2_params_allowed(*h.argon2)) return std::unexpected(corrupt(texts::bad_argon2_parameters));
  }

  if (h.version >= format::version_2) {
    std::array<std::uint8_t, 4> length{};
    if (!read_exact(volumes, length)) return std::unexpected(corrupt(texts::header_truncated));
    const std::uint32_t l = load_le<std::uint32_t>(length.data());
    if (l > format::max_extension_length) return std::unexpected(corrupt(texts::extensions_too_large));
    h.extensions.resize(l);
    if (!read_exact(volumes, h.extensions)) return std::unexpected(corrupt(texts::header_truncated));
  }
  if (!read_exact(volumes, h.header_tag)) return std::unexpected(corrupt(texts::header_truncated));

  if (!h.encrypted()) {
    const auto expected = crypto::sha512(h.canonical_bytes());
    if (!crypto::equal_constant_time(expected, h.header_tag)) return std::unexpected(corrupt(texts::header_damaged));
  }
  if (auto extensions = parse_extensions(h); !extensions) return std::unexpected(std::move(extensions.error()));
  return h;
}

std::vector<std::uint8_t> Header::canonical_bytes() const {
  const bool has_extension_area = version >= format::version_2;
  std::vector<std::uint8_t> out(format::header_fixed_size + (has_extension_area ? 4 + extensions.size() : 0), 0);
  std::copy(format::header_magic.begin(), format::header_magic.end(), out.begin());
  store_le(&out[8], version);
  store_le(&out[10], flags);
  out[12] = static_cast<std::uint8_t>(mode);
  out[13] = compression;
  out[14] = byte14;
  store_le(&out[16], block_size);
  if (argon2) {
    out[20] = format::kdf_present;
    store_le(&out[24], argon2->memory_kib);
    store_le(&out[28], argon2->iterations);
    store_le(&out[32], argon2->parallelism);
  }
  std::copy(argon2_salt.begin(), argon2_salt.end(), out.begin() + 36);
  std::copy(hkdf_salt.begin(), hkdf_salt.end(), out.begin() + 68);
  if (has_extension_area) {
    store_le(&out[format::header_fixed_size], static_cast<std::uint32_t>(extensions.size()));
    std::copy(extensions.begin(), extensions.end(), out.begin() + format::header_fixed_size + 4);
  }
  return out;
}

HeaderDigest Header::digest() const {
  std::vector<std::uint8_t> bytes = canonical_bytes();
  bytes.insert(bytes.end(), header_tag.begin(), header_tag.end());
  return crypto::sha256(bytes);
}

std::uint64_t Header::length() const {
  if (version < format::version_2) return format::header_fixed_size + format::header_tag_size;
  return format::header_fixed_size + 4 + extensions.size() + format::header_tag_size;
}

KeyMaterial key_material(const Header& header) {
  KeyMaterial m;
  m.encrypted = header.encrypted();
  m.mode = header.mode;
  m.argon2 = header.argon2;
  m.argon2_salt = header.argon2_salt;
  m.hkdf_salt = header.hkdf_salt;
  m.header_tag = header.header_tag;
  m.canonical_bytes = header.canonical_bytes();
  m.extensions = header.extensions;
  m.version = header.version;
  return m;
}

Result<HeaderExtensions> parse_extensions(const Header& header) {
  return parse_extensions(header.extensions, header.version);
}

}  // namespace quarn

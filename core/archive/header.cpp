#include "core/archive/header.h"

#include <algorithm>
#include <string>

#include "core/crypto/constant_time.h"
#include "core/crypto/hash.h"
#include "core/error/detail_texts.h"
#include "core/platform/utf.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/format.h"

namespace quarn {
namespace {

ArchiveError corrupt(std::string_view detail) { return ArchiveError::corrupt(std::string(detail)); }

template <std::size_t N>
void copy_into(std::array<std::uint8_t, N>& out, const std::uint8_t* from) {
  std::copy(from, from + N, out.begin());
}

// The FIDO2 key descriptor: a, rp_id, b, credential_id, 32-byte salt.
Result<Fido2KeyDescriptor> parse_fido2_descriptor(ByteView payload) {
  const auto bad = [] { return std::unexpected(corrupt(texts::fido2_descriptor_damaged)); };
  const std::uint64_t n = payload.size();
  if (n < 2) return bad();
  const std::uint64_t a = load_le<std::uint16_t>(payload.data());
  if (n < a + 4) return bad();
  const std::uint64_t b = load_le<std::uint16_t>(payload.data() + 2 + a);
  if (n != a + b + 4 + format::fido2_salt_size || b == 0) return bad();
  const std::string rp_id(reinterpret_cast<const char*>(payload.data() + 2), a);
  if (!platform::is_valid_utf8(rp_id)) return bad();
  Fido2KeyDescriptor descriptor;
  descriptor.rp_id = rp_id;
  descriptor.credential_id.assign(payload.data() + 4 + a, payload.data() + 4 + a + b);
  copy_into(descriptor.salt, payload.data() + 4 + a + b);
  return descriptor;
}

}  // namespace

bool argon2_params_allowed(const Argon2Params& p) {
  return p.parallelism >= 1 && p.parallelism <= format::argon2_max_parallelism && p.iterations >= 1 &&
         p.iterations <= format::argon2_max_iterations &&
         std::uint64_t{p.memory_kib} >= 8 * std::uint64_t{p.parallelism} &&
         p.memory_kib <= format::argon2_max_memory_kib;
}

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

Result<HeaderExtensions> parse_extensions(const Header& header) {
  HeaderExtensions result;
  ByteCursor cursor(header.extensions);
  while (cursor.remaining() > 0) {
    const auto type = cursor.take_le<std::uint16_t>();
    const auto length = cursor.take_le<std::uint32_t>();
    if (!type || !length) return std::unexpected(corrupt(texts::extensions_damaged));
    const auto payload = cursor.take(*length);
    if (!payload) return std::unexpected(corrupt(texts::extensions_damaged));
    switch (*type) {
      case format::extension_key_file_required:
        result.key_file_required = true;
        break;
      case format::extension_fido2_key: {
        auto descriptor = parse_fido2_descriptor(*payload);
        if (!descriptor) return std::unexpected(std::move(descriptor.error()));
        result.fido2 = std::move(*descriptor);
        break;
      }
      default:
        return std::unexpected(ArchiveError::unsupported_version(header.version));
    }
  }
  return result;
}

}  // namespace quarn

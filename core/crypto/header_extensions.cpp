#include "core/crypto/header_extensions.h"

#include <algorithm>
#include <string>

#include "core/error/detail_texts.h"
#include "core/platform/utf.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/format.h"

namespace quarn {
namespace {

ArchiveError corrupt(std::string_view detail) { return ArchiveError::corrupt(std::string(detail)); }

// The FIDO2 key descriptor: a, rp_id, b, credential_id, 32-byte salt.
Result<Fido2KeyDescriptor> parse_fido2_descriptor(ByteView payload) {
  const auto bad = [] { return std::unexpected(corrupt(texts::fido2_descriptor_damaged)); };
  const std::uint64_t n = payload.size();
  if (n < 2) return bad();
  const std::uint64_t a = load_le<std::uint16_t>(payload.data());
  if (n < a + 4) return bad();
  const std::uint64_t b = load_le<std::uint16_t>(payload.data() + 2 + a);
  if (n != a + b + 4 + format::fido2_salt_size || b == 0) return bad();
  std::string rp_id(reinterpret_cast<const char*>(payload.data() + 2), a);
  if (!platform::is_valid_utf8(rp_id)) return bad();
  Fido2KeyDescriptor descriptor;
  descriptor.rp_id = std::move(rp_id);
  descriptor.credential_id.assign(payload.data() + 4 + a, payload.data() + 4 + a + b);
  std::copy_n(payload.data() + 4 + a + b, descriptor.salt.size(), descriptor.salt.begin());
  return descriptor;
}

}  // namespace

Result<HeaderExtensions> parse_extensions(std::span<const std::uint8_t> extension_bytes,
                                          std::uint16_t header_version) {
  HeaderExtensions result;
  ByteCursor cursor(extension_bytes);
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
        return std::unexpected(ArchiveError::unsupported_version(header_version));
    }
  }
  return result;
}

}  // namespace quarn

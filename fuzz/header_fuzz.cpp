// The archive header and its extension records: Header::read over a file
// holding the input, and parse_extensions over the raw input as well.
//
// Input: one control byte, then the stream. Control bit 0 asks for the
// SHA-512 tag of a plain header to be recomputed after mutation, so that
// mutated plain headers get past the tag to the extension records.
#include <cstdint>
#include <span>
#include <vector>

#include "core/archive/header.h"
#include "core/crypto/header_extensions.h"
#include "core/platform/utf.h"
#include "core/volumes/format.h"
#include "core/volumes/volume_set.h"
#include "fuzz/support.h"

namespace {

using namespace quarn;
using quarn::fuzz::check;

void check_extensions(const HeaderExtensions& extensions) {
  if (extensions.fido2) {
    check(!extensions.fido2->credential_id.empty(), "a FIDO2 descriptor has a credential id");
    check(platform::is_valid_utf8(extensions.fido2->rp_id), "a FIDO2 rp_id is UTF-8");
  }
}

// Everything a successfully read header promises.
void check_header(const Header& h, std::uint64_t position) {
  check(h.version == format::version_1 || h.version == format::version_2, "version 1 or 2");
  check(static_cast<std::size_t>(h.mode) < encryption_mode_count, "a known mode");
  check(h.compression < 2, "a known compression");
  check(h.block_size > 0 && h.block_size <= format::max_block_size, "block size in range");
  check(h.encrypted() == (h.mode != EncryptionMode::None), "flag and mode agree");
  check(h.encrypted() == h.argon2.has_value(), "flag and key derivation agree");
  if (h.argon2) check(argon2_params_allowed(*h.argon2), "Argon2id parameters allowed");
  check(h.extensions.size() <= format::max_extension_length, "extensions within their limit");
  if (h.version == format::version_1) check(h.extensions.empty(), "no extensions in version 1");
  check(position == h.length(), "the position is left at H");
  check(h.canonical_bytes().size() + format::header_tag_size == h.length(), "canonical bytes and tag make H");
  auto extensions = parse_extensions(h);
  check(extensions.has_value(), "a read header's extensions parse");
  check_extensions(*extensions);
  (void)h.digest();
  (void)key_material(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> stream(data + 1, data + size);

  if (auto extensions = parse_extensions(stream, format::version_2)) check_extensions(*extensions);

  if (control & 1) (void)fuzz::repair_header_tag(stream);
  const auto file = fuzz::scratch_dir() / "header.qrn";
  fuzz::write_bytes(file, stream);
  auto volumes = VolumeSet::open(file);
  check(volumes.has_value(), "an existing file opens");
  auto header = Header::read(*volumes);
  if (!header) return 0;
  check_header(*header, volumes->position());

  // The canonical form with the same tag is a header that reads back the same.
  std::vector<std::uint8_t> again = header->canonical_bytes();
  again.insert(again.end(), header->header_tag.begin(), header->header_tag.end());
  fuzz::write_bytes(file, again);
  auto reopened = VolumeSet::open(file);
  check(reopened.has_value(), "an existing file opens");
  auto reread = Header::read(*reopened);
  check(reread.has_value(), "the canonical form of a read header reads");
  check(reread->canonical_bytes() == header->canonical_bytes() && reread->header_tag == header->header_tag,
        "the canonical form reads back unchanged");
  check(reread->digest() == header->digest(), "the digest depends on the canonical form only");
  return 0;
}

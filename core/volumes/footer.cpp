#include "core/volumes/footer.h"

#include <algorithm>
#include <string>

#include "core/error/detail_texts.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/crc32c.h"

namespace quarn {

Result<SfxFooter> parse_footer(std::span<const std::uint8_t, format::footer_size> bytes) {
  const bool magic_ok = std::equal(format::footer_magic.begin(), format::footer_magic.end(), bytes.begin());
  const std::uint32_t stored_crc = load_le<std::uint32_t>(bytes.data() + 24);
  if (!magic_ok || stored_crc != crc32c(bytes.first(format::footer_crc_covered)))
    return std::unexpected(ArchiveError::corrupt(std::string(texts::bad_footer)));
  return SfxFooter{load_le<std::uint64_t>(bytes.data() + 8), load_le<std::uint64_t>(bytes.data() + 16)};
}

std::array<std::uint8_t, format::footer_size> encode_footer(const SfxFooter& footer) {
  std::array<std::uint8_t, format::footer_size> bytes{};
  std::copy(format::footer_magic.begin(), format::footer_magic.end(), bytes.begin());
  store_le(bytes.data() + 8, footer.filelist_offset);
  store_le(bytes.data() + 16, footer.archive_length);
  store_le(bytes.data() + 24, crc32c(std::span(bytes).first(format::footer_crc_covered)));
  return bytes;
}

Result<SfxFooter> check_footer(VolumeSet& volumes, std::uint64_t header_length) {
  const std::uint64_t a = volumes.archive_len();
  if (a < header_length || a - header_length < format::min_tail)
    return std::unexpected(ArchiveError::corrupt(std::string(texts::truncated)));

  std::array<std::uint8_t, format::footer_size> bytes{};
  volumes.set_position(a - format::footer_size);
  if (auto read = read_exact(volumes, bytes); !read) return std::unexpected(ArchiveError::io(read.error()));
  auto footer = parse_footer(bytes);
  if (!footer) return footer;
  if (footer->archive_length != a)
    return std::unexpected(ArchiveError::corrupt(texts::archive_length_mismatch(a, footer->archive_length)));
  if (footer->filelist_offset < header_length || footer->filelist_offset > a - format::min_tail)
    return std::unexpected(ArchiveError::corrupt(std::string(texts::bad_filelist_position)));
  volumes.set_position(footer->filelist_offset);
  return footer;
}

}  // namespace quarn

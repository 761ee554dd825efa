#include "core/archive/manifest.h"

#include <string>

#include "core/error/detail_texts.h"

namespace quarn {

Result<void> check_manifest(const Manifest& manifest, std::uint64_t filelist_index, std::uint32_t block_size) {
  if (manifest.format != "quarn" || manifest.data_frames != filelist_index)
    return std::unexpected(ArchiveError::integrity(std::string(texts::filelist_mismatch)));

  std::uint64_t n = 0;
  for (const Entry& e : manifest.entries) {
    if (e.kind == EntryKind::Dir) continue;
    std::uint64_t capacity = 0;
    if (__builtin_mul_overflow(e.frames, std::uint64_t{block_size}, &capacity)) capacity = UINT64_MAX;
    std::uint64_t next = 0;
    const bool consistent = e.first_frame == n && e.size <= capacity && (e.size == 0 || e.frames >= 1) &&
                            e.sha256.has_value() && !__builtin_add_overflow(n, e.frames, &next);
    if (!consistent) return std::unexpected(ArchiveError::integrity(texts::inconsistent_entry(e.path)));
    n = next;
  }
  if (n != manifest.data_frames)
    return std::unexpected(ArchiveError::integrity(std::string(texts::frame_count_mismatch)));
  return {};
}

}  // namespace quarn

#include "core/volumes/volume_set.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/error/detail_texts.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using platform::File;

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// stem.001, stem.002, ..., stem.999, stem.1000: at least three digits.
fs::path part_candidate(const fs::path& directory, const fs::path::string_type& stem, std::uint64_t i) {
  std::string number = std::to_string(i);
  if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
  fs::path::string_type name = stem;
  name += '.';
  name.append(number.begin(), number.end());
  return directory / name;
}

// Finds where a self-extracting file's archive starts; 0 when the file is
// not a program with an archive appended.
Result<std::uint64_t> detect_start_offset(const fs::path& path, std::uint64_t total) {
  auto opened = File::open_for_reading(path);
  if (!opened) return 0;
  const File& file = *opened;
  auto size = file.size();
  if (!size) return std::unexpected(ArchiveError::io(size.error()));
  const std::uint64_t f = *size;

  std::array<std::uint8_t, 2> mz{};
  auto got = file.read_at(0, mz);
  if (!got || *got != 2 || f < format::footer_size || mz[0] != 'M' || mz[1] != 'Z') return 0;

  std::array<std::uint8_t, format::footer_size> tail{};
  got = file.read_at(f - format::footer_size, tail);
  if (!got) return std::unexpected(ArchiveError::io(got.error()));
  if (*got != tail.size())
    return std::unexpected(ArchiveError::io({0, "nieoczekiwany koniec pliku", false}));
  auto footer = parse_footer(tail);
  if (!footer || footer->archive_length > f || f == footer->archive_length) return 0;

  const std::uint64_t s = f - footer->archive_length;
  std::array<std::uint8_t, format::header_magic.size()> magic{};
  got = file.read_at(s, magic);
  if (!got) return std::unexpected(ArchiveError::io(got.error()));
  if (*got != magic.size() || magic != format::header_magic) return 0;
  return std::min(s, total);
}

}  // namespace

Result<std::vector<fs::path>> part_paths(const fs::path& path) {
  const fs::path::string_type name = path.filename().native();
  if (name.empty()) return std::vector<fs::path>{path};
  const auto dot = name.rfind('.');
  const bool three_digits = dot != fs::path::string_type::npos && name.size() - dot - 1 == 3 &&
                            std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(),
                                        [](auto c) { return c < 0x80 && is_ascii_digit(static_cast<char>(c)); });
  if (!three_digits) return std::vector<fs::path>{path};

  const fs::path directory = path.parent_path();
  const fs::path::string_type stem = name.substr(0, dot);
  std::vector<fs::path> parts;
  for (std::uint64_t i = 1;; ++i) {
    fs::path candidate = part_candidate(directory, stem, i);
    auto kind = platform::query_kind(candidate);
    if (!kind || *kind != platform::FileKind::File) break;
    parts.push_back(std::move(candidate));
  }
  if (parts.empty()) {
    return std::unexpected(ArchiveError::message(
        texts::missing_first_part(platform::path_to_utf8(part_candidate(directory, stem, 1)))));
  }
  return parts;
}

Result<std::uint64_t> total_length(std::span<const std::uint64_t> lengths) {
  std::uint64_t total = 0;
  for (const std::uint64_t length : lengths) {
    if (length > UINT64_MAX - total) return std::unexpected(ArchiveError::corrupt(std::string(texts::parts_too_long)));
    total += length;
  }
  return total;
}

Result<VolumeSet> VolumeSet::open(const fs::path& path) {
  auto paths = part_paths(path);
  if (!paths) return std::unexpected(std::move(paths.error()));

  VolumeSet set;
  std::vector<std::uint64_t> lengths;
  for (const fs::path& part_path : *paths) {
    auto file = File::open_for_reading(part_path);
    if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
    auto length = file->size();
    if (!length) return std::unexpected(ArchiveError::io(std::move(length.error())));
    lengths.push_back(*length);
    set.parts_.push_back(Part{std::move(*file), *length});
  }
  auto total = total_length(lengths);
  if (!total) return std::unexpected(std::move(total.error()));
  set.total_ = *total;

  auto start = detect_start_offset(path, set.total_);
  if (!start) return std::unexpected(std::move(start.error()));
  set.start_offset_ = *start;
  return set;
}

platform::OsResult<std::size_t> VolumeSet::read(std::span<std::uint8_t> buffer) {
  if (position_ > total_ - start_offset_) return 0;
  std::uint64_t at = start_offset_ + position_;
  for (const Part& part : parts_) {
    if (at >= part.length) {
      at -= part.length;
      continue;
    }
    const std::uint64_t available = part.length - at;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), available));
    auto got = part.file.read_at(at, buffer.first(want));
    if (!got) return got;
    position_ += *got;
    return got;
  }
  return 0;
}

}  // namespace quarn

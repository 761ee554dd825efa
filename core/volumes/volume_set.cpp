#include "core/volumes/volume_set.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/error/detail_texts.h"
#include "core/volumes/code_signature.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using platform::File;

// Where the archive lies in the file named by the path, and the signature
// that follows it, if any.
struct Stream {
  std::uint64_t start = 0;
  std::uint64_t trailing = 0;  // bytes of the file after the archive
  std::optional<CodeSignature> signature;
};

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

const platform::OsError early_end{0, "nieoczekiwany koniec pliku", false};

// Where the archive starts in a program file whose archive ends at `end`:
// the footer must be the 32 bytes before `end`, and the length it records
// must leave a program before the header magic. nullopt when any of that
// fails; only failed reads are errors.
Result<std::optional<std::uint64_t>> archive_start_before(const File& file, std::uint64_t end) {
  std::array<std::uint8_t, format::footer_size> tail{};
  auto got = file.read_at(end - format::footer_size, tail);
  if (!got) return std::unexpected(ArchiveError::io(got.error()));
  if (*got != tail.size()) return std::unexpected(ArchiveError::io(early_end));
  auto footer = parse_footer(tail);
  if (!footer || footer->archive_length > end || end == footer->archive_length) return std::nullopt;

  const std::uint64_t s = end - footer->archive_length;
  std::array<std::uint8_t, format::header_magic.size()> magic{};
  got = file.read_at(s, magic);
  if (!got) return std::unexpected(ArchiveError::io(got.error()));
  if (*got != magic.size() || magic != format::header_magic) return std::nullopt;
  return s;
}

// The archive of a signed program ends where the certificate table starts,
// less the zero bytes (at most 7) a signing tool adds to align the table.
// Each of those ends is tried, nearest first, as long as every byte skipped
// is zero. Nothing from the table on is ever part of the archive: without an
// archive before it, the stream is the program alone (which is no archive).
Result<Stream> stream_before_signature(const File& file, const CodeSignature& signature) {
  const std::uint64_t table = signature.offset;
  const std::uint64_t file_end = signature.offset + signature.length;
  std::array<std::uint8_t, 7> padding{};
  const std::size_t available = static_cast<std::size_t>(std::min<std::uint64_t>(padding.size(), table));
  auto got = file.read_at(table - available, std::span(padding).first(available));
  if (!got) return std::unexpected(ArchiveError::io(got.error()));
  if (*got != available) return std::unexpected(ArchiveError::io(early_end));

  for (std::size_t skipped = 0; skipped <= available; ++skipped) {
    if (skipped > 0 && padding[available - skipped] != 0) break;
    const std::uint64_t end = table - skipped;
    if (end < format::footer_size) break;
    auto start = archive_start_before(file, end);
    if (!start) return std::unexpected(std::move(start.error()));
    if (*start) return Stream{**start, file_end - end, signature};
  }
  return Stream{0, file_end - table, signature};
}

// Finds where a self-extracting file's archive starts and ends; the whole
// file from byte 0 when it is not a program with an archive appended.
Result<Stream> detect_stream(const fs::path& path) {
  auto opened = File::open_for_reading(path);
  if (!opened) return Stream{};
  const File& file = *opened;
  auto size = file.size();
  if (!size) return std::unexpected(ArchiveError::io(size.error()));
  const std::uint64_t f = *size;
  std::array<std::uint8_t, 2> mz{};
  auto got = file.read_at(0, mz);
  if (!got || *got != 2 || f < format::footer_size || mz[0] != 'M' || mz[1] != 'Z') return Stream{};

  // The end of a signed program is its certificate table, which the
  // signature does not cover: the archive is looked for before it only.
  auto signature = find_code_signature(file, f);
  if (!signature) return std::unexpected(std::move(signature.error()));
  if (*signature) return stream_before_signature(file, **signature);

  auto start = archive_start_before(file, f);
  if (!start) return std::unexpected(std::move(start.error()));
  return Stream{start->value_or(0), 0, std::nullopt};
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
  auto stream = detect_stream(path);
  if (!stream) return std::unexpected(std::move(stream.error()));
  // A signed program holds its whole archive before its certificate table:
  // files named like further parts of it are no part of what it signed.
  auto paths = stream->signature ? Result<std::vector<fs::path>>(std::vector<fs::path>{path}) : part_paths(path);
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

  // The file named may be one part of a set: the bytes that follow its
  // archive are cut off the end of the set.
  set.start_offset_ = std::min(stream->start, set.total_);
  set.end_ = set.total_ - std::min(stream->trailing, set.total_ - set.start_offset_);
  set.signature_ = stream->signature;
  return set;
}

platform::OsResult<std::size_t> VolumeSet::read(std::span<std::uint8_t> buffer) {
  const std::uint64_t length = archive_len();
  if (position_ >= length) return 0;
  std::uint64_t at = start_offset_ + position_;
  for (const Part& part : parts_) {
    if (at >= part.length) {
      at -= part.length;
      continue;
    }
    const std::uint64_t available = std::min(part.length - at, length - position_);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), available));
    auto got = part.file.read_at(at, buffer.first(want));
    if (!got) return got;
    position_ += *got;
    return got;
  }
  return 0;
}

}  // namespace quarn

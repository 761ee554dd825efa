// VolumeSet: an archive's part files read as one positioned byte stream,
// starting where the archive begins (after the program of a self-extracting
// file) and ending where it ends (before a signed program's signature).
// Owns its part handles; one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "core/error/archive_error.h"
#include "core/platform/platform.h"
#include "core/volumes/code_signature.h"

namespace quarn {

class VolumeSet {
 public:
  // Builds the part list (name.001, name.002, ... when `path` ends in a dot
  // and three digits; otherwise the file alone, and always alone when it is
  // a signed program, which holds its whole archive), opens every part and
  // detects a program prefix and a code signature after the archive. A
  // program whose signature area is not what a signing tool leaves is Corrupt
  // texts::signature_area_damaged (see find_code_signature). The position
  // starts at 0.
  static Result<VolumeSet> open(const std::filesystem::path& path);

  // Reads at the current position, never across a part boundary; returns the
  // count read (0 at the end of the stream) and advances the position by it.
  platform::OsResult<std::size_t> read(std::span<std::uint8_t> buffer);

  // Relative to the archive start; not checked against the length.
  void set_position(std::uint64_t position) { position_ = position; }
  std::uint64_t position() const { return position_; }

  std::uint64_t archive_len() const { return end_ - start_offset_; }
  std::uint64_t start_offset() const { return start_offset_; }
  std::size_t part_count() const { return parts_.size(); }

  // The signature of a signed program. The archive ends before it (after at
  // most 7 zero bytes) or, when no archive does, the stream is the program
  // alone; nothing from the signature on is read.
  const std::optional<CodeSignature>& code_signature() const { return signature_; }

 private:
  struct Part {
    platform::File file;
    std::uint64_t length;
  };

  VolumeSet() = default;

  std::vector<Part> parts_;
  std::uint64_t start_offset_ = 0;
  std::uint64_t end_ = 0;  // where the archive ends in the parts, at most total_
  std::uint64_t total_ = 0;
  std::optional<CodeSignature> signature_;
  std::uint64_t position_ = 0;
};

// The part files `path` names, in order: a multi-part set is found from its
// stem whichever part is named; a missing first part is a Message error.
Result<std::vector<std::filesystem::path>> part_paths(const std::filesystem::path& path);

// Sums part lengths, refusing a total that does not fit in 64 bits.
Result<std::uint64_t> total_length(std::span<const std::uint64_t> lengths);

// Reads exactly buffer.size() bytes from any source with a VolumeSet-like
// read(); interrupted reads are retried, an early end is an error with no
// system code.
template <class Source>
platform::OsResult<void> read_exact(Source& source, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    auto got = source.read(buffer.subspan(done));
    if (!got) {
      if (got.error().interrupted) continue;
      return std::unexpected(std::move(got.error()));
    }
    if (*got == 0) return std::unexpected(platform::OsError{0, "nieoczekiwany koniec pliku", false});
    done += *got;
  }
  return {};
}

}  // namespace quarn

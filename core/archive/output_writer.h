// OutputWriter: fills the planned files one after another from frame data
// arriving in frame order, hashes every byte it writes, stamps times and
// attributes, copies the internet-origin mark, and keeps the report.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/extraction_plan.h"
#include "core/archive/folder_walk.h"
#include "core/archive/manifest.h"
#include "core/crypto/hash.h"
#include "core/error/archive_error.h"
#include "core/platform/platform.h"

namespace quarn {

inline constexpr std::size_t WRITE_BUFFER_SIZE = 4u << 20;
inline constexpr std::size_t ZONE_MARK_MAX = 65536;
inline constexpr std::uint32_t ATTRIBUTE_MASK = 0x20A7;

struct ExtractionReport {
  std::vector<std::string> mismatches;  // entry paths whose SHA-256 or size did not match
  std::vector<Rename> renames;
  std::vector<std::string> suspicious_names;
  std::filesystem::path destination;
  std::uint64_t files_completed = 0;
  std::uint64_t directories = 0;
  std::uint64_t bytes_written = 0;
  std::uint64_t files_verified = 0;
  std::uint64_t files_marked = 0;
  std::uint64_t mark_failures = 0;
  std::uint64_t threads = 0;
  double elapsed_seconds = 0;
};

// The archive file's own internet-origin mark; absent when it has none, when
// it cannot be read, or when it is empty or longer than ZONE_MARK_MAX.
std::optional<std::vector<std::uint8_t>> read_zone_mark(const std::filesystem::path& source);

// Single-threaded: only the thread that runs the extraction touches it.
// Files are created, marked and given attributes, and folders stamped, only
// below the plan's destination handle, walking down one name at a time and
// never through a link: a link swapped in since planning stops the
// extraction (texts::link_in_destination) instead of redirecting it, and a
// file that appeared since planning is an Io error, never overwritten.
class OutputWriter {
 public:
  // `verify_only` checks everything (counts, hashes) but creates nothing.
  OutputWriter(const ExtractionPlan& plan, const std::vector<Entry>& entries,
               std::optional<std::vector<std::uint8_t>> zone_mark, bool verify_only = false);
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Opens the next file with data, finishing empty files on the way.
  // Requires that no file is open.
  Result<void> open_next_file();

  // The plain data of the next data frame, in frame order.
  Result<void> write_frame_data(std::span<const std::uint8_t> data);

  // After the last frame: every file must be complete.
  Result<void> check_complete() const;

  // Stamps times and attributes on the directories, last entry first.
  void finish_directories();

  // After a failure: keeps what was written to the open file and closes it;
  // it gets no times, attributes or mark.
  void close_open_file();

  ExtractionReport& report() { return report_; }

 private:
  struct OpenFile {
    platform::File handle;
    const platform::Directory* folder = nullptr;  // the walk's current folder, which holds the file
    std::size_t entry = 0;
    std::uint64_t frames_remaining = 0;
    std::uint64_t bytes = 0;  // plain bytes of this file so far
    crypto::Sha256 hash;
  };

  Result<void> store(std::span<const std::uint8_t> data);
  Result<void> flush();
  Result<void> finish_file();

  const ExtractionPlan& plan_;
  const std::vector<Entry>& entries_;
  std::optional<std::vector<std::uint8_t>> zone_mark_;
  bool verify_only_;
  FolderWalk walk_;
  std::optional<OpenFile> open_;
  std::vector<std::uint8_t> buffer_;
  std::size_t cursor_ = 0;
  ExtractionReport report_;
};

// SHA-256 as 64 lower-case hexadecimal digits.
std::string sha256_hex(const crypto::Sha256Digest& digest);

}  // namespace quarn

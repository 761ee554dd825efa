// Where a new archive stream goes: one file, numbered parts of a fixed size,
// or the end of a copy of the self-extractor program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "core/error/archive_error.h"
#include "core/platform/platform.h"

namespace quarn::writer {

struct OutputOptions {
  std::filesystem::path path;                   // the file; with split_size, the stem of OUT.001, OUT.002, ...
  std::optional<std::uint64_t> split_size = std::nullopt;       // bytes per part
  std::optional<std::filesystem::path> program = std::nullopt;  // self-extractor program to put before the stream
  bool overwrite = false;
};

class ArchiveOutput {
 public:
  // Refuses to replace existing files unless told to; copies the program
  // first when making a self-extractor.
  static Result<ArchiveOutput> create(const OutputOptions& options);

  // Buffered: what is written reaches the files by finish() at the latest.
  Result<void> write(std::span<const std::uint8_t> bytes);

  // Completes the output: called once, after the stream's last byte. A
  // self-extractor gets 0-7 zero bytes between the program and the stream,
  // so that the file's length is a multiple of 8 and a signing tool appends
  // its signature without padding of its own (the reader finds the stream
  // from its end, so the gap is never read). The stream's length is known
  // only now, so making the gap moves the stream once more through the file.
  Result<void> finish();

  // Closes and deletes everything written: for a failure half way.
  void discard();

  // Bytes of the archive stream written so far (the program not counted).
  std::uint64_t stream_length() const { return stream_length_; }

  // The files written, in order.
  const std::vector<std::filesystem::path>& files() const { return files_; }

 private:
  ArchiveOutput() = default;
  Result<void> open_next_part();
  Result<void> flush();
  Result<void> write_through(std::span<const std::uint8_t> bytes);

  static constexpr std::size_t buffer_capacity = 1u << 20;

  OutputOptions options_;
  platform::File current_;
  std::uint64_t current_length_ = 0;
  std::uint64_t stream_length_ = 0;  // buffered bytes included
  std::vector<std::uint8_t> buffer_;
  std::uint64_t program_length_ = 0;
  std::vector<std::filesystem::path> files_;
};

// Fails when the output (or its first part) exists and may not be replaced.
Result<void> check_output_free(const OutputOptions& options);

// OUT.001, OUT.002, ... (three digits at least).
std::filesystem::path part_path(const std::filesystem::path& stem, std::uint64_t number);

}  // namespace quarn::writer

// Where a new archive stream goes: one file, numbered parts of a fixed size,
// or the end of a copy of the self-extractor program. Every file is written
// under a temporary name beside its final one and takes the final name only
// when the whole output is complete and on stable storage.
#pragma once

#include <atomic>
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
  // Replace the file, or the set of parts, already there. Without it an
  // existing file, or any existing part OUT.NNN, refuses the output.
  bool overwrite = false;
  // Once set (by Ctrl-C), writing stops with a Cancelled error.
  const std::atomic<bool>* cancel = nullptr;
};

// Everything about the output that can be refused before anything is read or
// created: the options, the self-extractor program (a PE program that is not
// code-signed yet) and, without overwrite, files in the way.
Result<void> check_output(const OutputOptions& options);

// The files that are the output, or would be replaced by it, as they exist
// now: the file itself, or every existing part OUT.NNN (in number order).
std::vector<std::filesystem::path> existing_output_files(const OutputOptions& options);

// While the output is written, its files have temporary names in the final
// folder (".NAME.quarn-" and 12 random hexadecimal digits, created new, never
// over anything). finish() puts them in place; a failure, or an output
// released unfinished, removes them. Move-only.
class ArchiveOutput {
 public:
  // Runs check_output, then creates the first file and copies the program
  // into it when making a self-extractor.
  static Result<ArchiveOutput> create(const OutputOptions& options);

  ArchiveOutput(ArchiveOutput&& other) noexcept = default;
  ArchiveOutput& operator=(ArchiveOutput&& other) noexcept = default;
  ~ArchiveOutput() = default;

  // Buffered: what is written reaches the files by finish() at the latest.
  Result<void> write(std::span<const std::uint8_t> bytes);

  // Completes the output: called once, after the stream's last byte. A
  // self-extractor gets 0-7 zero bytes between the program and the stream,
  // so that the file's length is a multiple of 8 and a signing tool appends
  // its signature without padding of its own (the reader finds the stream
  // from its end, so the gap is never read). The stream's length is known
  // only now, so making the gap moves the stream once more through the file.
  // Then every file is synced and closed (a failure of either fails the
  // output), and renamed to its final name, the last part first and OUT.001
  // last, so that no reader meets a set whose first part is new before every
  // other part is. A failure half way removes the parts already renamed.
  // Last, with overwrite, existing parts numbered past the last one written
  // are removed (highest first), so that the reader, which takes OUT.001,
  // OUT.002, ... up to the first missing number, finds exactly the new set;
  // without overwrite, such a part refuses the output before any rename.
  Result<void> finish();

  // Removes every file not yet in place: for a failure half way.
  void discard();

  // Bytes of the archive stream written so far (the program not counted).
  std::uint64_t stream_length() const { return stream_length_; }

  // The final names of the files written, in order.
  const std::vector<std::filesystem::path>& files() const { return files_; }

 private:
  // Removes its temporary file when released unfinished.
  struct Temporary {
    std::filesystem::path path;
    Temporary() = default;
    explicit Temporary(std::filesystem::path p) : path(std::move(p)) {}
    Temporary(Temporary&& other) noexcept : path(std::move(other.path)) { other.path.clear(); }
    Temporary& operator=(Temporary&& other) noexcept;
    ~Temporary() { remove(); }
    void remove() noexcept;
  };

  ArchiveOutput() = default;
  Result<void> open_next_file(const std::filesystem::path& final_path);
  Result<void> close_current();
  Result<void> copy_program(const platform::File& program);
  Result<void> complete();
  Result<void> make_signing_gap();
  Result<void> put_in_place();
  Result<void> remove_stale_parts();
  Result<void> flush();
  Result<void> write_through(std::span<const std::uint8_t> bytes);
  Result<void> check_cancel() const;

  static constexpr std::size_t buffer_capacity = 1u << 20;

  OutputOptions options_;
  std::vector<std::filesystem::path> files_;
  std::vector<Temporary> temporaries_;  // one per file, in the order of files_, until put in place
  platform::File current_;              // after temporaries_: closed before they are removed
  std::uint64_t current_length_ = 0;
  std::uint64_t stream_length_ = 0;  // buffered bytes included
  std::vector<std::uint8_t> buffer_;
  std::uint64_t program_length_ = 0;
};

// OUT.001, OUT.002, ... (three digits at least).
std::filesystem::path part_path(const std::filesystem::path& stem, std::uint64_t number);

}  // namespace quarn::writer

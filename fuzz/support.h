// What the fuzz targets share: a scratch folder of the process's own, file
// helpers, an invariant check that stops the fuzzer with a message, a
// deliberately crude path-safety check to compare the reader's with, and
// the repairs that recompute the checksums of a plain archive after the
// fuzzer has mutated it, so that mutations reach the code behind them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quarn::fuzz {

// <temporary folder>/quarn-fuzz-<pid>, created on first use and removed when
// the process exits normally. scripts/fuzz.sh points TMPDIR into build/fuzz.
const std::filesystem::path& scratch_dir();

void write_bytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Removes `path` and everything below it, first giving the owner write
// permission wherever extraction took it away (read-only attributes).
void wipe(const std::filesystem::path& path);

// Aborts with "invariant broken: <what>" when `condition` is false; libFuzzer
// records the input as a crash.
void check(bool condition, const char* what);

// True when every '/'-separated component is non-empty, not "." or "..",
// and the path has no leading '/', no backslash and no NUL. Any path the
// reader accepts must pass this; one that fails it must never be written.
bool crude_path_safe(std::string_view entry_path);

// Counts of what lies below `root` without following links.
struct TreeCounts {
  std::uint64_t files = 0;
  std::uint64_t directories = 0;
  std::uint64_t links = 0;
  std::uint64_t other = 0;
  std::uint64_t file_bytes = 0;
};
TreeCounts count_tree(const std::filesystem::path& root);

// Repairs of a plain archive stream that starts at offset 0. Each one only
// touches bytes it can locate; a stream too short for it is left alone.
//
// Writes the SHA-512 tag a plain header needs over its canonical bytes;
// returns the header length H when the header's layout could be read.
std::optional<std::uint64_t> repair_header_tag(std::vector<std::uint8_t>& stream);
// Walks the frames from `header_length` by their stored lengths up to the
// footer, recomputing each CRC-32C (after setting plain_length to
// stored_length on stored frames, when asked); returns the offset of the
// last whole frame.
std::optional<std::uint64_t> repair_frames(std::vector<std::uint8_t>& stream, std::uint64_t header_length,
                                           bool stored_lengths);
// Rewrites the footer (the last 32 bytes) with the stream's length, the
// given file-list offset (or the stored one) and a correct CRC-32C.
void repair_footer(std::vector<std::uint8_t>& stream, std::optional<std::uint64_t> filelist_offset);

}  // namespace quarn::fuzz

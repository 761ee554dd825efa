// Manifest and Entry: the archive's file list, parsed from its JSON form and
// checked against the frames it describes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error/archive_error.h"

namespace quarn {

enum class EntryKind { File, Dir };

struct Entry {
  std::string path;  // components separated by '/'
  EntryKind kind = EntryKind::File;
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;
  std::uint64_t created = 0;   // FILETIME ticks, 0 = not recorded
  std::uint64_t modified = 0;  // FILETIME ticks, 0 = not recorded
  std::optional<std::string> sha256;
  std::uint64_t first_frame = 0;
  std::uint64_t frames = 0;
  std::uint64_t offset = 0;
};

struct Manifest {
  std::string format;
  std::uint16_t version = 0;
  std::int64_t created_unix = 0;
  std::string tool;
  std::uint64_t data_frames = 0;
  std::uint64_t total_size = 0;
  std::vector<Entry> entries;
};

// Parses the JSON document: required and defaulted fields, unknown keys
// ignored, a key given twice refused at any depth, arrays and objects nested
// more than 8 deep refused as soon as the ninth opens, wrong types, unknown
// `kind` values and trailing characters refused. Failures are Corrupt
// "spis plikow: " and a message naming the problem with its line and column.
// Beyond the text and the Manifest, the parser's memory is a few bytes per
// byte of text (stated in manifest_parser.cpp). `json` is shorter than 4 GiB
// (the file list is at most 512 MiB); a longer one ends the process.
Result<Manifest> parse_manifest(std::string_view json);

// The checks against the archive: the format name, the frame count against
// the file-list frame's index, and file entries tiling the data frames in
// order without gaps or overlaps.
Result<void> check_manifest(const Manifest& manifest, std::uint64_t filelist_index, std::uint32_t block_size);

}  // namespace quarn

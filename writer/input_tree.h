// The files and directories a new archive will hold, gathered from the
// inputs the sender named, with the paths they get inside the archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error/archive_error.h"

namespace quarn::writer {

struct InputEntry {
  std::filesystem::path source;  // where the content is read from
  std::string archive_path;      // UTF-8, components separated by '/'
  bool is_directory = false;
  std::uint64_t size = 0;        // as the file system reported it
  std::uint32_t attributes = 0;
  std::uint64_t created = 0;     // FILETIME ticks, 0 when not recorded
  std::uint64_t modified = 0;
};

struct InputTree {
  std::vector<InputEntry> entries;       // directories before their contents
  std::vector<std::string> skipped;      // symbolic links and special files, as UTF-8 paths
};

// Each input is stored under its own name (the last component); directories
// bring their whole contents, in byte order of the names so that the same
// tree always gives the same archive. Paths the reader would refuse are
// refused here with a Message naming them.
Result<InputTree> gather_inputs(const std::vector<std::filesystem::path>& inputs);

}  // namespace quarn::writer

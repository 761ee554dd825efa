// The files and directories a new archive will hold, gathered from the
// inputs the sender named, with the paths they get inside the archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/error/archive_error.h"
#include "core/platform/platform.h"

namespace quarn::writer {

struct InputEntry {
  std::uint32_t base = 0;        // index in InputTree::bases of the folder it is read from
  std::filesystem::path name;    // its name in that folder; empty: the entry is the base itself
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
  // Each input as named and each folder below one: an entry's path is its
  // base and its name, so that a hundred thousand entries do not each carry
  // a whole path.
  std::vector<std::filesystem::path> bases;
};

// Opens the files of a tree for reading, each by its name in its folder; a
// link put in a file's place since the listing is refused, not followed. The
// last folder stays open, so the files of one folder cost one open each. One
// per thread.
class SourceOpener {
 public:
  explicit SourceOpener(const InputTree& tree) : tree_(tree) {}
  platform::OsResult<platform::File> open(const InputEntry& entry);

 private:
  const InputTree& tree_;
  std::optional<std::uint32_t> open_base_;
  platform::Directory folder_;
};

// Each input is stored under its own name (the last component); directories
// bring their whole contents, in byte order of the names so that the same
// tree always gives the same archive. Paths the reader would refuse are
// refused here with a Message naming them. Folders are listed ahead on as
// many helper threads as `threads`, at most 3 (0: one per processor).
Result<InputTree> gather_inputs(const std::vector<std::filesystem::path>& inputs, unsigned threads = 0);

}  // namespace quarn::writer

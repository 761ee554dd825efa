// The files and directories a new archive will hold, gathered from the
// inputs the sender named, with the paths they get inside the archive, and
// how they are reached again to be read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
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

// A folder entries are read from: a named input's own (or, for a named file,
// the one that holds it), or one below it.
struct InputBase {
  static constexpr std::uint32_t no_parent = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t parent = no_parent;  // index in InputTree::bases
  std::filesystem::path name;        // its name in the parent; without a parent, its path as named
};

enum class SkipReason {
  LinkOrSpecial,  // a link, a special file, or a folder that became something else during the walk
  Output,         // a file the archive being made is to replace, by any of its names
};

struct SkippedInput {
  SkipReason reason;
  std::string path;  // UTF-8, as the sender would find it
};

struct InputTree {
  std::vector<InputEntry> entries;  // directories before their contents
  std::vector<SkippedInput> skipped;
  // Each input as named and each folder below one: an entry's path is its
  // base and its name, so that a hundred thousand entries do not each carry
  // a whole path.
  std::vector<InputBase> bases;
};

// The path of bases[base] as the sender would find it.
std::filesystem::path base_path(const InputTree& tree, std::uint32_t base);

// The open folders from a named input's down to the one in use, each entered
// from the one above by its name, never through a link. Entering the next
// folder of a walk costs one open, going back up none. Only the named
// input's and the kept_open deepest stay open; a released one is opened
// again from above when needed, so no tree uses up the process's handles.
// One per thread.
class FolderChain {
 public:
  static constexpr std::size_t kept_open = 8;

  explicit FolderChain(const InputTree& tree) : tree_(tree) {}

  // The folder bases[base], opened as needed. A link or anything else but a
  // folder on the way is refused (OsError::link_refused, not_directory).
  platform::OsResult<std::shared_ptr<const platform::Directory>> enter(std::uint32_t base);

  // Makes `folder`, just opened as bases[base], the end of the chain: the
  // chain ends at its parent, or it is a named input's folder.
  void extend(std::uint32_t base, std::shared_ptr<const platform::Directory> folder);

 private:
  struct Level {
    std::uint32_t base;
    std::shared_ptr<const platform::Directory> folder;  // null once released
  };

  void release_above(std::size_t level);

  const InputTree& tree_;
  std::vector<Level> levels_;
  std::vector<std::uint32_t> way_;  // scratch: the bases from a named input's down to the one entered
};

// Opens the files of a tree for reading, each by its name in its folder, the
// folder reached from the named input's one name at a time: a link put in
// the place of a file or folder since the listing is refused, not followed.
// One per thread.
class SourceOpener {
 public:
  explicit SourceOpener(const InputTree& tree) : tree_(tree), chain_(tree) {}
  platform::OsResult<platform::File> open(const InputEntry& entry);

 private:
  const InputTree& tree_;
  FolderChain chain_;
};

// Each input is stored under its own name (the last component); directories
// bring their whole contents, in byte order of the names so that the same
// tree always gives the same archive. Below a named folder everything is
// entered from its handle one name at a time, never through a link: links,
// special files and folders replaced by anything else while the walk runs
// are left out and listed in `skipped`. So is any file that is one of
// `outputs` (by any of its names, hard links too); outputs that do not exist
// are passed over. An entry that vanishes during the walk fails it (Io), as
// a file that vanishes before it is read fails the writing. Paths the reader
// would refuse are refused here with a Message naming them. Folders are
// listed ahead on as many helper threads as `threads`, at most 3 (0: one per
// processor).
Result<InputTree> gather_inputs(const std::vector<std::filesystem::path>& inputs, unsigned threads = 0,
                                const std::vector<std::filesystem::path>& outputs = {});

}  // namespace quarn::writer

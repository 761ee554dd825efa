// The extraction plan: a safe, unique output path for every entry of the
// file list, and the directory tree created for them before any file is
// written.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/manifest.h"
#include "core/error/archive_error.h"
#include "core/platform/platform.h"

namespace quarn {

// A file that was given a new name because its own would have overwritten
// something.
struct Rename {
  std::string archive_path;  // the entry's path exactly as stored
  std::string output_path;   // the full new output path as UTF-8, invalid sequences as U+FFFD
};

struct ExtractionPlan {
  // Open on the destination: every folder and file of the plan is made below
  // this handle, one name at a time, never through a link.
  platform::Directory destination;
  std::vector<std::optional<std::filesystem::path>> output_paths;  // one per entry, same index
  std::vector<std::size_t> file_order;       // indices of the file entries, in list order
  std::vector<Rename> renames;               // in list order
  std::vector<std::string> suspicious_names;  // stored paths with invisible or direction-control characters
};

// Checks every entry path before touching the disk, so an unsafe path
// anywhere in the list is refused (UnsafePath with that path) and nothing but
// the destination, which the caller creates beforehand, exists afterwards.
// Every folder an entry needs below the destination that exists already must
// be a plain folder: a link there (symbolic link, junction, any reparse
// point) is refused before anything is made, with the Message
// texts::link_in_destination. The destination itself may be or lie below a
// link. Then gives every file that would overwrite something on disk (a link
// as its own name included), or collide without regard to letter case with
// an earlier file or with any folder the plan makes (a directory entry, or a
// folder above an entry, wherever it stands in the list), the first free
// name "name (n).ext" (n = 2, 3, ...); folders keep their paths. Last, creates the directories of the
// plan in list order below a handle on the destination, never through a
// link; a failure there is Io with the operating-system error (or the link
// Message) and leaves what was created. A failing system random generator
// (needed to key the name table) is a Message error. Runs on the calling
// thread; the only file-system accesses are metadata queries of the needed
// folders, of file paths and candidates, and the directory creation.
Result<ExtractionPlan> plan_extraction(const std::filesystem::path& destination, const std::vector<Entry>& entries);

// The name under which planning compares output paths: the full path as
// UTF-8 (invalid sequences as U+FFFD), lowercased with the full Unicode
// lowercase mapping, one code point at a time.
std::string collision_key(const std::filesystem::path& output_path);

}  // namespace quarn

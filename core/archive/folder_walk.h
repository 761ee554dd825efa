// FolderWalk: the chain of open folders from the destination down to the
// folder that the extraction works in, each entered from the one above by a
// single name and never through a link.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/error/archive_error.h"
#include "core/platform/platform.h"

namespace quarn {

// The folder holding an entry path, as stored: the text before its last "/",
// empty for the destination itself.
std::string_view parent_folder(std::string_view entry_path);

// The chain is kept between calls: entries of one folder cost no system call,
// and a neighbouring folder costs one step per name that differs. Only the
// KEPT_OPEN deepest handles stay open, so a deep tree cannot use up the
// process's handles; a released one is opened again from above when needed.
class FolderWalk {
 public:
  static constexpr std::size_t KEPT_OPEN = 64;

  // `destination` must outlive the walk.
  explicit FolderWalk(const platform::Directory& destination) : root_(destination) {}

  // Makes `folder` the current folder and returns it: '/'-separated as stored
  // in the file list, empty for the destination itself; with `create`,
  // missing folders are made. A link on the way is the Message
  // link_in_destination naming that folder and `entry_path`; any other
  // failure is Io. The pointer is valid until the next call.
  Result<const platform::Directory*> enter(std::string_view folder, std::string_view entry_path, bool create);

 private:
  struct Level {
    std::string name;
    platform::Directory handle;  // closed once released
  };

  const platform::Directory& root_;
  std::vector<Level> chain_;
  std::string current_;  // the folder of the chain, as stored; valid while the chain ends open
};

}  // namespace quarn

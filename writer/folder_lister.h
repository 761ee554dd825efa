// FolderLister: opens folders one name below their parent's handle, never
// through a link, and lists them with their entries' metadata in byte order
// of the names, on helper threads ahead of the walk that asks for them.
// Listing costs a query per entry; the walk meanwhile checks names and
// builds entries.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/platform/platform.h"

namespace quarn::writer {

struct ListedEntry {
  std::string utf8_name;
  platform::DirectoryEntry entry;
};

struct FolderListing {
  std::shared_ptr<const platform::Directory> folder;  // the folder listed, open
  std::vector<ListedEntry> entries;
};
using Listing = platform::OsResult<FolderListing>;

// Opens the folder `name` in `parent` (a link or anything but a folder there
// is refused: OsError::link_refused, OsError::not_directory) or, without a
// parent, at the path `name` (links on that path followed), and lists it,
// sorted by the entries' UTF-8 names (ties by the names as the system gave
// them), so that the same tree always gives the same archive.
Listing list_sorted(const platform::Directory* parent, const std::filesystem::path& name);

class FolderLister {
 public:
  // With `helpers` 0 every folder is listed when it is taken.
  explicit FolderLister(unsigned helpers);
  ~FolderLister();
  FolderLister(const FolderLister&) = delete;
  FolderLister& operator=(const FolderLister&) = delete;

  // Asks for the folder `name` in `parent` to be listed ahead; `parent_key`
  // stands for `parent` in the matching take. False when too many are
  // waiting: ask again later. A folder asked for and never taken keeps its
  // room until the lister ends.
  bool ahead(std::uint32_t parent_key, std::shared_ptr<const platform::Directory> parent,
             const std::filesystem::path& name);

  // The listing of the folder `name` in `parent`: the one made ahead,
  // waiting for it if a helper is at it, or made now.
  Listing take(std::uint32_t parent_key, const platform::Directory& parent, const std::filesystem::path& name);

 private:
  // Each waiting listing holds its folder open, and each one not yet made
  // its parent: few enough for any limit on open files.
  static constexpr std::size_t max_ahead = 32;

  using Key = std::pair<std::uint32_t, std::filesystem::path::string_type>;
  struct Pending {
    std::shared_ptr<const platform::Directory> parent;  // until a helper starts
    bool started = false;
    std::optional<Listing> done;
  };

  void work();

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Key> queue_;
  std::map<Key, Pending> pending_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

}  // namespace quarn::writer

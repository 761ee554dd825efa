// FolderLister: lists folders, with their entries' metadata, in byte order of
// the names, on helper threads ahead of the walk that asks for them. Listing
// costs a query per entry; the walk meanwhile checks names and builds entries.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <map>
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
using Listing = platform::OsResult<std::vector<ListedEntry>>;

// The entries of `folder` sorted by their UTF-8 names (ties by the names as
// the system gave them), so that the same tree always gives the same archive.
Listing list_sorted(const std::filesystem::path& folder);

class FolderLister {
 public:
  // With `helpers` 0 every folder is listed when it is taken.
  explicit FolderLister(unsigned helpers);
  ~FolderLister();
  FolderLister(const FolderLister&) = delete;
  FolderLister& operator=(const FolderLister&) = delete;

  // Asks for `folder` to be listed ahead; ignored when too many are waiting.
  void ahead(const std::filesystem::path& folder);

  // The listing of `folder`: the one made ahead, waiting for it if a helper
  // is at it, or made now.
  Listing take(const std::filesystem::path& folder);

 private:
  static constexpr std::size_t max_ahead = 1024;

  struct Pending {
    bool started = false;
    std::optional<Listing> done;
  };

  void work();

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<std::filesystem::path> queue_;
  std::map<std::filesystem::path::string_type, Pending> pending_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

}  // namespace quarn::writer

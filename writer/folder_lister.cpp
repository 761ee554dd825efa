#include "writer/folder_lister.h"

#include <algorithm>
#include <tuple>

namespace quarn::writer {

Listing list_sorted(const std::filesystem::path& folder) {
  auto listed = platform::list_directory_info(folder);
  if (!listed) return std::unexpected(std::move(listed.error()));
  std::vector<ListedEntry> out;
  out.reserve(listed->size());
  for (platform::DirectoryEntry& entry : *listed)
    out.push_back(ListedEntry{platform::path_to_utf8(entry.name), std::move(entry)});
  std::sort(out.begin(), out.end(), [](const ListedEntry& a, const ListedEntry& b) {
    return std::tie(a.utf8_name, a.entry.name) < std::tie(b.utf8_name, b.entry.name);
  });
  return out;
}

FolderLister::FolderLister(unsigned helpers) {
  for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
}

FolderLister::~FolderLister() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void FolderLister::ahead(const std::filesystem::path& folder) {
  if (threads_.empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (pending_.size() >= max_ahead || !pending_.try_emplace(folder.native()).second) return;
    queue_.push_back(folder);
  }
  queued_.notify_one();
}

Listing FolderLister::take(const std::filesystem::path& folder) {
  std::unique_lock lock(mutex_);
  const auto found = pending_.find(folder.native());
  if (found == pending_.end()) {
    lock.unlock();
    return list_sorted(folder);
  }
  if (!found->second.started) {
    // Still queued: listed here; the helper passes over it.
    pending_.erase(found);
    lock.unlock();
    return list_sorted(folder);
  }
  finished_.wait(lock, [&] { return found->second.done.has_value(); });
  Listing listing = std::move(*found->second.done);
  pending_.erase(found);
  return listing;
}

void FolderLister::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const std::filesystem::path folder = std::move(queue_.front());
    queue_.pop_front();
    const auto found = pending_.find(folder.native());
    if (found == pending_.end() || found->second.started) continue;
    found->second.started = true;
    lock.unlock();
    Listing listing = list_sorted(folder);
    lock.lock();
    // Entries of a map stay where they are; a started one is erased only by take, after it is done.
    found->second.done = std::move(listing);
    finished_.notify_all();
  }
}

}  // namespace quarn::writer

#include "writer/folder_lister.h"

#include <algorithm>
#include <tuple>

namespace quarn::writer {

Listing list_sorted(const platform::Directory* parent, const std::filesystem::path& name) {
  auto opened = parent ? parent->open_directory(name) : platform::Directory::open(name);
  if (!opened) return std::unexpected(std::move(opened.error()));
  auto listed = opened->list();
  if (!listed) return std::unexpected(std::move(listed.error()));
  FolderListing out{std::make_shared<const platform::Directory>(std::move(*opened)), {}};
  out.entries.reserve(listed->size());
  for (platform::DirectoryEntry& entry : *listed)
    out.entries.push_back(ListedEntry{platform::path_to_utf8(entry.name), std::move(entry)});
  std::sort(out.entries.begin(), out.entries.end(), [](const ListedEntry& a, const ListedEntry& b) {
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

bool FolderLister::ahead(std::uint32_t parent_key, std::shared_ptr<const platform::Directory> parent,
                         const std::filesystem::path& name) {
  if (threads_.empty()) return true;
  Key key{parent_key, name.native()};
  {
    std::lock_guard lock(mutex_);
    if (pending_.contains(key)) return true;
    if (pending_.size() >= max_ahead) return false;
    pending_.emplace(key, Pending{std::move(parent), false, std::nullopt});
    queue_.push_back(std::move(key));
  }
  queued_.notify_one();
  return true;
}

Listing FolderLister::take(std::uint32_t parent_key, const platform::Directory& parent,
                           const std::filesystem::path& name) {
  std::unique_lock lock(mutex_);
  const auto found = pending_.find(Key{parent_key, name.native()});
  if (found == pending_.end()) {
    lock.unlock();
    return list_sorted(&parent, name);
  }
  if (!found->second.started) {
    // Still queued: listed here; the helper passes over it.
    pending_.erase(found);
    lock.unlock();
    return list_sorted(&parent, name);
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
    const Key key = std::move(queue_.front());
    queue_.pop_front();
    const auto found = pending_.find(key);
    if (found == pending_.end() || found->second.started) continue;
    found->second.started = true;
    const std::shared_ptr<const platform::Directory> parent = std::move(found->second.parent);
    lock.unlock();
    Listing listing = list_sorted(parent.get(), std::filesystem::path(key.second));
    lock.lock();
    // Entries of a map stay where they are; a started one is erased only by take, after it is done.
    found->second.done = std::move(listing);
    finished_.notify_all();
  }
}

}  // namespace quarn::writer

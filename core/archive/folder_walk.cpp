#include "core/archive/folder_walk.h"

#include "core/error/detail_texts.h"

namespace quarn {

std::string_view parent_folder(std::string_view entry_path) {
  const std::size_t slash = entry_path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : entry_path.substr(0, slash);
}

Result<const platform::Directory*> FolderWalk::enter(std::string_view folder, std::string_view entry_path,
                                                     bool create) {
  if (folder.empty()) return &root_;
  if (!chain_.empty() && folder == current_ && chain_.back().handle.is_open()) return &chain_.back().handle;

  std::vector<std::string_view> names;
  for (std::size_t start = 0;;) {
    const std::size_t slash = folder.find('/', start);
    names.push_back(folder.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }

  std::size_t shared = 0;
  while (shared < chain_.size() && shared < names.size() && chain_[shared].name == names[shared]) ++shared;
  chain_.resize(shared);
  current_.clear();
  // Released handles of the shared part are opened again from the nearest open one.
  std::size_t from = shared;
  while (from > 0 && !chain_[from - 1].handle.is_open()) --from;

  for (std::size_t level = from; level < names.size(); ++level) {
    const platform::Directory& parent = level == 0 ? root_ : chain_[level - 1].handle;
    const std::filesystem::path name = platform::path_from_utf8(names[level]);
    auto step = create ? parent.create_directory(name) : parent.open_directory(name);
    if (!step) {
      chain_.resize(level);
      const std::size_t end = static_cast<std::size_t>(names[level].data() - folder.data()) + names[level].size();
      if (step.error().link_refused)
        return std::unexpected(ArchiveError::message(texts::link_in_destination(folder.substr(0, end), entry_path)));
      return std::unexpected(ArchiveError::io(std::move(step.error())));
    }
    if (level < chain_.size()) {
      chain_[level].handle = std::move(*step);
    } else {
      chain_.push_back(Level{std::string(names[level]), std::move(*step)});
    }
    if (level >= KEPT_OPEN) chain_[level - KEPT_OPEN].handle = platform::Directory();
  }
  current_ = folder;
  return &chain_.back().handle;
}

}  // namespace quarn

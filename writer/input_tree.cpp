#include "writer/input_tree.h"

#include <algorithm>
#include <thread>

#include "core/archive/entry_path.h"
#include "writer/folder_lister.h"

namespace quarn::writer {
namespace {

namespace fs = std::filesystem;

// Attribute bits the reader applies, and the directory bit; the rest mean
// nothing on another machine.
constexpr std::uint32_t stored_attribute_mask = 0x20A7 | 0x10;

ArchiveError refuse_path(const std::string& archive_path) {
  return ArchiveError::message("Tej ścieżki nie da się bezpiecznie zapisać w archiwum: " + archive_path);
}

// A folder that could not be entered because something else stands in its
// place now.
bool replaced(const platform::OsError& error) { return error.link_refused || error.not_directory; }

// The identities of the outputs that exist, sorted. One that cannot be
// looked up is not there to be left out (or cannot be written either).
std::vector<platform::FileIdentity> identities_of(const std::vector<fs::path>& outputs) {
  std::vector<platform::FileIdentity> found;
  for (const fs::path& output : outputs)
    if (auto identity = platform::query_identity(output)) found.push_back(*identity);
  std::sort(found.begin(), found.end());
  return found;
}

// One walk over the named inputs, filling `tree`.
class Walk {
 public:
  static constexpr unsigned ahead_per_listing = 8;

  Walk(InputTree& tree, unsigned helpers, std::vector<platform::FileIdentity> outputs)
      : tree_(tree), lister_(helpers), chain_(tree), outputs_(std::move(outputs)) {}

  Result<void> add_input(const fs::path& input);

 private:
  Result<void> add(std::uint32_t base, const fs::path& name, const std::string& archive_path,
                   const platform::FileInfo& info, const platform::FileIdentity& identity, bool named_input);
  Result<void> add_contents(std::uint32_t folder, const std::vector<ListedEntry>& children,
                            const std::string& archive_path);
  Listing take(std::uint32_t base, const fs::path& name);
  // How far the folders of one listing have been asked for ahead.
  struct Ahead {
    std::size_t next = 0;  // children before it were looked at
    unsigned waiting = 0;  // folders among them asked for and not yet taken
  };
  void offer(std::uint32_t folder, const std::vector<ListedEntry>& children, std::size_t taking, Ahead& ahead);
  fs::path shown(std::uint32_t base, const fs::path& name) const;
  bool is_output(const platform::FileIdentity& identity) const {
    return std::binary_search(outputs_.begin(), outputs_.end(), identity);
  }

  InputTree& tree_;
  FolderLister lister_;
  FolderChain chain_;
  const std::vector<platform::FileIdentity> outputs_;
};

Result<void> Walk::add_input(const fs::path& input) {
  fs::path name = input.filename();
  if (name.empty() || name == "." || name == "..") name = fs::absolute(input).lexically_normal().filename();
  if (name.empty()) name = fs::absolute(input).lexically_normal().parent_path().filename();
  auto info = platform::query_info(input);
  if (!info) return std::unexpected(ArchiveError::io(std::move(info.error())));
  platform::FileIdentity identity;
  if (info->kind == platform::FileKind::File && !outputs_.empty()) {
    auto found = platform::query_identity(input);
    if (!found) return std::unexpected(ArchiveError::io(std::move(found.error())));
    identity = *found;
  }
  // A file is read by its name in its folder, as the files below a folder are.
  const fs::path own_name = input.filename();
  const bool by_name = info->kind == platform::FileKind::File && !own_name.empty() && own_name != "." &&
                       own_name != "..";
  const fs::path folder = input.parent_path();
  tree_.bases.push_back(InputBase{InputBase::no_parent, !by_name ? input : folder.empty() ? fs::path(".") : folder});
  return add(static_cast<std::uint32_t>(tree_.bases.size() - 1), by_name ? own_name : fs::path(),
             platform::path_to_utf8(name), *info, identity, true);
}

// Adds the entry at bases[base] / `name` (the base itself when `name` is
// empty), whose metadata is `info`, and everything below it. The contents of
// a folder come from one listing with their metadata.
Result<void> Walk::add(std::uint32_t base, const fs::path& name, const std::string& archive_path,
                       const platform::FileInfo& info, const platform::FileIdentity& identity, bool named_input) {
  if (archive_path.size() > MAX_ENTRY_PATH || !check_entry_path(archive_path, fs::path("x")))
    return std::unexpected(refuse_path(archive_path));
  if (info.kind == platform::FileKind::Symlink || info.kind == platform::FileKind::Other) {
    if (named_input)
      return std::unexpected(
          ArchiveError::message("To nie jest zwykły plik ani folder: " + platform::path_to_utf8(shown(base, name))));
    tree_.skipped.push_back(SkippedInput{SkipReason::LinkOrSpecial, platform::path_to_utf8(shown(base, name))});
    return {};
  }
  if (info.kind == platform::FileKind::File && is_output(identity)) {
    tree_.skipped.push_back(SkippedInput{SkipReason::Output, platform::path_to_utf8(shown(base, name))});
    return {};
  }
  const bool is_directory = info.kind == platform::FileKind::Directory;
  InputEntry entry{base, name, archive_path, is_directory, info.kind == platform::FileKind::File ? info.size : 0,
                   info.attributes & stored_attribute_mask, info.created_ticks, info.modified_ticks};
  if (!is_directory) {
    tree_.entries.push_back(std::move(entry));
    return {};
  }

  // A named folder is opened by its path, links on the way and all: the
  // sender's choice. Everything below it is entered by name from the folder
  // above, and what stands in a folder's place now is not followed.
  Listing listed = name.empty() ? list_sorted(nullptr, tree_.bases[base].name) : take(base, name);
  if (!listed) {
    if (!named_input && replaced(listed.error())) {
      tree_.skipped.push_back(SkippedInput{SkipReason::LinkOrSpecial, platform::path_to_utf8(shown(base, name))});
      return {};
    }
    return std::unexpected(ArchiveError::io(std::move(listed.error())));
  }
  tree_.entries.push_back(std::move(entry));
  std::uint32_t folder = base;
  if (!name.empty()) {
    tree_.bases.push_back(InputBase{base, name});
    folder = static_cast<std::uint32_t>(tree_.bases.size() - 1);
  }
  chain_.extend(folder, std::move(listed->folder));
  return add_contents(folder, listed->entries, archive_path);
}

Result<void> Walk::add_contents(std::uint32_t folder, const std::vector<ListedEntry>& children,
                                const std::string& archive_path) {
  Ahead ahead;
  std::string child_path = archive_path + "/";
  for (std::size_t i = 0; i < children.size(); ++i) {
    const ListedEntry& child = children[i];
    if (child.entry.info.kind == platform::FileKind::Directory) offer(folder, children, i, ahead);
    child_path.resize(archive_path.size() + 1);
    child_path += child.utf8_name;
    if (auto ok = add(folder, child.entry.name, child_path, child.entry.info, child.entry.identity, false); !ok)
      return ok;
  }
  return {};
}

// The folder `name` in bases[base], listed.
Listing Walk::take(std::uint32_t base, const fs::path& name) {
  auto parent = chain_.enter(base);
  if (!parent) return std::unexpected(std::move(parent.error()));
  return lister_.take(base, **parent, name);
}

// Before the folder children[taking] is taken: asks for the next folders
// among the children to be listed ahead, a few per listing, so that the
// lister's room goes to every level of the walk and not to the first
// folders' siblings alone.
void Walk::offer(std::uint32_t folder, const std::vector<ListedEntry>& children, std::size_t taking, Ahead& ahead) {
  if (taking < ahead.next) --ahead.waiting;  // asked for before, and taken now
  ahead.next = std::max(ahead.next, taking + 1);
  if (ahead.next == children.size() || ahead.waiting == ahead_per_listing) return;
  auto parent = chain_.enter(folder);
  if (!parent) return;  // taking the folders will tell
  for (; ahead.next < children.size() && ahead.waiting < ahead_per_listing; ++ahead.next) {
    const ListedEntry& child = children[ahead.next];
    if (child.entry.info.kind != platform::FileKind::Directory) continue;
    if (!lister_.ahead(folder, *parent, child.entry.name)) return;
    ++ahead.waiting;
  }
}

fs::path Walk::shown(std::uint32_t base, const fs::path& name) const {
  return name.empty() ? base_path(tree_, base) : base_path(tree_, base) / name;
}

}  // namespace

fs::path base_path(const InputTree& tree, std::uint32_t base) {
  std::vector<const fs::path*> names;
  for (std::uint32_t b = base; b != InputBase::no_parent; b = tree.bases[b].parent) names.push_back(&tree.bases[b].name);
  fs::path path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) path /= **name;
  return path;
}

platform::OsResult<std::shared_ptr<const platform::Directory>> FolderChain::enter(std::uint32_t base) {
  if (!levels_.empty() && levels_.back().base == base && levels_.back().folder) return levels_.back().folder;
  way_.clear();
  for (std::uint32_t b = base; b != InputBase::no_parent; b = tree_.bases[b].parent) way_.push_back(b);
  std::reverse(way_.begin(), way_.end());

  std::size_t shared = 0;
  while (shared < levels_.size() && shared < way_.size() && levels_[shared].base == way_[shared]) ++shared;
  levels_.resize(shared);
  // Released folders of the shared part are opened again from the nearest open one.
  std::size_t from = shared;
  while (from > 0 && !levels_[from - 1].folder) --from;
  for (std::size_t level = from; level < way_.size(); ++level) {
    const fs::path& name = tree_.bases[way_[level]].name;
    auto opened = level == 0 ? platform::Directory::open(name) : levels_[level - 1].folder->open_directory(name);
    if (!opened) {
      levels_.resize(level);
      return std::unexpected(std::move(opened.error()));
    }
    auto folder = std::make_shared<const platform::Directory>(std::move(*opened));
    if (level < levels_.size()) {
      levels_[level].folder = std::move(folder);
    } else {
      levels_.push_back(Level{way_[level], std::move(folder)});
    }
    release_above(level);
  }
  return levels_.back().folder;
}

void FolderChain::extend(std::uint32_t base, std::shared_ptr<const platform::Directory> folder) {
  const std::uint32_t parent = tree_.bases[base].parent;
  if (parent == InputBase::no_parent) {
    levels_.clear();
  } else if (levels_.empty() || levels_.back().base != parent || !levels_.back().folder) {
    invariant_violated("FolderChain::extend below a folder that is not the chain's end");
  }
  levels_.push_back(Level{base, std::move(folder)});
  release_above(levels_.size() - 1);
}

// The folder at `level` was just opened, going down: the one kept_open levels
// above it is released (never the named input's).
void FolderChain::release_above(std::size_t level) {
  if (level > kept_open) levels_[level - kept_open].folder.reset();
}

platform::OsResult<platform::File> SourceOpener::open(const InputEntry& entry) {
  if (entry.name.empty()) return platform::File::open_for_reading(base_path(tree_, entry.base));
  auto folder = chain_.enter(entry.base);
  if (!folder) return std::unexpected(std::move(folder.error()));
  return (*folder)->open_file(entry.name);
}

Result<InputTree> gather_inputs(const std::vector<fs::path>& inputs, unsigned threads,
                                const std::vector<fs::path>& outputs) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  InputTree tree;
  {
    Walk walk(tree, std::min(threads, 3u), identities_of(outputs));
    for (const fs::path& input : inputs)
      if (auto ok = walk.add_input(input); !ok) return std::unexpected(std::move(ok.error()));
  }
  return tree;
}

}  // namespace quarn::writer

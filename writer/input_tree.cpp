#include "writer/input_tree.h"

#include <algorithm>
#include <thread>

#include "core/archive/entry_path.h"
#include "core/platform/platform.h"
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

// Adds the entry at `bases[base]` / `name` (the base itself when `name` is
// empty), whose metadata is `info`, and everything below it. The contents of
// a folder come from one listing with their metadata.
Result<void> add(std::uint32_t base, const fs::path& name, const std::string& archive_path,
                 const platform::FileInfo& info, InputTree& tree, FolderLister& lister, bool named_input) {
  if (archive_path.size() > MAX_ENTRY_PATH || !check_entry_path(archive_path, fs::path("x")))
    return std::unexpected(refuse_path(archive_path));
  if (info.kind == platform::FileKind::Symlink || info.kind == platform::FileKind::Other) {
    const std::string shown = platform::path_to_utf8(name.empty() ? tree.bases[base] : tree.bases[base] / name);
    if (named_input) return std::unexpected(ArchiveError::message("To nie jest zwykły plik ani folder: " + shown));
    tree.skipped.push_back(shown);
    return {};
  }
  const bool is_directory = info.kind == platform::FileKind::Directory;
  tree.entries.push_back(InputEntry{base, name, archive_path, is_directory,
                                    info.kind == platform::FileKind::File ? info.size : 0,
                                    info.attributes & stored_attribute_mask, info.created_ticks,
                                    info.modified_ticks});
  if (!is_directory) return {};

  std::uint32_t folder = base;
  if (!name.empty()) {
    tree.bases.push_back(tree.bases[base] / name);
    folder = static_cast<std::uint32_t>(tree.bases.size() - 1);
  }
  auto listed = lister.take(tree.bases[folder]);
  if (!listed) return std::unexpected(ArchiveError::io(std::move(listed.error())));
  for (const ListedEntry& child : *listed) {
    if (child.entry.info.kind == platform::FileKind::Directory) lister.ahead(tree.bases[folder] / child.entry.name);
  }
  std::string child_path = archive_path + "/";
  for (const ListedEntry& child : *listed) {
    child_path.resize(archive_path.size() + 1);
    child_path += child.utf8_name;
    if (auto ok = add(folder, child.entry.name, child_path, child.entry.info, tree, lister, false); !ok) return ok;
  }
  return {};
}

}  // namespace

platform::OsResult<platform::File> SourceOpener::open(const InputEntry& entry) {
  if (entry.name.empty()) return platform::File::open_for_reading(tree_.bases[entry.base]);
  if (open_base_ != entry.base) {
    open_base_.reset();
    auto folder = platform::Directory::open(tree_.bases[entry.base]);
    if (!folder) return std::unexpected(std::move(folder.error()));
    folder_ = std::move(*folder);
    open_base_ = entry.base;
  }
  return folder_.open_file(entry.name);
}

Result<InputTree> gather_inputs(const std::vector<fs::path>& inputs, unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  FolderLister lister(std::min(threads, 3u));
  InputTree tree;
  for (const fs::path& input : inputs) {
    fs::path name = input.filename();
    if (name.empty() || name == "." || name == "..") name = fs::absolute(input).lexically_normal().filename();
    if (name.empty()) name = fs::absolute(input).lexically_normal().parent_path().filename();
    auto info = platform::query_info(input);
    if (!info) return std::unexpected(ArchiveError::io(std::move(info.error())));
    // A file is read by its name in its folder, as the files below a folder are.
    const fs::path own_name = input.filename();
    const bool by_name = info->kind == platform::FileKind::File && !own_name.empty() && own_name != "." &&
                         own_name != "..";
    const fs::path folder = input.parent_path();
    tree.bases.push_back(!by_name ? input : folder.empty() ? fs::path(".") : folder);
    if (auto ok = add(static_cast<std::uint32_t>(tree.bases.size() - 1), by_name ? own_name : fs::path(),
                      platform::path_to_utf8(name), *info, tree, lister, true);
        !ok)
      return std::unexpected(std::move(ok.error()));
  }
  return tree;
}

}  // namespace quarn::writer

#include "writer/input_tree.h"

#include <algorithm>

#include "core/archive/entry_path.h"
#include "core/platform/platform.h"

namespace quarn::writer {
namespace {

namespace fs = std::filesystem;

// Attribute bits the reader applies, and the directory bit; the rest mean
// nothing on another machine.
constexpr std::uint32_t stored_attribute_mask = 0x20A7 | 0x10;

ArchiveError refuse_path(const std::string& archive_path) {
  return ArchiveError::message("Tej ścieżki nie da się bezpiecznie zapisać w archiwum: " + archive_path);
}

Result<void> add(const fs::path& source, const std::string& archive_path, InputTree& tree, bool named_input) {
  if (archive_path.size() > MAX_ENTRY_PATH || !check_entry_path(archive_path, fs::path("x")))
    return std::unexpected(refuse_path(archive_path));
  auto info = platform::query_info(source);
  if (!info) return std::unexpected(ArchiveError::io(std::move(info.error())));

  if (info->kind == platform::FileKind::Symlink || info->kind == platform::FileKind::Other) {
    if (named_input) {
      return std::unexpected(ArchiveError::message("To nie jest zwykły plik ani folder: " +
                                                   platform::path_to_utf8(source)));
    }
    tree.skipped.push_back(platform::path_to_utf8(source));
    return {};
  }
  InputEntry entry{source, archive_path, info->kind == platform::FileKind::Directory,
                   info->kind == platform::FileKind::File ? info->size : 0,
                   info->attributes & stored_attribute_mask, info->created_ticks, info->modified_ticks};
  tree.entries.push_back(entry);
  if (!entry.is_directory) return {};

  auto names = platform::list_directory(source);
  if (!names) return std::unexpected(ArchiveError::io(std::move(names.error())));
  std::vector<std::pair<std::string, fs::path>> children;
  for (const fs::path& name : *names) children.emplace_back(platform::path_to_utf8(name), name);
  std::sort(children.begin(), children.end());
  for (const auto& [text, name] : children) {
    if (auto ok = add(source / name, archive_path + "/" + text, tree, false); !ok) return ok;
  }
  return {};
}

}  // namespace

Result<InputTree> gather_inputs(const std::vector<fs::path>& inputs) {
  InputTree tree;
  for (const fs::path& input : inputs) {
    fs::path name = input.filename();
    if (name.empty() || name == "." || name == "..") name = fs::absolute(input).lexically_normal().filename();
    if (name.empty()) name = fs::absolute(input).lexically_normal().parent_path().filename();
    if (auto ok = add(input, platform::path_to_utf8(name), tree, true); !ok) return std::unexpected(std::move(ok.error()));
  }
  return tree;
}

}  // namespace quarn::writer

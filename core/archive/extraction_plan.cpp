#include "core/archive/extraction_plan.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/archive/entry_path.h"
#include "core/archive/folder_walk.h"
#include "core/archive/keyed_hash.h"
#include "core/archive/unicode_lowercase.h"
#include "core/error/detail_texts.h"
#include "core/platform/platform.h"
#include "core/platform/system.h"
#include "core/platform/utf.h"

namespace quarn {
namespace {

using NativeName = std::filesystem::path::string_type;
using KeySet = std::unordered_set<std::string, KeyedTextHash>;
using CounterMap = std::unordered_map<std::string, std::uint64_t, KeyedTextHash>;

// A path's bytes as the system holds them, for comparisons that must not
// merge two names which only look alike once converted to text.
std::string native_bytes(const std::filesystem::path& path) {
  const NativeName& name = path.native();
  return std::string(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(NativeName::value_type));
}

// native_bytes(path.parent_path()) for a path below a folder of the
// destination, whose names planning joined with the preferred separator,
// without making the parent a path of its own.
std::string folder_bytes(const std::filesystem::path& path) {
  const NativeName& name = path.native();
  const std::size_t separator = name.rfind(std::filesystem::path::preferred_separator);
  if (separator == NativeName::npos) return native_bytes(path.parent_path());
  return std::string(reinterpret_cast<const char*>(name.data()), separator * sizeof(NativeName::value_type));
}

NativeName native_from_ascii(std::string_view ascii) { return NativeName(ascii.begin(), ascii.end()); }

// What planning finds at a folder that an entry needs below the destination.
enum class FolderState { Missing, Folder, Link, Other };

// The folder that an entry needs, as stored: a directory entry's own path, a
// file entry's parent folder (empty for the destination itself).
std::string_view stored_folder(const Entry& entry) {
  return entry.kind == EntryKind::Dir ? std::string_view(entry.path) : parent_folder(entry.path);
}

// What is on disk below the destination, as far as planning asks.
//
// Every folder that an entry needs is looked at once, from the top down: an
// existing one must be a plain folder. Below a missing folder (or a file in
// the way, which creating the folders reports later) nothing can exist, so
// unpacking into a fresh destination costs one query per top-level folder.
// The disk does not change while planning, so what was found is remembered.
//
// A file path exists when any metadata query of it succeeds, whatever it
// finds: a file, a folder, a link (dangling too); a failed query counts as
// nothing there.
class DiskProbe {
 public:
  DiskProbe(const std::filesystem::path& destination, SipHashKey hash_key)
      : destination_(destination), folders_(0, KeyedTextHash(hash_key)) {}

  // Refuses the entry when a folder it needs is a link.
  Result<void> check_folders(const Entry& entry, const std::filesystem::path& out) {
    const std::string_view folder = stored_folder(entry);
    if (folder.empty()) return {};
    if (folders_.contains(entry.kind == EntryKind::Dir ? native_bytes(out) : folder_bytes(out))) return {};
    std::filesystem::path prefix = destination_;
    FolderState above = FolderState::Folder;
    for (std::size_t start = 0;;) {
      const std::size_t slash = folder.find('/', start);
      prefix /= platform::path_from_utf8(folder.substr(start, slash - start));
      const auto [known, fresh] = folders_.try_emplace(native_bytes(prefix), FolderState::Missing);
      if (fresh && above == FolderState::Folder) known->second = query(prefix);
      if (known->second == FolderState::Link)
        return std::unexpected(ArchiveError::message(texts::link_in_destination(folder.substr(0, slash), entry.path)));
      if (slash == std::string_view::npos) return {};
      above = known->second;
      start = slash + 1;
    }
  }

  // `in_subfolder`: the path lies below a folder of the destination, which
  // check_folders has looked at, rather than in the destination itself.
  bool exists(const std::filesystem::path& path, bool in_subfolder) {
    if (in_subfolder) {
      const auto folder = folders_.find(folder_bytes(path));
      if (folder != folders_.end() && folder->second != FolderState::Folder) return false;
    }
    return platform::query_info(path).has_value();
  }

 private:
  static FolderState query(const std::filesystem::path& folder) {
    const auto info = platform::query_info(folder);
    if (!info) return FolderState::Missing;
    switch (info->kind) {
      case platform::FileKind::Directory: return FolderState::Folder;
      case platform::FileKind::Symlink: return FolderState::Link;
      default: return FolderState::Other;
    }
  }

  const std::filesystem::path& destination_;
  std::unordered_map<std::string, FolderState, KeyedTextHash> folders_;
};

// Invisible characters and text-direction controls, which can make a name
// read differently from what it is.
bool is_suspicious(char32_t c) {
  return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0xFEFF;
}

bool has_suspicious_character(std::string_view path) {
  // Every suspicious character lies beyond ASCII.
  if (platform::is_ascii(path)) return false;
  const std::u32string points = platform::utf8_to_utf32(path);
  return std::any_of(points.begin(), points.end(), is_suspicious);
}

// A file name split for numbering. A full stop that is the first character
// does not start an extension, so ".profile" is all stem.
struct NameParts {
  NativeName stem;
  NativeName extension;
  bool has_extension = false;

  explicit NameParts(const NativeName& name) {
    const auto dot = name.rfind(static_cast<NativeName::value_type>('.'));
    if (dot == NativeName::npos || dot == 0) {
      stem = name;
    } else {
      stem = name.substr(0, dot);
      extension = name.substr(dot + 1);
      has_extension = true;
    }
  }

  // "stem (n).extension", or "name (n)" without an extension.
  NativeName numbered(std::uint64_t n) const {
    NativeName name = stem + native_from_ascii(" (" + std::to_string(n) + ")");
    if (has_extension) name += native_from_ascii(".") + extension;
    return name;
  }
};

struct Placement {
  std::filesystem::path path;
  std::string key;
};

// The collision keys taken so far, and the search for a free numbered name.
//
// Trying n = 2, 3, ... from the start for every colliding file would make an
// archive of k files with one name cost k*k/2 tries. Two memories avoid that,
// both sound because keys are only ever added and the disk is not changed
// while planning:
// - per collision key, the smallest n whose candidate key is not planned yet.
//   The key of "stem (n).ext" follows from the key of "stem.ext" alone
//   (lowercasing maps code point by code point and never makes or removes a
//   full stop or separator), so every spelling of one name shares it;
// - per exact output path, the n after the one it last received, which also
//   skips candidates refused because they exist on disk.
class NameTable {
 public:
  NameTable(DiskProbe& disk, SipHashKey hash_key, std::size_t expected)
      : disk_(disk),
        planned_(expected, KeyedTextHash(hash_key)),
        next_by_key_(0, KeyedTextHash(hash_key)),
        next_by_path_(0, KeyedTextHash(hash_key)) {}

  // Whether a file planned at `out` (with that collision key) needs a new name.
  bool taken(const std::filesystem::path& out, const std::string& key, bool in_subfolder) {
    return planned_.contains(key) || disk_.exists(out, in_subfolder);
  }
  bool planned(const std::string& key) const { return planned_.contains(key); }
  void add(std::string key) { planned_.insert(std::move(key)); }

  // The first numbered candidate for `out` that neither exists on disk nor
  // collides with a planned key. Does not add its key.
  Placement free_name(const std::filesystem::path& out, const std::string& key, bool in_subfolder) {
    const NameParts parts(out.filename().native());
    std::uint64_t& unplanned_from = next_by_key_.try_emplace(key, 2).first->second;
    std::uint64_t& path_next = next_by_path_.try_emplace(native_bytes(out), 2).first->second;

    std::uint64_t n = std::max(unplanned_from, path_next);
    bool at_frontier = n == unplanned_from;
    for (;; ++n) {
      std::filesystem::path candidate = out;
      candidate.replace_filename(parts.numbered(n));
      std::string candidate_key = collision_key(candidate);
      if (planned_.contains(candidate_key)) {
        if (at_frontier) unplanned_from = n + 1;
        continue;
      }
      if (!disk_.exists(candidate, in_subfolder)) {
        // The caller plans this key at once, so the frontier may pass it.
        if (at_frontier) unplanned_from = n + 1;
        path_next = n + 1;
        return {std::move(candidate), std::move(candidate_key)};
      }
      at_frontier = false;
    }
  }

 private:
  DiskProbe& disk_;
  KeySet planned_;
  CounterMap next_by_key_;
  CounterMap next_by_path_;
};

// The folders the plan makes: directory entries and the folders above every
// entry. Their collision keys go into the name table before any file is
// named, so that no file is planned where a folder will be.
class PlannedFolders {
 public:
  explicit PlannedFolders(SipHashKey hash_key) : seen_(0, KeyedTextHash(hash_key)) {}

  // `out` is the entry's checked output path.
  void add(const Entry& entry, const std::filesystem::path& out, NameTable& names) {
    const std::string_view folder = stored_folder(entry);
    // Entries of one folder mostly follow each other.
    if (folder.empty() || folder == last_) return;
    last_ = folder;
    if (!seen_.emplace(folder).second) return;
    // Each '/' of the stored path is one separator at the end of `out`, so
    // the folders are `out` cut at its last separators, the deepest first.
    // A folder already planned has every folder above it planned too.
    const NativeName& text = out.native();
    std::size_t end = text.size();
    if (entry.kind != EntryKind::Dir) end = text.rfind(std::filesystem::path::preferred_separator);
    for (std::size_t above = std::count(folder.begin(), folder.end(), '/');; --above) {
      std::string key = collision_key(std::filesystem::path(text.substr(0, end)));
      if (names.planned(key)) return;
      names.add(std::move(key));
      if (above == 0) return;
      end = text.rfind(std::filesystem::path::preferred_separator, end - 1);
    }
  }

 private:
  std::unordered_set<std::string, KeyedTextHash> seen_;  // stored folder paths, as given
  std::string_view last_;                                 // the last one, in the caller's entries
};

Result<SipHashKey> draw_hash_key() {
  std::array<std::uint8_t, 16> seed{};
  if (const auto drawn = platform::random_bytes(seed); !drawn)
    return std::unexpected(ArchiveError::message(texts::random_generator_failure(drawn.error())));
  return SipHashKey::from_bytes(seed);
}

// Creates the plan's directories in list order, each with its missing
// ancestors, below the destination's handle: a directory entry's own path, a
// file entry's folder.
Result<void> create_directory_tree(const std::vector<Entry>& entries, const ExtractionPlan& plan,
                                   SipHashKey hash_key) {
  FolderWalk walk(plan.destination);
  KeySet made(0, KeyedTextHash(hash_key));
  for (const Entry& entry : entries) {
    const std::string_view folder = stored_folder(entry);
    if (folder.empty() || !made.emplace(folder).second) continue;
    if (auto entered = walk.enter(folder, entry.path, true); !entered) return std::unexpected(std::move(entered.error()));
  }
  return {};
}

}  // namespace

std::string collision_key(const std::filesystem::path& output_path) {
  return lowercase_utf8(platform::path_to_utf8(output_path));
}

Result<ExtractionPlan> plan_extraction(const std::filesystem::path& destination, const std::vector<Entry>& entries) {
  const Result<SipHashKey> hash_key = draw_hash_key();
  if (!hash_key) return std::unexpected(hash_key.error());

  // Every path is checked, and every folder the plan makes is known, before
  // any file is named: a folder keeps its path, so a file that a folder
  // would take, wherever the two stand in the list, is the one renamed.
  ExtractionPlan plan;
  plan.output_paths.reserve(entries.size());
  DiskProbe disk(destination, *hash_key);
  NameTable names(disk, *hash_key, entries.size());
  PlannedFolders folders(*hash_key);
  for (const Entry& entry : entries) {
    Result<std::filesystem::path> checked = check_entry_path(entry.path, destination);
    if (!checked) return std::unexpected(std::move(checked.error()));
    if (has_suspicious_character(entry.path)) plan.suspicious_names.push_back(entry.path);
    if (auto needed = disk.check_folders(entry, *checked); !needed) return std::unexpected(std::move(needed.error()));
    folders.add(entry, *checked, names);
    plan.output_paths.emplace_back(std::move(*checked));
  }

  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    if (entry.kind != EntryKind::File) continue;
    Placement placed{std::move(*plan.output_paths[i]), {}};
    placed.key = collision_key(placed.path);
    const bool in_subfolder = entry.path.find('/') != std::string::npos;
    if (names.taken(placed.path, placed.key, in_subfolder)) {
      placed = names.free_name(placed.path, placed.key, in_subfolder);
      plan.renames.push_back(Rename{entry.path, platform::path_to_utf8(placed.path)});
    }
    names.add(std::move(placed.key));
    plan.output_paths[i] = std::move(placed.path);
  }

  auto opened = platform::Directory::open(destination);
  if (!opened) return std::unexpected(ArchiveError::io(std::move(opened.error())));
  plan.destination = std::move(*opened);
  if (auto tree = create_directory_tree(entries, plan, *hash_key); !tree) return std::unexpected(std::move(tree.error()));

  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].kind == EntryKind::File) plan.file_order.push_back(i);
  return plan;
}

}  // namespace quarn

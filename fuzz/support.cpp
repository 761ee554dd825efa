#include "fuzz/support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/crypto/hash.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"

namespace quarn::fuzz {
namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path path;
  Scratch() {
    path = fs::temp_directory_path() / ("quarn-fuzz-" + std::to_string(::getpid()));
    wipe(path);
    fs::create_directories(path);
  }
  ~Scratch() { wipe(path); }
};

}  // namespace

const fs::path& scratch_dir() {
  static Scratch scratch;
  return scratch.path;
}

void write_bytes(const fs::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  check(static_cast<bool>(out), "the scratch file could be written");
}

void wipe(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return;
  if (fs::is_directory(fs::symlink_status(path, ec))) {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path, ec);
  check(!fs::exists(fs::symlink_status(path, ec)), "the scratch folder could be wiped");
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool crude_path_safe(std::string_view entry_path) {
  if (entry_path.empty() || entry_path.front() == '/') return false;
  if (entry_path.find('\\') != std::string_view::npos || entry_path.find('\0') != std::string_view::npos)
    return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = entry_path.find('/', start);
    const std::string_view component = entry_path.substr(start, slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

TreeCounts count_tree(const fs::path& root) {
  TreeCounts counts;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const auto status = it->symlink_status(ec);
    if (fs::is_symlink(status)) {
      ++counts.links;
    } else if (fs::is_directory(status)) {
      ++counts.directories;
    } else if (fs::is_regular_file(status)) {
      ++counts.files;
      counts.file_bytes += it->file_size(ec);
    } else {
      ++counts.other;
    }
  }
  check(!ec, "the extracted tree could be listed");
  return counts;
}

std::optional<std::uint64_t> repair_header_tag(std::vector<std::uint8_t>& s) {
  if (s.size() < format::header_fixed_size) return std::nullopt;
  Header h;
  h.version = load_le<std::uint16_t>(&s[8]);
  h.flags = load_le<std::uint16_t>(&s[10]);
  h.mode = static_cast<EncryptionMode>(s[12]);
  h.compression = s[13];
  h.byte14 = s[14];
  h.block_size = load_le<std::uint32_t>(&s[16]);
  if (s[20] == format::kdf_present)
    h.argon2 = Argon2Params{load_le<std::uint32_t>(&s[24]), load_le<std::uint32_t>(&s[28]),
                            load_le<std::uint32_t>(&s[32])};
  std::copy_n(&s[36], h.argon2_salt.size(), h.argon2_salt.begin());
  std::copy_n(&s[68], h.hkdf_salt.size(), h.hkdf_salt.begin());
  std::size_t tag_at = format::header_fixed_size;
  if (h.version >= format::version_2) {
    if (s.size() < tag_at + 4) return std::nullopt;
    const std::uint32_t l = load_le<std::uint32_t>(&s[tag_at]);
    if (l > format::max_extension_length || s.size() - tag_at - 4 < l) return std::nullopt;
    h.extensions.assign(s.begin() + static_cast<std::ptrdiff_t>(tag_at + 4),
                        s.begin() + static_cast<std::ptrdiff_t>(tag_at + 4 + l));
    tag_at += 4 + l;
  }
  if (s.size() - tag_at < format::header_tag_size) return std::nullopt;
  const auto tag = crypto::sha512(h.canonical_bytes());
  std::copy(tag.begin(), tag.end(), s.begin() + static_cast<std::ptrdiff_t>(tag_at));
  return tag_at + format::header_tag_size;
}

std::optional<std::uint64_t> repair_frames(std::vector<std::uint8_t>& s, std::uint64_t header_length,
                                           bool stored_lengths) {
  if (s.size() < format::footer_size) return std::nullopt;
  const std::uint64_t end = s.size() - format::footer_size;
  std::optional<std::uint64_t> last;
  std::uint64_t at = header_length;
  while (at <= end && end - at >= format::frame_header_size) {
    auto raw = std::span(s).subspan(at).first<format::frame_header_size>();
    FrameHeader h = FrameHeader::decode(raw);
    if (end - at - format::frame_header_size < h.stored_length) break;
    if (stored_lengths && h.stored()) h.plain_length = h.stored_length;
    h.crc = frame_crc(h, std::span(s).subspan(at + format::frame_header_size, h.stored_length));
    const auto encoded = h.encode();
    std::copy(encoded.begin(), encoded.end(), raw.begin());
    last = at;
    at += format::frame_header_size + h.stored_length;
  }
  return last;
}

void repair_footer(std::vector<std::uint8_t>& s, std::optional<std::uint64_t> filelist_offset) {
  if (s.size() < format::footer_size) return;
  auto tail = std::span(s).last<format::footer_size>();
  SfxFooter footer{load_le<std::uint64_t>(&tail[8]), s.size()};
  if (filelist_offset) footer.filelist_offset = *filelist_offset;
  const auto encoded = encode_footer(footer);
  std::copy(encoded.begin(), encoded.end(), tail.begin());
}

}  // namespace quarn::fuzz

// The file list: parse_manifest on the JSON text (an accepted one nests at
// most 8 deep; a refusal's message stays short), check_manifest against the
// frames, the path checks extraction makes of every entry (check_entry_path,
// collision_key), and load_manifest over a plain archive built around the
// same text, once stored and once compressed.
//
// Input: the JSON text itself.
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/entry_path.h"
#include "core/archive/extraction_plan.h"
#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/archive/load_manifest.h"
#include "core/archive/manifest.h"
#include "core/crypto/hash.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"
#include "core/volumes/volume_set.h"
#include "fuzz/support.h"

namespace {

using namespace quarn;
using quarn::fuzz::check;
namespace fs = std::filesystem;

constexpr std::uint32_t block_size = 4u << 20;

// The same rules as check_manifest, counted in 128 bits.
bool tiles(const Manifest& m, std::uint64_t filelist_index, std::uint32_t block) {
  if (m.format != "quarn" || m.data_frames != filelist_index) return false;
  unsigned __int128 next = 0;
  for (const Entry& e : m.entries) {
    if (e.kind == EntryKind::Dir) continue;
    if (e.first_frame != next || !e.sha256) return false;
    if (e.size > static_cast<unsigned __int128>(e.frames) * block) return false;
    if (e.size > 0 && e.frames == 0) return false;
    next += e.frames;
    if (next > UINT64_MAX) return false;
  }
  return next == m.data_frames;
}

bool same(const Manifest& a, const Manifest& b) {
  if (a.format != b.format || a.version != b.version || a.created_unix != b.created_unix || a.tool != b.tool ||
      a.data_frames != b.data_frames || a.total_size != b.total_size || a.entries.size() != b.entries.size())
    return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const Entry& x = a.entries[i];
    const Entry& y = b.entries[i];
    if (x.path != y.path || x.kind != y.kind || x.size != y.size || x.attributes != y.attributes ||
        x.created != y.created || x.modified != y.modified || x.sha256 != y.sha256 ||
        x.first_frame != y.first_frame || x.frames != y.frames || x.offset != y.offset)
      return false;
  }
  return true;
}

void check_paths(const Manifest& m) {
  const fs::path destination = "dest";
  for (const Entry& e : m.entries) {
    auto out = check_entry_path(e.path, destination);
    if (!out) {
      check(out.error().kind() == ErrorKind::UnsafePath && out.error().detail() == e.path,
            "a refused path is UnsafePath with the stored path");
      continue;
    }
    check(fuzz::crude_path_safe(e.path), "an accepted path has no empty, '.' or '..' component");
    std::size_t components = 0;
    auto part = out->begin();
    check(part != out->end() && *part == destination, "the output path starts at the destination");
    for (++part; part != out->end(); ++part) {
      check(!part->empty() && *part != "." && *part != ".." && *part != "/", "an output component stays put");
      ++components;
    }
    const std::size_t stored_components =
        static_cast<std::size_t>(std::count(e.path.begin(), e.path.end(), '/')) + 1;
    check(components == stored_components, "one output component per stored component");
    (void)collision_key(*out);
  }
}

// How deep arrays and objects nest in a JSON text, strings skipped.
std::size_t nesting(std::string_view json) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::vector<std::uint8_t> archive_around(std::string_view json, std::uint64_t filelist_index, bool compress) {
  Header h;
  h.version = format::version_2;
  h.compression = 1;
  h.block_size = block_size;
  h.header_tag = crypto::sha512(h.canonical_bytes());
  std::vector<std::uint8_t> out = h.canonical_bytes();
  out.insert(out.end(), h.header_tag.begin(), h.header_tag.end());
  const std::uint64_t filelist_offset = out.size();

  std::vector<std::uint8_t> payload(json.begin(), json.end());
  if (compress) {
    payload.resize(ZSTD_compressBound(json.size()));
    const std::size_t n = ZSTD_compress(payload.data(), payload.size(), json.data(), json.size(), 1);
    check(!ZSTD_isError(n), "the text compresses");
    payload.resize(n);
  }
  FrameHeader frame;
  frame.kind = format::frame_kind_file_list;
  frame.flags = compress ? 0 : format::frame_flag_stored;
  frame.index = filelist_index;
  frame.plain_length = static_cast<std::uint32_t>(json.size());
  frame.stored_length = static_cast<std::uint32_t>(payload.size());
  frame.crc = frame_crc(frame, payload);
  const auto encoded = frame.encode();
  out.insert(out.end(), encoded.begin(), encoded.end());
  out.insert(out.end(), payload.begin(), payload.end());
  const auto footer = encode_footer({filelist_offset, out.size() + format::footer_size});
  out.insert(out.end(), footer.begin(), footer.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  auto parsed = parse_manifest(json);
  bool consistent = false;
  if (parsed) {
    for (const std::uint32_t block : {std::uint32_t{1}, block_size, format::max_block_size}) {
      const bool ok = check_manifest(*parsed, parsed->data_frames, block).has_value();
      check(ok == tiles(*parsed, parsed->data_frames, block), "check_manifest agrees with the 128-bit count");
      if (block == block_size) consistent = ok;
    }
    if (parsed->data_frames != UINT64_MAX)
      check(!check_manifest(*parsed, parsed->data_frames + 1, block_size), "a wrong file-list index is refused");
    check_paths(*parsed);
    check(nesting(json) <= 8, "an accepted list nests at most 8 deep");
  } else {
    check(parsed.error().kind() == ErrorKind::Corrupt, "a bad file list is Corrupt");
    check(parsed.error().detail().size() <= 384, "a message quotes little of the text");
  }

  const fs::path file = fuzz::scratch_dir() / "manifest.qrn";
  for (const bool compress : {false, true}) {
    fuzz::write_bytes(file, archive_around(json, parsed ? parsed->data_frames : 0, compress));
    auto volumes = VolumeSet::open(file);
    check(volumes.has_value(), "an existing file opens");
    auto header = Header::read(*volumes);
    check(header.has_value(), "the wrapping header reads");
    auto loaded = load_manifest(*volumes, *header, plain_cipher());
    check(loaded.has_value() == consistent, "load_manifest accepts exactly the consistent lists");
    if (loaded) {
      check(same(loaded->manifest, *parsed), "load_manifest gives the parsed list");
      check(loaded->filelist_offset == header->length(), "the file list follows the header");
    } else if (!parsed) {
      check(loaded.error().kind() == parsed.error().kind() && loaded.error().detail() == parsed.error().detail(),
            "load_manifest reports the parser's error");
    }
  }
  return 0;
}

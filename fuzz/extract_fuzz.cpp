// Whole-archive extraction of plain archives, as the self-extractor's job
// does it: VolumeSet, Header::read, derive_keys, load_manifest, then the
// pipeline's extract() into a throw-away folder that is wiped after every
// input. Encrypted headers stop after Header::read (they need a password).
//
// Input: a control byte, then the archive stream.
//   bit 0  recompute the plain header's SHA-512 tag
//   bit 1  recompute every frame's CRC-32C (walking frames by stored length)
//   bit 2  with bit 1: set plain_length = stored_length on stored frames
//   bit 3  rewrite the footer: length, CRC, and the last frame as file list
//   bit 4  verify only (extract writes nothing)
//   bit 5  two decoding workers instead of one
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/archive/entry_path.h"
#include "core/archive/header.h"
#include "core/archive/load_manifest.h"
#include "core/crypto/key_derivation.h"
#include "core/pipeline/extract.h"
#include "core/volumes/volume_set.h"
#include "fuzz/support.h"

namespace {

using namespace quarn;
using quarn::fuzz::check;
namespace fs = std::filesystem;

// Only the archive and the destination may exist in the scratch folder, and
// the destination holds nothing but files and folders.
void check_nothing_outside(const fs::path& scratch, const fs::path& archive, const fs::path& destination) {
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(scratch, ec))
    check(item.path() == archive || item.path() == destination, "nothing is written beside the destination");
  check(!ec, "the scratch folder can be listed");
  const auto counts = fuzz::count_tree(destination);
  check(counts.links == 0 && counts.other == 0, "extraction makes only files and folders");
}

void run(std::vector<std::uint8_t> stream, std::uint8_t control) {
  std::optional<std::uint64_t> header_length;
  if (control & 1) header_length = fuzz::repair_header_tag(stream);
  std::optional<std::uint64_t> last_frame;
  if ((control & 2) && header_length) last_frame = fuzz::repair_frames(stream, *header_length, control & 4);
  if (control & 8) fuzz::repair_footer(stream, last_frame);

  const fs::path scratch = fuzz::scratch_dir();
  const fs::path archive = scratch / "archive.qrn";
  const fs::path destination = scratch / "out";
  fuzz::write_bytes(archive, stream);

  auto opened = VolumeSet::open(archive);
  check(opened.has_value(), "an existing file opens");
  std::optional<VolumeSet> volumes(std::move(*opened));
  auto header = Header::read(*volumes);
  if (!header || header->encrypted()) return;
  auto cipher = derive_keys(key_material(*header), nullptr, SecondFactorOptions{});
  check(cipher.has_value() && cipher->layer_count() == 0, "a plain header needs no keys");
  auto loaded = load_manifest(*volumes, *header, *cipher);
  if (!loaded) return;
  volumes.reset();  // the pipeline's reader opens the archive again

  const Manifest& manifest = loaded->manifest;
  bool refused = false;
  std::uint64_t files = 0, directories = 0, listed_bytes = 0;
  for (const Entry& e : manifest.entries) {
    if (auto path = check_entry_path(e.path, destination)) {
      check(fuzz::crude_path_safe(e.path), "an accepted path has no empty, '.' or '..' component");
    } else {
      refused = true;
    }
    if (e.kind == EntryKind::File) {
      ++files;
      listed_bytes += e.size;
    } else {
      ++directories;
    }
  }

  const bool verify_only = control & 16;
  ExtractOptions options;
  options.workers = (control & 32) ? 2 : 1;
  options.verify_only = verify_only;
  const std::atomic<bool> cancel{false};
  const ArchiveSource source{archive, *header, loaded->digest, *cipher, manifest, loaded->filelist_offset};
  auto report = extract(source, destination, cancel, options);

  if (verify_only) {
    check(!fs::exists(destination), "verification creates nothing");
  } else {
    check_nothing_outside(scratch, archive, destination);
  }
  if (refused) {
    check(!report && report.error().kind() == ErrorKind::UnsafePath, "an unsafe path stops extraction");
    if (!verify_only) check(fuzz::count_tree(destination).files == 0, "an unsafe path stops before any file");
  }
  if (!report) return;

  check(report->files_completed == files, "every file is completed");
  check(report->files_verified + report->mismatches.size() == files, "every file is verified or reported");
  check(report->directories == directories, "every folder is counted");
  if (report->mismatches.empty())
    check(report->bytes_written == listed_bytes, "verified files have the sizes the list gives");
  if (!verify_only) {
    const auto counts = fuzz::count_tree(destination);
    check(counts.files == files, "one file on disk per file entry");
    check(counts.file_bytes == report->bytes_written, "every byte written is in a file");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  run(std::vector<std::uint8_t>(data + 1, data + size), data[0]);
  fuzz::wipe(fuzz::scratch_dir() / "out");
  return 0;
}

// The container: VolumeSet over one to three part files and the footer
// checks (parse_footer, check_footer), including the detection of a program
// before the archive and of a code signature after it: a damaged signature
// area is the one reason a set of existing parts does not open, and nothing
// from a signature on is ever read.
//
// Input: a control byte, two 16-bit part lengths, a 16-bit header length for
// check_footer, then the stream, which is cut into the parts. Control bits
// 0-1: parts (0 and 1 mean one); bit 2: a lone part is named "a.qrn" rather
// than "a.001"; bits 3-4: which part's name is opened.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "core/error/detail_texts.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"
#include "core/volumes/volume_set.h"
#include "fuzz/support.h"

namespace {

using namespace quarn;
using quarn::fuzz::check;
namespace fs = std::filesystem;

constexpr std::size_t prefix_size = 7;

// Data directory 4 (the certificate table's offset and size) of a PE
// program, found the plain way; nullopt when `file` has no PE headers that
// hold it.
std::optional<std::pair<std::uint32_t, std::uint32_t>> certificate_directory(const std::vector<std::uint8_t>& file) {
  if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') return std::nullopt;
  const std::uint64_t pe = load_le<std::uint32_t>(&file[0x3C]);
  const std::uint64_t optional_header = pe + 24;
  if (optional_header + 2 > file.size() || !std::equal(file.begin() + static_cast<std::ptrdiff_t>(pe),
                                                       file.begin() + static_cast<std::ptrdiff_t>(pe + 4), "PE\0\0"))
    return std::nullopt;
  const std::uint16_t magic = load_le<std::uint16_t>(&file[optional_header]);
  if (magic != 0x10B && magic != 0x20B) return std::nullopt;
  const std::uint64_t count_at = optional_header + (magic == 0x20B ? 108 : 92);
  const std::uint64_t directory = count_at + 4 + 4 * 8;
  if (directory + 8 > file.size() || load_le<std::uint32_t>(&file[count_at]) < 5 ||
      load_le<std::uint16_t>(&file[pe + 20]) < directory + 8 - optional_header)
    return std::nullopt;
  return std::pair{load_le<std::uint32_t>(&file[directory]), load_le<std::uint32_t>(&file[directory + 4])};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < prefix_size) return 0;
  const std::uint8_t control = data[0];
  const std::size_t parts = std::max(1, control & 3);
  const std::uint64_t header_length = load_le<std::uint16_t>(data + 5);
  const std::vector<std::uint8_t> stream(data + prefix_size, data + size);

  // Cut points: the first parts take the given lengths as far as they go.
  std::vector<std::vector<std::uint8_t>> contents;
  std::size_t at = 0;
  for (std::size_t i = 0; i < parts; ++i) {
    std::size_t n = stream.size() - at;
    if (i + 1 < parts) n = std::min<std::size_t>(n, load_le<std::uint16_t>(data + 1 + 2 * i));
    contents.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                          stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }

  const fs::path dir = fuzz::scratch_dir() / "parts";
  fuzz::wipe(dir);
  fs::create_directories(dir);
  const bool single_name = parts == 1 && (control & 4);
  std::vector<fs::path> names;
  for (std::size_t i = 0; i < parts; ++i) {
    const std::string number = std::to_string(1000 + i + 1).substr(1);
    names.push_back(dir / (single_name ? std::string("a.qrn") : "a." + number));
    fuzz::write_bytes(names.back(), contents[i]);
  }
  const fs::path& opened_name = names[((control >> 3) & 3) % parts];

  auto volumes = VolumeSet::open(opened_name);
  if (!volumes) {
    const std::vector<std::uint8_t>& named = contents[((control >> 3) & 3) % parts];
    check(volumes.error().kind() == ErrorKind::Corrupt && volumes.error().detail() == texts::signature_area_damaged,
          "an existing set of parts opens unless a signature area is damaged");
    check(named.size() >= 2 && named[0] == 'M' && named[1] == 'Z', "only a program has a signature area");
    fuzz::wipe(dir);
    return 0;
  }
  check(volumes->part_count() == parts, "every part is found");
  check(volumes->position() == 0, "the position starts at 0");
  const std::uint64_t start = volumes->start_offset();
  const std::uint64_t end = start + volumes->archive_len();
  check(start <= end && end <= stream.size(), "the archive lies inside the stream");
  const auto& signature = volumes->code_signature();
  if (!signature) check(end == stream.size(), "only a signature is left unread at the end");
  if (parts == 1) {
    const auto directory = certificate_directory(stream);
    check(!directory || (directory->first == 0 && directory->second == 0) || signature,
          "a program whose certificate directory is set is never read as unsigned");
  }
  if (start > 0 && parts == 1) {
    check(stream[0] == 'M' && stream[1] == 'Z', "only a program has an archive appended");
    check(start + format::header_magic.size() <= stream.size() &&
              std::equal(format::header_magic.begin(), format::header_magic.end(),
                         stream.begin() + static_cast<std::ptrdiff_t>(start)),
          "a detected archive starts with the header magic");
  }
  if (signature && parts == 1) {
    check(signature->offset + signature->length == stream.size(), "the signature ends the file");
    check(signature->length >= 8, "a signature holds at least one entry");
    check(end <= signature->offset, "the archive ends before the signature");
    if (start == 0) check(end == signature->offset, "without an archive the program ends at the signature");
    check(signature->offset - end <= 7 &&
              std::all_of(stream.begin() + static_cast<std::ptrdiff_t>(end),
                          stream.begin() + static_cast<std::ptrdiff_t>(signature->offset),
                          [](std::uint8_t b) { return b == 0; }),
          "at most 7 zero bytes lie between the archive and the signature");
  }

  // Reading the whole archive in small pieces gives the stream after the start.
  std::vector<std::uint8_t> read_back;
  std::array<std::uint8_t, 61> buffer{};
  for (;;) {
    auto got = volumes->read(buffer);
    check(got.has_value(), "reading the parts works");
    if (*got == 0) break;
    read_back.insert(read_back.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*got));
  }
  check(read_back.size() == volumes->archive_len() &&
            std::equal(read_back.begin(), read_back.end(), stream.begin() + static_cast<std::ptrdiff_t>(start)),
        "the parts read as one stream");
  volumes->set_position(volumes->archive_len() + 1);
  auto past = volumes->read(buffer);
  check(past.has_value() && *past == 0, "nothing is read past the end");

  // The footer on its own: a valid one survives encoding, reserved bytes aside.
  if (stream.size() >= format::footer_size) {
    std::array<std::uint8_t, format::footer_size> tail{};
    std::copy(stream.end() - format::footer_size, stream.end(), tail.begin());
    if (auto footer = parse_footer(tail)) {
      const auto encoded = encode_footer(*footer);
      check(std::equal(encoded.begin(), encoded.begin() + 28, tail.begin()), "a parsed footer encodes back");
    }
  }

  volumes->set_position(0);
  if (auto footer = check_footer(*volumes, header_length)) {
    const std::uint64_t a = volumes->archive_len();
    check(footer->archive_length == a, "the footer's length is the archive's");
    check(footer->filelist_offset >= header_length && footer->filelist_offset + format::min_tail <= a,
          "the file list lies between the header and the footer");
    check(volumes->position() == footer->filelist_offset, "the position is left at the file list");
  }
  fuzz::wipe(dir);
  return 0;
}

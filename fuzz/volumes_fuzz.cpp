// The container: VolumeSet over one to three part files and the footer
// checks (parse_footer, check_footer), including the detection of a program
// before the archive and of a code signature after it.
//
// Input: a control byte, two 16-bit part lengths, a 16-bit header length for
// check_footer, then the stream, which is cut into the parts. Control bits
// 0-1: parts (0 and 1 mean one); bit 2: a lone part is named "a.qrn" rather
// than "a.001"; bits 3-4: which part's name is opened.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

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
  check(volumes.has_value(), "an existing set of parts opens");
  check(volumes->part_count() == parts, "every part is found");
  check(volumes->position() == 0, "the position starts at 0");
  const std::uint64_t start = volumes->start_offset();
  const std::uint64_t end = start + volumes->archive_len();
  check(start <= end && end <= stream.size(), "the archive lies inside the stream");
  const auto& signature = volumes->code_signature();
  if (!signature) check(end == stream.size(), "only a signature is left unread at the end");
  if (start > 0 && parts == 1) {
    check(stream[0] == 'M' && stream[1] == 'Z', "only a program has an archive appended");
    check(start + format::header_magic.size() <= stream.size() &&
              std::equal(format::header_magic.begin(), format::header_magic.end(),
                         stream.begin() + static_cast<std::ptrdiff_t>(start)),
          "a detected archive starts with the header magic");
  }
  if (signature) {
    check(start > 0, "a signature is honoured only after a detected archive");
    if (parts == 1) {
      check(signature->offset + signature->length == stream.size(), "the signature ends the file");
      check(end <= signature->offset && signature->offset - end <= 7 &&
                std::all_of(stream.begin() + static_cast<std::ptrdiff_t>(end),
                            stream.begin() + static_cast<std::ptrdiff_t>(signature->offset),
                            [](std::uint8_t b) { return b == 0; }),
            "at most 7 zero bytes lie between the archive and the signature");
    }
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

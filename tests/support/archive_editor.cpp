#include "tests/support/archive_editor.h"

#include "core/volumes/footer.h"

namespace quarn::test {

EditableArchive EditableArchive::parse(const std::vector<std::uint8_t>& stream, std::size_t header_length) {
  EditableArchive a;
  a.header.assign(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(header_length));
  std::size_t at = header_length;
  const std::size_t end = stream.size() - format::footer_size;
  while (at < end) {
    std::span<const std::uint8_t, format::frame_header_size> raw(stream.data() + at, format::frame_header_size);
    Frame frame{FrameHeader::decode(raw), {}};
    at += format::frame_header_size;
    frame.payload.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(at + frame.header.stored_length));
    at += frame.header.stored_length;
    a.frames.push_back(std::move(frame));
  }
  return a;
}

std::vector<std::uint8_t> EditableArchive::bytes() const {
  std::vector<std::uint8_t> out = header;
  std::uint64_t filelist_offset = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i + 1 == frames.size()) {
      out.insert(out.end(), between.begin(), between.end());
      filelist_offset = out.size();
    }
    const auto head = frames[i].header.encode();
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), frames[i].payload.begin(), frames[i].payload.end());
  }
  out.insert(out.end(), after.begin(), after.end());
  const auto footer = encode_footer({filelist_offset, out.size() + format::footer_size});
  out.insert(out.end(), footer.begin(), footer.end());
  return out;
}

void EditableArchive::recompute_crc(Frame& frame) { frame.header.crc = frame_crc(frame.header, frame.payload); }

}  // namespace quarn::test

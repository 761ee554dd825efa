// Splits an archive stream into its header, frames and footer so that tests
// can drop, insert or alter pieces and put the stream back together with a
// footer that matches the new layout.
#pragma once

#include <cstdint>
#include <vector>

#include "core/archive/frame.h"

namespace quarn::test {

struct EditableArchive {
  std::vector<std::uint8_t> header;   // H bytes
  std::vector<Frame> frames;          // data frames, then the file-list frame last
  std::vector<std::uint8_t> between;  // bytes to put before the file-list frame
  std::vector<std::uint8_t> after;    // bytes to put after the file-list frame, before the footer

  // Parses a well-formed stream of `header_length` header bytes.
  static EditableArchive parse(const std::vector<std::uint8_t>& stream, std::size_t header_length);

  // The stream with a fresh footer. CRCs are kept as they are; call
  // recompute_crc for frames whose header or payload you changed.
  std::vector<std::uint8_t> bytes() const;

  Frame& file_list() { return frames.back(); }
  static void recompute_crc(Frame& frame);
};

}  // namespace quarn::test

// Frames: the 24-byte stored frame header, its CRC-32C, reading one frame,
// the sequential reader of data frames and the decoder that turns a stored
// frame back into its plain data.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/archive/header.h"
#include "core/crypto/frame_cipher.h"
#include "core/error/archive_error.h"
#include "core/volumes/format.h"
#include "core/volumes/volume_set.h"

namespace quarn {

struct FrameHeader {
  std::uint8_t kind = 0;
  std::uint8_t flags = 0;
  std::uint64_t index = 0;
  std::uint32_t plain_length = 0;
  std::uint32_t stored_length = 0;
  std::uint32_t crc = 0;

  // Bytes 2 and 3 are reserved: ignored on reading, written as zero.
  static FrameHeader decode(std::span<const std::uint8_t, format::frame_header_size> bytes);
  std::array<std::uint8_t, format::frame_header_size> encode() const;

  bool stored() const { return (flags & format::frame_flag_stored) != 0; }
  FrameId id() const { return FrameId{index, kind}; }
  FrameAad aad(const HeaderDigest& digest) const;
};

// CRC-32C over kind, flags, two zero bytes, index, plain_length,
// stored_length, then the payload.
std::uint32_t frame_crc(const FrameHeader& header, std::span<const std::uint8_t> payload);

struct Frame {
  FrameHeader header;
  std::vector<std::uint8_t> payload;
};

// Reads the frame at the current position (the file-list frame): its header,
// a stored_length of at most 512 MiB + 64, and its payload.
Result<Frame> read_frame(VolumeSet& volumes);

// Reads data frames 0..count-1 in order from offset H over a VolumeSet of its
// own, through an 8 MiB buffer, checking each frame's kind, index and size
// limits, and at the end that the data stops exactly at the file list.
class DataFrameReader {
 public:
  DataFrameReader(VolumeSet volumes, const Header& header, std::uint64_t data_frames,
                  std::uint64_t filelist_offset);

  // The next frame, or nullopt once all frames were read and the end offset
  // checked. The payload is read into `reuse` when given: a buffer of an
  // earlier frame keeps its memory, so it is neither zero-filled nor faulted
  // in again.
  Result<std::optional<Frame>> next(std::vector<std::uint8_t> reuse = {});

 private:
  Result<void> fill(std::span<std::uint8_t> out);

  VolumeSet volumes_;
  std::vector<std::uint8_t> buffer_;
  std::size_t buffer_at_ = 0;
  std::size_t buffer_end_ = 0;
  std::uint64_t offset_;
  std::uint64_t next_index_ = 0;
  std::uint64_t count_;
  std::uint64_t filelist_offset_;
  std::uint32_t block_size_;
  std::uint32_t tag_overhead_;
};

// Turns stored frames into plain data: CRC first, then decryption, then
// Zstandard into a buffer of exactly plain_length bytes, then the length
// check. One per thread: it owns its cipher handles and decompression context.
class FrameDecoder {
 public:
  enum class Messages { DataFrame, FileList };

  FrameDecoder(const FrameCipher& cipher, const HeaderDigest& digest, Messages messages = Messages::DataFrame);
  FrameDecoder(FrameDecoder&&) noexcept;
  FrameDecoder& operator=(FrameDecoder&&) noexcept;
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;
  ~FrameDecoder();

  // Creates the decompression context up front (decode would create it on
  // first use); Io when the library cannot.
  Result<void> prepare();

  // `capacity_limit` bounds the decompression buffer below plain_length
  // (the file list's 512 MiB cap).
  Result<std::vector<std::uint8_t>> decode(Frame frame, std::uint32_t capacity_limit = UINT32_MAX);

  // The same, reusing buffers: a compressed frame is decompressed into
  // `spare` (moved out), and its stored payload stays in `frame` for the
  // caller to reuse; a stored frame's payload is returned and `spare` kept.
  Result<std::vector<std::uint8_t>> decode_reusing(Frame& frame, std::vector<std::uint8_t>& spare,
                                                   std::uint32_t capacity_limit = UINT32_MAX);

 private:
  FrameDecryptor decryptor_;
  HeaderDigest digest_;
  Messages messages_;
  void* dctx_ = nullptr;  // ZSTD_DCtx
};

}  // namespace quarn

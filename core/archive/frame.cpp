#include "core/archive/frame.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <string>

#include "core/error/detail_texts.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/crc32c.h"

namespace quarn {
namespace {

constexpr std::size_t reader_buffer_size = 8u << 20;
constexpr std::size_t crc_covered_header = 20;

ArchiveError truncated() { return ArchiveError::corrupt(std::string(texts::truncated)); }

ZSTD_DCtx* as_dctx(void* p) { return static_cast<ZSTD_DCtx*>(p); }

}  // namespace

FrameHeader FrameHeader::decode(std::span<const std::uint8_t, format::frame_header_size> b) {
  FrameHeader h;
  h.kind = b[0];
  h.flags = b[1];
  h.index = load_le<std::uint64_t>(&b[4]);
  h.plain_length = load_le<std::uint32_t>(&b[12]);
  h.stored_length = load_le<std::uint32_t>(&b[16]);
  h.crc = load_le<std::uint32_t>(&b[20]);
  return h;
}

std::array<std::uint8_t, format::frame_header_size> FrameHeader::encode() const {
  std::array<std::uint8_t, format::frame_header_size> b{};
  b[0] = kind;
  b[1] = flags;
  store_le(&b[4], index);
  store_le(&b[12], plain_length);
  store_le(&b[16], stored_length);
  store_le(&b[20], crc);
  return b;
}

FrameAad FrameHeader::aad(const HeaderDigest& digest) const {
  return make_frame_aad(digest, kind, flags, index, plain_length, stored_length);
}

std::uint32_t frame_crc(const FrameHeader& header, std::span<const std::uint8_t> payload) {
  const auto encoded = header.encode();
  return crc32c(payload, crc32c(std::span(encoded).first(crc_covered_header)));
}

Result<Frame> read_frame(VolumeSet& volumes) {
  std::array<std::uint8_t, format::frame_header_size> raw{};
  if (!read_exact(volumes, raw)) return std::unexpected(truncated());
  Frame frame{FrameHeader::decode(raw), {}};
  if (frame.header.stored_length > format::max_read_frame_stored)
    return std::unexpected(ArchiveError::corrupt(texts::frame_bad_size(frame.header.index)));
  // A payload longer than what is left could not be read anyway: say so
  // before allocating (up to 512 MiB) for it.
  if (frame.header.stored_length > volumes.archive_len() - volumes.position()) return std::unexpected(truncated());
  frame.payload.resize(frame.header.stored_length);
  if (!read_exact(volumes, frame.payload)) return std::unexpected(truncated());
  return frame;
}

DataFrameReader::DataFrameReader(VolumeSet volumes, const Header& header, std::uint64_t data_frames,
                                 std::uint64_t filelist_offset)
    : volumes_(std::move(volumes)),
      offset_(header.length()),
      count_(data_frames),
      filelist_offset_(filelist_offset),
      block_size_(header.block_size),
      tag_overhead_(tag_overhead(header.mode)) {
  volumes_.set_position(offset_);
}

Result<void> DataFrameReader::fill(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    if (buffer_at_ == buffer_end_) {
      // Large payloads go straight to their destination, small ones through the buffer.
      if (out.size() >= reader_buffer_size) {
        if (!read_exact(volumes_, out)) return std::unexpected(truncated());
        return {};
      }
      if (buffer_.empty()) {
        // No larger than what the stream still holds: a small archive gets a small buffer.
        const std::uint64_t left = volumes_.archive_len() - std::min(volumes_.position(), volumes_.archive_len());
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(reader_buffer_size, left)));
      }
      auto got = volumes_.read(buffer_);
      while (!got && got.error().interrupted) got = volumes_.read(buffer_);
      if (!got || *got == 0) return std::unexpected(truncated());
      buffer_at_ = 0;
      buffer_end_ = *got;
    }
    const std::size_t n = std::min(out.size(), buffer_end_ - buffer_at_);
    std::memcpy(out.data(), buffer_.data() + buffer_at_, n);
    buffer_at_ += n;
    out = out.subspan(n);
  }
  return {};
}

Result<std::optional<Frame>> DataFrameReader::next(std::vector<std::uint8_t> reuse) {
  if (next_index_ == count_) {
    if (offset_ != filelist_offset_)
      return std::unexpected(ArchiveError::integrity(std::string(texts::foreign_bytes_before_filelist)));
    return std::optional<Frame>{};
  }
  const std::uint64_t i = next_index_;
  std::array<std::uint8_t, format::frame_header_size> raw{};
  if (auto ok = fill(raw); !ok) return std::unexpected(std::move(ok.error()));
  Frame frame{FrameHeader::decode(raw), std::move(reuse)};
  const FrameHeader& h = frame.header;
  if (h.kind != format::frame_kind_data || h.index != i)
    return std::unexpected(ArchiveError::integrity(texts::frame_out_of_place(i)));
  if (std::uint64_t{h.stored_length} > std::uint64_t{block_size_} + tag_overhead_ || h.plain_length > block_size_)
    return std::unexpected(ArchiveError::corrupt(texts::frame_bad_size(i)));
  frame.payload.resize(h.stored_length);
  if (auto ok = fill(frame.payload); !ok) return std::unexpected(std::move(ok.error()));
  offset_ += format::frame_header_size + h.stored_length;
  ++next_index_;
  return std::optional<Frame>{std::move(frame)};
}

FrameDecoder::FrameDecoder(const FrameCipher& cipher, const HeaderDigest& digest, Messages messages)
    : decryptor_(cipher), digest_(digest), messages_(messages) {}

FrameDecoder::FrameDecoder(FrameDecoder&& other) noexcept
    : decryptor_(std::move(other.decryptor_)),
      digest_(other.digest_),
      messages_(other.messages_),
      dctx_(std::exchange(other.dctx_, nullptr)) {}

FrameDecoder& FrameDecoder::operator=(FrameDecoder&& other) noexcept {
  if (this != &other) {
    if (dctx_) ZSTD_freeDCtx(as_dctx(dctx_));
    decryptor_ = std::move(other.decryptor_);
    digest_ = other.digest_;
    messages_ = other.messages_;
    dctx_ = std::exchange(other.dctx_, nullptr);
  }
  return *this;
}

FrameDecoder::~FrameDecoder() {
  if (dctx_) ZSTD_freeDCtx(as_dctx(dctx_));
}

Result<void> FrameDecoder::prepare() {
  if (!dctx_) {
    dctx_ = ZSTD_createDCtx();
    if (!dctx_) return std::unexpected(ArchiveError::io({0, "ZSTD_createDCtx: brak pamieci", false}));
  }
  return {};
}

namespace {

// Decompresses every Zstandard frame of `in`, at most `limit` bytes, into a
// buffer that starts at what `in` can plausibly give (at most 64 times its
// size, at least 1 MiB) and doubles; nullopt on damaged data or on more than
// `limit` bytes.
std::optional<std::vector<std::uint8_t>> decompress_growing(ZSTD_DCtx* dctx, std::span<const std::uint8_t> in,
                                                            std::size_t limit) {
  constexpr std::size_t first_size = 1u << 20;
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
  std::vector<std::uint8_t> out(std::min(limit, std::max(first_size, in.size() * 64)));
  ZSTD_inBuffer input{in.data(), in.size(), 0};
  ZSTD_outBuffer output{out.data(), out.size(), 0};
  for (;;) {
    const std::size_t before_in = input.pos;
    const std::size_t before_out = output.pos;
    const std::size_t pending = ZSTD_decompressStream(dctx, &output, &input);
    if (ZSTD_isError(pending)) return std::nullopt;
    if (pending == 0 && input.pos == input.size) break;  // every frame complete
    if (output.pos == output.size) {
      if (output.size == limit) return std::nullopt;
      out.resize(std::min(limit, out.size() * 2));
      output.dst = out.data();
      output.size = out.size();
    } else if (input.pos == before_in && output.pos == before_out) {
      return std::nullopt;  // the input ended inside a frame
    }
  }
  out.resize(output.pos);
  return out;
}

}  // namespace

Result<std::vector<std::uint8_t>> FrameDecoder::decode(Frame frame, std::uint32_t capacity_limit) {
  std::vector<std::uint8_t> spare;
  return decode_reusing(frame, spare, capacity_limit);
}

Result<std::vector<std::uint8_t>> FrameDecoder::decode_reusing(Frame& frame, std::vector<std::uint8_t>& spare,
                                                               std::uint32_t capacity_limit) {
  const FrameHeader& h = frame.header;
  const bool file_list = messages_ == Messages::FileList;
  const auto corrupt = [&](std::string detail) { return std::unexpected(ArchiveError::corrupt(std::move(detail))); };

  if (frame_crc(h, frame.payload) != h.crc)
    return corrupt(file_list ? std::string(texts::filelist_checksum) : texts::frame_crc_mismatch(h.index));
  if (auto ok = decryptor_.decrypt(h.id(), h.aad(digest_), frame.payload); !ok)
    return std::unexpected(std::move(ok.error()));

  const auto bad_length = [&] {
    return corrupt(file_list ? std::string(texts::filelist_length) : texts::frame_bad_length(h.index));
  };
  if (h.stored()) {
    if (frame.payload.size() != h.plain_length) return bad_length();
    return std::move(frame.payload);
  }

  if (auto ready = prepare(); !ready) return std::unexpected(std::move(ready.error()));
  if (file_list) {
    // The file list may claim up to 512 MiB: its buffer grows with what the
    // compressed bytes really give, so a few hundred bytes cannot make the
    // reader allocate and zero that much before the length check fails.
    auto plain = decompress_growing(as_dctx(dctx_), frame.payload, std::min(h.plain_length, capacity_limit));
    if (!plain) return corrupt(std::string(texts::filelist_decompression));
    if (plain->size() != h.plain_length) return bad_length();
    return std::move(*plain);
  }
  std::vector<std::uint8_t> plain = std::move(spare);
  spare.clear();
  plain.resize(std::min(h.plain_length, capacity_limit));
  const std::size_t n = ZSTD_decompressDCtx(as_dctx(dctx_), plain.data(), plain.size(), frame.payload.data(),
                                            frame.payload.size());
  if (ZSTD_isError(n))
    return corrupt(file_list ? std::string(texts::filelist_decompression) : texts::frame_decompression(h.index));
  if (n != h.plain_length) return bad_length();
  return plain;
}

}  // namespace quarn

#include "writer/frame_encoder.h"

#include <zstd.h>

#include <utility>

#include "core/error/archive_error.h"
#include "core/volumes/format.h"

namespace quarn::writer {
namespace {

ZSTD_CCtx* as_cctx(void* p) { return static_cast<ZSTD_CCtx*>(p); }

}  // namespace

FrameEncoder::FrameEncoder(const FrameCipher& cipher, const HeaderDigest& digest, int level)
    : sealer_(cipher), tag_bytes_(cipher.tag_bytes()), digest_(digest), level_(level) {
  if (level_ > 0) {
    cctx_ = ZSTD_createCCtx();
    if (!cctx_) invariant_violated("ZSTD_createCCtx failed");
    ZSTD_CCtx_setParameter(as_cctx(cctx_), ZSTD_c_compressionLevel, level_);
  }
}

FrameEncoder::FrameEncoder(FrameEncoder&& other) noexcept
    : sealer_(std::move(other.sealer_)),
      tag_bytes_(other.tag_bytes_),
      digest_(other.digest_),
      level_(other.level_),
      cctx_(std::exchange(other.cctx_, nullptr)),
      scratch_(std::move(other.scratch_)),
      scratch_capacity_(std::exchange(other.scratch_capacity_, 0)) {}

FrameEncoder::~FrameEncoder() {
  if (cctx_) ZSTD_freeCCtx(as_cctx(cctx_));
}

Frame FrameEncoder::encode(std::uint8_t kind, std::uint64_t index, std::span<const std::uint8_t> plain) {
  Frame frame;
  frame.header.kind = kind;
  frame.header.index = index;
  frame.header.plain_length = static_cast<std::uint32_t>(plain.size());
  bool stored = true;
  if (cctx_ && !plain.empty()) {
    // Compressed into a reused buffer that is never zeroed; only what
    // compression gave is copied into the frame.
    const std::size_t bound = ZSTD_compressBound(plain.size());
    if (scratch_capacity_ < bound) {
      scratch_ = std::make_unique_for_overwrite<std::uint8_t[]>(bound);
      scratch_capacity_ = bound;
    }
    const std::size_t n = ZSTD_compress2(as_cctx(cctx_), scratch_.get(), bound, plain.data(), plain.size());
    if (ZSTD_isError(n)) invariant_violated("ZSTD_compress2 failed");
    if (n < plain.size()) {
      frame.payload.reserve(n + tag_bytes_);
      frame.payload.assign(scratch_.get(), scratch_.get() + n);
      stored = false;
    }
  }
  if (stored) {
    frame.payload.reserve(plain.size() + tag_bytes_);
    frame.payload.assign(plain.begin(), plain.end());
  }
  frame.header.flags = stored ? format::frame_flag_stored : 0;
  frame.header.stored_length = static_cast<std::uint32_t>(frame.payload.size() + tag_bytes_);
  sealer_.seal(frame.header.id(), frame.header.aad(digest_), frame.payload);
  frame.header.crc = frame_crc(frame.header, frame.payload);
  return frame;
}

PlainBlock PlainBlock::with_capacity(std::size_t capacity) {
  return PlainBlock{std::make_unique_for_overwrite<std::uint8_t[]>(capacity), capacity, 0};
}

EncodingPool::EncodingPool(const FrameCipher& cipher, const HeaderDigest& digest, int level, unsigned threads)
    : limit_(3 * std::size_t{threads}) {
  for (unsigned i = 0; i < threads; ++i) encoders_.emplace_back(cipher, digest, level);
  if (threads > 1)
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this, i] { work(i); });
}

EncodingPool::~EncodingPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

std::vector<EncodedFrame> EncodingPool::encode(FrameEncoder& encoder, std::vector<FrameWork> batch) {
  std::vector<EncodedFrame> out;
  out.reserve(batch.size());
  for (FrameWork& work : batch) {
    EncodedFrame encoded;
    if (work.hash_whole_file) encoded.file_sha256 = crypto::sha256(work.plain.view());
    encoded.frame = encoder.encode(format::frame_kind_data, work.index, work.plain.view());
    encoded.plain = std::move(work.plain);
    out.push_back(std::move(encoded));
  }
  return out;
}

void EncodingPool::work(std::size_t slot) {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      job_ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    std::vector<EncodedFrame> encoded = encode(encoders_[slot], std::move(job.batch));
    {
      std::lock_guard lock(mutex_);
      results_.emplace(job.sequence, std::move(encoded));
    }
    result_ready_.notify_all();
  }
}

void EncodingPool::submit(std::vector<FrameWork> batch) {
  if (threads_.empty()) {
    results_.emplace(submitted_++, encode(encoders_[0], std::move(batch)));
    return;
  }
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(Job{submitted_++, std::move(batch)});
  }
  job_ready_.notify_one();
}

std::optional<std::vector<EncodedFrame>> EncodingPool::next() {
  std::unique_lock lock(mutex_);
  if (next_out_ == submitted_) return std::nullopt;
  result_ready_.wait(lock, [&] { return results_.contains(next_out_); });
  const auto found = results_.find(next_out_);
  std::vector<EncodedFrame> batch = std::move(found->second);
  results_.erase(found);
  ++next_out_;
  return batch;
}

std::size_t EncodingPool::in_flight() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(submitted_ - next_out_);
}

}  // namespace quarn::writer

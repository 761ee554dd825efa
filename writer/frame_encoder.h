// FrameEncoder: compresses (or stores) and seals one block into a frame;
// EncodingPool runs encoders on several threads over batches of frames and
// hands the batches back in order, so the output does not depend on the
// thread count.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/crypto/frame_cipher.h"
#include "core/crypto/hash.h"

namespace quarn::writer {

// One thread's encoder: its own compression context and sealing handles.
class FrameEncoder {
 public:
  // `level` 0 stores every frame as it is.
  FrameEncoder(const FrameCipher& cipher, const HeaderDigest& digest, int level);
  FrameEncoder(FrameEncoder&&) noexcept;
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;
  FrameEncoder& operator=(FrameEncoder&&) = delete;
  ~FrameEncoder();

  // A frame is stored plainly when compression does not make it smaller.
  Frame encode(std::uint8_t kind, std::uint64_t index, std::span<const std::uint8_t> plain);

 private:
  FrameSealer sealer_;
  std::size_t tag_bytes_;
  HeaderDigest digest_;
  int level_;
  void* cctx_ = nullptr;  // ZSTD_CCtx
  std::unique_ptr<std::uint8_t[]> scratch_;  // compression's output before it is known to be smaller
  std::size_t scratch_capacity_ = 0;
};

// A block of plain bytes read from an input file. Its memory is not zeroed
// on allocation: every byte up to `size` is read before use.
struct PlainBlock {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t capacity = 0;
  std::size_t size = 0;

  static PlainBlock with_capacity(std::size_t capacity);
  std::span<std::uint8_t> free_space() { return {bytes.get() + size, capacity - size}; }
  std::span<const std::uint8_t> view() const { return {bytes.get(), size}; }
};

// One data frame to encode. A frame that is a whole file is hashed by the
// thread that encodes it (the SHA-256 of a whole file does not depend on
// which thread computes it).
struct FrameWork {
  std::uint64_t index = 0;
  PlainBlock plain;
  bool hash_whole_file = false;
};

struct EncodedFrame {
  Frame frame;
  PlainBlock plain;  // handed back for reuse
  std::optional<crypto::Sha256Digest> file_sha256;  // for hash_whole_file
};

// Encodes batches of frames on several threads and hands the batches back in
// the order they were submitted, so that the output does not depend on the
// thread count. Many small files travel as one batch: one hand-over between
// threads for dozens of frames.
class EncodingPool {
 public:
  // `threads` of at least 1; with 1 everything runs on the caller's thread.
  EncodingPool(const FrameCipher& cipher, const HeaderDigest& digest, int level, unsigned threads);
  ~EncodingPool();
  EncodingPool(const EncodingPool&) = delete;
  EncodingPool& operator=(const EncodingPool&) = delete;

  // Queues a batch (frames in index order, following the previous batch's).
  // Callers keep at most limit() batches in flight, taking them with next().
  void submit(std::vector<FrameWork> batch);

  // The next batch in submission order, waiting for it; empty when nothing
  // is in flight.
  std::optional<std::vector<EncodedFrame>> next();

  std::size_t in_flight() const;
  std::size_t limit() const { return limit_; }

 private:
  void work(std::size_t slot);
  std::vector<EncodedFrame> encode(FrameEncoder& encoder, std::vector<FrameWork> batch);

  struct Job {
    std::uint64_t sequence;
    std::vector<FrameWork> batch;
  };

  std::vector<FrameEncoder> encoders_;
  std::vector<std::thread> threads_;
  mutable std::mutex mutex_;
  std::condition_variable job_ready_;
  std::condition_variable result_ready_;
  std::deque<Job> jobs_;
  std::map<std::uint64_t, std::vector<EncodedFrame>> results_;
  std::uint64_t next_out_ = 0;
  std::uint64_t submitted_ = 0;
  std::size_t limit_;
  bool stopping_ = false;
};

}  // namespace quarn::writer

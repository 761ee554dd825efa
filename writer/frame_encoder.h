// FrameEncoder: compresses (or stores) and seals one block into a frame;
// EncodingPool runs encoders on several threads and hands frames back in
// index order, so the output does not depend on the thread count.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/crypto/frame_cipher.h"

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
};

class EncodingPool {
 public:
  // `threads` of at least 1; with 1 everything runs on the caller's thread.
  EncodingPool(const FrameCipher& cipher, const HeaderDigest& digest, int level, unsigned threads);
  ~EncodingPool();
  EncodingPool(const EncodingPool&) = delete;
  EncodingPool& operator=(const EncodingPool&) = delete;

  // Queues the block of data frame `index` (indexes arrive in order, 0 first).
  // Callers keep at most limit() frames in flight, taking frames with next().
  void submit(std::uint64_t index, std::vector<std::uint8_t> plain);

  // The next frame in index order if it is done; with `wait`, waits for it.
  // Empty when nothing is in flight.
  std::optional<Frame> next(bool wait);

  std::size_t in_flight() const;
  std::size_t limit() const { return limit_; }

 private:
  void work(std::size_t slot);

  struct Job {
    std::uint64_t index;
    std::vector<std::uint8_t> plain;
  };

  std::vector<FrameEncoder> encoders_;
  std::vector<std::thread> threads_;
  mutable std::mutex mutex_;
  std::condition_variable job_ready_;
  std::condition_variable result_ready_;
  std::deque<Job> jobs_;
  std::map<std::uint64_t, Frame> results_;
  std::uint64_t next_out_ = 0;
  std::uint64_t submitted_ = 0;
  std::size_t limit_;
  bool stopping_ = false;
};

}  // namespace quarn::writer

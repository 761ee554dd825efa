// BufferPool: frame buffers handed back by the writer and the workers, taken
// again by the reader and the workers, so that a frame's memory is allocated
// and faulted in once per extraction instead of once per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quarn::pipeline {

class BufferPool {
 public:
  // Keeps at most `limit` buffers; more are freed. The pipeline's tokens
  // bound how many frames exist at once, so the pool never holds more memory
  // than the busiest moment needed anyway.
  // New buffers reserve `capacity` bytes (a whole frame) at once, so that
  // none is ever reallocated: the pool settles on a fixed set of blocks.
  BufferPool(std::size_t limit, std::size_t capacity) : limit_(limit), capacity_(capacity) {}

  // A buffer of some earlier frame, or a new one with nothing in it.
  std::vector<std::uint8_t> take() {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        std::vector<std::uint8_t> buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
      }
    }
    std::vector<std::uint8_t> buffer;
    buffer.reserve(capacity_);
    return buffer;
  }

  void give(std::vector<std::uint8_t> buffer) {
    if (buffer.capacity() == 0) return;
    std::lock_guard lock(mutex_);
    if (free_.size() < limit_) free_.push_back(std::move(buffer));
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> free_;
  std::size_t limit_;
  std::size_t capacity_;
};

}  // namespace quarn::pipeline

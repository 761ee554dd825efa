// HashBeside: runs SHA-256 updates on a thread of its own, so the output
// writer hashes a frame's data while it writes the same data to disk.
#pragma once

#include <atomic>
#include <memory>
#include <semaphore>
#include <span>
#include <thread>

#include "core/crypto/hash.h"

namespace quarn {

// Owned and driven by one thread: start, then wait, before the next start.
// When no thread can be started, start hashes on the caller's thread.
class HashBeside {
 public:
  HashBeside();
  ~HashBeside();
  HashBeside(const HashBeside&) = delete;
  HashBeside& operator=(const HashBeside&) = delete;

  // `hash` and `data` must stay untouched by the caller until wait returns.
  void start(crypto::Sha256& hash, std::span<const std::uint8_t> data);
  // Returns once the update begun by start is complete; at once when none is.
  void wait();

 private:
  void run();

  std::binary_semaphore go_{0};
  std::binary_semaphore done_{0};
  crypto::Sha256* hash_ = nullptr;
  std::span<const std::uint8_t> data_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quarn

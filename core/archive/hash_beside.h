// HashBeside: runs SHA-256 updates on a thread of its own, so the output
// writer hashes a frame's data while it writes the same data to disk.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
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

  // A mutex and a condition variable rather than std::binary_semaphore:
  // libstdc++ 12 waits on atomics without futexes (as on Windows) in a way
  // that can miss a release, and then both threads wait for ever.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool posted_ = false;    // start has handed over an update
  bool finished_ = false;  // the hashing thread has completed it
  bool stopping_ = false;
  crypto::Sha256* hash_ = nullptr;
  std::span<const std::uint8_t> data_;
  bool busy_ = false;  // the owner's view: started and not yet waited for
  std::thread thread_;
};

}  // namespace quarn

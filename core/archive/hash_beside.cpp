#include "core/archive/hash_beside.h"

#include <system_error>

#include "core/error/archive_error.h"

namespace quarn {

HashBeside::HashBeside() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread: start hashes inline.
  }
}

HashBeside::~HashBeside() {
  wait();
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HashBeside::start(crypto::Sha256& hash, std::span<const std::uint8_t> data) {
  if (busy_) invariant_violated("HashBeside::start before wait");
  if (!thread_.joinable()) {
    hash.update(data);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    hash_ = &hash;
    data_ = data;
    posted_ = true;
  }
  busy_ = true;
  wake_.notify_all();
}

void HashBeside::wait() {
  if (!busy_) return;
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [&] { return finished_; });
  finished_ = false;
  busy_ = false;
}

void HashBeside::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return posted_ || stopping_; });
    if (stopping_) return;
    posted_ = false;
    lock.unlock();
    hash_->update(data_);
    lock.lock();
    finished_ = true;
    wake_.notify_all();
  }
}

}  // namespace quarn

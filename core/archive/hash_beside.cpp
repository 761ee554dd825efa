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
  stopping_ = true;
  go_.release();
  thread_.join();
}

void HashBeside::start(crypto::Sha256& hash, std::span<const std::uint8_t> data) {
  if (busy_) invariant_violated("HashBeside::start before wait");
  if (!thread_.joinable()) {
    hash.update(data);
    return;
  }
  hash_ = &hash;
  data_ = data;
  busy_ = true;
  go_.release();
}

void HashBeside::wait() {
  if (!busy_) return;
  done_.acquire();
  busy_ = false;
}

void HashBeside::run() {
  for (;;) {
    go_.acquire();
    if (stopping_) return;
    hash_->update(data_);
    done_.release();
  }
}

}  // namespace quarn

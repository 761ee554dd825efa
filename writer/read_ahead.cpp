#include "writer/read_ahead.h"

#include <cstdlib>

#include "core/platform/platform.h"

namespace quarn::writer {

ReadAhead::ReadAhead(const InputTree& inputs, std::uint32_t block_size, unsigned threads, std::size_t max_files,
                     std::uint64_t max_bytes)
    : inputs_(inputs),
      block_size_(block_size),
      enabled_(threads > 0),
      max_files_(max_files),
      max_bytes_(max_bytes),
      ring_(max_files) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] {
    SourceOpener opener(inputs_);
    work(opener);
  });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool ReadAhead::read_ahead(const InputEntry& entry) const {
  return enabled_ && !entry.is_directory && entry.size < block_size_;
}

std::optional<Result<PlainBlock>> ReadAhead::take(std::size_t entry) {
  const InputEntry& input = inputs_.entries[entry];
  if (!read_ahead(input)) return std::nullopt;
  std::unique_lock lock(mutex_);
  Slot& slot = ring_[taken_ % max_files_];
  if (!slot.ready) {
    taker_waits_ = true;
    slot_ready_.wait(lock, [&] { return slot.ready; });
    taker_waits_ = false;
  }
  Slot got = std::move(slot);
  slot = Slot();
  ++taken_;
  bytes_ahead_ -= input.size + 1;
  const bool wake = readers_waiting_ > 0;
  lock.unlock();
  if (wake) room_.notify_all();
  if (got.error) return std::unexpected(std::move(*got.error));
  if (got.grew) return std::nullopt;
  return std::move(got.block);
}

void ReadAhead::work(SourceOpener& opener) {
  std::unique_lock lock(mutex_);
  for (;;) {
    while (next_claim_entry_ < inputs_.entries.size() && !read_ahead(inputs_.entries[next_claim_entry_]))
      ++next_claim_entry_;
    const std::size_t index = next_claim_entry_;
    if (index == inputs_.entries.size() || stopping_) return;
    const std::uint64_t size = inputs_.entries[index].size;
    const auto has_room = [&] {
      return claimed_ - taken_ < max_files_ && (claimed_ == taken_ || bytes_ahead_ + size + 1 <= max_bytes_);
    };
    if (!has_room()) {
      ++readers_waiting_;
      room_.wait(lock, [&] { return stopping_ || has_room(); });
      --readers_waiting_;
      // Another reader may have claimed the file meanwhile.
      if (stopping_ || next_claim_entry_ != index) continue;
    }
    const std::uint64_t number = claimed_++;
    bytes_ahead_ += size + 1;
    ++next_claim_entry_;
    lock.unlock();
    Slot done = read(inputs_.entries[index], opener);
    lock.lock();
    Slot& slot = ring_[number % max_files_];
    if (slot.ready) std::abort();  // a slot is refilled only after it was taken
    slot = std::move(done);
    slot.ready = true;
    if (taker_waits_) slot_ready_.notify_one();
  }
}

// Reads up to one byte more than listed, which tells a file that grew.
ReadAhead::Slot ReadAhead::read(const InputEntry& entry, SourceOpener& opener) const {
  Slot slot;
  auto file = opener.open(entry);
  if (!file) {
    slot.error = ArchiveError::io(std::move(file.error()));
    return slot;
  }
  PlainBlock block = PlainBlock::with_capacity(static_cast<std::size_t>(entry.size) + 1);
  while (block.size < block.capacity) {
    auto got = file->read_at(block.size, block.free_space());
    if (!got) {
      slot.error = ArchiveError::io(std::move(got.error()));
      return slot;
    }
    if (*got == 0) break;
    block.size += *got;
    // Asked for one byte more than listed, a read that stops at the listed
    // size has met the end of the file; one that grew fills the block.
    if (block.size == entry.size) break;
  }
  if (block.size == block.capacity) {
    slot.grew = true;
  } else {
    slot.block = std::move(block);
  }
  return slot;
}

}  // namespace quarn::writer

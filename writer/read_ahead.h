// ReadAhead: reads the small files of an input tree, whole, on threads of its
// own ahead of the thread that numbers the frames, which takes them in archive
// order. Opening, reading and closing a file cost more than compressing it;
// this way they run beside the numbering and the encoding instead of before.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/error/archive_error.h"
#include "writer/frame_encoder.h"
#include "writer/input_tree.h"

namespace quarn::writer {

class ReadAhead {
 public:
  // Files listed below `block_size` are read ahead, at most `max_files` and
  // `max_bytes` (as listed) beyond the one taken last. With `threads` 0
  // nothing is read ahead.
  ReadAhead(const InputTree& inputs, std::uint32_t block_size, unsigned threads,
            std::size_t max_files = 4096, std::uint64_t max_bytes = 16u << 20);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The whole content of inputs.entries[entry], waiting for it, or nothing
  // when the caller is to read the file itself: it is not read ahead, or it
  // grew beyond its listed size meanwhile. Called for every file entry in
  // increasing order. A failure to open or read it is the Io error the
  // caller's own reading would have given.
  std::optional<Result<PlainBlock>> take(std::size_t entry);

 private:
  struct Slot {
    bool ready = false;
    bool grew = false;
    PlainBlock block;
    std::optional<ArchiveError> error;
  };

  bool read_ahead(const InputEntry& entry) const;
  void work(SourceOpener& opener);
  Slot read(const InputEntry& entry, SourceOpener& opener) const;

  const InputTree& inputs_;
  const std::uint32_t block_size_;
  const bool enabled_;
  const std::size_t max_files_;
  const std::uint64_t max_bytes_;
  std::vector<std::thread> threads_;

  std::mutex mutex_;
  std::condition_variable slot_ready_;
  std::condition_variable room_;
  std::vector<Slot> ring_;             // the file numbered n (among those read ahead) in ring_[n % max_files]
  std::size_t next_claim_entry_ = 0;   // where readers look for the next file to read
  std::uint64_t claimed_ = 0;          // files handed to readers
  std::uint64_t taken_ = 0;            // files handed to the caller
  std::uint64_t bytes_ahead_ = 0;      // listed bytes claimed and not taken
  unsigned readers_waiting_ = 0;
  bool taker_waits_ = false;
  bool stopping_ = false;
};

}  // namespace quarn::writer

// extract: writes every file of an opened, verified archive under a
// destination with one reader thread, N decoding workers and the calling
// thread as the writer that restores frame order.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>

#include "core/archive/header.h"
#include "core/archive/manifest.h"
#include "core/archive/output_writer.h"
#include "core/crypto/frame_cipher.h"
#include "core/error/archive_error.h"

namespace quarn {

// What extraction reads; all of it is lent read-only for the call.
struct ArchiveSource {
  std::filesystem::path path;  // the reader thread opens its own VolumeSet from it
  const Header& header;
  const HeaderDigest& digest;
  const FrameCipher& cipher;
  const Manifest& manifest;
  std::uint64_t filelist_offset;
};

struct ExtractOptions {
  unsigned workers = 0;      // 0: one per active processor
  bool verify_only = false;  // check everything, create nothing
  // Called on the calling thread with the plain bytes written so far.
  std::function<void(std::uint64_t)> progress;
  // For tests: called once planning has made the folders, before the first
  // file is created.
  std::function<void()> after_planning;
};

// Plans the output (creating `destination` and the directory tree), then
// decodes and writes every frame. The first error in frame order wins;
// `cancel_flag` stops the reader between frames. Every thread started here
// has ended when this returns. Nothing written is deleted after a failure.
Result<ExtractionReport> extract(const ArchiveSource& archive, const std::filesystem::path& destination,
                                 const std::atomic<bool>& cancel_flag, const ExtractOptions& options = {});

}  // namespace quarn

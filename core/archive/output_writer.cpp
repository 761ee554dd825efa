#include "core/archive/output_writer.h"

#include <cstring>

#include "core/error/detail_texts.h"

namespace quarn {

std::string sha256_hex(const crypto::Sha256Digest& digest) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (const std::uint8_t b : digest) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> read_zone_mark(const std::filesystem::path& source) {
  auto mark = platform::read_zone_identifier(source, ZONE_MARK_MAX);
  if (!mark || mark->empty() || mark->size() > ZONE_MARK_MAX) return std::nullopt;
  return std::move(*mark);
}

OutputWriter::OutputWriter(const ExtractionPlan& plan, const std::vector<Entry>& entries,
                           std::optional<std::vector<std::uint8_t>> zone_mark, bool verify_only)
    : plan_(plan),
      entries_(entries),
      zone_mark_(std::move(zone_mark)),
      verify_only_(verify_only),
      walk_(plan.destination) {}

Result<void> OutputWriter::open_next_file() {
  while (!open_ && cursor_ < plan_.file_order.size()) {
    const std::size_t e = plan_.file_order[cursor_++];
    OpenFile file;
    file.entry = e;
    file.frames_remaining = entries_[e].frames;
    if (!verify_only_) {
      auto folder = walk_.enter(parent_folder(entries_[e].path), entries_[e].path, false);
      if (!folder) return std::unexpected(std::move(folder.error()));
      auto handle = (*folder)->create_file(plan_.output_paths[e]->filename());
      if (!handle) return std::unexpected(ArchiveError::io(std::move(handle.error())));
      file.handle = std::move(*handle);
      file.folder = *folder;
    }
    buffer_.clear();
    open_.emplace(std::move(file));
    if (open_->frames_remaining == 0) {
      if (auto ok = finish_file(); !ok) return ok;
    }
  }
  return {};
}

Result<void> OutputWriter::flush() {
  if (!buffer_.empty() && !verify_only_) {
    if (auto ok = open_->handle.write_all(buffer_); !ok) {
      buffer_.clear();
      return std::unexpected(ArchiveError::io(std::move(ok.error())));
    }
  }
  buffer_.clear();
  return {};
}

// Small data goes through the buffer; data of a whole buffer's size, and a
// file's last frame when nothing is buffered, go to the file directly.
Result<void> OutputWriter::store(std::span<const std::uint8_t> data) {
  const bool last_frame = open_->frames_remaining == 1;
  if (buffer_.size() + data.size() > WRITE_BUFFER_SIZE) {
    if (auto ok = flush(); !ok) return ok;
  }
  if (data.size() >= WRITE_BUFFER_SIZE || (last_frame && buffer_.empty())) {
    if (auto ok = open_->handle.write_all(data); !ok) return std::unexpected(ArchiveError::io(std::move(ok.error())));
    return {};
  }
  if (buffer_.capacity() < WRITE_BUFFER_SIZE) buffer_.reserve(WRITE_BUFFER_SIZE);
  buffer_.insert(buffer_.end(), data.begin(), data.end());
  return {};
}

Result<void> OutputWriter::write_frame_data(std::span<const std::uint8_t> data) {
  if (!open_) return std::unexpected(ArchiveError::integrity(std::string(texts::frame_without_file)));
  // Hashed on this thread: a hashing thread beside the writer, measured on
  // two processors, made extraction slower, since it takes processor time
  // from the workers and adds two hand-overs per frame.
  open_->hash.update(data);
  if (!verify_only_) {
    if (auto stored = store(data); !stored) return stored;
  }
  open_->frames_remaining -= 1;
  open_->bytes += data.size();
  report_.bytes_written += data.size();
  if (open_->frames_remaining == 0) {
    if (auto ok = finish_file(); !ok) return ok;
    return open_next_file();
  }
  return {};
}

// Flush, mark, times, checked close, attributes, verify. The mark comes before the
// attributes so that a read-only file still gets it, and before the times so
// that writing it cannot disturb the restored last-write time.
Result<void> OutputWriter::finish_file() {
  OpenFile file = std::move(*open_);
  open_.reset();
  const Entry& entry = entries_[file.entry];
  if (!verify_only_) {
    const std::filesystem::path name = plan_.output_paths[file.entry]->filename();
    if (!buffer_.empty()) {
      auto ok = file.handle.write_all(buffer_);
      buffer_.clear();
      if (!ok) return std::unexpected(ArchiveError::io(std::move(ok.error())));
    }
    if (zone_mark_) {
      if (file.folder->write_zone_identifier(file.handle, name, *zone_mark_)) {
        ++report_.files_marked;
      } else {
        ++report_.mark_failures;
      }
    }
    (void)file.handle.set_times(entry.created, entry.modified);
    // A write the system took and failed later (NFS, a quota) shows here at
    // the latest: the file is not complete. No sync: flushing every file to
    // the disk would cost far more than the extraction, and the archive is
    // still there to extract again after a crash.
    if (auto closed = file.handle.close_checked(); !closed)
      return std::unexpected(ArchiveError::io(std::move(closed.error())));
    if (const std::uint32_t a = entry.attributes & ATTRIBUTE_MASK; a != 0) (void)file.folder->set_attributes(name, a);
  }
  // The list's size counts too: a matching digest with another length would
  // leave the list describing a file that is not the one written.
  const std::string digest = sha256_hex(file.hash.finish());
  if (entry.sha256 && *entry.sha256 == digest && file.bytes == entry.size) {
    ++report_.files_verified;
  } else {
    report_.mismatches.push_back(entry.path);
  }
  ++report_.files_completed;
  return {};
}

Result<void> OutputWriter::check_complete() const {
  if (open_ || cursor_ < plan_.file_order.size())
    return std::unexpected(ArchiveError::integrity(std::string(texts::filelist_disagrees_with_data)));
  return {};
}

void OutputWriter::finish_directories() {
  for (std::size_t i = entries_.size(); i-- > 0;) {
    const Entry& entry = entries_[i];
    if (entry.kind != EntryKind::Dir) continue;
    ++report_.directories;
    if (verify_only_) continue;
    // Failing to reach the folder (a link put in the way, say) leaves it unstamped.
    const auto folder = walk_.enter(parent_folder(entry.path), entry.path, false);
    if (!folder) continue;
    const std::filesystem::path name = plan_.output_paths[i]->filename();
    (void)(*folder)->stamp_directory_times(name, entry.created, entry.modified);
    if (const std::uint32_t a = entry.attributes & ATTRIBUTE_MASK; a != 0) (void)(*folder)->set_attributes(name, a);
  }
}

void OutputWriter::close_open_file() {
  if (!open_) return;
  if (!verify_only_ && !buffer_.empty()) (void)open_->handle.write_all(buffer_);
  buffer_.clear();
  open_.reset();
}

}  // namespace quarn

#include "writer/archive_output.h"

#include <algorithm>
#include <array>
#include <string>

namespace quarn::writer {
namespace {

constexpr std::size_t copy_chunk = 1u << 20;
constexpr std::uint64_t signature_alignment = 8;

Result<void> refuse_existing(const std::filesystem::path& path, bool overwrite) {
  if (overwrite) return {};
  if (platform::query_info(path))
    return std::unexpected(ArchiveError::message("Plik już istnieje: " + platform::path_to_utf8(path) +
                                                 ". Wybierz inną nazwę albo dodaj --overwrite."));
  return {};
}

}  // namespace

std::filesystem::path part_path(const std::filesystem::path& stem, std::uint64_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  std::filesystem::path name = stem.filename();
  name += "." + digits;
  return stem.parent_path() / name;
}

Result<void> check_output_free(const OutputOptions& options) {
  return refuse_existing(options.split_size ? part_path(options.path, 1) : options.path, options.overwrite);
}

void ArchiveOutput::discard() {
  buffer_.clear();
  current_ = platform::File();
  for (const auto& file : files_) platform::remove_file(file);
  files_.clear();
}

Result<ArchiveOutput> ArchiveOutput::create(const OutputOptions& options) {
  if (options.split_size && options.program)
    return std::unexpected(ArchiveError::message("Program samorozpakowujący nie może być podzielony na części."));
  if (options.split_size && *options.split_size == 0)
    return std::unexpected(ArchiveError::message("Rozmiar części musi być większy od zera."));
  ArchiveOutput out;
  out.options_ = options;
  if (options.split_size) {
    if (auto ok = refuse_existing(part_path(options.path, 1), options.overwrite); !ok) return std::unexpected(ok.error());
    if (auto ok = out.open_next_part(); !ok) return std::unexpected(ok.error());
    return out;
  }
  if (auto ok = refuse_existing(options.path, options.overwrite); !ok) return std::unexpected(ok.error());
  auto file = platform::File::create_for_writing(options.path);
  if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
  out.current_ = std::move(*file);
  out.files_.push_back(options.path);

  if (options.program) {
    auto program = platform::File::open_for_reading(*options.program);
    if (!program) return std::unexpected(ArchiveError::io(std::move(program.error())));
    std::vector<std::uint8_t> chunk(copy_chunk);
    std::uint64_t at = 0;
    for (;;) {
      auto got = program->read_at(at, chunk);
      if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
      if (*got == 0) break;
      if (at == 0 && (*got < 2 || chunk[0] != 'M' || chunk[1] != 'Z'))
        return std::unexpected(ArchiveError::message("To nie jest program Windows: " +
                                                     platform::path_to_utf8(*options.program)));
      if (auto ok = out.current_.write_all(std::span(chunk).first(*got)); !ok)
        return std::unexpected(ArchiveError::io(std::move(ok.error())));
      at += *got;
    }
    out.program_length_ = at;
  }
  return out;
}

Result<void> ArchiveOutput::finish() {
  if (auto ok = flush(); !ok) return ok;
  if (!options_.program) return {};
  const std::uint64_t gap = (signature_alignment - (program_length_ + stream_length_) % signature_alignment) %
                            signature_alignment;
  if (gap == 0) return {};
  auto reader = platform::File::open_for_reading(options_.path);
  if (!reader) return std::unexpected(ArchiveError::io(std::move(reader.error())));
  // From the end backwards, so that no byte is overwritten before it is moved.
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(copy_chunk, stream_length_)));
  for (std::uint64_t left = stream_length_; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), left));
    const std::uint64_t from = program_length_ + left - n;
    for (std::size_t done = 0; done < n;) {
      auto got = reader->read_at(from + done, std::span(chunk).subspan(done, n - done));
      if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
      if (*got == 0) return std::unexpected(ArchiveError::io({0, "nieoczekiwany koniec pliku", false}));
      done += *got;
    }
    if (auto ok = current_.write_at(from + gap, std::span(chunk).first(n)); !ok)
      return std::unexpected(ArchiveError::io(std::move(ok.error())));
    left -= n;
  }
  const std::array<std::uint8_t, signature_alignment> zeros{};
  if (auto ok = current_.write_at(program_length_, std::span(zeros).first(static_cast<std::size_t>(gap))); !ok)
    return std::unexpected(ArchiveError::io(std::move(ok.error())));
  return {};
}

Result<void> ArchiveOutput::open_next_part() {
  const std::filesystem::path path = part_path(options_.path, files_.size() + 1);
  if (files_.size() > 0) {
    if (auto ok = refuse_existing(path, options_.overwrite); !ok) return ok;
  }
  auto file = platform::File::create_for_writing(path);
  if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
  current_ = std::move(*file);
  current_length_ = 0;
  files_.push_back(path);
  return {};
}

Result<void> ArchiveOutput::write(std::span<const std::uint8_t> bytes) {
  if (buffer_.size() + bytes.size() > buffer_capacity) {
    if (auto ok = flush(); !ok) return ok;
  }
  stream_length_ += bytes.size();
  if (bytes.size() >= buffer_capacity) return write_through(bytes);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Result<void> ArchiveOutput::flush() {
  const auto ok = write_through(buffer_);
  buffer_.clear();
  return ok;
}

Result<void> ArchiveOutput::write_through(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    std::size_t n = bytes.size();
    if (options_.split_size) {
      if (current_length_ == *options_.split_size) {
        if (auto ok = open_next_part(); !ok) return ok;
      }
      n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *options_.split_size - current_length_));
    }
    if (auto ok = current_.write_all(bytes.first(n)); !ok) return std::unexpected(ArchiveError::io(std::move(ok.error())));
    current_length_ += n;
    bytes = bytes.subspan(n);
  }
  return {};
}

}  // namespace quarn::writer

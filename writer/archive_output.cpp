#include "writer/archive_output.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <utility>

#include "core/platform/system.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/code_signature.h"

namespace quarn::writer {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t copy_chunk = 1u << 20;
constexpr std::uint64_t signature_alignment = 8;
// Tries at a fresh temporary name; a clash of 48 random bits is not expected
// even once, so a failure that repeats is the folder's, not bad luck.
constexpr int temporary_name_tries = 4;
// Longer final names are left out of the temporary name, which would
// otherwise exceed the 255 units a file name may have.
constexpr std::size_t name_in_temporary_max = 200;

ArchiveError exists_error(const fs::path& path) {
  return ArchiveError::message("Plik już istnieje: " + platform::path_to_utf8(path) +
                               ". Wybierz inną nazwę albo dodaj --overwrite.");
}

ArchiveError not_a_program(const fs::path& program) {
  return ArchiveError::message("To nie jest program Windows: " + platform::path_to_utf8(program));
}

// The self-extractor program opened for copying: a PE program ("MZ" and the
// "PE\0\0" that e_lfanew points at) without a code signature. A signature
// made now would not cover the archive appended after it, and the reader
// refuses an archive that lies after a certificate table.
Result<platform::File> open_program(const fs::path& program) {
  auto file = platform::File::open_for_reading(program);
  if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
  auto length = file->size();
  if (!length) return std::unexpected(ArchiveError::io(std::move(length.error())));
  constexpr std::size_t dos_header = 64, e_lfanew_at = 0x3C;
  std::array<std::uint8_t, dos_header> dos{};
  auto got = file->read_at(0, dos);
  if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
  if (*got < dos.size() || dos[0] != 'M' || dos[1] != 'Z') return std::unexpected(not_a_program(program));
  const std::uint64_t e_lfanew = load_le<std::uint32_t>(dos.data() + e_lfanew_at);
  std::array<std::uint8_t, 4> signature{};
  if (e_lfanew + signature.size() > *length) return std::unexpected(not_a_program(program));
  got = file->read_at(e_lfanew, signature);
  if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
  if (*got < signature.size() || signature != std::array<std::uint8_t, 4>{'P', 'E', 0, 0})
    return std::unexpected(not_a_program(program));
  // A damaged certificate table counts as a signature too: the reader
  // refuses it as well.
  auto table = find_code_signature(*file, *length);
  if (!table && table.error().kind() == ErrorKind::Io) return std::unexpected(std::move(table.error()));
  if (!table || *table)
    return std::unexpected(ArchiveError::message(
        "Program " + platform::path_to_utf8(program) +
        " jest już podpisany cyfrowo, a podpis nie obejmie dołączonego archiwum. Użyj niepodpisanego "
        "quarn-sfx.exe i podpisz dopiero gotowy plik."));
  return std::move(*file);
}

bool equal_ignoring_ascii_case(auto a, auto b) {
  const auto lower = [](auto c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](auto x, auto y) {
           return lower(x) == lower(y);
         });
}

// The number of a part named `name` in the set of `stem`: "STEM." and the
// digits that part_path writes (three at least, no extra leading zero). The
// stem is compared without regard to ASCII case; the caller checks that the
// part's own spelling exists (on a file system that tells case apart it
// may not).
std::optional<std::uint64_t> part_number(const fs::path& stem, const fs::path& name) {
  const fs::path stem_name = stem.filename();
  const auto& own = stem_name.native();
  const auto& text = name.native();
  if (text.size() < own.size() + 4 || text[own.size()] != '.') return std::nullopt;
  if (!equal_ignoring_ascii_case(std::basic_string_view(text).substr(0, own.size()), std::basic_string_view(own)))
    return std::nullopt;
  std::string digits;
  for (auto c : std::basic_string_view(text).substr(own.size() + 1)) {
    if (c < '0' || c > '9') return std::nullopt;
    digits += static_cast<char>(c);
  }
  if (digits.size() > 3 && digits[0] == '0') return std::nullopt;
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || number == 0) return std::nullopt;
  return number;
}

// Whether something other than a folder is at `path` (the reader never takes
// a folder for a part).
bool occupied(const fs::path& path) {
  const auto info = platform::query_info(path);
  return info && info->kind != platform::FileKind::Directory;
}

// Every existing part of the set of `stem`, any number, in number order.
std::vector<std::pair<std::uint64_t, fs::path>> existing_parts(const fs::path& stem) {
  std::vector<std::pair<std::uint64_t, fs::path>> parts;
  const fs::path folder = stem.has_parent_path() ? stem.parent_path() : fs::path(".");
  const auto names = platform::list_directory(folder);
  if (!names) {
    // A folder that cannot be listed: the parts a reader would take, at least.
    for (std::uint64_t n = 1; occupied(part_path(stem, n)); ++n) parts.emplace_back(n, part_path(stem, n));
    return parts;
  }
  for (const fs::path& name : *names) {
    const auto number = part_number(stem, name);
    if (number && occupied(part_path(stem, *number))) parts.emplace_back(*number, part_path(stem, *number));
  }
  std::sort(parts.begin(), parts.end());
  parts.erase(std::unique(parts.begin(), parts.end()), parts.end());
  return parts;
}

// ".NAME.quarn-" and 12 random hexadecimal digits, beside `final_path`.
Result<fs::path> temporary_name(const fs::path& final_path) {
  std::array<std::uint8_t, 6> random{};
  if (!platform::random_bytes(random))
    return std::unexpected(ArchiveError::message("Systemowy generator losowy zawiódł."));
  static constexpr char hex[] = "0123456789abcdef";
  std::string tail = ".quarn-";
  for (const std::uint8_t b : random) {
    tail += hex[b >> 4];
    tail += hex[b & 15];
  }
  fs::path name = platform::path_from_utf8(".");
  if (final_path.filename().native().size() <= name_in_temporary_max) name += final_path.filename();
  name += platform::path_from_utf8(tail);
  return final_path.parent_path() / name;
}

}  // namespace

fs::path part_path(const fs::path& stem, std::uint64_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  fs::path name = stem.filename();
  name += "." + digits;
  return stem.parent_path() / name;
}

std::vector<fs::path> existing_output_files(const OutputOptions& options) {
  std::vector<fs::path> files;
  if (options.split_size) {
    for (auto& [number, path] : existing_parts(options.path)) files.push_back(std::move(path));
  } else if (platform::query_info(options.path)) {
    files.push_back(options.path);
  }
  return files;
}

Result<void> check_output(const OutputOptions& options) {
  if (options.split_size && options.program)
    return std::unexpected(ArchiveError::message("Program samorozpakowujący nie może być podzielony na części."));
  if (options.split_size && *options.split_size == 0)
    return std::unexpected(ArchiveError::message("Rozmiar części musi być większy od zera."));
  if (options.program) {
    if (auto program = open_program(*options.program); !program) return std::unexpected(std::move(program.error()));
  }
  if (const auto info = platform::query_info(options.path);
      !options.split_size && info && info->kind == platform::FileKind::Directory)
    return std::unexpected(
        ArchiveError::message("W miejscu pliku archiwum jest folder: " + platform::path_to_utf8(options.path) + "."));
  if (!options.overwrite) {
    if (const auto existing = existing_output_files(options); !existing.empty())
      return std::unexpected(exists_error(existing.front()));
  }
  return {};
}

ArchiveOutput::Temporary& ArchiveOutput::Temporary::operator=(Temporary&& other) noexcept {
  if (this != &other) {
    remove();
    path = std::move(other.path);
    other.path.clear();
  }
  return *this;
}

void ArchiveOutput::Temporary::remove() noexcept {
  if (!path.empty()) (void)platform::remove_file(path);
  path.clear();
}

Result<ArchiveOutput> ArchiveOutput::create(const OutputOptions& options) {
  if (auto ok = check_output(options); !ok) return std::unexpected(std::move(ok.error()));
  std::optional<platform::File> program;
  if (options.program) {
    auto opened = open_program(*options.program);
    if (!opened) return std::unexpected(std::move(opened.error()));
    program = std::move(*opened);
  }
  ArchiveOutput out;
  out.options_ = options;
  if (auto ok = out.open_next_file(options.split_size ? part_path(options.path, 1) : options.path); !ok)
    return std::unexpected(std::move(ok.error()));
  if (program) {
    if (auto ok = out.copy_program(*program); !ok) return std::unexpected(std::move(ok.error()));
  }
  return out;
}

Result<void> ArchiveOutput::copy_program(const platform::File& program) {
  std::vector<std::uint8_t> chunk(copy_chunk);
  std::uint64_t at = 0;
  for (;;) {
    if (auto ok = check_cancel(); !ok) return ok;
    auto got = program.read_at(at, chunk);
    if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
    if (*got == 0) break;
    if (auto ok = current_.write_all(std::span(chunk).first(*got)); !ok)
      return std::unexpected(ArchiveError::io(std::move(ok.error())));
    at += *got;
  }
  program_length_ = at;
  return {};
}

void ArchiveOutput::discard() {
  buffer_.clear();
  current_ = platform::File();
  temporaries_.clear();
  files_.clear();
}

Result<void> ArchiveOutput::check_cancel() const {
  if (options_.cancel && options_.cancel->load()) return std::unexpected(ArchiveError::cancelled());
  return {};
}

Result<void> ArchiveOutput::finish() {
  if (auto ok = complete(); !ok) {
    discard();
    return ok;
  }
  return remove_stale_parts();
}

Result<void> ArchiveOutput::complete() {
  if (auto ok = flush(); !ok) return ok;
  if (options_.program) {
    if (auto ok = make_signing_gap(); !ok) return ok;
  }
  if (auto ok = close_current(); !ok) return ok;
  if (auto ok = check_cancel(); !ok) return ok;
  if (options_.split_size && !options_.overwrite) {
    // Appeared since the start: the new set would read as longer than it is.
    for (const auto& [number, path] : existing_parts(options_.path))
      if (number > files_.size()) return std::unexpected(exists_error(path));
  }
  return put_in_place();
}

Result<void> ArchiveOutput::make_signing_gap() {
  const std::uint64_t gap = (signature_alignment - (program_length_ + stream_length_) % signature_alignment) %
                            signature_alignment;
  if (gap == 0) return {};
  auto reader = platform::File::open_for_reading(temporaries_.back().path);
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

// The last part first and the first part last: until the first part is in
// place, no set of new parts is there for a reader to take. When a rename
// fails, the parts already renamed are removed again; what stays under the
// final names is then whatever was there before, less the parts replaced
// (an old set with a part missing, which a reader refuses as cut short).
Result<void> ArchiveOutput::put_in_place() {
  for (std::size_t i = files_.size(); i-- > 0;) {
    auto renamed = platform::rename_file(temporaries_[i].path, files_[i], options_.overwrite);
    if (!renamed) {
      for (std::size_t j = i + 1; j < files_.size(); ++j) (void)platform::remove_file(files_[j]);
      if (!options_.overwrite && platform::query_info(files_[i])) return std::unexpected(exists_error(files_[i]));
      return std::unexpected(ArchiveError::io(std::move(renamed.error())));
    }
    temporaries_[i].path.clear();
  }
  temporaries_.clear();
  return {};
}

// Highest first: the set reads as the new one alone only once nothing stale
// is left after it, so a failure here leaves a set that a reader refuses.
Result<void> ArchiveOutput::remove_stale_parts() {
  if (!options_.split_size || !options_.overwrite) return {};
  auto parts = existing_parts(options_.path);
  for (auto part = parts.rbegin(); part != parts.rend() && part->first > files_.size(); ++part) {
    if (auto removed = platform::remove_file(part->second); !removed)
      return std::unexpected(ArchiveError::message(
          "Nie udało się usunąć starej części " + platform::path_to_utf8(part->second) + " (" +
          removed.error().display() + "); nowe części są zapisane, ale dopóki ona jest, zestawu nie da się odczytać."));
  }
  return {};
}

Result<void> ArchiveOutput::open_next_file(const fs::path& final_path) {
  if (auto ok = close_current(); !ok) return ok;
  for (int attempt = 1;; ++attempt) {
    auto name = temporary_name(final_path);
    if (!name) return std::unexpected(std::move(name.error()));
    auto file = platform::File::create_new(*name);
    if (file) {
      current_ = std::move(*file);
      current_length_ = 0;
      temporaries_.emplace_back(std::move(*name));
      files_.push_back(final_path);
      return {};
    }
    if (attempt == temporary_name_tries) return std::unexpected(ArchiveError::io(std::move(file.error())));
  }
}

// A complete file goes to stable storage before it may take its final name;
// a delayed write error shows in the sync or the close.
Result<void> ArchiveOutput::close_current() {
  if (!current_.is_open()) return {};
  if (auto ok = current_.sync(); !ok) {
    current_ = platform::File();
    return std::unexpected(ArchiveError::io(std::move(ok.error())));
  }
  if (auto ok = current_.close_checked(); !ok) return std::unexpected(ArchiveError::io(std::move(ok.error())));
  return {};
}

Result<void> ArchiveOutput::write(std::span<const std::uint8_t> bytes) {
  if (auto ok = check_cancel(); !ok) return ok;
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
        if (auto ok = open_next_file(part_path(options_.path, files_.size() + 1)); !ok) return ok;
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

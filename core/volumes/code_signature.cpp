#include "core/volumes/code_signature.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "core/error/detail_texts.h"
#include "core/volumes/byte_order.h"

namespace quarn {
namespace {

constexpr std::size_t dos_header_size = 64;
constexpr std::size_t e_lfanew_at = 0x3C;
constexpr std::array<std::uint8_t, 4> pe_signature = {'P', 'E', 0, 0};
constexpr std::size_t coff_header_size = 20;
constexpr std::size_t coff_section_count_at = 2;
constexpr std::size_t coff_optional_size_at = 16;
constexpr std::size_t section_header_size = 40;
constexpr std::uint16_t pe32_magic = 0x10B;
constexpr std::uint16_t pe32_plus_magic = 0x20B;
// Offsets inside the optional header of the count of data directories (the
// directories follow it at once).
constexpr std::size_t pe32_directory_count_at = 92;
constexpr std::size_t pe32_plus_directory_count_at = 108;
constexpr std::uint32_t security_directory = 4;
constexpr std::size_t directory_entry_size = 8;
// PE signature, file header and the largest optional header up to the end of
// the security directory.
constexpr std::size_t headers_read = pe_signature.size() + coff_header_size + pe32_plus_directory_count_at + 4 +
                                     (security_directory + 1) * directory_entry_size;
constexpr std::size_t win_certificate_header = 8;  // dwLength, wRevision, wCertificateType

using NoSignature = std::optional<CodeSignature>;

// Data directory 4 as the headers give it, and where the headers (with the
// section table) end in the file.
struct SecurityDirectory {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint64_t headers_end = 0;
};

ArchiveError damaged() { return ArchiveError::corrupt(std::string(texts::signature_area_damaged)); }

// Reads what the file has at `offset`, up to buffer.size() bytes; a short
// count means the file ended.
Result<ByteView> read_some(const platform::File& file, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  auto got = file.read_at(offset, buffer);
  if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
  return ByteView(buffer.first(*got));
}

// The security directory of PE headers read at `e_lfanew`; nullopt when they
// are no PE headers or have no directory 4.
std::optional<SecurityDirectory> security_directory_of(ByteView headers, std::uint32_t e_lfanew) {
  ByteCursor cursor(headers);
  const auto signature = cursor.take(pe_signature.size());
  if (!signature || !std::equal(signature->begin(), signature->end(), pe_signature.begin())) return std::nullopt;
  const auto coff = cursor.take(coff_header_size);
  if (!coff) return std::nullopt;
  const std::uint16_t sections = load_le<std::uint16_t>(coff->data() + coff_section_count_at);
  const std::uint16_t optional_size = load_le<std::uint16_t>(coff->data() + coff_optional_size_at);
  const auto magic = cursor.take_le<std::uint16_t>();
  if (!magic || (*magic != pe32_magic && *magic != pe32_plus_magic)) return std::nullopt;
  const std::size_t count_at = *magic == pe32_magic ? pe32_directory_count_at : pe32_plus_directory_count_at;
  if (!cursor.take(count_at - sizeof(std::uint16_t))) return std::nullopt;
  const auto count = cursor.take_le<std::uint32_t>();
  const std::size_t directories_end = count_at + 4 + (security_directory + 1) * directory_entry_size;
  if (!count || *count <= security_directory || optional_size < directories_end) return std::nullopt;
  if (!cursor.take(security_directory * directory_entry_size)) return std::nullopt;
  const auto offset = cursor.take_le<std::uint32_t>();
  const auto size = cursor.take_le<std::uint32_t>();
  if (!offset || !size) return std::nullopt;
  const std::uint64_t headers_end = std::uint64_t{e_lfanew} + pe_signature.size() + coff_header_size + optional_size +
                                    std::uint64_t{sections} * section_header_size;
  return SecurityDirectory{*offset, *size, headers_end};
}

// True when 1 to MAX_CERTIFICATE_ENTRIES WIN_CERTIFICATE entries, each padded
// to 8 bytes (the last one may stop short of its padding), fill [offset, end)
// exactly.
Result<bool> entries_fill_table(const platform::File& file, std::uint64_t offset, std::uint64_t end) {
  std::uint64_t at = offset;
  for (int entry = 0; entry < MAX_CERTIFICATE_ENTRIES; ++entry) {
    std::array<std::uint8_t, win_certificate_header> buffer{};
    auto head = read_some(file, at, buffer);
    if (!head) return std::unexpected(std::move(head.error()));
    if (head->size() != buffer.size()) return false;
    const std::uint64_t length = load_le<std::uint32_t>(head->data());
    if (length < win_certificate_header || length > end - at) return false;
    const std::uint64_t padded = (length + 7) & ~std::uint64_t{7};
    if (at + length == end || at + padded == end) return true;
    if (padded > end - at) return false;
    at += padded;
  }
  return false;
}

}  // namespace

Result<std::optional<CodeSignature>> find_code_signature(const platform::File& file, std::uint64_t file_length) {
  std::array<std::uint8_t, dos_header_size> dos_buffer{};
  auto dos = read_some(file, 0, dos_buffer);
  if (!dos) return std::unexpected(std::move(dos.error()));
  if (dos->size() != dos_header_size || (*dos)[0] != 'M' || (*dos)[1] != 'Z') return NoSignature{};
  const std::uint32_t e_lfanew = load_le<std::uint32_t>(dos->data() + e_lfanew_at);
  if (e_lfanew >= file_length) return NoSignature{};

  std::array<std::uint8_t, headers_read> headers_buffer{};
  auto headers = read_some(file, e_lfanew, headers_buffer);
  if (!headers) return std::unexpected(std::move(headers.error()));
  const auto directory = security_directory_of(*headers, e_lfanew);
  if (!directory || (directory->offset == 0 && directory->size == 0)) return NoSignature{};

  // From here on the program claims a signature: whatever is wrong with it
  // is damage, never a reason to read the file as unsigned.
  const std::uint64_t offset = directory->offset;
  const std::uint64_t size = directory->size;
  if (size == 0 || offset < directory->headers_end || offset + size != file_length) return std::unexpected(damaged());
  auto filled = entries_fill_table(file, offset, file_length);
  if (!filled) return std::unexpected(std::move(filled.error()));
  if (!*filled) return std::unexpected(damaged());
  return CodeSignature{offset, size};
}

}  // namespace quarn

// Builds archive bytes for tests field by field, independently of the
// reader's own canonical form, so that tests can set every byte the reader
// must check, ignore or refuse.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarn::test {

struct HeaderImage {
  std::uint16_t version = 2;
  std::uint16_t flags = 0;
  std::uint8_t mode = 0;
  std::uint8_t compression = 1;
  std::uint8_t byte14 = 0;
  std::uint8_t byte15 = 0;
  std::uint32_t block_size = 4u << 20;
  std::uint8_t kdf_present = 0;
  std::array<std::uint8_t, 3> reserved21{};
  std::uint32_t memory_kib = 0, iterations = 0, parallelism = 0;
  std::array<std::uint8_t, 32> argon2_salt{};
  std::array<std::uint8_t, 16> hkdf_salt{};
  std::vector<std::uint8_t> extensions;
  std::optional<std::uint32_t> extension_length;  // overrides extensions.size()
  std::optional<std::array<std::uint8_t, 64>> tag;  // default: SHA-512 of the canonical bytes

  // An encrypted header with valid small Argon2id parameters.
  static HeaderImage encrypted(std::uint8_t mode);

  std::vector<std::uint8_t> bytes() const;
};

std::vector<std::uint8_t> extension_record(std::uint16_t type, const std::vector<std::uint8_t>& payload);
std::vector<std::uint8_t> fido2_payload(const std::string& rp_id, const std::vector<std::uint8_t>& credential,
                                        std::size_t salt_size = 32);

// Footer bytes with a correct CRC-32C (computed bitwise, not by the reader's code).
std::vector<std::uint8_t> footer_bytes(std::uint64_t filelist_offset, std::uint64_t archive_length);
std::uint32_t crc32c_bitwise(const std::uint8_t* data, std::size_t n);

// A whole archive stream: header, one stored file-list frame with `json`, footer.
std::vector<std::uint8_t> archive_bytes(const HeaderImage& header, const std::string& json);

// A small PE program: "MZ", e_lfanew 0x80, "PE\0\0", a PE32+ (or PE32)
// optional header with 16 data directories, zero bytes up to `size`.
std::vector<std::uint8_t> pe_program(bool pe32_plus = true, std::size_t size = 1024);

// File offset of data directory 4 (the certificate table: offset, size) in a
// pe_program.
std::size_t security_directory_at(bool pe32_plus = true);

// What a signing tool does to `file` (a pe_program with anything appended):
// zero bytes up to a multiple of 8, then one WIN_CERTIFICATE of
// `table_size` bytes (a multiple of 8) whose length field is `table_size`,
// and directory 4 pointed at it.
void append_signature(std::vector<std::uint8_t>& file, std::uint32_t table_size = 64, bool pe32_plus = true);

}  // namespace quarn::test

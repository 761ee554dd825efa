// Constants of the stored archive format, shared by the reader and the writer.
#pragma once

#include <array>
#include <cstdint>

namespace quarn::format {

// Header.
inline constexpr std::array<std::uint8_t, 8> header_magic = {'Q', 'U', 'A', 'R', 'N', 0x1A, 0x0D, 0x0A};
inline constexpr std::size_t header_fixed_size = 84;  // magic through hkdf_salt
inline constexpr std::size_t header_tag_size = 64;
inline constexpr std::uint16_t version_1 = 1;
inline constexpr std::uint16_t version_2 = 2;
inline constexpr std::uint16_t flag_encrypted = 0x0001;
inline constexpr std::uint32_t max_block_size = 64u << 20;
inline constexpr std::uint32_t max_extension_length = 65536;
inline constexpr std::uint8_t kdf_present = 1;
inline constexpr std::uint32_t argon2_max_memory_kib = 4194304;
inline constexpr std::uint32_t argon2_max_iterations = 64;
inline constexpr std::uint32_t argon2_max_parallelism = 64;
inline constexpr std::size_t argon2_salt_size = 32;
inline constexpr std::size_t hkdf_salt_size = 16;

// Header extension records.
inline constexpr std::size_t extension_record_header = 6;  // type u16, length u32
inline constexpr std::uint16_t extension_key_file_required = 1;
inline constexpr std::uint16_t extension_fido2_key = 2;
inline constexpr std::size_t fido2_salt_size = 32;

// Frames.
inline constexpr std::size_t frame_header_size = 24;
inline constexpr std::uint8_t frame_kind_data = 1;
inline constexpr std::uint8_t frame_kind_file_list = 2;
inline constexpr std::uint8_t frame_flag_stored = 0x01;
inline constexpr std::uint32_t max_read_frame_stored = 0x20000040;
inline constexpr std::uint32_t max_file_list_plain = 0x20000000;

// Footer: the last 32 bytes of every archive stream.
inline constexpr std::array<std::uint8_t, 8> footer_magic = {'Q', 'U', 'A', 'R', 'N', 'E', 'N', 'D'};
inline constexpr std::size_t footer_size = 32;
inline constexpr std::size_t footer_crc_covered = 24;

// The smallest tail after the header: one frame header and the footer.
inline constexpr std::size_t min_tail = frame_header_size + footer_size;

}  // namespace quarn::format

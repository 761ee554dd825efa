// CRC-32C (Castagnoli: reflected polynomial 0x82F63B78, initial value and
// final complement 0xFFFFFFFF), used by the footer and by every frame.
#pragma once

#include <cstdint>
#include <span>

namespace quarn {

// Continues a CRC over more bytes: crc32c(b, crc32c(a)) == crc32c(a ‖ b).
// Uses the SSE4.2 instruction when the processor has it (checked once).
std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// The two implementations behind crc32c, exposed so both can be tested.
std::uint32_t crc32c_portable(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
std::uint32_t crc32c_hardware(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
bool crc32c_hardware_available();

}  // namespace quarn

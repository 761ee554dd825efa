// Win32 implementation of secret memory and randomness.
#include <windows.h>
#include <bcrypt.h>

#include "core/platform/system.h"

namespace quarn::platform {

std::size_t page_size() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize ? info.dwPageSize : 4096;
}

void* allocate_pages(std::size_t length) {
  // Committed pages of a fresh reservation are zero-filled and ours alone.
  return VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void free_pages(void* block, std::size_t) {
  if (block) VirtualFree(block, 0, MEM_RELEASE);
}

// Large pages would need the "lock pages in memory" privilege: plain pages.
void* allocate_large(std::size_t length) { return allocate_pages(length); }

void free_large(void* block, std::size_t length) { free_pages(block, length); }

// Committed pages fault in on first write; nothing is done ahead here.
void keep_freed_memory_for_reuse() {}
void prefault_large(void*, std::size_t) {}

bool lock_memory(void* address, std::size_t length) {
  if (VirtualLock(address, length)) return true;
  (void)GetLastError();  // read and dropped: a failed lock is never reported
  return false;
}

bool unlock_memory(void* address, std::size_t length) {
  if (VirtualUnlock(address, length)) return true;
  (void)GetLastError();
  return false;
}

void wipe_memory(void* address, std::size_t length) { SecureZeroMemory(address, length); }

std::expected<void, std::uint32_t> random_bytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ULONG chunk = out.size() - done > 0x40000000 ? 0x40000000 : static_cast<ULONG>(out.size() - done);
    const NTSTATUS status = BCryptGenRandom(nullptr, out.data() + done, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) return std::unexpected(static_cast<std::uint32_t>(status));
    done += chunk;
  }
  return {};
}

}  // namespace quarn::platform

// POSIX implementation of secret memory and randomness.
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/platform/system.h"

namespace quarn::platform {

std::size_t page_size() {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

void* allocate_pages(std::size_t length) {
  // Anonymous mappings are zero-filled and never share a page.
  void* block = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  // Keep secrets out of core dumps where the kernel supports it.
  (void)::madvise(block, length, MADV_DONTDUMP);
  return block;
}

void free_pages(void* block, std::size_t length) {
  if (block) ::munmap(block, length);
}

bool lock_memory(void* address, std::size_t length) { return ::mlock(address, length) == 0; }

bool unlock_memory(void* address, std::size_t length) { return ::munlock(address, length) == 0; }

void wipe_memory(void* address, std::size_t length) { ::explicit_bzero(address, length); }

std::expected<void, std::uint32_t> random_bytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(static_cast<std::uint32_t>(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace quarn::platform

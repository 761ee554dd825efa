// POSIX implementation of secret memory and randomness.
#include <malloc.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;  // the x86-64 PMD size

// `length` rounded up to whole huge pages; 0 when that does not fit.
std::size_t whole_huge_pages(std::size_t length) {
  if (length > SIZE_MAX - huge_page) return 0;
  return (length + huge_page - 1) & ~(huge_page - 1);
}

}  // namespace

void* allocate_large(std::size_t length) {
  const std::size_t size = whole_huge_pages(length);
  if (size == 0 || size > SIZE_MAX - huge_page) return nullptr;
  // Map one huge page more than needed, then unmap the ends outside the
  // first 2 MiB boundary, so that the kernel can back every 2 MiB with one
  // huge page.
  const std::size_t mapped = size + huge_page;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + huge_page - 1) & ~std::uintptr_t{huge_page - 1};
  const std::size_t head = aligned - start;
  const std::size_t tail = mapped - head - size;
  if (head) ::munmap(raw, head);
  if (tail) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Advice only: without THP (or with it set to "never") the pages stay 4 KiB.
  (void)::madvise(block, size, MADV_HUGEPAGE);
#endif
  // Argon2id's blocks are derived from the password: no core dumps.
  (void)::madvise(block, size, MADV_DONTDUMP);
  return block;
}

void free_large(void* block, std::size_t length) {
  if (block) ::munmap(block, whole_huge_pages(length));
}

void keep_freed_memory_for_reuse() {
#ifdef __GLIBC__
  // Without this glibc gives the top of its heap back whenever 128 KiB are
  // free there and maps each large block anew: a file list of 100,000
  // entries then takes every page two or three times over.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
}

void prefault_large(void* address, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
  // madvise wants a page-aligned start; the block is whole huge pages, so
  // widening the range to whole pages stays inside it.
  const std::size_t page = page_size();
  const auto start = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{page - 1};
  const auto end = reinterpret_cast<std::uintptr_t>(address) + length;
  // Advice only: an older kernel answers EINVAL and the pages fault in when
  // first written, as without this call.
  (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)address;
  (void)length;
#endif
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

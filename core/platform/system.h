// Memory for secrets (page blocks that can be locked and wiped), large
// working memory, the allocator's habits and the system's random generator.
// Callers never see a platform #ifdef; the build picks posix/ or win32/ to
// implement this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

namespace quarn::platform {

// Size of one memory page, the granularity of locking.
std::size_t page_size();

// Allocates `length` (> 0) bytes of zero-filled, page-aligned memory that no
// other allocation shares a page with, so locking and unlocking it cannot
// affect anything else. nullptr when the system refuses. Free with
// free_pages and the same length.
void* allocate_pages(std::size_t length);
void free_pages(void* block, std::size_t length);

// Working memory for a memory-hard function (Argon2id's blocks): `length`
// (> 0) bytes, zero-filled, page-aligned, shared with no other allocation.
// On Linux the block starts on a 2 MiB boundary, is rounded up to whole
// 2 MiB and is advised to use transparent huge pages where the kernel offers
// them: hundreds of MiB then fault in 2 MiB at a time, and random reads miss
// the TLB less. On Windows plain pages (large pages need a privilege that
// users do not have). Neither locked nor wiped here: the caller wipes it
// before freeing. nullptr when the system refuses. Free with free_large and
// the same length.
void* allocate_large(std::size_t length);
void free_large(void* block, std::size_t length);

// Faults in the pages of [address, address + length) inside a block from
// allocate_large, writable, without reading or changing a byte of them, so
// another thread may be writing the block meanwhile. Taking a fresh page
// costs the kernel (and a virtual machine's host) far more than writing it;
// done ahead on a second thread, that cost leaves the thread that computes.
// Linux 5.14 and later (MADV_POPULATE_WRITE); elsewhere it does nothing.
void prefault_large(void* address, std::size_t length);

// Tunes the process's allocator for a run that builds a large file list,
// frees it and allocates again: freed memory stays with the process instead
// of going back to the system at once, and blocks up to 32 MiB come from the
// heap, so pages already taken are used again rather than taken afresh. On
// Linux (glibc) only; elsewhere it does nothing. Call before the first
// thread starts.
void keep_freed_memory_for_reuse();

// Keeps the pages of [address, address + length) out of the page file.
// False when the system refuses (quota exhausted, no privilege); the memory
// is usable all the same.
bool lock_memory(void* address, std::size_t length);
bool unlock_memory(void* address, std::size_t length);

// Overwrites with zeros through writes the compiler may not remove.
void wipe_memory(void* address, std::size_t length);

// Fills `out` from the system's preferred generator. On failure the system's
// status code: an NTSTATUS on Windows, an errno value on POSIX.
std::expected<void, std::uint32_t> random_bytes(std::span<std::uint8_t> out);

}  // namespace quarn::platform

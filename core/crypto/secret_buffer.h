// SecretBuffer: one secret in memory of its own, locked when the system
// allows it and wiped before it is given back; KeySet: an archive's five
// subkeys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarn {

// Owns `size()` bytes, zero-filled at creation. Move-only: the bytes are never
// copied by this class. Release (explicit or by the destructor) overwrites
// them with zeros, unlocks and frees them. Belongs to one thread at a time.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  // Zero-filled; tries to lock the memory, a refusal leaves it usable.
  explicit SecretBuffer(std::size_t length);
  // A buffer holding a copy of `bytes`. The caller wipes its own copy.
  static SecretBuffer from_bytes(std::span<const std::uint8_t> bytes);

  SecretBuffer(SecretBuffer&& other) noexcept;
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() { release(); }

  // Borrows valid until release or move.
  std::span<const std::uint8_t> view() const { return {data_, size_}; }
  std::span<std::uint8_t> mutable_view() { return {data_, size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool locked() const { return locked_; }

  // Wipe, unlock when locked, free; afterwards the buffer is empty. Safe to
  // call more than once. A buffer of length 0 makes no system call.
  void release();

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // whole pages actually allocated
  bool locked_ = false;
};

// The five subkeys derived for every encrypted archive, whatever its mode.
struct KeySet {
  static constexpr std::size_t header_mac_key_size = 64;
  static constexpr std::size_t cipher_key_size = 32;

  SecretBuffer header_mac_key;  // 64 bytes
  SecretBuffer aes_key;         // 32 bytes each below
  SecretBuffer chacha_key;
  SecretBuffer twofish_key;
  SecretBuffer serpent_key;

  // All five zero-filled with their lengths, ready to be filled in place.
  static KeySet allocate();
  // Releases all five fields.
  void release();
};

// Test seams: observe or replace what a SecretBuffer asks of the system.
// Not for production code; set from a single thread while no buffer is being
// created or released.
namespace secret_buffer_testing {

struct Hooks {
  bool (*lock)(void* address, std::size_t length) = nullptr;    // replaces the system lock
  bool (*unlock)(void* address, std::size_t length) = nullptr;  // replaces the system unlock
  // Sees the buffer's bytes right after the wipe, before unlock and free.
  void (*wiped)(std::span<const std::uint8_t> bytes) = nullptr;
};

// nullptr restores the system behaviour. `hooks` must outlive its use.
void set_hooks(const Hooks* hooks);

}  // namespace secret_buffer_testing

}  // namespace quarn

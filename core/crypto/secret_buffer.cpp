#include "core/crypto/secret_buffer.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "core/error/archive_error.h"
#include "core/platform/system.h"

namespace quarn {
namespace {

std::atomic<const secret_buffer_testing::Hooks*> active_hooks{nullptr};

bool lock_pages(void* address, std::size_t length) {
  const auto* hooks = active_hooks.load(std::memory_order_acquire);
  if (hooks && hooks->lock) return hooks->lock(address, length);
  return platform::lock_memory(address, length);
}

void unlock_pages(void* address, std::size_t length) {
  const auto* hooks = active_hooks.load(std::memory_order_acquire);
  if (hooks && hooks->unlock) {
    hooks->unlock(address, length);
    return;
  }
  (void)platform::unlock_memory(address, length);
}

}  // namespace

SecretBuffer::SecretBuffer(std::size_t length) {
  if (length == 0) return;
  // Whole pages of their own: locking is per page and not counted, so a page
  // shared with another secret would be unlocked when that one is released.
  const std::size_t page = platform::page_size();
  if (length > SIZE_MAX - page) invariant_violated("secret buffer length overflows");
  const std::size_t mapped = (length + page - 1) / page * page;
  void* block = platform::allocate_pages(mapped);
  if (!block) invariant_violated("no memory for a secret buffer");
  data_ = static_cast<std::uint8_t*>(block);
  size_ = length;
  mapped_ = mapped;
  locked_ = lock_pages(data_, size_);
}

SecretBuffer SecretBuffer::from_bytes(std::span<const std::uint8_t> bytes) {
  SecretBuffer buffer(bytes.size());
  std::copy(bytes.begin(), bytes.end(), buffer.data_);
  return buffer;
}

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)),
      locked_(std::exchange(other.locked_, false)) {}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

void SecretBuffer::release() {
  if (!data_) return;
  platform::wipe_memory(data_, size_);
  if (const auto* hooks = active_hooks.load(std::memory_order_acquire); hooks && hooks->wiped)
    hooks->wiped(std::span<const std::uint8_t>(data_, size_));
  if (locked_) unlock_pages(data_, size_);
  platform::free_pages(data_, mapped_);
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
  locked_ = false;
}

KeySet KeySet::allocate() {
  KeySet keys;
  keys.header_mac_key = SecretBuffer(header_mac_key_size);
  keys.aes_key = SecretBuffer(cipher_key_size);
  keys.chacha_key = SecretBuffer(cipher_key_size);
  keys.twofish_key = SecretBuffer(cipher_key_size);
  keys.serpent_key = SecretBuffer(cipher_key_size);
  return keys;
}

void KeySet::release() {
  header_mac_key.release();
  aes_key.release();
  chacha_key.release();
  twofish_key.release();
  serpent_key.release();
}

namespace secret_buffer_testing {

void set_hooks(const Hooks* hooks) { active_hooks.store(hooks, std::memory_order_release); }

}  // namespace secret_buffer_testing

}  // namespace quarn

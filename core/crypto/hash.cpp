#include "core/crypto/hash.h"

#include <gcrypt.h>

#include "core/crypto/gcrypt_init.h"
#include "core/error/archive_error.h"

namespace quarn::crypto {
namespace {

gcry_md_hd_t as_md(void* handle) { return static_cast<gcry_md_hd_t>(handle); }

}  // namespace

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
  ensure_gcrypt_initialised();
  Sha256Digest out;
  gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), bytes.data(), bytes.size());
  return out;
}

Sha512Digest sha512(std::span<const std::uint8_t> bytes) {
  ensure_gcrypt_initialised();
  Sha512Digest out;
  gcry_md_hash_buffer(GCRY_MD_SHA512, out.data(), bytes.data(), bytes.size());
  return out;
}

Sha256::Sha256() {
  ensure_gcrypt_initialised();
  gcry_md_hd_t md = nullptr;
  if (gcry_md_open(&md, GCRY_MD_SHA256, 0) != 0) invariant_violated("gcry_md_open(SHA-256) failed");
  handle_ = md;
}

Sha256::Sha256(Sha256&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    if (handle_) gcry_md_close(as_md(handle_));
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Sha256::~Sha256() {
  if (handle_) gcry_md_close(as_md(handle_));
}

void Sha256::update(std::span<const std::uint8_t> bytes) { gcry_md_write(as_md(handle_), bytes.data(), bytes.size()); }

Sha256Digest Sha256::finish() {
  Sha256Digest out;
  const unsigned char* digest = gcry_md_read(as_md(handle_), GCRY_MD_SHA256);
  std::copy(digest, digest + out.size(), out.begin());
  return out;
}

void Sha256::reset() { gcry_md_reset(as_md(handle_)); }

}  // namespace quarn::crypto

#include "core/crypto/hkdf.h"

#include <gcrypt.h>

#include <algorithm>
#include <array>

#include "core/crypto/gcrypt_init.h"
#include "core/error/archive_error.h"
#include "core/platform/system.h"

namespace quarn::crypto {

void hmac_sha512(std::span<const std::uint8_t> key, std::initializer_list<std::span<const std::uint8_t>> message,
                 std::span<std::uint8_t, SHA512_SIZE> out) {
  ensure_gcrypt_initialised();
  gcry_md_hd_t h = nullptr;
  if (gcry_md_open(&h, GCRY_MD_SHA512, GCRY_MD_FLAG_HMAC) != 0) invariant_violated("gcry_md_open(HMAC) failed");
  if (gcry_md_setkey(h, key.data(), key.size()) != 0) {
    gcry_md_close(h);
    invariant_violated("gcry_md_setkey refused an HMAC key");
  }
  for (const auto part : message) gcry_md_write(h, part.data(), part.size());
  const unsigned char* digest = gcry_md_read(h, GCRY_MD_SHA512);
  std::copy(digest, digest + SHA512_SIZE, out.begin());
  gcry_md_close(h);
}

void hkdf_sha512_extract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                         std::span<std::uint8_t, SHA512_SIZE> prk) {
  hmac_sha512(salt, {ikm}, prk);
}

void hkdf_sha512_expand(std::span<const std::uint8_t, SHA512_SIZE> prk, std::span<const std::uint8_t> info,
                        std::span<std::uint8_t> out) {
  if (out.size() > 255 * SHA512_SIZE) invariant_violated("HKDF output too long");
  std::array<std::uint8_t, SHA512_SIZE> block{};
  std::size_t previous = 0;  // T(0) is empty
  std::uint8_t counter = 1;
  for (std::size_t done = 0; done < out.size(); ++counter) {
    const std::array<std::uint8_t, 1> counter_byte{counter};
    hmac_sha512(prk, {std::span<const std::uint8_t>(block.data(), previous), info, counter_byte}, block);
    previous = SHA512_SIZE;
    const std::size_t take = std::min(SHA512_SIZE, out.size() - done);
    std::copy_n(block.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(done));
    done += take;
  }
  platform::wipe_memory(block.data(), block.size());
}

}  // namespace quarn::crypto

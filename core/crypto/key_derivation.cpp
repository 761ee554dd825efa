#include "core/crypto/key_derivation.h"

#include "core/crypto/argon2id.h"
#include "core/crypto/constant_time.h"
#include "core/crypto/hkdf.h"
#include "core/error/detail_texts.h"
#include "core/platform/system.h"

namespace quarn {
namespace {

constexpr std::size_t master_size = 64;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::span<std::uint8_t, crypto::SHA512_SIZE> block_of(SecretBuffer& buffer) {
  return buffer.mutable_view().first<crypto::SHA512_SIZE>();
}

}  // namespace

Result<KeySet> derive_key_set(const Argon2Params& params, std::span<const std::uint8_t, 32> argon2_salt,
                              std::span<const std::uint8_t, 16> hkdf_salt, std::span<const std::uint8_t> password,
                              std::span<const std::uint8_t> factor_string) {
  if (!argon2_params_allowed(params))
    return std::unexpected(ArchiveError::corrupt(std::string(texts::bad_argon2_parameters)));

  SecretBuffer stretched(master_size);
  if (auto done = crypto::argon2id(params, password, argon2_salt, {}, {}, stretched.mutable_view()); !done)
    return std::unexpected(std::move(done.error()));

  SecretBuffer master;
  if (factor_string.empty()) {
    master = std::move(stretched);
  } else {
    master = SecretBuffer(master_size);
    crypto::hmac_sha512(stretched.view(), {bytes_of(LABEL_FACTORS), factor_string}, block_of(master));
    stretched.release();
  }

  SecretBuffer prk(crypto::SHA512_SIZE);
  crypto::hkdf_sha512_extract(hkdf_salt, master.view(), block_of(prk));
  const auto prk_view = prk.view().first<crypto::SHA512_SIZE>();

  KeySet keys = KeySet::allocate();
  crypto::hkdf_sha512_expand(prk_view, bytes_of(LABEL_HEADER_MAC), keys.header_mac_key.mutable_view());
  crypto::hkdf_sha512_expand(prk_view, bytes_of(LABEL_AES), keys.aes_key.mutable_view());
  crypto::hkdf_sha512_expand(prk_view, bytes_of(LABEL_CHACHA), keys.chacha_key.mutable_view());
  crypto::hkdf_sha512_expand(prk_view, bytes_of(LABEL_TWOFISH), keys.twofish_key.mutable_view());
  crypto::hkdf_sha512_expand(prk_view, bytes_of(LABEL_SERPENT), keys.serpent_key.mutable_view());
  master.release();
  prk.release();
  return keys;
}

std::array<std::uint8_t, 64> header_tag(const KeySet& keys, std::span<const std::uint8_t> canonical_bytes) {
  std::array<std::uint8_t, 64> tag{};
  crypto::hmac_sha512(keys.header_mac_key.view(), {canonical_bytes}, tag);
  return tag;
}

Result<FrameCipher> derive_keys(const KeyMaterial& header, const SecretBuffer* password,
                                const SecondFactorOptions& options, Fido2Authenticator& authenticator) {
  if (!header.encrypted) return plain_cipher();
  if (!password || password->empty()) return std::unexpected(ArchiveError::password_required());
  // Header reading refuses an encrypted header without Argon2id parameters;
  // should one arrive anyway it reads as damage, not as a broken invariant.
  if (!header.argon2) return std::unexpected(ArchiveError::corrupt(std::string(texts::bad_argon2_parameters)));

  auto extensions = parse_extensions(header.extensions, header.version);
  if (!extensions) return std::unexpected(std::move(extensions.error()));
  auto factors = collect_factors(*extensions, options, authenticator);
  if (!factors) return std::unexpected(std::move(factors.error()));

  auto keys = derive_key_set(*header.argon2, header.argon2_salt, header.hkdf_salt, password->view(), factors->view());
  factors->release();
  if (!keys) return std::unexpected(std::move(keys.error()));

  const auto expected = header_tag(*keys, header.canonical_bytes);
  if (!crypto::equal_constant_time(expected, header.header_tag)) {
    keys->release();
    if (extensions->key_file_required || extensions->fido2)
      return std::unexpected(ArchiveError::second_factor_required(std::string(texts::wrong_password_or_factor)));
    return std::unexpected(ArchiveError::wrong_password());
  }
  FrameCipher cipher = build_cipher(header.mode, *keys);
  keys->release();
  return cipher;
}

Result<FrameCipher> derive_keys(const KeyMaterial& header, const SecretBuffer* password,
                                const SecondFactorOptions& options) {
  return derive_keys(header, password, options,
                     options.authenticator ? *options.authenticator : platform_fido2_authenticator());
}

}  // namespace quarn

// Key derivation: from the password, the header's salts and Argon2id
// parameters and the optional second factors to the five subkeys, the header
// tag that proves them right, and the archive's FrameCipher.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/crypto/argon2_params.h"
#include "core/crypto/encryption_mode.h"
#include "core/crypto/frame_cipher.h"
#include "core/crypto/second_factors.h"
#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"

namespace quarn {

// What key derivation needs of an archive header; the archive unit fills it.
struct KeyMaterial {
  bool encrypted = false;
  EncryptionMode mode = EncryptionMode::None;
  std::optional<Argon2Params> argon2;  // always present for an encrypted header
  std::array<std::uint8_t, 32> argon2_salt{};
  std::array<std::uint8_t, 16> hkdf_salt{};
  std::array<std::uint8_t, 64> header_tag{};
  std::vector<std::uint8_t> canonical_bytes;  // what the tag covers
  std::vector<std::uint8_t> extensions;       // the raw extension area
  std::uint16_t version = 0;                  // the header version, for parse_extensions
};

// HKDF info labels of the five subkeys, and the label of factor mixing.
inline constexpr std::string_view LABEL_HEADER_MAC = "Quarn v1 header-mac";
inline constexpr std::string_view LABEL_AES = "Quarn v1 aes-256-gcm";
inline constexpr std::string_view LABEL_CHACHA = "Quarn v1 chacha20-poly1305";
inline constexpr std::string_view LABEL_TWOFISH = "Quarn v2 twofish-256-gcm";
inline constexpr std::string_view LABEL_SERPENT = "Quarn v2 serpent-256-gcm";
inline constexpr std::string_view LABEL_FACTORS = "Quarn v2 factors";

// The FrameCipher of the archive, checked against the header tag. In order:
// an unencrypted header gives plain_cipher() without looking at anything
// else; a missing or empty password is PasswordRequired; the extension area
// is parsed (its errors as they come); the factors are collected (so a FIDO2
// prompt precedes Argon2id); then derive_key_set; a tag mismatch is
// WrongPassword, or SecondFactorRequired texts::wrong_password_or_factor when
// the header demands factors. Every secret made here is wiped before return,
// on every path. Runs on the calling thread; blocks for the FIDO2 prompt.
Result<FrameCipher> derive_keys(const KeyMaterial& header, const SecretBuffer* password,
                                const SecondFactorOptions& options);
// The same with a given FIDO2 authenticator instead of options.authenticator
// (the first form uses options.authenticator, or the platform's when null).
Result<FrameCipher> derive_keys(const KeyMaterial& header, const SecretBuffer* password,
                                const SecondFactorOptions& options, Fido2Authenticator& authenticator);

// The five subkeys: A = Argon2id(password, argon2_salt) (64 bytes); M = A, or
// HMAC-SHA-512(A, "Quarn v2 factors" ‖ factor_string) when the factor string
// is not empty; PRK = HKDF-Extract(hkdf_salt, M); each key = HKDF-Expand(PRK,
// its label, its length). Parameters outside argon2_params_allowed are
// Corrupt texts::bad_argon2_parameters; a library failure is Message
// "Argon2id: ...". Intermediates are wiped before return. For the archive
// writer as well as for derive_keys.
Result<KeySet> derive_key_set(const Argon2Params& params, std::span<const std::uint8_t, 32> argon2_salt,
                              std::span<const std::uint8_t, 16> hkdf_salt, std::span<const std::uint8_t> password,
                              std::span<const std::uint8_t> factor_string);

// HMAC-SHA-512 of the canonical header bytes under keys.header_mac_key.
std::array<std::uint8_t, 64> header_tag(const KeySet& keys, std::span<const std::uint8_t> canonical_bytes);

}  // namespace quarn

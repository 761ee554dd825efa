#include "core/crypto/second_factors.h"

#include <gcrypt.h>

#include <algorithm>
#include <array>

#include "core/crypto/gcrypt_init.h"
#include "core/error/detail_texts.h"
#include "core/platform/platform.h"
#include "core/platform/system.h"

namespace quarn {
namespace {

constexpr std::uint32_t hresult_win32_cancelled = 0x800704C7;  // HRESULT_FROM_WIN32(ERROR_CANCELLED)
constexpr std::uint32_t hresult_nte_user_cancelled = 0x80090036;
constexpr std::size_t read_chunk = 1u << 20;
constexpr std::size_t key_file_part = 1 + KEY_FILE_DIGEST_SIZE;
constexpr std::size_t fido2_part = 1 + FIDO2_HMAC_SECRET_SIZE;

// Streams the file through SHA-512 in pieces held in a secret buffer, so a
// 64 MiB key file never sits in ordinary memory. Reads at most `size` bytes:
// a file that grows after its size was judged cannot push past the limit.
Result<void> hash_file(const platform::File& file, std::uint64_t size, std::span<std::uint8_t, 64> digest) {
  crypto::ensure_gcrypt_initialised();
  gcry_md_hd_t h = nullptr;
  if (gcry_md_open(&h, GCRY_MD_SHA512, 0) != 0) invariant_violated("gcry_md_open(SHA-512) failed");
  SecretBuffer chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, read_chunk)));
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, chunk.size()));
    const auto got = file.read_at(offset, chunk.mutable_view().first(want));
    if (!got) {
      gcry_md_close(h);
      return std::unexpected(ArchiveError::io(got.error()));
    }
    if (*got == 0) break;  // shrank meanwhile: the digest simply will not match
    gcry_md_write(h, chunk.view().data(), *got);
    offset += *got;
  }
  const unsigned char* value = gcry_md_read(h, GCRY_MD_SHA512);
  std::copy(value, value + digest.size(), digest.begin());
  gcry_md_close(h);
  return {};
}

// Our tool makes every credential for FIDO2_RP_ID and has never written
// another. An archive naming another relying party would have the user's key
// answer (and, with hmac-secret, compute a secret) for another site.
Result<void> check_relying_party(const Fido2KeyDescriptor& key) {
  if (key.rp_id == FIDO2_RP_ID) return {};
  return std::unexpected(ArchiveError::integrity(std::string(texts::fido2_foreign_relying_party)));
}

Result<void> put_key_file(const SecondFactorOptions& options, std::span<std::uint8_t> out) {
  if (!options.key_file) return std::unexpected(ArchiveError::second_factor_required(std::string(texts::key_file)));
  out[0] = FACTOR_KEY_FILE;
  return hash_key_file(*options.key_file, out.subspan(1).first<KEY_FILE_DIGEST_SIZE>());
}

Result<void> put_fido2(const Fido2KeyDescriptor& key, const SecondFactorOptions& options,
                       Fido2Authenticator& authenticator, std::span<std::uint8_t> out) {
  auto secret = fido2_hmac_secret(key, options.owner_window, authenticator);
  if (!secret) return std::unexpected(std::move(secret.error()));
  out[0] = FACTOR_FIDO2;
  std::copy(secret->view().begin(), secret->view().end(), out.begin() + 1);
  return {};
}

}  // namespace

std::expected<void, std::uint32_t> Fido2Authenticator::random_bytes(std::span<std::uint8_t> out) {
  return platform::random_bytes(out);
}

std::string fido2_client_data_json(std::span<const std::uint8_t, 32> challenge, std::string_view type) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text = R"({"type":")";
  text += type;
  text += R"(","challenge":")";
  for (const std::uint8_t byte : challenge) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  text += R"(","origin":"https://)";
  text += FIDO2_ORIGIN_DOMAIN;
  text += R"("})";
  return text;
}

ArchiveError fido2_request_error(std::int32_t hresult, std::string_view message) {
  const auto code = static_cast<std::uint32_t>(hresult);
  if (code == hresult_win32_cancelled || code == hresult_nte_user_cancelled) return ArchiveError::cancelled();
  return ArchiveError::second_factor_required(texts::fido2_failure(message, code));
}

Result<SecretBuffer> fido2_hmac_secret(const Fido2KeyDescriptor& key, void* owner_window,
                                       Fido2Authenticator& authenticator) {
  if (auto ours = check_relying_party(key); !ours) return std::unexpected(std::move(ours.error()));
  if (authenticator.api_version() < FIDO2_MIN_API_VERSION)
    return std::unexpected(ArchiveError::unsupported(std::string(texts::fido2_platform_too_old)));
  std::array<std::uint8_t, 32> challenge{};
  if (const auto drawn = authenticator.random_bytes(challenge); !drawn)
    return std::unexpected(ArchiveError::message(texts::random_generator_failure(drawn.error())));
  const std::string client_data = fido2_client_data_json(challenge);

  const Fido2Request request{key.rp_id, key.credential_id, key.salt, client_data, owner_window, FIDO2_TIMEOUT_MS};
  Fido2Answer answer = authenticator.get_assertion(request);
  if (answer.hresult < 0) return std::unexpected(fido2_request_error(answer.hresult, answer.message));
  const bool usable = answer.assertion_version >= FIDO2_MIN_ASSERTION_VERSION && answer.hmac_secret &&
                      answer.hmac_secret->size() == FIDO2_HMAC_SECRET_SIZE;
  if (!usable) return std::unexpected(ArchiveError::second_factor_required(std::string(texts::fido2_no_hmac_secret)));
  return std::move(*answer.hmac_secret);
}

std::size_t factor_string_size(bool key_file, bool fido2) {
  return (key_file ? key_file_part : 0) + (fido2 ? fido2_part : 0);
}

Result<void> hash_key_file(const std::filesystem::path& path, std::span<std::uint8_t, KEY_FILE_DIGEST_SIZE> digest) {
  const auto unreadable = [&](const platform::OsError& error) {
    return std::unexpected(
        ArchiveError::second_factor_required(texts::key_file_unreadable(platform::path_to_utf8(path), error.message)));
  };
  auto file = platform::File::open_for_reading(path);
  if (!file) return unreadable(file.error());
  const auto size = file->size();
  if (!size) return unreadable(size.error());
  if (*size == 0 || *size > KEY_FILE_MAX)
    return std::unexpected(ArchiveError::message(std::string(texts::key_file_size)));
  return hash_file(*file, *size, digest);
}

Result<SecretBuffer> collect_factors(const HeaderExtensions& extensions, const SecondFactorOptions& options,
                                     Fido2Authenticator& authenticator) {
  if (extensions.fido2) {
    if (auto ours = check_relying_party(*extensions.fido2); !ours) return std::unexpected(std::move(ours.error()));
  }
  SecretBuffer factors(factor_string_size(extensions.key_file_required, extensions.fido2.has_value()));
  std::span<std::uint8_t> rest = factors.mutable_view();
  if (extensions.key_file_required) {
    if (auto put = put_key_file(options, rest.first(key_file_part)); !put) return std::unexpected(std::move(put.error()));
    rest = rest.subspan(key_file_part);
  }
  if (extensions.fido2) {
    if (auto put = put_fido2(*extensions.fido2, options, authenticator, rest.first(fido2_part)); !put)
      return std::unexpected(std::move(put.error()));
  }
  return factors;
}

Result<SecretBuffer> collect_factors(const HeaderExtensions& extensions, const SecondFactorOptions& options) {
  return collect_factors(extensions, options,
                         options.authenticator ? *options.authenticator : platform_fido2_authenticator());
}

}  // namespace quarn

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

constexpr std::uint8_t key_file_marker = 0x01;
constexpr std::uint8_t fido2_marker = 0x02;
constexpr std::uint32_t hresult_win32_cancelled = 0x800704C7;  // HRESULT_FROM_WIN32(ERROR_CANCELLED)
constexpr std::uint32_t hresult_nte_user_cancelled = 0x80090036;
constexpr std::size_t read_chunk = 1u << 20;

// Streams the file through SHA-512 in pieces, so a 64 MiB key file never
// sits in memory whole. Reads at most `size` bytes: a file that grows after
// its size was judged cannot push past the limit.
Result<std::array<std::uint8_t, 64>> hash_file(const platform::File& file, std::uint64_t size) {
  crypto::ensure_gcrypt_initialised();
  gcry_md_hd_t h = nullptr;
  if (gcry_md_open(&h, GCRY_MD_SHA512, 0) != 0) invariant_violated("gcry_md_open(SHA-512) failed");
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, read_chunk)));
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, chunk.size()));
    const auto got = file.read_at(offset, std::span<std::uint8_t>(chunk.data(), want));
    if (!got) {
      gcry_md_close(h);
      platform::wipe_memory(chunk.data(), chunk.size());
      return std::unexpected(ArchiveError::io(got.error()));
    }
    if (*got == 0) break;  // shrank meanwhile: the digest simply will not match
    gcry_md_write(h, chunk.data(), *got);
    offset += *got;
  }
  std::array<std::uint8_t, 64> digest{};
  const unsigned char* value = gcry_md_read(h, GCRY_MD_SHA512);
  std::copy(value, value + digest.size(), digest.begin());
  gcry_md_close(h);
  platform::wipe_memory(chunk.data(), chunk.size());
  return digest;
}

Result<void> append_key_file(const SecondFactorOptions& options, std::vector<std::uint8_t>& factors) {
  if (!options.key_file) return std::unexpected(ArchiveError::second_factor_required(std::string(texts::key_file)));
  const std::filesystem::path& path = *options.key_file;
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
  auto digest = hash_file(*file, *size);
  if (!digest) return std::unexpected(std::move(digest.error()));
  factors.push_back(key_file_marker);
  factors.insert(factors.end(), digest->begin(), digest->end());
  platform::wipe_memory(digest->data(), digest->size());
  return {};
}

Result<void> append_fido2(const Fido2KeyDescriptor& key, const SecondFactorOptions& options,
                          Fido2Authenticator& authenticator, std::vector<std::uint8_t>& factors) {
  if (authenticator.api_version() < FIDO2_MIN_API_VERSION)
    return std::unexpected(ArchiveError::unsupported(std::string(texts::fido2_platform_too_old)));
  std::array<std::uint8_t, 32> challenge{};
  if (const auto drawn = authenticator.random_bytes(challenge); !drawn)
    return std::unexpected(ArchiveError::message(texts::random_generator_failure(drawn.error())));
  const std::string client_data = fido2_client_data_json(challenge);

  Fido2Request request{key.rp_id, key.credential_id, key.salt, client_data, options.owner_window,
                       FIDO2_TIMEOUT_MS};
  Fido2Answer answer = authenticator.get_assertion(request);
  if (answer.hresult < 0) {
    const auto code = static_cast<std::uint32_t>(answer.hresult);
    if (code == hresult_win32_cancelled || code == hresult_nte_user_cancelled)
      return std::unexpected(ArchiveError::cancelled());
    return std::unexpected(ArchiveError::second_factor_required(texts::fido2_failure(answer.message, code)));
  }
  const bool usable = answer.assertion_version >= FIDO2_MIN_ASSERTION_VERSION && answer.hmac_secret &&
                      answer.hmac_secret->size() == FIDO2_HMAC_SECRET_SIZE;
  if (!usable) {
    if (answer.hmac_secret) platform::wipe_memory(answer.hmac_secret->data(), answer.hmac_secret->size());
    return std::unexpected(ArchiveError::second_factor_required(std::string(texts::fido2_no_hmac_secret)));
  }
  factors.push_back(fido2_marker);
  factors.insert(factors.end(), answer.hmac_secret->begin(), answer.hmac_secret->end());
  platform::wipe_memory(answer.hmac_secret->data(), answer.hmac_secret->size());
  return {};
}

}  // namespace

std::expected<void, std::uint32_t> Fido2Authenticator::random_bytes(std::span<std::uint8_t> out) {
  return platform::random_bytes(out);
}

std::string fido2_client_data_json(std::span<const std::uint8_t, 32> challenge) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text = R"({"type":"webauthn.get","challenge":")";
  for (const std::uint8_t byte : challenge) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  text += R"(","origin":"https://)";
  text += FIDO2_ORIGIN_DOMAIN;
  text += R"("})";
  return text;
}

Result<std::vector<std::uint8_t>> collect_factors(const HeaderExtensions& extensions,
                                                  const SecondFactorOptions& options,
                                                  Fido2Authenticator& authenticator) {
  std::vector<std::uint8_t> factors;
  factors.reserve(2 + 64 + FIDO2_HMAC_SECRET_SIZE);  // no reallocation leaves a stray copy behind
  const auto fail = [&](ArchiveError error) -> Result<std::vector<std::uint8_t>> {
    platform::wipe_memory(factors.data(), factors.size());
    return std::unexpected(std::move(error));
  };
  if (extensions.key_file_required) {
    if (auto added = append_key_file(options, factors); !added) return fail(std::move(added.error()));
  }
  if (extensions.fido2) {
    if (auto added = append_fido2(*extensions.fido2, options, authenticator, factors); !added)
      return fail(std::move(added.error()));
  }
  return factors;
}

Result<std::vector<std::uint8_t>> collect_factors(const HeaderExtensions& extensions,
                                                  const SecondFactorOptions& options) {
  return collect_factors(extensions, options, platform_fido2_authenticator());
}

}  // namespace quarn

#include "core/crypto/fido2_enrolment.h"

#include <array>
#include <string>

#include "core/error/detail_texts.h"

namespace quarn {
namespace {

// The credential's user: one fixed entity, since the credential is not
// resident and nothing is ever looked up by it.
constexpr std::string_view user_name = "Quarn";
constexpr std::array<std::uint8_t, 5> user_id = {'q', 'u', 'a', 'r', 'n'};
constexpr std::size_t max_credential_id = 0xFFFF;

ArchiveError random_failure(std::uint32_t status) {
  return ArchiveError::message(texts::random_generator_failure(status));
}

}  // namespace

Result<Fido2Enrolment> enrol_fido2_key(Fido2Authenticator& authenticator,
                                       const std::function<void(Fido2Touch)>& before_touch, void* owner_window) {
  if (authenticator.api_version() < FIDO2_MIN_API_VERSION)
    return std::unexpected(ArchiveError::unsupported(std::string(texts::fido2_platform_too_old)));
  std::array<std::uint8_t, 32> challenge{};
  if (const auto drawn = authenticator.random_bytes(challenge); !drawn)
    return std::unexpected(random_failure(drawn.error()));
  const std::string client_data = fido2_client_data_json(challenge, "webauthn.create");

  const Fido2CredentialRequest request{FIDO2_RP_ID, user_name,   user_id,         user_name,
                                       client_data, owner_window, FIDO2_TIMEOUT_MS};
  before_touch(Fido2Touch::MakeCredential);
  Fido2Credential credential = authenticator.make_credential(request);
  if (credential.hresult < 0) return std::unexpected(fido2_request_error(credential.hresult, credential.message));
  if (!credential.hmac_secret)
    return std::unexpected(ArchiveError::second_factor_required(std::string(texts::fido2_no_hmac_secret)));
  if (credential.credential_id.empty() || credential.credential_id.size() > max_credential_id)
    return std::unexpected(ArchiveError::second_factor_required(
        texts::fido2_failure(texts::fido2_credential_id_size(credential.credential_id.size()), 0)));

  Fido2Enrolment enrolment;
  enrolment.descriptor.rp_id = std::string(FIDO2_RP_ID);
  enrolment.descriptor.credential_id = std::move(credential.credential_id);
  if (const auto drawn = authenticator.random_bytes(enrolment.descriptor.salt); !drawn)
    return std::unexpected(random_failure(drawn.error()));

  before_touch(Fido2Touch::Assertion);
  auto secret = fido2_hmac_secret(enrolment.descriptor, owner_window, authenticator);
  if (!secret) return std::unexpected(std::move(secret.error()));
  enrolment.hmac_secret_output = std::move(*secret);
  return enrolment;
}

}  // namespace quarn

// A FIDO2 authenticator for tests: answers as told and records what it was
// asked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/crypto/second_factors.h"

namespace quarn::test {

class FakeAuthenticator final : public Fido2Authenticator {
 public:
  std::uint32_t version = FIDO2_MIN_API_VERSION;
  std::optional<std::uint32_t> random_failure;  // a status to fail the draw with
  std::uint8_t challenge_seed = 0;               // challenge bytes are seed, seed+1, ...
  Fido2Answer answer;  // its hmac_secret is filled from `output` on each call
  std::optional<std::vector<std::uint8_t>> output;

  int random_draws = 0;
  int assertions = 0;
  std::string last_rp_id;
  std::vector<std::uint8_t> last_credential_id;
  std::vector<std::uint8_t> last_salt;
  std::string last_client_data_json;
  void* last_owner_window = nullptr;
  std::uint32_t last_timeout_ms = 0;
  // make_credential answers with this and records the request.
  Fido2Credential credential;
  int credentials_made = 0;
  std::string last_rp_name;
  std::vector<std::uint8_t> last_user_id;
  std::string last_user_name;

  // An authenticator whose key answers with `output` in an assertion of version 3.
  static FakeAuthenticator answering(std::vector<std::uint8_t> output) {
    FakeAuthenticator fake;
    fake.answer.assertion_version = 3;
    fake.output = std::move(output);
    return fake;
  }

  std::uint32_t api_version() override { return version; }

  std::expected<void, std::uint32_t> random_bytes(std::span<std::uint8_t> out) override {
    ++random_draws;
    if (random_failure) return std::unexpected(*random_failure);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(challenge_seed + i);
    return {};
  }

  Fido2Answer get_assertion(const Fido2Request& request) override {
    ++assertions;
    last_rp_id = std::string(request.rp_id);
    last_credential_id.assign(request.credential_id.begin(), request.credential_id.end());
    last_salt.assign(request.salt.begin(), request.salt.end());
    last_client_data_json = std::string(request.client_data_json);
    last_owner_window = request.owner_window;
    last_timeout_ms = request.timeout_ms;
    Fido2Answer copy{answer.hresult, answer.message, answer.assertion_version, std::nullopt};
    if (output) copy.hmac_secret = SecretBuffer::from_bytes(*output);
    return copy;
  }

  Fido2Credential make_credential(const Fido2CredentialRequest& request) override {
    ++credentials_made;
    last_rp_id = std::string(request.rp_id);
    last_rp_name = std::string(request.rp_name);
    last_user_id.assign(request.user_id.begin(), request.user_id.end());
    last_user_name = std::string(request.user_name);
    last_client_data_json = std::string(request.client_data_json);
    last_owner_window = request.owner_window;
    last_timeout_ms = request.timeout_ms;
    return credential;
  }
};

}  // namespace quarn::test

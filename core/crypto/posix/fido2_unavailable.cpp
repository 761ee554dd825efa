// The platform authenticator of builds without FIDO2 support: it reports API
// version 0, so a FIDO2 factor ends with the Unsupported text.
#include "core/crypto/second_factors.h"

namespace quarn {
namespace {

class UnavailableAuthenticator final : public Fido2Authenticator {
 public:
  std::uint32_t api_version() override { return 0; }
  Fido2Answer get_assertion(const Fido2Request&) override {
    invariant_violated("FIDO2 assertion requested without platform support");
  }
  Fido2Credential make_credential(const Fido2CredentialRequest&) override {
    invariant_violated("FIDO2 credential requested without platform support");
  }
};

}  // namespace

Fido2Authenticator& platform_fido2_authenticator() {
  static UnavailableAuthenticator authenticator;
  return authenticator;
}

}  // namespace quarn

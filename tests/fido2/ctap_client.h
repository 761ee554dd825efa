// The client side of CTAP2 as a platform's WebAuthn does it for its callers,
// over a software key: a credential with hmac-secret, and an assertion whose
// hmac-secret salt is encrypted for the key and whose output is decrypted,
// under the first PIN/UV protocol the key offers, with the user verified by
// the key itself.
#pragma once

#include <optional>
#include <string>

#include "tests/fido2/soft_authenticator.h"

namespace quarn::softkey {

struct MadeCredential {
  std::uint8_t status = ctap::ok;  // the key's; the rest is filled only on ok
  Bytes credential_id;
  Bytes authenticator_data;
  Bytes attestation_statement;  // CBOR
  Bytes attestation_object;     // CBOR {fmt, attStmt, authData}
  bool hmac_secret = false;     // the key enabled the extension
};

struct Assertion {
  std::uint8_t status = ctap::ok;
  Bytes credential_id;
  Bytes authenticator_data;
  Bytes signature;
  std::optional<Bytes> hmac_secret;  // the first output, when the key gave one
};

class CtapClient {
 public:
  explicit CtapClient(SoftAuthenticator& key) : key_(key) {}

  MadeCredential make_credential(ByteView client_data_hash, const std::string& rp_id, const std::string& rp_name,
                                 ByteView user_id, const std::string& user_name, const std::string& display_name);
  // `salt` 32 bytes.
  Assertion get_assertion(const std::string& rp_id, ByteView client_data_hash, ByteView credential_id,
                          ByteView salt);

 private:
  std::optional<Cbor> call(std::uint8_t command, const Cbor& parameters, std::uint8_t& status);

  SoftAuthenticator& key_;
};

}  // namespace quarn::softkey

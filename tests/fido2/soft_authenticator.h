// A software FIDO2 authenticator for the tests: CTAP2 authenticatorGetInfo,
// authenticatorMakeCredential, authenticatorGetAssertion with the
// hmac-secret extension, and authenticatorClientPIN (key agreement, PIN
// tokens with and without permissions, UV tokens) under PIN/UV protocols 1
// and 2. Credentials are not stored: the credential id carries a nonce and a
// tag under the key's identity, so every instance made from the same
// settings knows the same credentials, in one process or in several.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fido2/cbor.h"
#include "tests/fido2/pin_protocol.h"
#include "tests/fido2/soft_crypto.h"

namespace quarn::softkey {

// How a software key behaves. Written as a comma-separated list, e.g.
// "secret=other,pin=1234,protocols=1,ctap20,refuse":
//   identity=TEXT   which credentials it knows (default "1")
//   secret=TEXT     what its hmac-secret outputs come from (default "1"); a
//                   key of the same identity and another secret accepts the
//                   credential and answers differently
//   pin=DIGITS      a PIN is set; the key then has no built-in user
//                   verification unless "uv" follows
//   uv / no-uv      built-in user verification (default: on without a PIN)
//   protocols=2+1   the PIN/UV auth protocols it offers, in order
//   ctap20          a CTAP 2.0 key: no tokens with permissions
//   refuse          the user refuses every touch (and built-in verification)
//   no-hmac-secret  the key lacks the extension
//   absent          no key is connected at all (for the programs' device lists)
//   api=N           the WebAuthn API version the stand-in webauthn.dll reports
struct SoftKeyConfig {
  std::string identity = "1";
  std::string secret = "1";
  std::optional<std::string> pin;
  bool built_in_uv = true;
  std::vector<int> protocols = {2, 1};
  bool ctap21 = true;
  bool refuse = false;
  bool hmac_secret = true;
  bool absent = false;
  std::uint32_t api_version = 4;
};

// nullopt for an unknown word or a malformed value.
std::optional<SoftKeyConfig> parse_soft_key_config(std::string_view text);

// CTAP2 status codes it answers with.
namespace ctap {
inline constexpr std::uint8_t ok = 0x00;
inline constexpr std::uint8_t invalid_command = 0x01;
inline constexpr std::uint8_t invalid_parameter = 0x02;
inline constexpr std::uint8_t invalid_length = 0x03;
inline constexpr std::uint8_t cbor_unexpected_type = 0x11;
inline constexpr std::uint8_t invalid_cbor = 0x12;
inline constexpr std::uint8_t missing_parameter = 0x14;
inline constexpr std::uint8_t unsupported_algorithm = 0x26;
inline constexpr std::uint8_t operation_denied = 0x27;
inline constexpr std::uint8_t unsupported_option = 0x2B;
inline constexpr std::uint8_t invalid_option = 0x2C;
inline constexpr std::uint8_t no_credentials = 0x2E;
inline constexpr std::uint8_t not_allowed = 0x30;
inline constexpr std::uint8_t pin_invalid = 0x31;
inline constexpr std::uint8_t pin_blocked = 0x32;
inline constexpr std::uint8_t pin_auth_invalid = 0x33;
inline constexpr std::uint8_t pin_not_set = 0x35;
inline constexpr std::uint8_t pin_required = 0x36;
inline constexpr std::uint8_t invalid_subcommand = 0x3E;
inline constexpr std::uint8_t unauthorized_permission = 0x40;
}  // namespace ctap

// CTAP2 command bytes.
inline constexpr std::uint8_t ctap_make_credential = 0x01;
inline constexpr std::uint8_t ctap_get_assertion = 0x02;
inline constexpr std::uint8_t ctap_get_info = 0x04;
inline constexpr std::uint8_t ctap_client_pin = 0x06;

// What the key saw of the last requests, for tests to check.
struct Observed {
  int credentials_made = 0;
  int assertions = 0;
  std::vector<int> token_subcommands;  // clientPIN subcommands that gave a token
  int last_protocol = 0;               // of the last clientPIN or hmac-secret request
  bool last_user_verified = false;     // of the last credential or assertion
  bool last_hmac_secret = false;       // an hmac-secret output was given
};

class SoftAuthenticator {
 public:
  explicit SoftAuthenticator(SoftKeyConfig config);

  // One CTAP2 request: the command byte, then its CBOR parameters. The
  // answer: a status byte, then the CBOR response when the status is 0.
  Bytes handle(ByteView request);

  const SoftKeyConfig& config() const { return config_; }
  const Observed& observed() const { return observed_; }

 private:
  struct Token {
    Bytes value;
    std::int64_t permissions = 0;
    std::optional<std::string> rp_id;
    bool from_uv = false;
  };
  struct Verification {
    std::uint8_t status = ctap::ok;
    bool user_verified = false;
  };

  Bytes get_info() const;
  Bytes make_credential(const Cbor& request);
  Bytes get_assertion(const Cbor& request);
  Bytes client_pin(const Cbor& request);
  Bytes issue_token(const Cbor& request, const PinProtocol& protocol, int subcommand);

  // pinUvAuthParam (or the "uv" option) of a request against the token.
  Verification verify_user(const Cbor& request, int param_key, int protocol_key, int options_key,
                           ByteView client_data_hash, std::int64_t permission, const std::string& rp_id);
  std::expected<Bytes, std::uint8_t> hmac_secret_output(const Cbor& input, ByteView nonce, bool user_verified);
  std::optional<Bytes> shared_secret(const PinProtocol& protocol, const Cbor& platform_key) const;
  bool offers(int protocol) const;

  Bytes credential_id(ByteView rp_id_hash, ByteView nonce) const;
  std::optional<Bytes> nonce_of(ByteView credential_id, ByteView rp_id_hash) const;
  P256Key credential_key(ByteView nonce) const;

  SoftKeyConfig config_;
  Bytes identity_key_;
  Bytes secret_key_;
  P256Key key_agreement_;
  std::optional<Token> token_;
  int pin_retries_ = 8;
  std::uint32_t counter_ = 0;
  Observed observed_;
};

}  // namespace quarn::softkey

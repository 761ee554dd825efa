// Second factors: the key file and the FIDO2 hmac-secret that an archive may
// demand besides the password, turned into the factor string that key
// derivation mixes in.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/header_extensions.h"
#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"

namespace quarn {

class Fido2Authenticator;

// What the caller offers for the factors an archive may demand.
struct SecondFactorOptions {
  std::optional<std::filesystem::path> key_file;
  void* owner_window = nullptr;  // HWND owning the FIDO2 prompt; null: the foreground window
  Fido2Authenticator* authenticator = nullptr;  // who asks the key; null: the platform's
};

inline constexpr std::uint64_t KEY_FILE_MAX = 67108864;  // 64 MiB, inclusive
inline constexpr std::uint32_t FIDO2_TIMEOUT_MS = 120000;
// hmac-secret salts in a request and its output in the answer need API 4.
inline constexpr std::uint32_t FIDO2_MIN_API_VERSION = 4;
inline constexpr std::uint32_t FIDO2_MIN_ASSERTION_VERSION = 3;
inline constexpr std::size_t FIDO2_HMAC_SECRET_SIZE = 32;
// The host of the origin in client_data_json. The derived keys do not depend
// on it: only the hmac-secret output enters them.
inline constexpr std::string_view FIDO2_ORIGIN_DOMAIN = "quarn.invalid";
// The relying party of the credentials that `quarn create --fido2` makes, and
// the only one whose key extraction asks: an archive naming another is refused.
inline constexpr std::string_view FIDO2_RP_ID = FIDO2_ORIGIN_DOMAIN;

// One assertion request with the hmac-secret extension, as the platform
// authenticator receives it. The borrows last for the call only.
struct Fido2Request {
  std::string_view rp_id;                           // UTF-8
  std::span<const std::uint8_t> credential_id;      // the one allowed credential
  std::span<const std::uint8_t, 32> salt;           // the first (and only) hmac-secret salt
  std::string_view client_data_json;                // hashed with SHA-256 by the platform
  void* owner_window = nullptr;                     // null: the foreground window
  std::uint32_t timeout_ms = FIDO2_TIMEOUT_MS;
  // User verification required, cross-platform authenticators only.
};

// What came back. A negative `hresult` is a failure, `message` the system's
// text for it; otherwise `assertion_version` and the first hmac-secret
// output, when the assertion carried one.
struct Fido2Answer {
  std::int32_t hresult = 0;
  std::string message;
  std::uint32_t assertion_version = 0;
  std::optional<SecretBuffer> hmac_secret;
};

// A request to make a credential for one of our archives: ES256, not
// resident, with the hmac-secret extension, user verification required, on a
// cross-platform key. The borrows last for the call only.
struct Fido2CredentialRequest {
  std::string_view rp_id;                           // UTF-8
  std::string_view rp_name;
  std::span<const std::uint8_t> user_id;
  std::string_view user_name;                       // also the display name
  std::string_view client_data_json;                // type "webauthn.create"
  void* owner_window = nullptr;                     // null: the foreground window
  std::uint32_t timeout_ms = FIDO2_TIMEOUT_MS;
};

// The credential made, or why not: a negative `hresult` as in Fido2Answer.
// `hmac_secret` says whether the key enabled the extension for it.
struct Fido2Credential {
  std::int32_t hresult = 0;
  std::string message;
  std::vector<std::uint8_t> credential_id;
  bool hmac_secret = false;
};

// The platform's FIDO2 facilities, replaceable in tests. Called on one thread
// at a time.
class Fido2Authenticator {
 public:
  virtual ~Fido2Authenticator() = default;
  // The WebAuthn API version; 0 when there is no platform support at all.
  virtual std::uint32_t api_version() = 0;
  // The challenge's and the salt's random bytes; the default draws them from
  // the system's generator. On failure the system's status.
  virtual std::expected<void, std::uint32_t> random_bytes(std::span<std::uint8_t> out);
  // Blocks until the user acts or the time-out passes.
  virtual Fido2Answer get_assertion(const Fido2Request& request) = 0;
  // Blocks until the user acts or the time-out passes. Only called when
  // api_version() is at least FIDO2_MIN_API_VERSION.
  virtual Fido2Credential make_credential(const Fido2CredentialRequest& request) = 0;
};

// The build's platform authenticator: WebAuthn (webauthn.dll, loaded on first
// use) on Windows; libfido2 elsewhere when the build found it, otherwise one
// that reports API version 0.
Fido2Authenticator& platform_fido2_authenticator();

// {"type":"<type>","challenge":"<64 lower-case hex digits>","origin":"https://<FIDO2_ORIGIN_DOMAIN>"}
// with the type "webauthn.get" unless another is given.
std::string fido2_client_data_json(std::span<const std::uint8_t, 32> challenge,
                                   std::string_view type = "webauthn.get");

// How a failed FIDO2 request reads: the cancelled codes (0x800704C7,
// 0x80090036) as Cancelled, any other as SecondFactorRequired
// "klucz FIDO2: <message> (0x........)". `hresult` is negative.
ArchiveError fido2_request_error(std::int32_t hresult, std::string_view message);

inline constexpr std::uint8_t FACTOR_KEY_FILE = 0x01;
inline constexpr std::uint8_t FACTOR_FIDO2 = 0x02;
inline constexpr std::size_t KEY_FILE_DIGEST_SIZE = 64;

// The factor string's length for the factors demanded: 65 bytes for a key
// file, 33 for a FIDO2 key.
std::size_t factor_string_size(bool key_file, bool fido2);

// SHA-512 of a key file into `digest`, streamed, never holding the file
// whole. Errors as the key-file branch of collect_factors below.
Result<void> hash_key_file(const std::filesystem::path& path,
                           std::span<std::uint8_t, KEY_FILE_DIGEST_SIZE> digest);

// The factor string: 0x01 ‖ SHA-512(key file) when the header demands a key
// file, then 0x02 ‖ hmac-secret output when it names a FIDO2 key; empty when
// it demands neither (and nothing is asked for). The key file comes first and
// a missing one stops before any FIDO2 prompt. Errors:
//   a FIDO2 key of another relying party than FIDO2_RP_ID: Integrity
//   texts::fido2_foreign_relying_party, before anything else;
//   no key file given: SecondFactorRequired "plik-klucz";
//   its metadata unreadable: SecondFactorRequired "nie mozna odczytac pliku-klucza <path>: <system text>";
//   size 0 or above KEY_FILE_MAX (judged before reading): Message "Plik-klucz musi miec od 1 B do 64 MiB.";
//   reading fails: Io;
//   API version below FIDO2_MIN_API_VERSION: Unsupported (before any random byte is drawn);
//   random generator failure: Message "Systemowy generator losowy zwrocil blad 0x........";
//   prompt cancelled (0x800704C7, 0x80090036): Cancelled;
//   other failures: SecondFactorRequired "klucz FIDO2: <message> (0x........)";
//   no 32-byte hmac-secret output in an assertion of version 3 or more:
//   SecondFactorRequired "ten klucz FIDO2 nie obsluguje rozszerzenia hmac-secret".
Result<SecretBuffer> collect_factors(const HeaderExtensions& extensions, const SecondFactorOptions& options,
                                     Fido2Authenticator& authenticator);
// The same with options.authenticator, or the platform's when it is null.
Result<SecretBuffer> collect_factors(const HeaderExtensions& extensions, const SecondFactorOptions& options);

// The FIDO2 branch of collect_factors on its own: the key's 32-byte
// hmac-secret output for the descriptor's credential and salt, with the
// errors listed above from the relying party on.
Result<SecretBuffer> fido2_hmac_secret(const Fido2KeyDescriptor& key, void* owner_window,
                                       Fido2Authenticator& authenticator);

}  // namespace quarn

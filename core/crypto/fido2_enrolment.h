// Binding a new archive to a FIDO2 key: a credential with the hmac-secret
// extension made on the key, a fresh salt, and the key's hmac-secret output
// for that salt, obtained by the same assertion that extraction makes.
#pragma once

#include <functional>

#include "core/crypto/header_extensions.h"
#include "core/crypto/second_factors.h"
#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"

namespace quarn {

// The two moments the user must touch the key, in this order.
enum class Fido2Touch { MakeCredential, Assertion };

struct Fido2Enrolment {
  Fido2KeyDescriptor descriptor;   // rp_id FIDO2_RP_ID, the new credential, a fresh salt
  SecretBuffer hmac_secret_output;  // 32 bytes: what extraction will obtain again
};

// Makes the credential (relying party FIDO2_RP_ID, user verification
// required), draws a 32-byte salt with authenticator.random_bytes and asks
// for the hmac-secret output. `before_touch` is called right before each of
// the two requests. Errors, before any request when the platform is too old:
//   API version below FIDO2_MIN_API_VERSION: Unsupported;
//   random generator failure: Message "Systemowy generator losowy zwrocil blad 0x........";
//   a refused or cancelled request: Cancelled;
//   other failures: SecondFactorRequired "klucz FIDO2: <message> (0x........)";
//   a key without hmac-secret: SecondFactorRequired "ten klucz FIDO2 nie obsluguje rozszerzenia hmac-secret";
//   a credential id of 0 or more than 65535 bytes (it would not fit the
//   descriptor): SecondFactorRequired "klucz FIDO2: identyfikator poswiadczenia ma ... B (0x00000000)".
Result<Fido2Enrolment> enrol_fido2_key(Fido2Authenticator& authenticator,
                                       const std::function<void(Fido2Touch)>& before_touch,
                                       void* owner_window = nullptr);

}  // namespace quarn

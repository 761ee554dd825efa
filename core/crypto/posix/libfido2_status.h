// How a libfido2 status reads to collect_factors: the user's refusal as the
// cancelled code, every other failure as an HRESULT-shaped code with a text.
#pragma once

#include <cstdint>

#include "core/crypto/second_factors.h"

namespace quarn::libfido2 {

// Codes of our own for libfido2 statuses: this prefix | the status's low 16 bits.
inline constexpr std::uint32_t status_code_prefix = 0x8FD00000;
// No connected key at all (libfido2 has no status for it).
inline constexpr int status_no_device = -1000;
// The key can verify its user only with a PIN, and there is no terminal to ask.
inline constexpr int status_pin_needs_terminal = -1001;
// The key has neither a PIN nor built-in user verification.
inline constexpr int status_no_user_verification = -1002;

// A key without the hmac-secret extension answers as one that returned no
// output, so the caller names what is missing.
Fido2Answer failure_answer(int status);
// The same for a credential request: a key without the extension gives a
// credential without hmac-secret.
Fido2Credential failure_credential(int status);

}  // namespace quarn::libfido2

#include "core/crypto/posix/libfido2_status.h"

#include <fido.h>

#include <string>

namespace quarn::libfido2 {
namespace {

constexpr std::uint32_t hresult_cancelled = 0x800704C7;  // what collect_factors reads as the user's cancel

std::string describe(int status) {
  switch (status) {
    case status_no_device: return "nie znaleziono podlaczonego klucza";
    case status_pin_needs_terminal: return "klucz wymaga PIN-u, a nie ma terminala, by o niego zapytac";
    case status_no_user_verification: return "klucz nie ma PIN-u ani wbudowanej weryfikacji uzytkownika";
    case FIDO_ERR_NO_CREDENTIALS: return "zaden podlaczony klucz nie zna poswiadczenia tego archiwum";
    case FIDO_ERR_PIN_INVALID: return "bledny PIN";
    case FIDO_ERR_PIN_BLOCKED:
    case FIDO_ERR_PIN_AUTH_BLOCKED: return "PIN zablokowany";
    case FIDO_ERR_PIN_REQUIRED: return "klucz wymaga PIN-u";
    case FIDO_ERR_UV_BLOCKED:
    case FIDO_ERR_UV_INVALID: return "weryfikacja uzytkownika nie powiodla sie";
    case FIDO_ERR_TIMEOUT:
    case FIDO_ERR_ACTION_TIMEOUT:
    case FIDO_ERR_USER_ACTION_TIMEOUT: return "minal czas na potwierdzenie na kluczu";
    default: return fido_strerr(status);
  }
}

}  // namespace

Fido2Answer failure_answer(int status) {
  Fido2Answer answer;
  if (status == FIDO_ERR_UNSUPPORTED_EXTENSION) {
    // An answer without an output: collect_factors names the missing hmac-secret.
    answer.assertion_version = FIDO2_MIN_ASSERTION_VERSION;
    return answer;
  }
  const bool refused_by_user = status == FIDO_ERR_KEEPALIVE_CANCEL || status == FIDO_ERR_OPERATION_DENIED;
  const std::uint32_t code =
      refused_by_user ? hresult_cancelled : status_code_prefix | (static_cast<std::uint32_t>(status) & 0xFFFF);
  answer.hresult = static_cast<std::int32_t>(code);
  if (!refused_by_user) answer.message = describe(status);
  return answer;
}

Fido2Credential failure_credential(int status) {
  Fido2Answer answer = failure_answer(status);
  Fido2Credential credential;
  credential.hresult = answer.hresult;
  credential.message = std::move(answer.message);
  return credential;
}

}  // namespace quarn::libfido2

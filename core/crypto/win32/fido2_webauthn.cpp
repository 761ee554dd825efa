// The Windows platform authenticator: the WebAuthn API of webauthn.dll,
// loaded on first use from System32 so that the program still starts where
// the library is absent (which counts as API version 0).
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <array>
#include <cwctype>
#include <string>
#include <vector>

#include "core/crypto/second_factors.h"
#include "core/crypto/win32/webauthn_abi.h"
#include "core/platform/utf.h"

namespace quarn {
namespace {

constexpr DWORD facility_nt_bit = 0x10000000;

template <class Fn>
Fn entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct WebAuthnLibrary {
  webauthn::GetApiVersionNumber get_api_version = nullptr;
  webauthn::AuthenticatorGetAssertion get_assertion = nullptr;
  webauthn::FreeAssertion free_assertion = nullptr;
  webauthn::AuthenticatorMakeCredential make_credential = nullptr;
  webauthn::FreeCredentialAttestation free_attestation = nullptr;

  bool complete() const {
    return get_api_version && get_assertion && free_assertion && make_credential && free_attestation;
  }

  // Loaded once for the process and never unloaded.
  static const WebAuthnLibrary& instance() {
    static const WebAuthnLibrary library = [] {
      WebAuthnLibrary loaded;
      HMODULE module = LoadLibraryExW(L"webauthn.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      if (!module) return loaded;
      loaded.get_api_version = entry<webauthn::GetApiVersionNumber>(module, "WebAuthNGetApiVersionNumber");
      loaded.get_assertion = entry<webauthn::AuthenticatorGetAssertion>(module, "WebAuthNAuthenticatorGetAssertion");
      loaded.free_assertion = entry<webauthn::FreeAssertion>(module, "WebAuthNFreeAssertion");
      loaded.make_credential =
          entry<webauthn::AuthenticatorMakeCredential>(module, "WebAuthNAuthenticatorMakeCredential");
      loaded.free_attestation =
          entry<webauthn::FreeCredentialAttestation>(module, "WebAuthNFreeCredentialAttestation");
      return loaded;
    }();
    return library;
  }

  static const WebAuthnLibrary& loaded() {
    const auto& library = instance();
    if (!library.complete()) invariant_violated("WebAuthn request without webauthn.dll");
    return library;
  }
};

std::string to_utf8(std::wstring_view text) {
  while (!text.empty() && iswspace(text.back())) text.remove_suffix(1);
  return platform::utf16_to_utf8(std::u16string(text.begin(), text.end()));
}

std::wstring to_wide(std::string_view text) {
  const std::u16string units = platform::utf8_to_utf16(text);
  return std::wstring(units.begin(), units.end());  // c_str() supplies the NUL
}

// The thread's COM error description when there is one, otherwise the
// message table's text for the code (NT status codes from ntdll.dll).
std::string hresult_message(HRESULT result) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR description = nullptr;
    std::wstring text;
    if (SUCCEEDED(info->GetDescription(&description)) && description) {
      text.assign(description, SysStringLen(description));
      SysFreeString(description);
    }
    info->Release();
    if (!text.empty()) return to_utf8(text);
  }
  DWORD code = static_cast<DWORD>(result);
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  if (code & facility_nt_bit) {
    code &= ~facility_nt_bit;
    source = GetModuleHandleW(L"ntdll.dll");
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  } else {
    flags |= FORMAT_MESSAGE_FROM_SYSTEM;
  }
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(flags, source, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length && buffer ? to_utf8(std::wstring_view(buffer, length)) : std::string();
  if (buffer) LocalFree(buffer);
  return text;
}

HWND owner(void* window) { return window ? static_cast<HWND>(window) : GetForegroundWindow(); }

// The extension output of a credential attestation says whether the key
// enabled hmac-secret for the credential.
bool hmac_secret_enabled(const webauthn::CredentialAttestation& attestation) {
  if (attestation.dwVersion < webauthn::attestation_extensions_version) return false;
  for (DWORD i = 0; i < attestation.Extensions.cExtensions; ++i) {
    const webauthn::Extension& extension = attestation.Extensions.pExtensions[i];
    if (extension.pwszExtensionIdentifier && std::wstring_view(extension.pwszExtensionIdentifier) == webauthn::hmac_secret_extension &&
        extension.cbExtension == sizeof(BOOL) && extension.pvExtension)
      return *static_cast<const BOOL*>(extension.pvExtension) != FALSE;
  }
  return false;
}

class WebAuthnAuthenticator final : public Fido2Authenticator {
 public:
  std::uint32_t api_version() override {
    const auto& library = WebAuthnLibrary::instance();
    return library.complete() ? library.get_api_version() : 0;
  }

  Fido2Answer get_assertion(const Fido2Request& request) override {
    const auto& library = WebAuthnLibrary::loaded();
    const std::wstring rp_id = to_wide(request.rp_id);
    std::vector<std::uint8_t> credential_id(request.credential_id.begin(), request.credential_id.end());
    std::array<std::uint8_t, 32> salt{};
    std::copy(request.salt.begin(), request.salt.end(), salt.begin());
    std::string json(request.client_data_json);

    webauthn::Credential credential{webauthn::credential_version, static_cast<DWORD>(credential_id.size()),
                                    credential_id.data(), webauthn::credential_type};
    webauthn::HmacSecretSalt hmac_salt{static_cast<DWORD>(salt.size()), salt.data(), 0, nullptr};
    webauthn::HmacSecretSaltValues salt_values{&hmac_salt, 0, nullptr};
    webauthn::ClientData client_data{webauthn::client_data_version, static_cast<DWORD>(json.size()),
                                     reinterpret_cast<PBYTE>(json.data()), webauthn::hash_sha256};
    webauthn::GetAssertionOptions options{};
    options.dwVersion = webauthn::get_assertion_options_version;
    options.dwTimeoutMilliseconds = request.timeout_ms;
    options.CredentialList = {1, &credential};
    options.dwAuthenticatorAttachment = webauthn::attachment_cross_platform;
    options.dwUserVerificationRequirement = webauthn::user_verification_required;
    options.dwFlags = webauthn::hmac_secret_values_flag;
    options.pHmacSecretSaltValues = &salt_values;

    webauthn::Assertion* assertion = nullptr;
    const HRESULT result =
        library.get_assertion(owner(request.owner_window), rp_id.c_str(), &client_data, &options, &assertion);

    Fido2Answer answer;
    answer.hresult = static_cast<std::int32_t>(result);
    if (FAILED(result)) {
      answer.message = hresult_message(result);
      if (assertion) library.free_assertion(assertion);
      return answer;
    }
    if (!assertion) return answer;  // no assertion: version 0, no output
    answer.assertion_version = assertion->dwVersion;
    if (assertion->dwVersion >= FIDO2_MIN_ASSERTION_VERSION && assertion->pHmacSecret &&
        assertion->pHmacSecret->pbFirst)
      answer.hmac_secret = SecretBuffer::from_bytes({assertion->pHmacSecret->pbFirst, assertion->pHmacSecret->cbFirst});
    library.free_assertion(assertion);
    return answer;
  }

  Fido2Credential make_credential(const Fido2CredentialRequest& request) override {
    const auto& library = WebAuthnLibrary::loaded();
    const std::wstring rp_id = to_wide(request.rp_id);
    const std::wstring rp_name = to_wide(request.rp_name);
    const std::wstring user_name = to_wide(request.user_name);
    std::vector<std::uint8_t> user_id(request.user_id.begin(), request.user_id.end());
    std::string json(request.client_data_json);

    webauthn::RpEntity rp{webauthn::entity_version, rp_id.c_str(), rp_name.c_str(), nullptr};
    webauthn::UserEntity user{webauthn::entity_version, static_cast<DWORD>(user_id.size()), user_id.data(),
                              user_name.c_str(), nullptr, user_name.c_str()};
    webauthn::CoseParameter es256{webauthn::cose_parameter_version, webauthn::credential_type, webauthn::cose_es256};
    webauthn::CoseParameters parameters{1, &es256};
    webauthn::ClientData client_data{webauthn::client_data_version, static_cast<DWORD>(json.size()),
                                     reinterpret_cast<PBYTE>(json.data()), webauthn::hash_sha256};
    BOOL enable_hmac_secret = TRUE;
    webauthn::Extension hmac_secret{webauthn::hmac_secret_extension, sizeof(BOOL), &enable_hmac_secret};
    webauthn::MakeCredentialOptions options{};
    options.dwVersion = webauthn::make_credential_options_version;
    options.dwTimeoutMilliseconds = request.timeout_ms;
    options.Extensions = {1, &hmac_secret};
    options.dwAuthenticatorAttachment = webauthn::attachment_cross_platform;
    options.bRequireResidentKey = FALSE;
    options.dwUserVerificationRequirement = webauthn::user_verification_required;
    options.dwAttestationConveyancePreference = webauthn::attestation_conveyance_none;

    webauthn::CredentialAttestation* attestation = nullptr;
    const HRESULT result = library.make_credential(owner(request.owner_window), &rp, &user, &parameters,
                                                   &client_data, &options, &attestation);
    Fido2Credential made;
    made.hresult = static_cast<std::int32_t>(result);
    if (FAILED(result)) {
      made.message = hresult_message(result);
      if (attestation) library.free_attestation(attestation);
      return made;
    }
    if (!attestation) return made;  // no credential: no hmac-secret either
    if (attestation->pbCredentialId)
      made.credential_id.assign(attestation->pbCredentialId, attestation->pbCredentialId + attestation->cbCredentialId);
    made.hmac_secret = hmac_secret_enabled(*attestation);
    library.free_attestation(attestation);
    return made;
  }
};

}  // namespace

Fido2Authenticator& platform_fido2_authenticator() {
  static WebAuthnAuthenticator authenticator;
  return authenticator;
}

}  // namespace quarn

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
#include "core/platform/utf.h"

namespace quarn {
namespace {

// The WebAuthn ABI as far as we use it. The SDK headers available to the
// cross compiler stop before the hmac-secret fields, so the structures are
// declared here: options version 6 and assertion version 3 (API version 4).
struct WaCredential {
  DWORD dwVersion;
  DWORD cbId;
  PBYTE pbId;
  LPCWSTR pwszCredentialType;
};
struct WaCredentials {
  DWORD cCredentials;
  WaCredential* pCredentials;
};
struct WaExtensions {
  DWORD cExtensions;
  void* pExtensions;
};
struct WaClientData {
  DWORD dwVersion;
  DWORD cbClientDataJSON;
  PBYTE pbClientDataJSON;
  LPCWSTR pwszHashAlgId;
};
struct WaHmacSecretSalt {
  DWORD cbFirst;
  PBYTE pbFirst;
  DWORD cbSecond;
  PBYTE pbSecond;
};
struct WaCredWithHmacSecretSalt {
  DWORD cbCredID;
  PBYTE pbCredID;
  WaHmacSecretSalt* pHmacSecretSalt;
};
struct WaHmacSecretSaltValues {
  WaHmacSecretSalt* pGlobalHmacSalt;
  DWORD cCredWithHmacSecretSaltList;
  WaCredWithHmacSecretSalt* pCredWithHmacSecretSaltList;
};
struct WaGetAssertionOptions {  // version 6
  DWORD dwVersion;
  DWORD dwTimeoutMilliseconds;
  WaCredentials CredentialList;
  WaExtensions Extensions;
  DWORD dwAuthenticatorAttachment;
  DWORD dwUserVerificationRequirement;
  DWORD dwFlags;
  PCWSTR pwszU2fAppId;                                 // version 2
  BOOL* pbU2fAppId;
  GUID* pCancellationId;                               // version 3
  void* pAllowCredentialList;                          // version 4
  DWORD dwCredLargeBlobOperation;                      // version 5
  DWORD cbCredLargeBlob;
  PBYTE pbCredLargeBlob;
  WaHmacSecretSaltValues* pHmacSecretSaltValues;       // version 6
  BOOL bBrowserInPrivateMode;
};
struct WaAssertion {  // fields up to version 3; read past version 1 only by version
  DWORD dwVersion;
  DWORD cbAuthenticatorData;
  PBYTE pbAuthenticatorData;
  DWORD cbSignature;
  PBYTE pbSignature;
  WaCredential Credential;
  DWORD cbUserId;
  PBYTE pbUserId;
  WaExtensions Extensions;                             // version 2
  DWORD cbCredLargeBlob;
  PBYTE pbCredLargeBlob;
  DWORD dwCredLargeBlobStatus;
  WaHmacSecretSalt* pHmacSecret;                       // version 3
};

constexpr DWORD options_version = 6;
constexpr DWORD credential_version = 1;
constexpr DWORD client_data_version = 1;
constexpr DWORD attachment_cross_platform = 2;
constexpr DWORD user_verification_required = 1;
constexpr DWORD hmac_secret_values_flag = 0x00100000;
constexpr DWORD facility_nt_bit = 0x10000000;

using GetApiVersionNumber = DWORD(WINAPI*)();
using AuthenticatorGetAssertion = HRESULT(WINAPI*)(HWND, LPCWSTR, const WaClientData*, const WaGetAssertionOptions*,
                                                   WaAssertion**);
using FreeAssertion = void(WINAPI*)(WaAssertion*);

template <class Fn>
Fn entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct WebAuthnLibrary {
  GetApiVersionNumber get_api_version = nullptr;
  AuthenticatorGetAssertion get_assertion = nullptr;
  FreeAssertion free_assertion = nullptr;

  bool complete() const { return get_api_version && get_assertion && free_assertion; }

  // Loaded once for the process and never unloaded.
  static const WebAuthnLibrary& instance() {
    static const WebAuthnLibrary library = [] {
      WebAuthnLibrary loaded;
      HMODULE module = LoadLibraryExW(L"webauthn.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      if (!module) return loaded;
      loaded.get_api_version = entry<GetApiVersionNumber>(module, "WebAuthNGetApiVersionNumber");
      loaded.get_assertion = entry<AuthenticatorGetAssertion>(module, "WebAuthNAuthenticatorGetAssertion");
      loaded.free_assertion = entry<FreeAssertion>(module, "WebAuthNFreeAssertion");
      return loaded;
    }();
    return library;
  }
};

std::string to_utf8(std::wstring_view text) {
  while (!text.empty() && iswspace(text.back())) text.remove_suffix(1);
  return platform::utf16_to_utf8(std::u16string(text.begin(), text.end()));
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

class WebAuthnAuthenticator final : public Fido2Authenticator {
 public:
  std::uint32_t api_version() override {
    const auto& library = WebAuthnLibrary::instance();
    return library.complete() ? library.get_api_version() : 0;
  }

  Fido2Answer get_assertion(const Fido2Request& request) override {
    const auto& library = WebAuthnLibrary::instance();
    if (!library.complete()) invariant_violated("WebAuthn assertion without webauthn.dll");

    const std::u16string rp_id16 = platform::utf8_to_utf16(request.rp_id);
    const std::wstring rp_id(rp_id16.begin(), rp_id16.end());  // c_str() supplies the NUL
    std::vector<std::uint8_t> credential_id(request.credential_id.begin(), request.credential_id.end());
    std::array<std::uint8_t, 32> salt{};
    std::copy(request.salt.begin(), request.salt.end(), salt.begin());
    std::string json(request.client_data_json);

    WaCredential credential{credential_version, static_cast<DWORD>(credential_id.size()), credential_id.data(),
                            L"public-key"};
    WaHmacSecretSalt hmac_salt{static_cast<DWORD>(salt.size()), salt.data(), 0, nullptr};
    WaHmacSecretSaltValues salt_values{&hmac_salt, 0, nullptr};
    WaClientData client_data{client_data_version, static_cast<DWORD>(json.size()),
                             reinterpret_cast<PBYTE>(json.data()), L"SHA-256"};
    WaGetAssertionOptions options{};
    options.dwVersion = options_version;
    options.dwTimeoutMilliseconds = request.timeout_ms;
    options.CredentialList = {1, &credential};
    options.dwAuthenticatorAttachment = attachment_cross_platform;
    options.dwUserVerificationRequirement = user_verification_required;
    options.dwFlags = hmac_secret_values_flag;
    options.pHmacSecretSaltValues = &salt_values;

    HWND window = request.owner_window ? static_cast<HWND>(request.owner_window) : GetForegroundWindow();
    WaAssertion* assertion = nullptr;
    const HRESULT result = library.get_assertion(window, rp_id.c_str(), &client_data, &options, &assertion);

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
};

}  // namespace

Fido2Authenticator& platform_fido2_authenticator() {
  static WebAuthnAuthenticator authenticator;
  return authenticator;
}

}  // namespace quarn

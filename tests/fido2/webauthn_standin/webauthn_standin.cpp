// A stand-in webauthn.dll for the Wine prefix of the end-to-end tests, which
// has none: the five entry points our programs use, with the structure
// layouts of the Windows SDK (the cross compiler's header up to API version
// 3, the documented additions of version 4 declared here), backed by the
// tests' software key. It checks every field a caller sets and refuses
// anything else with E_INVALIDARG and a COM error description that names the
// field, so a wrong request shows up as that text in the program under test.
//
// Its key and its API version come from QUARN_SOFT_KEYS (the first key's
// settings, see SoftKeyConfig). Built in the test tree only; never shipped.
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
#include <webauthn.h>

#include <cstddef>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tests/fido2/ctap_client.h"
#include "tests/fido2/soft_authenticator.h"

namespace {

using namespace quarn::softkey;

// What API version 4 appended to the version-3 structures.
struct HmacSecretSalt {
  DWORD cbFirst;
  PBYTE pbFirst;
  DWORD cbSecond;
  PBYTE pbSecond;
};
struct CredWithHmacSecretSalt {
  DWORD cbCredID;
  PBYTE pbCredID;
  HmacSecretSalt* pHmacSecretSalt;
};
struct HmacSecretSaltValues {
  HmacSecretSalt* pGlobalHmacSalt;
  DWORD cCredWithHmacSecretSaltList;
  CredWithHmacSecretSalt* pCredWithHmacSecretSaltList;
};
struct GetAssertionOptionsV6 {
  WEBAUTHN_AUTHENTICATOR_GET_ASSERTION_OPTIONS v5;
  HmacSecretSaltValues* pHmacSecretSaltValues;
  BOOL bBrowserInPrivateMode;
};
struct AssertionV3 {
  WEBAUTHN_ASSERTION v2;
  HmacSecretSalt* pHmacSecret;
};
// Version 4 ends with a BOOL, so version 5's BOOL follows it without the
// padding a nested structure would add: the fields are spelled out.
struct MakeCredentialOptionsV5 {
  DWORD dwVersion;
  DWORD dwTimeoutMilliseconds;
  WEBAUTHN_CREDENTIALS CredentialList;
  WEBAUTHN_EXTENSIONS Extensions;
  DWORD dwAuthenticatorAttachment;
  BOOL bRequireResidentKey;
  DWORD dwUserVerificationRequirement;
  DWORD dwAttestationConveyancePreference;
  DWORD dwFlags;
  GUID* pCancellationId;
  PWEBAUTHN_CREDENTIAL_LIST pExcludeCredentialList;
  DWORD dwEnterpriseAttestation;
  DWORD dwLargeBlobSupport;
  BOOL bPreferResidentKey;
  BOOL bBrowserInPrivateMode;
};
static_assert(offsetof(MakeCredentialOptionsV5, bPreferResidentKey) ==
              offsetof(WEBAUTHN_AUTHENTICATOR_MAKE_CREDENTIAL_OPTIONS, bPreferResidentKey));
// The x64 layout the SDK documents.
static_assert(offsetof(GetAssertionOptionsV6, pHmacSecretSaltValues) == 104);
static_assert(sizeof(GetAssertionOptionsV6) == 120);
static_assert(offsetof(AssertionV3, pHmacSecret) == 112);
static_assert(offsetof(MakeCredentialOptionsV5, bBrowserInPrivateMode) == 92);

constexpr DWORD hmac_secret_values_flag = 0x00100000;
constexpr DWORD timeout_expected = 120000;
constexpr HRESULT nte_user_cancelled = static_cast<HRESULT>(0x80090036);
constexpr HRESULT nte_not_found = static_cast<HRESULT>(0x80090011);
constexpr HRESULT nte_invalid_parameter = static_cast<HRESULT>(0x80090027);

// The highest version of each structure an API version knows.
struct Versions {
  DWORD make_credential_options, get_assertion_options, attestation, assertion;
};
Versions versions_of(std::uint32_t api) {
  if (api >= 4) return {5, 6, 4, 3};
  if (api == 3) return {4, 5, 4, 2};
  return {3, 4, 3, 1};
}

SoftKeyConfig config() {
  const char* text = std::getenv("QUARN_SOFT_KEYS");
  std::string first = text ? text : "";
  first = first.substr(0, first.find(';'));
  return parse_soft_key_config(first).value_or(SoftKeyConfig{});
}

// One key for the process, as a plugged-in key would be.
SoftAuthenticator& key() {
  static SoftAuthenticator authenticator(config());
  return authenticator;
}

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text < 0x80 ? *text : '?');
  return out;
}

bool same(const wchar_t* text, const wchar_t* expected) { return text && std::wstring_view(text) == expected; }

HRESULT refuse(const std::string& what) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const std::wstring text = L"webauthn stand-in: " + std::wstring(what.begin(), what.end());
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return E_INVALIDARG;
}

HRESULT failure_of(std::uint8_t status) {
  switch (status) {
    case ctap::operation_denied: return nte_user_cancelled;
    case ctap::no_credentials: return nte_not_found;
    default: return nte_invalid_parameter;
  }
}

// {"type":"<type>","challenge":"<64 lower-case hex digits>","origin":"https://<host>"}
std::string check_client_data(const WEBAUTHN_CLIENT_DATA* data, const std::string& type) {
  if (!data) return "no client data";
  if (data->dwVersion != WEBAUTHN_CLIENT_DATA_CURRENT_VERSION) return "client data version " + std::to_string(data->dwVersion);
  if (!same(data->pwszHashAlgId, WEBAUTHN_HASH_ALGORITHM_SHA_256)) return "client data hash " + narrow(data->pwszHashAlgId);
  if (!data->pbClientDataJSON || data->cbClientDataJSON == 0) return "empty client data";
  const std::string json(reinterpret_cast<const char*>(data->pbClientDataJSON), data->cbClientDataJSON);
  const std::string head = R"({"type":")" + type + R"(","challenge":")";
  const std::string middle = R"(","origin":"https://)";
  bool shaped = json.starts_with(head) && json.size() > head.size() + 64 + middle.size() + 2 &&
                json.compare(head.size() + 64, middle.size(), middle) == 0 && json.ends_with("\"}");
  for (std::size_t i = head.size(); shaped && i < head.size() + 64; ++i)
    shaped = (json[i] >= '0' && json[i] <= '9') || (json[i] >= 'a' && json[i] <= 'f');
  return shaped ? "" : "client data " + json;
}

Bytes hash_of(const WEBAUTHN_CLIENT_DATA* data) { return sha256(ByteView(data->pbClientDataJSON, data->cbClientDataJSON)); }

std::string check_make_credential(HWND window, const WEBAUTHN_RP_ENTITY_INFORMATION* rp,
                                  const WEBAUTHN_USER_ENTITY_INFORMATION* user,
                                  const WEBAUTHN_COSE_CREDENTIAL_PARAMETERS* parameters,
                                  const WEBAUTHN_CLIENT_DATA* client_data,
                                  const WEBAUTHN_AUTHENTICATOR_MAKE_CREDENTIAL_OPTIONS* options) {
  const Versions known = versions_of(key().config().api_version);
  if (window && !IsWindow(window)) return "window handle";
  if (!rp || rp->dwVersion != WEBAUTHN_RP_ENTITY_INFORMATION_CURRENT_VERSION) return "relying party version";
  if (!rp->pwszId || !*rp->pwszId || !rp->pwszName) return "relying party id or name";
  if (!user || user->dwVersion != WEBAUTHN_USER_ENTITY_INFORMATION_CURRENT_VERSION) return "user version";
  if (!user->pbId || user->cbId == 0 || user->cbId > WEBAUTHN_MAX_USER_ID_LENGTH) return "user id";
  if (!user->pwszName || !user->pwszDisplayName) return "user name or display name";
  if (!parameters || parameters->cCredentialParameters != 1 || !parameters->pCredentialParameters) return "credential parameters";
  const WEBAUTHN_COSE_CREDENTIAL_PARAMETER& es256 = parameters->pCredentialParameters[0];
  if (es256.dwVersion != WEBAUTHN_COSE_CREDENTIAL_PARAMETER_CURRENT_VERSION ||
      !same(es256.pwszCredentialType, WEBAUTHN_CREDENTIAL_TYPE_PUBLIC_KEY) ||
      es256.lAlg != WEBAUTHN_COSE_ALGORITHM_ECDSA_P256_WITH_SHA256)
    return "credential parameter";
  if (auto problem = check_client_data(client_data, "webauthn.create"); !problem.empty()) return problem;
  if (!options || options->dwVersion < 1 || options->dwVersion > known.make_credential_options)
    return "make-credential options version " + std::to_string(options ? options->dwVersion : 0);
  if (options->dwTimeoutMilliseconds != timeout_expected) return "time-out " + std::to_string(options->dwTimeoutMilliseconds);
  if (options->CredentialList.cCredentials != 0) return "exclude list";
  const WEBAUTHN_EXTENSIONS& extensions = options->Extensions;
  if (extensions.cExtensions != 1 || !extensions.pExtensions ||
      !same(extensions.pExtensions[0].pwszExtensionIdentifier, WEBAUTHN_EXTENSIONS_IDENTIFIER_HMAC_SECRET) ||
      extensions.pExtensions[0].cbExtension != sizeof(BOOL) || !extensions.pExtensions[0].pvExtension ||
      *static_cast<const BOOL*>(extensions.pExtensions[0].pvExtension) != TRUE)
    return "hmac-secret extension";
  if (options->dwAuthenticatorAttachment != WEBAUTHN_AUTHENTICATOR_ATTACHMENT_CROSS_PLATFORM) return "attachment";
  if (options->bRequireResidentKey) return "resident key";
  if (options->dwUserVerificationRequirement != WEBAUTHN_USER_VERIFICATION_REQUIREMENT_REQUIRED) return "user verification";
  if (options->dwAttestationConveyancePreference != WEBAUTHN_ATTESTATION_CONVEYANCE_PREFERENCE_NONE) return "attestation";
  if (options->dwFlags != 0) return "flags";
  if (options->dwVersion >= 2 && options->pCancellationId) return "cancellation id";
  if (options->dwVersion >= 3 && options->pExcludeCredentialList) return "exclude credential list";
  if (options->dwVersion >= 4 && (options->dwEnterpriseAttestation || options->dwLargeBlobSupport ||
                                  options->bPreferResidentKey))
    return "version-4 fields";
  if (options->dwVersion >= 5 && reinterpret_cast<const MakeCredentialOptionsV5*>(options)->bBrowserInPrivateMode)
    return "private mode";
  return "";
}

std::string check_get_assertion(HWND window, const wchar_t* rp_id, const WEBAUTHN_CLIENT_DATA* client_data,
                                const WEBAUTHN_AUTHENTICATOR_GET_ASSERTION_OPTIONS* options) {
  const Versions known = versions_of(key().config().api_version);
  if (window && !IsWindow(window)) return "window handle";
  if (!rp_id || !*rp_id) return "relying party id";
  if (auto problem = check_client_data(client_data, "webauthn.get"); !problem.empty()) return problem;
  if (!options || options->dwVersion < 6 || options->dwVersion > known.get_assertion_options)
    return "get-assertion options version " + std::to_string(options ? options->dwVersion : 0);
  if (options->dwTimeoutMilliseconds != timeout_expected) return "time-out " + std::to_string(options->dwTimeoutMilliseconds);
  const WEBAUTHN_CREDENTIALS& list = options->CredentialList;
  if (list.cCredentials != 1 || !list.pCredentials) return "credential list of " + std::to_string(list.cCredentials);
  const WEBAUTHN_CREDENTIAL& credential = list.pCredentials[0];
  if (credential.dwVersion != WEBAUTHN_CREDENTIAL_CURRENT_VERSION || credential.cbId == 0 || !credential.pbId ||
      !same(credential.pwszCredentialType, WEBAUTHN_CREDENTIAL_TYPE_PUBLIC_KEY))
    return "credential";
  if (options->Extensions.cExtensions != 0) return "extensions";
  if (options->dwAuthenticatorAttachment != WEBAUTHN_AUTHENTICATOR_ATTACHMENT_CROSS_PLATFORM) return "attachment";
  if (options->dwUserVerificationRequirement != WEBAUTHN_USER_VERIFICATION_REQUIREMENT_REQUIRED) return "user verification";
  if (options->dwFlags != hmac_secret_values_flag) return "flags";
  if (options->pwszU2fAppId || options->pbU2fAppId) return "U2F app id";
  if (options->pCancellationId) return "cancellation id";
  if (options->pAllowCredentialList) return "allow credential list";
  if (options->dwCredLargeBlobOperation || options->cbCredLargeBlob || options->pbCredLargeBlob) return "large blob";
  const auto* v6 = reinterpret_cast<const GetAssertionOptionsV6*>(options);
  if (v6->bBrowserInPrivateMode) return "private mode";
  const HmacSecretSaltValues* values = v6->pHmacSecretSaltValues;
  if (!values || !values->pGlobalHmacSalt) return "no hmac-secret salt";
  if (values->cCredWithHmacSecretSaltList != 0 || values->pCredWithHmacSecretSaltList) return "per-credential salts";
  const HmacSecretSalt& salt = *values->pGlobalHmacSalt;
  if (salt.cbFirst != 32 || !salt.pbFirst) return "first salt of " + std::to_string(salt.cbFirst) + " bytes";
  if (salt.cbSecond != 0 || salt.pbSecond) return "second salt";
  return "";
}

// Everything a returned structure points to, freed with it.
struct AttestationBox {
  WEBAUTHN_CREDENTIAL_ATTESTATION attestation{};
  MadeCredential made;
  BOOL hmac_secret = FALSE;
  WEBAUTHN_EXTENSION extension{};
};

struct AssertionBox {
  AssertionV3 assertion{};
  quarn::softkey::Assertion asserted;
  HmacSecretSalt secret{};
};

// The boxes handed out and not yet freed, by the address the caller holds.
template <class Box>
class Handed {
 public:
  template <class T>
  T* hand_out(std::unique_ptr<Box> box, T* view) {
    std::lock_guard lock(mutex_);
    boxes_[view] = std::move(box);
    return view;
  }
  void free(const void* view) {
    std::lock_guard lock(mutex_);
    boxes_.erase(view);
  }

 private:
  std::mutex mutex_;
  std::map<const void*, std::unique_ptr<Box>> boxes_;
};

Handed<AttestationBox>& attestations() {
  static Handed<AttestationBox> handed;
  return handed;
}
Handed<AssertionBox>& assertions() {
  static Handed<AssertionBox> handed;
  return handed;
}

}  // namespace

extern "C" {

DWORD WINAPI WebAuthNGetApiVersionNumber() { return key().config().api_version; }

HRESULT WINAPI WebAuthNAuthenticatorMakeCredential(HWND hWnd, PCWEBAUTHN_RP_ENTITY_INFORMATION pRpInformation,
                                                   PCWEBAUTHN_USER_ENTITY_INFORMATION pUserInformation,
                                                   PCWEBAUTHN_COSE_CREDENTIAL_PARAMETERS pPubKeyCredParams,
                                                   PCWEBAUTHN_CLIENT_DATA pWebAuthNClientData,
                                                   PCWEBAUTHN_AUTHENTICATOR_MAKE_CREDENTIAL_OPTIONS pOptions,
                                                   PWEBAUTHN_CREDENTIAL_ATTESTATION* ppAttestation) {
  if (!ppAttestation) return refuse("no place for the attestation");
  *ppAttestation = nullptr;
  if (auto problem = check_make_credential(hWnd, pRpInformation, pUserInformation, pPubKeyCredParams,
                                           pWebAuthNClientData, pOptions);
      !problem.empty())
    return refuse(problem);

  auto box = std::make_unique<AttestationBox>();
  const auto user_id = ByteView(pUserInformation->pbId, pUserInformation->cbId);
  box->made = CtapClient(key()).make_credential(hash_of(pWebAuthNClientData), narrow(pRpInformation->pwszId),
                                                narrow(pRpInformation->pwszName), user_id,
                                                narrow(pUserInformation->pwszName),
                                                narrow(pUserInformation->pwszDisplayName));
  if (box->made.status != ctap::ok) return failure_of(box->made.status);
  MadeCredential& made = box->made;
  WEBAUTHN_CREDENTIAL_ATTESTATION& a = box->attestation;
  a.dwVersion = versions_of(key().config().api_version).attestation;
  a.pwszFormatType = WEBAUTHN_ATTESTATION_TYPE_PACKED;
  a.cbAuthenticatorData = static_cast<DWORD>(made.authenticator_data.size());
  a.pbAuthenticatorData = made.authenticator_data.data();
  a.cbAttestation = static_cast<DWORD>(made.attestation_statement.size());
  a.pbAttestation = made.attestation_statement.data();
  a.dwAttestationDecodeType = WEBAUTHN_ATTESTATION_DECODE_NONE;
  a.cbAttestationObject = static_cast<DWORD>(made.attestation_object.size());
  a.pbAttestationObject = made.attestation_object.data();
  a.cbCredentialId = static_cast<DWORD>(made.credential_id.size());
  a.pbCredentialId = made.credential_id.data();
  if (made.hmac_secret) {
    box->hmac_secret = TRUE;
    box->extension = {WEBAUTHN_EXTENSIONS_IDENTIFIER_HMAC_SECRET, sizeof(BOOL), &box->hmac_secret};
    a.Extensions = {1, &box->extension};
  }
  a.dwUsedTransport = WEBAUTHN_CTAP_TRANSPORT_USB;
  WEBAUTHN_CREDENTIAL_ATTESTATION* view = &box->attestation;
  *ppAttestation = attestations().hand_out(std::move(box), view);
  return S_OK;
}

HRESULT WINAPI WebAuthNAuthenticatorGetAssertion(HWND hWnd, LPCWSTR pwszRpId, PCWEBAUTHN_CLIENT_DATA pWebAuthNClientData,
                                                 PCWEBAUTHN_AUTHENTICATOR_GET_ASSERTION_OPTIONS pOptions,
                                                 PWEBAUTHN_ASSERTION* ppAssertion) {
  if (!ppAssertion) return refuse("no place for the assertion");
  *ppAssertion = nullptr;
  if (auto problem = check_get_assertion(hWnd, pwszRpId, pWebAuthNClientData, pOptions); !problem.empty())
    return refuse(problem);

  const WEBAUTHN_CREDENTIAL& credential = pOptions->CredentialList.pCredentials[0];
  const HmacSecretSalt& salt = *reinterpret_cast<const GetAssertionOptionsV6*>(pOptions)->pHmacSecretSaltValues->pGlobalHmacSalt;
  auto box = std::make_unique<AssertionBox>();
  box->asserted = CtapClient(key()).get_assertion(narrow(pwszRpId), hash_of(pWebAuthNClientData),
                                                  ByteView(credential.pbId, credential.cbId),
                                                  ByteView(salt.pbFirst, salt.cbFirst));
  quarn::softkey::Assertion& asserted = box->asserted;
  if (asserted.status != ctap::ok) return failure_of(asserted.status);
  WEBAUTHN_ASSERTION& a = box->assertion.v2;
  a.dwVersion = versions_of(key().config().api_version).assertion;
  a.cbAuthenticatorData = static_cast<DWORD>(asserted.authenticator_data.size());
  a.pbAuthenticatorData = asserted.authenticator_data.data();
  a.cbSignature = static_cast<DWORD>(asserted.signature.size());
  a.pbSignature = asserted.signature.data();
  a.Credential = {WEBAUTHN_CREDENTIAL_CURRENT_VERSION, static_cast<DWORD>(asserted.credential_id.size()),
                  asserted.credential_id.data(), WEBAUTHN_CREDENTIAL_TYPE_PUBLIC_KEY};
  if (asserted.hmac_secret) {
    box->secret = {static_cast<DWORD>(asserted.hmac_secret->size()), asserted.hmac_secret->data(), 0, nullptr};
    box->assertion.pHmacSecret = &box->secret;
  }
  WEBAUTHN_ASSERTION* view = &box->assertion.v2;
  *ppAssertion = assertions().hand_out(std::move(box), view);
  return S_OK;
}

void WINAPI WebAuthNFreeCredentialAttestation(PWEBAUTHN_CREDENTIAL_ATTESTATION pAttestation) {
  attestations().free(pAttestation);
}

void WINAPI WebAuthNFreeAssertion(PWEBAUTHN_ASSERTION pAssertion) { assertions().free(pAssertion); }

}  // extern "C"

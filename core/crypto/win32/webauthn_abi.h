// The WebAuthn ABI of webauthn.dll as far as we use it. The SDK header
// available to the cross compiler stops before the hmac-secret fields, so the
// structures are declared here: assertion options version 6 and assertion
// version 3 (API version 4), credential options version 4 and credential
// attestation up to version 2.
#pragma once

#include <windows.h>

namespace quarn::webauthn {

struct Credential {
  DWORD dwVersion;
  DWORD cbId;
  PBYTE pbId;
  LPCWSTR pwszCredentialType;
};
struct Credentials {
  DWORD cCredentials;
  Credential* pCredentials;
};
struct Extension {
  LPCWSTR pwszExtensionIdentifier;
  DWORD cbExtension;
  void* pvExtension;
};
struct Extensions {
  DWORD cExtensions;
  Extension* pExtensions;
};
struct ClientData {
  DWORD dwVersion;
  DWORD cbClientDataJSON;
  PBYTE pbClientDataJSON;
  LPCWSTR pwszHashAlgId;
};
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
struct GetAssertionOptions {  // version 6
  DWORD dwVersion;
  DWORD dwTimeoutMilliseconds;
  Credentials CredentialList;
  Extensions Extensions;
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
  HmacSecretSaltValues* pHmacSecretSaltValues;         // version 6
  BOOL bBrowserInPrivateMode;
};
struct Assertion {  // fields up to version 3; read past version 1 only by version
  DWORD dwVersion;
  DWORD cbAuthenticatorData;
  PBYTE pbAuthenticatorData;
  DWORD cbSignature;
  PBYTE pbSignature;
  Credential Credential;
  DWORD cbUserId;
  PBYTE pbUserId;
  Extensions Extensions;                               // version 2
  DWORD cbCredLargeBlob;
  PBYTE pbCredLargeBlob;
  DWORD dwCredLargeBlobStatus;
  HmacSecretSalt* pHmacSecret;                         // version 3
};

struct RpEntity {
  DWORD dwVersion;
  PCWSTR pwszId;
  PCWSTR pwszName;
  PCWSTR pwszIcon;
};
struct UserEntity {
  DWORD dwVersion;
  DWORD cbId;
  PBYTE pbId;
  PCWSTR pwszName;
  PCWSTR pwszIcon;
  PCWSTR pwszDisplayName;
};
struct CoseParameter {
  DWORD dwVersion;
  LPCWSTR pwszCredentialType;
  LONG lAlg;
};
struct CoseParameters {
  DWORD cCredentialParameters;
  CoseParameter* pCredentialParameters;
};
struct MakeCredentialOptions {  // version 4
  DWORD dwVersion;
  DWORD dwTimeoutMilliseconds;
  Credentials CredentialList;
  Extensions Extensions;
  DWORD dwAuthenticatorAttachment;
  BOOL bRequireResidentKey;
  DWORD dwUserVerificationRequirement;
  DWORD dwAttestationConveyancePreference;
  DWORD dwFlags;
  GUID* pCancellationId;                               // version 2
  void* pExcludeCredentialList;                        // version 3
  DWORD dwEnterpriseAttestation;                       // version 4
  DWORD dwLargeBlobSupport;
  BOOL bPreferResidentKey;
};
struct CredentialAttestation {  // fields up to version 2; read past version 1 only by version
  DWORD dwVersion;
  PCWSTR pwszFormatType;
  DWORD cbAuthenticatorData;
  PBYTE pbAuthenticatorData;
  DWORD cbAttestation;
  PBYTE pbAttestation;
  DWORD dwAttestationDecodeType;
  void* pvAttestationDecode;
  DWORD cbAttestationObject;
  PBYTE pbAttestationObject;
  DWORD cbCredentialId;
  PBYTE pbCredentialId;
  Extensions Extensions;                               // version 2
};

inline constexpr DWORD get_assertion_options_version = 6;
inline constexpr DWORD make_credential_options_version = 4;
inline constexpr DWORD attestation_extensions_version = 2;
inline constexpr DWORD entity_version = 1;
inline constexpr DWORD credential_version = 1;
inline constexpr DWORD cose_parameter_version = 1;
inline constexpr DWORD client_data_version = 1;
inline constexpr LONG cose_es256 = -7;
inline constexpr DWORD attachment_cross_platform = 2;
inline constexpr DWORD user_verification_required = 1;
inline constexpr DWORD attestation_conveyance_none = 1;
inline constexpr DWORD hmac_secret_values_flag = 0x00100000;
inline constexpr const wchar_t* credential_type = L"public-key";
inline constexpr const wchar_t* hash_sha256 = L"SHA-256";
inline constexpr const wchar_t* hmac_secret_extension = L"hmac-secret";

using GetApiVersionNumber = DWORD(WINAPI*)();
using AuthenticatorGetAssertion = HRESULT(WINAPI*)(HWND, LPCWSTR, const ClientData*, const GetAssertionOptions*,
                                                   Assertion**);
using FreeAssertion = void(WINAPI*)(Assertion*);
using AuthenticatorMakeCredential = HRESULT(WINAPI*)(HWND, const RpEntity*, const UserEntity*,
                                                     const CoseParameters*, const ClientData*,
                                                     const MakeCredentialOptions*, CredentialAttestation**);
using FreeCredentialAttestation = void(WINAPI*)(CredentialAttestation*);

}  // namespace quarn::webauthn

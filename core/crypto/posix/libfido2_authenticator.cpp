#include "core/crypto/posix/libfido2_authenticator.h"

#include <fido.h>

#include <mutex>
#include <string>
#include <string_view>

#include "core/crypto/posix/libfido2_status.h"
#include "core/platform/platform.h"

namespace quarn::libfido2 {
namespace {

constexpr std::size_t max_devices = 16;
constexpr std::size_t max_pin_bytes = 255;  // CTAP2 limits a PIN to 63 bytes; longer input is refused by the key
constexpr std::string_view pin_prompt = "PIN klucza FIDO2: ";
constexpr std::uint8_t flag_extension_data = 0x80;  // authenticator data carries extension outputs
constexpr std::string_view hmac_secret = "hmac-secret";

void initialise() {
  static std::once_flag once;
  std::call_once(once, [] { fido_init(0); });
}

struct Device {
  fido_dev_t* handle = fido_dev_new();
  bool open = false;
  ~Device() {
    if (open) fido_dev_close(handle);
    fido_dev_free(&handle);
  }
};

struct Assertion {
  fido_assert_t* handle = fido_assert_new();
  ~Assertion() { fido_assert_free(&handle); }
};

struct Credential {
  fido_cred_t* handle = fido_cred_new();
  ~Credential() { fido_cred_free(&handle); }
};

struct Info {
  fido_cbor_info_t* handle = fido_cbor_info_new();
  ~Info() { fido_cbor_info_free(&handle); }
};

class SystemDevices final : public Devices {
 public:
  std::vector<std::string> paths() override {
    fido_dev_info_t* list = fido_dev_info_new(max_devices);
    if (!list) return {};
    std::vector<std::string> found;
    std::size_t count = 0;
    if (fido_dev_info_manifest(list, max_devices, &count) == FIDO_OK) {
      for (std::size_t i = 0; i < count; ++i) found.emplace_back(fido_dev_info_path(fido_dev_info_ptr(list, i)));
    }
    fido_dev_info_free(&list, max_devices);
    return found;
  }
  int open(fido_dev* device, const std::string& path) override { return fido_dev_open(device, path.c_str()); }
};

// Opens the key at `path` for a request of `timeout_ms`.
int open_device(Devices& devices, const std::string& path, std::uint32_t timeout_ms, Device& device) {
  if (!device.handle) return FIDO_ERR_INTERNAL;
  const int status = devices.open(device.handle, path);
  if (status != FIDO_OK) return status;
  device.open = true;
  fido_dev_set_timeout(device.handle, static_cast<int>(timeout_ms));
  return FIDO_OK;
}

// Runs `request` with the user verified as the key can: by itself (uv), or
// through its PIN, which then stands for the verification.
template <class SetUv, class Request>
int with_user_verification(fido_dev_t* device, const PinSource& pin_source, SetUv set_uv, Request request) {
  if (fido_dev_has_uv(device)) {
    set_uv(FIDO_OPT_TRUE);
    return request(nullptr);
  }
  if (!fido_dev_has_pin(device)) return status_no_user_verification;
  auto pin = pin_source();
  if (!pin) return pin.error();
  set_uv(FIDO_OPT_OMIT);
  return request(reinterpret_cast<const char*>(pin->view().data()));
}

// One assertion request; FIDO_OK leaves it ready for a device.
int prepare(const Fido2Request& request, Assertion& assertion) {
  const auto* client_data = reinterpret_cast<const unsigned char*>(request.client_data_json.data());
  const std::string rp_id(request.rp_id);
  int status = fido_assert_set_clientdata(assertion.handle, client_data, request.client_data_json.size());
  if (status == FIDO_OK) status = fido_assert_set_rp(assertion.handle, rp_id.c_str());
  if (status == FIDO_OK)
    status = fido_assert_allow_cred(assertion.handle, request.credential_id.data(), request.credential_id.size());
  if (status == FIDO_OK) status = fido_assert_set_extensions(assertion.handle, FIDO_EXT_HMAC_SECRET);
  if (status == FIDO_OK) status = fido_assert_set_hmac_salt(assertion.handle, request.salt.data(), request.salt.size());
  if (status == FIDO_OK) status = fido_assert_set_up(assertion.handle, FIDO_OPT_TRUE);
  return status;
}

// One credential request: ES256, not resident, with hmac-secret.
int prepare(const Fido2CredentialRequest& request, Credential& credential) {
  const auto* client_data = reinterpret_cast<const unsigned char*>(request.client_data_json.data());
  const std::string rp_id(request.rp_id);
  const std::string rp_name(request.rp_name);
  const std::string user(request.user_name);
  int status = fido_cred_set_type(credential.handle, COSE_ES256);
  if (status == FIDO_OK) status = fido_cred_set_clientdata(credential.handle, client_data, request.client_data_json.size());
  if (status == FIDO_OK) status = fido_cred_set_rp(credential.handle, rp_id.c_str(), rp_name.c_str());
  if (status == FIDO_OK)
    status = fido_cred_set_user(credential.handle, request.user_id.data(), request.user_id.size(), user.c_str(),
                                user.c_str(), nullptr);
  if (status == FIDO_OK) status = fido_cred_set_extensions(credential.handle, FIDO_EXT_HMAC_SECRET);
  if (status == FIDO_OK) status = fido_cred_set_rk(credential.handle, FIDO_OPT_FALSE);
  return status;
}

// Whether the key's own information lists the hmac-secret extension; a
// libfido2 status when the information cannot be had.
std::expected<bool, int> lists_hmac_secret(fido_dev_t* device) {
  Info info;
  if (!info.handle) return std::unexpected(FIDO_ERR_INTERNAL);
  if (const int status = fido_dev_get_cbor_info(device, info.handle); status != FIDO_OK)
    return std::unexpected(status);
  char** names = fido_cbor_info_extensions_ptr(info.handle);
  for (std::size_t i = 0; i < fido_cbor_info_extensions_len(info.handle); ++i)
    if (names[i] == hmac_secret) return true;
  return false;
}

Fido2Answer success_answer(const Assertion& assertion) {
  Fido2Answer answer;
  answer.assertion_version = FIDO2_MIN_ASSERTION_VERSION;
  const unsigned char* secret = fido_assert_hmac_secret_ptr(assertion.handle, 0);
  const std::size_t length = fido_assert_hmac_secret_len(assertion.handle, 0);
  if (secret && length > 0) answer.hmac_secret = SecretBuffer::from_bytes({secret, length});
  return answer;
}

}  // namespace

Devices& system_devices() {
  static SystemDevices devices;
  return devices;
}

std::expected<SecretBuffer, int> pin_from_terminal() {
  if (!platform::stdin_is_terminal()) return std::unexpected(status_pin_needs_terminal);
  SecretBuffer pin(max_pin_bytes + 1);
  auto length = platform::read_secret_line(pin_prompt, pin.mutable_view().first(max_pin_bytes));
  if (!length) return std::unexpected(FIDO_ERR_PIN_INVALID);
  pin.mutable_view()[*length] = 0;
  return pin;
}

Authenticator::Authenticator(Devices& devices, PinSource pin) : devices_(devices), pin_(std::move(pin)) {}

Fido2Answer Authenticator::get_assertion(const Fido2Request& request) {
  initialise();
  const std::vector<std::string> paths = devices_.paths();
  if (paths.empty()) return failure_answer(status_no_device);

  // The first key that knows the credential answers; the others are skipped.
  int last = FIDO_ERR_NO_CREDENTIALS;
  for (const std::string& path : paths) {
    Device device;
    if (open_device(devices_, path, request.timeout_ms, device) != FIDO_OK) continue;
    Assertion assertion;
    if (!assertion.handle) continue;
    if (const int status = prepare(request, assertion); status != FIDO_OK) return failure_answer(status);
    last = with_user_verification(
        device.handle, pin_, [&](fido_opt_t uv) { fido_assert_set_uv(assertion.handle, uv); },
        [&](const char* pin) { return fido_dev_get_assert(device.handle, assertion.handle, pin); });
    if (last == FIDO_OK) return success_answer(assertion);
    if (last != FIDO_ERR_NO_CREDENTIALS) break;
  }
  return failure_answer(last);
}

Fido2Credential Authenticator::make_credential(const Fido2CredentialRequest& request) {
  initialise();
  const std::vector<std::string> paths = devices_.paths();
  if (paths.empty()) return failure_credential(status_no_device);
  Device device;
  if (const int status = open_device(devices_, paths.front(), request.timeout_ms, device); status != FIDO_OK)
    return failure_credential(status);
  const auto listed = lists_hmac_secret(device.handle);
  if (!listed) return failure_credential(listed.error());
  if (!*listed) return Fido2Credential{};

  Credential credential;
  if (!credential.handle) return failure_credential(FIDO_ERR_INTERNAL);
  int status = prepare(request, credential);
  if (status == FIDO_OK) {
    status = with_user_verification(
        device.handle, pin_, [&](fido_opt_t uv) { fido_cred_set_uv(credential.handle, uv); },
        [&](const char* pin) { return fido_dev_make_cred(device.handle, credential.handle, pin); });
  }
  if (status != FIDO_OK) return failure_credential(status);
  Fido2Credential made;
  const unsigned char* id = fido_cred_id_ptr(credential.handle);
  made.credential_id.assign(id, id + fido_cred_id_len(credential.handle));
  made.hmac_secret = (fido_cred_flags(credential.handle) & flag_extension_data) != 0;
  return made;
}

}  // namespace quarn::libfido2

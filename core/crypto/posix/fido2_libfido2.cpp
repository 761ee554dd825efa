// The platform authenticator over libfido2: an assertion with the
// hmac-secret extension from the first connected key that knows the
// archive's credential, with user verification by the key itself or by its
// PIN asked for on the terminal.
#include <fido.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/crypto/posix/libfido2_status.h"
#include "core/crypto/second_factors.h"
#include "core/platform/platform.h"

namespace quarn {
namespace {

constexpr std::size_t max_devices = 16;
constexpr std::size_t max_pin_bytes = 255;  // CTAP2 limits a PIN to 63 bytes; longer input is refused by the key
constexpr std::string_view pin_prompt = "PIN klucza FIDO2: ";

struct DeviceList {
  fido_dev_info_t* list = fido_dev_info_new(max_devices);
  std::size_t count = 0;
  ~DeviceList() { fido_dev_info_free(&list, max_devices); }
};

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

// One request to one device; FIDO_OK leaves the output in `assertion`.
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

// The PIN, NUL-terminated, read without echo; empty when there is no terminal.
platform::OsResult<SecretBuffer> ask_pin() {
  SecretBuffer pin(max_pin_bytes + 1);
  auto length = platform::read_secret_line(pin_prompt, pin.mutable_view().first(max_pin_bytes));
  if (!length) return std::unexpected(std::move(length.error()));
  pin.mutable_view()[*length] = 0;
  return pin;
}

int assert_with_verification(Device& device, Assertion& assertion) {
  if (fido_dev_has_uv(device.handle)) {
    fido_assert_set_uv(assertion.handle, FIDO_OPT_TRUE);
    return fido_dev_get_assert(device.handle, assertion.handle, nullptr);
  }
  if (!fido_dev_has_pin(device.handle)) return libfido2::status_no_user_verification;
  if (!platform::stdin_is_terminal()) return libfido2::status_pin_needs_terminal;
  auto pin = ask_pin();
  if (!pin) return FIDO_ERR_PIN_INVALID;
  // With a PIN the key verifies its user through the PIN token.
  fido_assert_set_uv(assertion.handle, FIDO_OPT_OMIT);
  return fido_dev_get_assert(device.handle, assertion.handle, reinterpret_cast<const char*>(pin->view().data()));
}

Fido2Answer success_answer(const Assertion& assertion) {
  Fido2Answer answer;
  answer.assertion_version = FIDO2_MIN_ASSERTION_VERSION;
  const unsigned char* secret = fido_assert_hmac_secret_ptr(assertion.handle, 0);
  const std::size_t length = fido_assert_hmac_secret_len(assertion.handle, 0);
  if (secret && length > 0) answer.hmac_secret = SecretBuffer::from_bytes({secret, length});
  return answer;
}

class Libfido2Authenticator final : public Fido2Authenticator {
 public:
  // libfido2 carries the hmac-secret salt and output: the capability the
  // WebAuthn API has from version 4 on.
  std::uint32_t api_version() override { return FIDO2_MIN_API_VERSION; }

  Fido2Answer get_assertion(const Fido2Request& request) override {
    static std::once_flag initialised;
    std::call_once(initialised, [] { fido_init(0); });
    DeviceList devices;
    if (!devices.list || fido_dev_info_manifest(devices.list, max_devices, &devices.count) != FIDO_OK ||
        devices.count == 0)
      return libfido2::failure_answer(libfido2::status_no_device);

    // The first key that knows the credential answers; the others are skipped.
    int last = FIDO_ERR_NO_CREDENTIALS;
    for (std::size_t i = 0; i < devices.count; ++i) {
      const fido_dev_info_t* info = fido_dev_info_ptr(devices.list, i);
      Device device;
      if (!device.handle || fido_dev_open(device.handle, fido_dev_info_path(info)) != FIDO_OK) continue;
      device.open = true;
      fido_dev_set_timeout(device.handle, static_cast<int>(request.timeout_ms));
      Assertion assertion;
      if (!assertion.handle) continue;
      if (const int status = prepare(request, assertion); status != FIDO_OK) return libfido2::failure_answer(status);
      last = assert_with_verification(device, assertion);
      if (last == FIDO_OK) return success_answer(assertion);
      if (last != FIDO_ERR_NO_CREDENTIALS) break;
    }
    return libfido2::failure_answer(last);
  }
};

}  // namespace

Fido2Authenticator& platform_fido2_authenticator() {
  static Libfido2Authenticator authenticator;
  return authenticator;
}

}  // namespace quarn

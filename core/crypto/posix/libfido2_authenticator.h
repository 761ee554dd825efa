// The authenticator over libfido2: an assertion with the hmac-secret
// extension from the first connected key that knows the archive's
// credential, and a new credential on the first connected key, each with
// user verification by the key itself or by its PIN. Where keys are found
// and where a PIN comes from are given to it: the system's keys and the
// terminal in the programs, a software key in the tests.
#pragma once

#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "core/crypto/second_factors.h"
#include "core/crypto/secret_buffer.h"

struct fido_dev;

namespace quarn::libfido2 {

// Where keys are found and how one is opened.
class Devices {
 public:
  virtual ~Devices() = default;
  // The connected keys' paths, in the order they are tried.
  virtual std::vector<std::string> paths() = 0;
  // Opens `device` (fresh from fido_dev_new) at `path`; a libfido2 status.
  virtual int open(fido_dev* device, const std::string& path) = 0;
};

// The keys libfido2 itself enumerates (USB HID), opened by path.
Devices& system_devices();

// A PIN, NUL-terminated, or a libfido2 status (one of our own included).
using PinSource = std::function<std::expected<SecretBuffer, int>()>;

// Asks "PIN klucza FIDO2: " on the terminal without echo;
// status_pin_needs_terminal when standard input is not a terminal.
std::expected<SecretBuffer, int> pin_from_terminal();

class Authenticator final : public Fido2Authenticator {
 public:
  // `devices` must outlive the authenticator. The PIN is asked for once per
  // request, only from a key without built-in user verification.
  Authenticator(Devices& devices, PinSource pin);

  // libfido2 carries the hmac-secret salt and output: the capability the
  // WebAuthn API has from version 4 on.
  std::uint32_t api_version() override { return FIDO2_MIN_API_VERSION; }
  Fido2Answer get_assertion(const Fido2Request& request) override;
  // On the first key found; a key whose information lists no hmac-secret is
  // refused before it is asked to make anything.
  Fido2Credential make_credential(const Fido2CredentialRequest& request) override;

 private:
  Devices& devices_;
  PinSource pin_;
};

}  // namespace quarn::libfido2

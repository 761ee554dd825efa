// libfido2 devices backed by software keys, reached through libfido2's own
// transport hooks (fido_dev_set_io_functions and
// fido_dev_set_transport_functions): libfido2 frames and parses every CTAP2
// message as for a USB key, and no HID device is involved.
#pragma once

#include <string>
#include <vector>

#include "core/crypto/posix/libfido2_authenticator.h"
#include "tests/fido2/soft_authenticator.h"

namespace quarn::softkey {

class SoftKeyDevices final : public libfido2::Devices {
 public:
  // The keys are borrowed and must outlive every device opened here; they
  // are listed in this order.
  explicit SoftKeyDevices(std::vector<SoftAuthenticator*> keys) : keys_(std::move(keys)) {}

  std::vector<std::string> paths() override;
  int open(fido_dev* device, const std::string& path) override;

 private:
  std::vector<SoftAuthenticator*> keys_;
};

}  // namespace quarn::softkey

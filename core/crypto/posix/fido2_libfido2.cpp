// The platform authenticator of builds with libfido2: the system's keys, a
// PIN asked for on the terminal.
#include "core/crypto/posix/libfido2_authenticator.h"

namespace quarn {

Fido2Authenticator& platform_fido2_authenticator() {
  static libfido2::Authenticator authenticator(libfido2::system_devices(), libfido2::pin_from_terminal);
  return authenticator;
}

}  // namespace quarn

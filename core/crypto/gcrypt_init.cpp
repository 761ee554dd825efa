#include "core/crypto/gcrypt_init.h"

#include <gcrypt.h>

#include <mutex>

#include "core/error/archive_error.h"

namespace quarn::crypto {

void ensure_gcrypt_initialised() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!gcry_check_version(GCRYPT_VERSION)) invariant_violated("libgcrypt older than the headers");
    // Our secrets live in our own locked buffers; libgcrypt's secure heap is
    // not used.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

}  // namespace quarn::crypto

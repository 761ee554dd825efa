// libgcrypt must be initialised once per process before any other call.
#pragma once

namespace quarn::crypto {

// Safe to call from any thread, any number of times.
void ensure_gcrypt_initialised();

}  // namespace quarn::crypto

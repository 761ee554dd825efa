#include "core/crypto/argon2id.h"

#include <argon2.h>

#include <limits>

#include "core/error/detail_texts.h"

namespace quarn::crypto {
namespace {

// libargon2 takes non-const pointers but, without ARGON2_FLAG_CLEAR_*, only
// reads the inputs.
std::uint8_t* input(std::span<const std::uint8_t> bytes) {
  return bytes.empty() ? nullptr : const_cast<std::uint8_t*>(bytes.data());
}

std::uint32_t length32(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) invariant_violated("Argon2id input too long");
  return static_cast<std::uint32_t>(bytes.size());
}

}  // namespace

Result<void> argon2id(const Argon2Params& params, std::span<const std::uint8_t> password,
                      std::span<const std::uint8_t> salt, std::span<const std::uint8_t> secret,
                      std::span<const std::uint8_t> associated_data, std::span<std::uint8_t> out) {
  argon2_context context{};
  context.out = out.data();
  context.outlen = length32(out);
  context.pwd = input(password);
  context.pwdlen = length32(password);
  context.salt = input(salt);
  context.saltlen = length32(salt);
  context.secret = input(secret);
  context.secretlen = length32(secret);
  context.ad = input(associated_data);
  context.adlen = length32(associated_data);
  context.t_cost = params.iterations;
  context.m_cost = params.memory_kib;
  context.lanes = params.parallelism;
  context.threads = 1;  // all lanes on the calling thread
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  const int status = argon2_ctx(&context, Argon2_id);
  if (status != ARGON2_OK)
    return std::unexpected(ArchiveError::message(texts::argon2_failure(argon2_error_message(status))));
  return {};
}

}  // namespace quarn::crypto

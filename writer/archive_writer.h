// write_archive: makes a Quarn archive stream from gathered inputs, the
// inverse of everything the reader checks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/crypto/argon2_params.h"
#include "core/crypto/encryption_mode.h"
#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"
#include "writer/archive_output.h"
#include "writer/input_tree.h"

namespace quarn::writer {

// What a FIDO2 key contributes: its descriptor for the header and the
// hmac-secret output it gave for that descriptor's salt.
struct Fido2Factor {
  std::string rp_id;
  std::vector<std::uint8_t> credential_id;
  std::array<std::uint8_t, 32> salt{};
  // Shared, so options stay copyable while the secret itself is never copied.
  std::shared_ptr<const SecretBuffer> hmac_secret_output;  // 32 bytes
};

// Argon2id costs of a real archive: 256 MiB, 3 passes, 4 lanes.
inline constexpr Argon2Params default_argon2{262144, 3, 4};

struct WriterOptions {
  std::uint16_t version = 2;
  EncryptionMode mode = EncryptionMode::Aes256Gcm;
  std::uint32_t block_size = 4u << 20;
  int zstd_level = 3;  // 0 stores every frame without compression
  Argon2Params argon2 = default_argon2;
  std::optional<std::filesystem::path> key_file;
  std::optional<Fido2Factor> fido2;
  unsigned threads = 0;  // 0: one per processor
  std::string tool = "quarn";
  std::int64_t created_unix = -1;  // -1: now
  // Salts to use instead of fresh random ones: only for reproducible test archives.
  std::optional<std::array<std::uint8_t, 48>> fixed_salts;
  // Called with the plain bytes stored so far; from the calling thread.
  std::function<void(std::uint64_t)> progress;
};

struct WriteSummary {
  std::uint64_t files = 0;
  std::uint64_t directories = 0;
  std::uint64_t plain_bytes = 0;
  std::uint64_t data_frames = 0;
  std::uint64_t archive_length = 0;
};

// Whether an archive of this mode and format version may demand second
// factors: only an encrypted one of version 2. write_archive checks it too;
// a caller asks first when obtaining a factor costs the user a touch.
Result<void> second_factors_allowed(EncryptionMode mode, std::uint16_t version);

// `password` is required for every mode but 0 and ignored for mode 0. Ends
// with output.finish().
Result<WriteSummary> write_archive(const InputTree& inputs, const WriterOptions& options,
                                   const SecretBuffer* password, ArchiveOutput& output);

}  // namespace quarn::writer

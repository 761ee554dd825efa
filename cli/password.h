// Where the command line gets a password: a file, or the terminal without
// echo. The password lives only in a SecretBuffer.
#pragma once

#include <filesystem>
#include <optional>

#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"

namespace quarn::cli {

// The file's content with one trailing line feed or CR LF removed.
Result<SecretBuffer> password_from_file(const std::filesystem::path& path);

// Asks on the terminal; with `confirm`, asks twice and insists they match.
Result<SecretBuffer> password_from_terminal(bool confirm);

// --password-file when given, otherwise the terminal. When neither is
// possible: PasswordRequired for an archive being opened, a Message saying
// what to do for one being made (`confirm`).
Result<SecretBuffer> obtain_password(const std::optional<std::filesystem::path>& password_file, bool confirm);

}  // namespace quarn::cli

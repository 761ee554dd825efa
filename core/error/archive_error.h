// ArchiveError: the one error type of the core, its kinds and display texts.
// Every fallible operation returns Result<T>; the error is moved up unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "core/platform/platform.h"

namespace quarn {

enum class ErrorKind {
  Io,
  NotArchive,
  UnsupportedVersion,
  PasswordRequired,
  WrongPassword,
  Corrupt,
  Integrity,
  UnsafePath,
  Cancelled,
  Message,
  Unsupported,
  SecondFactorRequired,
};

class ArchiveError {
 public:
  static ArchiveError io(platform::OsError error);
  static ArchiveError not_archive();
  static ArchiveError unsupported_version(std::uint16_t version);
  static ArchiveError password_required();
  static ArchiveError wrong_password();
  static ArchiveError corrupt(std::string detail);
  static ArchiveError integrity(std::string detail);
  static ArchiveError unsafe_path(std::string path);
  static ArchiveError cancelled();
  static ArchiveError message(std::string text);
  static ArchiveError unsupported(std::string detail);
  static ArchiveError second_factor_required(std::string detail);

  ErrorKind kind() const { return kind_; }
  // The detail, path or message text; empty for kinds without one.
  const std::string& detail() const { return detail_; }
  std::uint16_t version() const { return version_; }
  const platform::OsError& os_error() const { return os_error_; }

  // The Polish sentence shown to the user.
  std::string display() const;

 private:
  ArchiveError(ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  ErrorKind kind_;
  std::string detail_;
  std::uint16_t version_ = 0;
  platform::OsError os_error_;
};

template <class T>
using Result = std::expected<T, ArchiveError>;

// A failure outside the error type's reach: an internal invariant is broken.
// Ends the process at once, without unwinding.
[[noreturn]] void invariant_violated(const char* what);

}  // namespace quarn

#include "core/error/archive_error.h"

#include <cstdio>
#include <cstdlib>

namespace quarn {

ArchiveError ArchiveError::io(platform::OsError error) {
  ArchiveError e(ErrorKind::Io, {});
  e.os_error_ = std::move(error);
  return e;
}
ArchiveError ArchiveError::not_archive() { return {ErrorKind::NotArchive, {}}; }
ArchiveError ArchiveError::unsupported_version(std::uint16_t version) {
  ArchiveError e(ErrorKind::UnsupportedVersion, {});
  e.version_ = version;
  return e;
}
ArchiveError ArchiveError::password_required() { return {ErrorKind::PasswordRequired, {}}; }
ArchiveError ArchiveError::wrong_password() { return {ErrorKind::WrongPassword, {}}; }
ArchiveError ArchiveError::corrupt(std::string detail) { return {ErrorKind::Corrupt, std::move(detail)}; }
ArchiveError ArchiveError::integrity(std::string detail) {
  return {ErrorKind::Integrity, std::move(detail)};
}
ArchiveError ArchiveError::unsafe_path(std::string path) { return {ErrorKind::UnsafePath, std::move(path)}; }
ArchiveError ArchiveError::cancelled() { return {ErrorKind::Cancelled, {}}; }
ArchiveError ArchiveError::message(std::string text) { return {ErrorKind::Message, std::move(text)}; }
ArchiveError ArchiveError::unsupported(std::string detail) {
  return {ErrorKind::Unsupported, std::move(detail)};
}
ArchiveError ArchiveError::second_factor_required(std::string detail) {
  return {ErrorKind::SecondFactorRequired, std::move(detail)};
}

// Every display text lives in this one switch; it has no default so that a
// new kind without a text does not compile cleanly.
std::string ArchiveError::display() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "Błąd odczytu/zapisu: " + os_error_.display();
    case ErrorKind::NotArchive:
      return "To nie jest archiwum Quarn.";
    case ErrorKind::UnsupportedVersion:
      return "Archiwum ma wersję formatu " + std::to_string(version_) +
             ", nowszą niż obsługiwana. Zaktualizuj Quarn.";
    case ErrorKind::PasswordRequired:
      return "Archiwum jest zaszyfrowane. Podaj hasło.";
    case ErrorKind::WrongPassword:
      return "Nieprawidłowe hasło.";
    case ErrorKind::Corrupt:
      return "Archiwum jest uszkodzone: " + detail_;
    case ErrorKind::Integrity:
      return "Naruszona integralność archiwum: " + detail_;
    case ErrorKind::UnsafePath:
      return "Niebezpieczna ścieżka w archiwum: " + detail_;
    case ErrorKind::Cancelled:
      return "Przerwano.";
    case ErrorKind::Message:
      return detail_;
    case ErrorKind::Unsupported:
      return "Nieobsługiwane: " + detail_;
    case ErrorKind::SecondFactorRequired:
      return "Archiwum wymaga drugiego składnika: " + detail_;
  }
  invariant_violated("unknown ErrorKind");
}

void invariant_violated(const char* what) {
  std::fprintf(stderr, "quarn: internal error: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quarn

#include "cli/password.h"

#include <cstdio>

#include "core/crypto/constant_time.h"
#include "core/platform/platform.h"

namespace quarn::cli {
namespace {

constexpr std::size_t max_password = 4096;
constexpr std::size_t max_password_file = 1u << 20;

}  // namespace

Result<SecretBuffer> password_from_file(const std::filesystem::path& path) {
  auto file = platform::File::open_for_reading(path);
  if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
  // Read sequentially, so that a pipe (--password-file <(...)) works too.
  SecretBuffer raw(max_password_file + 1);
  std::size_t filled = 0;
  while (filled < raw.size()) {
    auto got = file->read(raw.mutable_view().subspan(filled));
    if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
    if (*got == 0) break;
    filled += *got;
  }
  if (filled > max_password_file) return std::unexpected(ArchiveError::message("Plik z hasłem jest za duży (ponad 1 MiB)."));
  std::span<const std::uint8_t> text = raw.view().first(filled);
  if (!text.empty() && text.back() == '\n') {
    text = text.first(text.size() - 1);
    if (!text.empty() && text.back() == '\r') text = text.first(text.size() - 1);
  }
  return SecretBuffer::from_bytes(text);
}

Result<SecretBuffer> password_from_terminal(bool confirm) {
  const auto ask = [](const char* prompt) -> Result<SecretBuffer> {
    SecretBuffer line(max_password);
    auto length = platform::read_secret_line(prompt, line.mutable_view());
    if (!length && length.error().interrupted) return std::unexpected(ArchiveError::cancelled());  // Ctrl-C
    if (!length) return std::unexpected(ArchiveError::io(std::move(length.error())));
    return SecretBuffer::from_bytes(line.view().first(*length));
  };
  auto first = ask("Hasło: ");
  if (!first || !confirm) return first;
  auto second = ask("Powtórz hasło: ");
  if (!second) return second;
  if (!crypto::equal_constant_time(first->view(), second->view()))
    return std::unexpected(ArchiveError::message("Hasła się różnią. Spróbuj jeszcze raz."));
  return first;
}

Result<SecretBuffer> obtain_password(const std::optional<std::filesystem::path>& password_file, bool confirm) {
  if (password_file) return password_from_file(*password_file);
  if (!platform::stdin_is_terminal()) {
    if (!confirm) return std::unexpected(ArchiveError::password_required());
    return std::unexpected(ArchiveError::message(
        "Szyfrowane archiwum wymaga hasła, a wejście nie jest terminalem. Podaj je opcją --password-file PLIK."));
  }
  return password_from_terminal(confirm);
}

}  // namespace quarn::cli

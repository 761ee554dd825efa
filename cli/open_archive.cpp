#include "cli/open_archive.h"

#include <cstdio>

#include "cli/password.h"
#include "core/crypto/second_factors.h"

namespace quarn::cli {

Result<OpenedArchive> open_archive(const std::filesystem::path& path, const KeySources& keys) {
  auto volumes = VolumeSet::open(path);
  if (!volumes) return std::unexpected(std::move(volumes.error()));
  auto header = Header::read(*volumes);
  if (!header) return std::unexpected(std::move(header.error()));

  std::optional<SecretBuffer> password;
  if (header->encrypted()) {
    auto obtained = obtain_password(keys.password_file, false);
    if (!obtained) return std::unexpected(std::move(obtained.error()));
    password = std::move(*obtained);
  }
  SecondFactorOptions factors;
  factors.key_file = keys.key_file;
  factors.authenticator = keys.fido2;
  if (password) announce_fido2_touch(*header, keys.key_file.has_value());
  auto cipher = derive_keys(key_material(*header), password ? &*password : nullptr, factors);
  if (password) password->release();
  if (!cipher) return std::unexpected(std::move(cipher.error()));

  auto loaded = load_manifest(*volumes, *header, *cipher);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return OpenedArchive{std::move(*volumes), std::move(*header), std::move(*cipher), std::move(*loaded)};
}

void announce_fido2_touch(const Header& header, bool key_file_given) {
  const auto extensions = parse_extensions(header);
  if (extensions && extensions->fido2 && extensions->fido2->rp_id == FIDO2_RP_ID &&
      (key_file_given || !extensions->key_file_required))
    std::fputs("Archiwum wymaga klucza FIDO2: podłącz go i dotknij, gdy zacznie migać.\n", stderr);
}

}  // namespace quarn::cli

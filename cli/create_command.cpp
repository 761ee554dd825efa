// `quarn create -o OUT [options] INPUT...`: makes an archive, a multi-part
// set or a self-extracting program.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/password.h"
#include "cli/progress.h"
#include "cli/terminal_text.h"
#include "core/crypto/fido2_enrolment.h"
#include "core/platform/platform.h"
#include "writer/archive_writer.h"

namespace quarn::cli {
namespace {

std::optional<EncryptionMode> parse_mode(const std::string& text) {
  const std::pair<const char*, EncryptionMode> names[] = {
      {"none", EncryptionMode::None},
      {"aes", EncryptionMode::Aes256Gcm},
      {"chacha-aes", EncryptionMode::ChaCha20Poly1305ThenAes256Gcm},
      {"twofish", EncryptionMode::Twofish256Gcm},
      {"serpent", EncryptionMode::Serpent256Gcm},
      {"serpent-twofish-aes", EncryptionMode::SerpentTwofishAes256},
  };
  for (const auto& [name, mode] : names)
    if (text == name) return mode;
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '5') return static_cast<EncryptionMode>(text[0] - '0');
  return std::nullopt;
}

// `--sfx auto`: the self-extractor built together with this tool, found
// beside it (the Windows zip), in the installed package's data folder
// (bin/quarn and share/quarn/quarn-sfx.exe under one prefix), in the same
// build tree, or in the Windows build tree beside a native one (build/native
// and build/windows).
std::optional<std::filesystem::path> built_self_extractor() {
  const std::filesystem::path tool = platform::executable_path();
  if (tool.empty()) return std::nullopt;
  const std::filesystem::path folder = tool.parent_path();
  const std::filesystem::path candidates[] = {
      folder / "quarn-sfx.exe",
      folder / ".." / "share" / "quarn" / "quarn-sfx.exe",
      folder / ".." / "sfx" / "win32" / "quarn-sfx.exe",
      folder / ".." / ".." / "windows" / "sfx" / "win32" / "quarn-sfx.exe",
  };
  for (const auto& candidate : candidates) {
    const auto kind = platform::query_kind(candidate);
    if (kind && *kind == platform::FileKind::File) return candidate.lexically_normal();
  }
  return std::nullopt;
}

const char* skipped_why(writer::SkipReason reason) {
  switch (reason) {
    case writer::SkipReason::LinkOrSpecial:
      return "Pominięto (dowiązanie lub plik specjalny): ";
    case writer::SkipReason::Output:
      return "Pominięto (to plik wyjściowy): ";
  }
  invariant_violated("unknown SkipReason");
}

void announce(Fido2Touch touch) {
  const char* text = touch == Fido2Touch::MakeCredential
                         ? "Dotknij klucza FIDO2 (1 z 2): klucz utworzy poświadczenie dla tego archiwum.\n"
                         : "Dotknij klucza FIDO2 jeszcze raz (2 z 2): klucz obliczy sekret tego archiwum.\n";
  std::fputs(text, stderr);
}

// Makes a credential on the key and obtains its hmac-secret for a new salt:
// the FIDO2 factor of the archive being made.
Result<writer::Fido2Factor> fido2_factor(Fido2Authenticator& fido2) {
  auto enrolment = enrol_fido2_key(fido2, announce);
  if (!enrolment) return std::unexpected(std::move(enrolment.error()));
  writer::Fido2Factor factor;
  factor.rp_id = std::move(enrolment->descriptor.rp_id);
  factor.credential_id = std::move(enrolment->descriptor.credential_id);
  factor.salt = enrolment->descriptor.salt;
  factor.hmac_secret_output = std::make_shared<const SecretBuffer>(std::move(enrolment->hmac_secret_output));
  return factor;
}

}  // namespace

int run_create(const std::vector<std::string>& args, Fido2Authenticator& fido2) {
  const auto parsed = parse_arguments(
      args,
      {"--output", "--mode", "--password-file", "--key-file", "--block-size", "--level", "--argon2-memory",
       "--argon2-passes", "--argon2-lanes", "--split", "--sfx", "--format-version", "--threads"},
      {"--overwrite", "--quiet", "--fido2"}, {{"-o", "--output"}, {"-q", "--quiet"}});
  if (!parsed.error.empty()) return usage_error(parsed.error + " Zobacz: quarn create --help.");
  const auto output = parsed.value("--output");
  if (!output || parsed.positional.empty())
    return usage_error("Użycie: quarn create -o WYJŚCIE [OPCJE] PLIK_LUB_FOLDER...  (quarn create --help)");

  writer::WriterOptions options;
  if (const auto m = parsed.value("--mode")) {
    const auto mode = parse_mode(*m);
    if (!mode) return usage_error("Nieznany tryb szyfrowania: " + *m + ". Dozwolone: none, aes, chacha-aes, twofish, serpent, serpent-twofish-aes.");
    options.mode = *mode;
  }
  const auto number_option = [&](const char* name, std::uint64_t min, std::uint64_t max, auto& out, bool size) {
    const auto text = parsed.value(name);
    if (!text) return true;
    const auto n = size ? parse_size(*text) : parse_number(*text);
    if (!n || *n < min || *n > max) return false;
    out = static_cast<std::remove_reference_t<decltype(out)>>(*n);
    return true;
  };
  if (!number_option("--block-size", 1, 64u << 20, options.block_size, true))
    return usage_error("--block-size: od 1 B do 64M, np. 4M.");
  if (!number_option("--level", 0, 22, options.zstd_level, false))
    return usage_error("--level: od 0 (bez kompresji) do 22.");
  if (!number_option("--argon2-memory", 8, 4194304, options.argon2.memory_kib, false) ||
      !number_option("--argon2-passes", 1, 64, options.argon2.iterations, false) ||
      !number_option("--argon2-lanes", 1, 64, options.argon2.parallelism, false))
    return usage_error("Argon2id: pamięć w KiB od 8 do 4194304, przebiegi i wątki od 1 do 64.");
  if (!number_option("--format-version", 1, 2, options.version, false))
    return usage_error("--format-version: 1 albo 2.");
  if (!number_option("--threads", 1, 256, options.threads, false)) return usage_error("--threads: od 1 do 256.");
  if (const auto key_file = parsed.value("--key-file")) options.key_file = platform::path_from_argument(*key_file);
  const bool with_fido2 = parsed.flag("--fido2");
  // Before the password is typed and the key touched for nothing.
  if (options.key_file || with_fido2) {
    if (auto allowed = writer::second_factors_allowed(options.mode, options.version); !allowed)
      return fail(allowed.error().display());
  }

  writer::OutputOptions out_options;
  out_options.path = platform::path_from_argument(*output);
  out_options.overwrite = parsed.flag("--overwrite");
  if (const auto split = parsed.value("--split")) {
    out_options.split_size = parse_size(*split);
    if (!out_options.split_size) return usage_error("--split: rozmiar części, np. 100M.");
  }
  if (const auto program = parsed.value("--sfx")) {
    if (*program == "auto") {
      out_options.program = built_self_extractor();
      if (!out_options.program)
        return fail("Nie znaleziono programu quarn-sfx.exe (instalowanego razem z quarn albo zbudowanego przez scripts/build.sh windows); podaj go: --sfx PROGRAM.");
    } else {
      out_options.program = platform::path_from_argument(*program);
    }
  }

  // Before the inputs are read, a password typed or anything created.
  if (auto usable = writer::check_output(out_options); !usable) return fail(usable.error().display());

  std::vector<std::filesystem::path> inputs;
  for (const std::string& p : parsed.positional) inputs.push_back(platform::path_from_argument(p));
  auto tree = writer::gather_inputs(inputs, options.threads, writer::existing_output_files(out_options));
  if (!tree) return fail(tree.error().display());

  std::optional<SecretBuffer> password;
  if (options.mode != EncryptionMode::None) {
    std::optional<std::filesystem::path> password_file;
    if (const auto f = parsed.value("--password-file")) password_file = platform::path_from_argument(*f);
    auto obtained = obtain_password(password_file, true);
    if (!obtained) return fail(obtained.error().display());
    password = std::move(*obtained);
  }
  if (with_fido2) {
    auto factor = fido2_factor(fido2);
    if (!factor) return fail(factor.error().display());
    options.fido2 = std::move(*factor);
  }

  // From here on Ctrl-C stops the writing at the next write; the temporary
  // files go and nothing under the output's name changes.
  static std::atomic<bool> interrupted{false};
  platform::stop_on_interrupt(&interrupted);
  out_options.cancel = &interrupted;
  const auto failed = [](const ArchiveError& error) {
    if (error.kind() == ErrorKind::Cancelled)
      return fail("Przerwano: archiwum nie powstało, istniejące pliki pozostały bez zmian.");
    return fail(error.display());
  };

  auto out = writer::ArchiveOutput::create(out_options);
  if (!out) return failed(out.error());
  std::uint64_t total = 0;
  for (const auto& e : tree->entries) total += e.size;
  Progress progress(total, !parsed.flag("--quiet"));
  options.progress = [&](std::uint64_t done) { progress.update(done); };
  auto summary = writer::write_archive(*tree, options, password ? &*password : nullptr, *out);
  progress.finish();
  if (password) password->release();
  if (!summary) {
    out->discard();
    return failed(summary.error());
  }

  if (!parsed.flag("--quiet")) {
    for (const writer::SkippedInput& skipped : tree->skipped)
      std::fprintf(stderr, "%s%s\n", skipped_why(skipped.reason), terminal_text(skipped.path).c_str());
    std::printf("Utworzono %s: %llu plików, %llu folderów, %llu B danych, archiwum %llu B",
                platform::path_to_utf8(out_options.path).c_str(), static_cast<unsigned long long>(summary->files),
                static_cast<unsigned long long>(summary->directories),
                static_cast<unsigned long long>(summary->plain_bytes),
                static_cast<unsigned long long>(summary->archive_length));
    if (out->files().size() > 1) std::printf(" w %zu częściach", out->files().size());
    std::printf(".\n");
  }
  return exit_ok;
}

}  // namespace quarn::cli

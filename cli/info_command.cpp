// `quarn info ARCHIVE`: what the archive is, before any password is asked.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "core/archive/header.h"
#include "core/platform/platform.h"
#include "core/volumes/footer.h"
#include "core/volumes/volume_set.h"
#include "sfx/describe.h"

namespace quarn::cli {
namespace {

std::string block_size_text(std::uint32_t bytes) {
  std::string text;
  if (bytes % (1u << 20) == 0) text = std::to_string(bytes >> 20) + " MiB (";
  else if (bytes % (1u << 10) == 0) text = std::to_string(bytes >> 10) + " KiB (";
  else text = "(";
  return text + std::to_string(bytes) + " B)";
}

std::string factors_text(const HeaderExtensions& extensions) {
  std::string text;
  if (extensions.key_file_required) text = "plik-klucz";
  if (extensions.fido2) {
    if (!text.empty()) text += ", ";
    text += "klucz FIDO2 (" + terminal_text(extensions.fido2->rp_id) + ")";
  }
  return text.empty() ? "brak" : text;
}

// A program's code signature and, where the system can judge it, whether
// the system trusts it.
std::string signature_text(const std::filesystem::path& path, const VolumeSet& volumes) {
  const auto& signature = volumes.code_signature();
  if (!signature) return "Podpis cyfrowy programu: brak\n";
  std::string text = "Podpis cyfrowy programu: jest (" + std::to_string(signature->length) + " B)\n";
  const auto trust = platform::check_code_signature(path);
  if (!trust) return text;
  if (trust->trusted) {
    text += "Windows ufa podpisowi: tak";
    if (!trust->signer.empty()) text += " (podpisał: " + terminal_text(trust->signer) + ")";
    return text + "\n";
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08llX", static_cast<unsigned long long>(trust->verdict.code) & 0xFFFFFFFFull);
  return text + "Windows ufa podpisowi: nie (" + code + ": " + terminal_text(trust->verdict.message) + ")\n";
}

}  // namespace

int run_info(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty()) return usage_error("Użycie: quarn info ARCHIWUM");
  const auto path = platform::path_from_argument(args[0]);

  auto volumes = VolumeSet::open(path);
  if (!volumes) return fail(volumes.error().display());
  auto header = Header::read(*volumes);
  if (!header) return fail(header.error().display());
  auto extensions = parse_extensions(*header);
  if (!extensions) return fail(extensions.error().display());
  // A truncated or extended copy is worth knowing about before a password is typed.
  auto footer = check_footer(*volumes, header->length());
  if (!footer) return fail(footer.error().display());

  std::string out = terminal_text(sfx::describe_archive(path, header->mode)) + "\n";
  out += "Wersja formatu: " + std::to_string(header->version) + "\n";
  out += "Rozmiar bloku: " + block_size_text(header->block_size) + "\n";
  if (header->argon2) {
    out += "Argon2id: pamięć " + std::to_string(header->argon2->memory_kib) + " KiB, przebiegi " +
           std::to_string(header->argon2->iterations) + ", wątki " +
           std::to_string(header->argon2->parallelism) + "\n";
  } else {
    out += "Argon2id: brak (archiwum bez hasła)\n";
  }
  out += "Drugi składnik: " + factors_text(*extensions) + "\n";
  out += "Części: " + std::to_string(volumes->part_count()) + "\n";
  if (volumes->start_offset() != 0)
    out += "Program samorozpakowujący: archiwum od bajtu " + std::to_string(volumes->start_offset()) + "\n";
  out += "Rozmiar archiwum: " + std::to_string(volumes->archive_len()) + " B\n";
  if (volumes->start_offset() != 0) out += signature_text(path, *volumes);
  std::fputs(out.c_str(), stdout);
  return exit_ok;
}

}  // namespace quarn::cli

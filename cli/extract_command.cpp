// `quarn extract` and `quarn test`: the whole archive through the decode
// pipeline, written under a destination or only checked.
#include <atomic>
#include <cstdio>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/open_archive.h"
#include "cli/progress.h"
#include "core/pipeline/extract.h"
#include "core/platform/platform.h"
#include "sfx/destination.h"
#include "sfx/summary.h"

namespace quarn::cli {
namespace {

struct Parsed {
  std::filesystem::path archive;
  std::optional<std::filesystem::path> destination;
  KeySources keys;
  bool quiet = false;
};

std::optional<Parsed> parse(const std::vector<std::string>& args, bool with_destination, int& status) {
  std::set<std::string> with_value = {"--password-file", "--key-file"};
  if (with_destination) with_value.insert("--output");
  const auto parsed = parse_arguments(args, with_value, {"--quiet"}, {{"-o", "--output"}, {"-q", "--quiet"}});
  const char* usage = with_destination
                          ? "Użycie: quarn extract [--password-file PLIK] [--key-file PLIK] [-o FOLDER] ARCHIWUM"
                          : "Użycie: quarn test [--password-file PLIK] [--key-file PLIK] ARCHIWUM";
  if (!parsed.error.empty()) {
    status = usage_error(parsed.error + " " + usage);
    return std::nullopt;
  }
  if (parsed.positional.size() != 1 || parsed.positional[0].empty()) {
    status = usage_error(usage);
    return std::nullopt;
  }
  Parsed p;
  p.archive = platform::path_from_argument(parsed.positional[0]);
  if (const auto d = parsed.value("--output")) p.destination = platform::path_from_argument(*d);
  if (const auto f = parsed.value("--password-file")) p.keys.password_file = platform::path_from_argument(*f);
  if (const auto f = parsed.value("--key-file")) p.keys.key_file = platform::path_from_argument(*f);
  p.quiet = parsed.flag("--quiet");
  return p;
}

// Renames, suspicious names, mismatches and mark failures, before the summary.
std::string details(const ExtractionReport& report) {
  std::string out;
  for (const Rename& r : report.renames) out += "Zmieniono nazwę: " + r.archive_path + " -> " + r.output_path + "\n";
  for (const std::string& name : report.suspicious_names)
    out += "Podejrzana nazwa (niewidoczne lub odwracające znaki): " + name + "\n";
  for (const std::string& name : report.mismatches) out += "Niezgodna suma SHA-256: " + name + "\n";
  if (report.mark_failures > 0)
    out += "Nie udało się oznaczyć " + std::to_string(report.mark_failures) + " plików jako pochodzących z internetu.\n";
  return out;
}

int run(const std::vector<std::string>& args, bool write) {
  int status = exit_ok;
  const auto parsed = parse(args, write, status);
  if (!parsed) return status;

  auto archive = open_archive(parsed->archive, parsed->keys);
  if (!archive) return fail(archive.error().display());
  archive->volumes.reset();

  std::filesystem::path destination;
  if (write) {
    destination = parsed->destination
                      ? *parsed->destination
                      : platform::path_from_utf8(sfx::default_destination(std::filesystem::absolute(parsed->archive)));
  }
  const Manifest& manifest = archive->loaded.manifest;
  std::uint64_t total = 0;
  for (const Entry& e : manifest.entries) total += e.size;
  Progress progress(total, !parsed->quiet);
  ExtractOptions options;
  options.verify_only = !write;
  options.progress = [&](std::uint64_t done) { progress.update(done); };
  const std::atomic<bool> cancel{false};
  const ArchiveSource source{parsed->archive, archive->header, archive->loaded.digest, archive->cipher, manifest,
                             archive->loaded.filelist_offset};
  auto report = extract(source, destination, cancel, options);
  progress.finish();
  if (!report) return fail(report.error().display());

  std::string out = details(*report);
  if (write) {
    out += sfx::compose_summary(*report, platform::path_to_utf8(destination)) + "\n";
  } else {
    out += report->mismatches.empty()
               ? "Archiwum jest w porządku: " + std::to_string(report->files_verified) +
                     " plików, SHA-256 zgodne.\n"
               : "UWAGA: sumy kontrolne części plików się nie zgadzają - nie ufaj tym plikom.\n";
  }
  std::fputs(out.c_str(), stdout);
  return write || report->mismatches.empty() ? exit_ok : exit_failure;
}

}  // namespace

int run_extract(const std::vector<std::string>& args) { return run(args, true); }
int run_test(const std::vector<std::string>& args) { return run(args, false); }

}  // namespace quarn::cli

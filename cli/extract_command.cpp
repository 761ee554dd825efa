// `quarn extract` and `quarn test`: the self-extractor's own job, run from
// the command line: written under a destination, or only checked.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/open_archive.h"
#include "cli/password.h"
#include "cli/progress.h"
#include "cli/terminal_text.h"
#include "core/archive/header.h"
#include "core/platform/platform.h"
#include "core/volumes/volume_set.h"
#include "sfx/destination.h"
#include "sfx/job.h"
#include "sfx/summary.h"

namespace quarn::cli {
namespace {

struct Parsed {
  std::filesystem::path archive;
  std::optional<std::filesystem::path> destination;
  std::optional<std::filesystem::path> password_file;
  std::optional<std::filesystem::path> key_file;
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
  if (const auto f = parsed.value("--password-file")) p.password_file = platform::path_from_argument(*f);
  if (const auto f = parsed.value("--key-file")) p.key_file = platform::path_from_argument(*f);
  p.quiet = parsed.flag("--quiet");
  return p;
}

// Renames, suspicious names, mismatches and mark failures, before the summary.
// Entry paths are shown as the listing shows them, output paths as texts.
std::string details(const ExtractionReport& report) {
  const auto stored = [](const std::string& path) { return terminal_text(path, Backslashes::Doubled); };
  std::string out;
  for (const Rename& r : report.renames)
    out += "Zmieniono nazwę: " + stored(r.archive_path) + " -> " + terminal_text(r.output_path) + "\n";
  for (const std::string& name : report.suspicious_names)
    out += "Podejrzana nazwa (niewidoczne lub odwracające znaki): " + stored(name) + "\n";
  for (const std::string& name : report.mismatches) out += "Niezgodna suma SHA-256: " + stored(name) + "\n";
  if (report.mark_failures > 0)
    out += "Nie udało się oznaczyć " + std::to_string(report.mark_failures) + " plików jako pochodzących z internetu.\n";
  return out;
}

// The header, read before anything is asked: whether the archive needs a
// password, and a FIDO2 key.
Result<Header> read_header(const std::filesystem::path& path) {
  auto volumes = VolumeSet::open(path);
  if (!volumes) return std::unexpected(std::move(volumes.error()));
  return Header::read(*volumes);
}

int run(const std::vector<std::string>& args, bool write, Fido2Authenticator& fido2) {
  int status = exit_ok;
  const auto parsed = parse(args, write, status);
  if (!parsed) return status;

  auto header = read_header(parsed->archive);
  if (!header) return fail(header.error().display());

  sfx::ExtractionJob job;
  job.source = parsed->archive;
  if (write) {
    // As a path, never as text: a folder name that is not UTF-8 stays the folder named.
    job.destination = parsed->destination ? *parsed->destination
                                          : sfx::default_destination_path(std::filesystem::absolute(parsed->archive));
  }
  if (header->encrypted()) {
    auto password = obtain_password(parsed->password_file, false);
    if (!password) return fail(password.error().display());
    job.password = std::move(*password);
    announce_fido2_touch(*header, parsed->key_file.has_value());
  }

  static std::atomic<bool> cancel{false};
  platform::stop_on_interrupt(&cancel);
  Progress progress(0, !parsed->quiet);
  sfx::JobOptions options;
  options.key_file = parsed->key_file;
  options.fido2 = &fido2;
  options.verify_only = !write;
  options.progress = [&](std::uint64_t done, std::uint64_t total) { progress.update(done, total); };
  std::string listed;
  std::string summary;  // the job's, with the folder's name made safe for a terminal
  std::uint64_t verified = 0;
  bool mismatched = false;
  options.on_report = [&, shown_destination = terminal_text(platform::path_to_utf8(job.destination))](const ExtractionReport& report) {
    listed = details(report);
    summary = sfx::compose_summary(report, shown_destination);
    verified = report.files_verified;
    mismatched = !report.mismatches.empty();
  };

  // The job runs on a thread of its own, as in the window; this one waits.
  std::optional<sfx::JobOutcome> outcome;
  std::thread worker([&] { outcome = sfx::run_job(std::move(job), cancel, options); });
  worker.join();
  progress.finish();

  if (const auto* error = std::get_if<ArchiveError>(&*outcome)) return fail(error->display());
  std::string out = listed;
  if (write) {
    out += summary + "\n";
  } else {
    out += mismatched ? "UWAGA: sumy kontrolne części plików się nie zgadzają - nie ufaj tym plikom.\n"
                      : "Archiwum jest w porządku: " + std::to_string(verified) + " plików, SHA-256 zgodne.\n";
  }
  std::fputs(out.c_str(), stdout);
  // A file whose SHA-256 or size disagrees with the list is a failure for
  // extract as for test, though the rest was written and the summary says so.
  return mismatched ? exit_failure : exit_ok;
}

}  // namespace

int run_extract(const std::vector<std::string>& args, Fido2Authenticator& fido2) { return run(args, true, fido2); }
int run_test(const std::vector<std::string>& args, Fido2Authenticator& fido2) { return run(args, false, fido2); }

}  // namespace quarn::cli

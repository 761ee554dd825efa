#include "sfx/job.h"

#include "core/archive/header.h"
#include "core/archive/load_manifest.h"
#include "core/pipeline/extract.h"
#include "core/platform/platform.h"
#include "core/volumes/volume_set.h"
#include "sfx/summary.h"

namespace quarn::sfx {

void OutcomeSlot::put(JobOutcome outcome) {
  std::lock_guard lock(mutex_);
  outcome_ = std::move(outcome);
}

std::optional<JobOutcome> OutcomeSlot::take() {
  std::lock_guard lock(mutex_);
  std::optional<JobOutcome> taken = std::move(outcome_);
  outcome_.reset();
  return taken;
}

namespace {

// Steps 1 to 6; everything derived here ends with this function, before the
// caller releases the job's inputs.
JobOutcome extract_archive(const ExtractionJob& job, const std::atomic<bool>& cancel, const JobOptions& options) {
  auto opened = VolumeSet::open(job.source);
  if (!opened) return std::move(opened.error());
  std::optional<VolumeSet> volumes(std::move(*opened));
  auto header = Header::read(*volumes);
  if (!header) return std::move(header.error());

  SecondFactorOptions factors;
  factors.key_file = options.key_file;
  factors.authenticator = options.fido2;
  auto cipher = derive_keys(key_material(*header), job.password ? &*job.password : nullptr, factors);
  if (!cipher) return std::move(cipher.error());

  auto loaded = load_manifest(*volumes, *header, *cipher);
  if (!loaded) return std::move(loaded.error());
  volumes.reset();  // the pipeline's reader opens the parts again

  // Key derivation cannot be interrupted; a stop asked for meanwhile is
  // honoured here, before anything is created on disk.
  if (cancel.load()) return ArchiveError::cancelled();

  std::uint64_t total = 0;
  for (const Entry& e : loaded->manifest.entries) total += e.size;
  ExtractOptions extract_options;
  extract_options.workers = options.workers;
  extract_options.verify_only = options.verify_only;
  if (options.progress) {
    options.progress(0, total);  // the first byte is due: the rate is measured from here
    extract_options.progress = [&](std::uint64_t done) { options.progress(done, total); };
  }
  const ArchiveSource source{job.source, *header, loaded->digest, *cipher, loaded->manifest, loaded->filelist_offset};
  auto report = extract(source, job.destination, cancel, extract_options);
  if (!report) return std::move(report.error());
  if (options.on_report) options.on_report(*report);
  const std::string folder = platform::path_to_utf8(job.destination);
  return JobSuccess{folder, compose_summary(*report, folder)};
}

}  // namespace

JobOutcome run_job(ExtractionJob job, const std::atomic<bool>& cancel, const JobOptions& options) {
  JobOutcome outcome = extract_archive(job, cancel, options);
  if (job.password) job.password->release();
  return outcome;
}

}  // namespace quarn::sfx

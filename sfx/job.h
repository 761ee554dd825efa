// The extraction job: everything from opening the archive to the summary,
// run on a thread of its own by the window (and by the command line). Its
// outcome reaches the window through the OutcomeSlot.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "core/archive/output_writer.h"
#include "core/crypto/second_factors.h"
#include "core/crypto/secret_buffer.h"
#include "core/error/archive_error.h"

namespace quarn::sfx {

struct ExtractionJob {
  std::filesystem::path source;        // the program's own file (or any archive path)
  std::filesystem::path destination;   // never empty; the window's is its trimmed text
  std::optional<SecretBuffer> password;  // absent for an archive without encryption
  void* window = nullptr;              // receives WM_JOB_DONE; unused off Windows
};

struct JobSuccess {
  std::string folder;
  std::string message;
};

using JobOutcome = std::variant<JobSuccess, ArchiveError>;

// One process-wide cell: the job puts, the window takes.
class OutcomeSlot {
 public:
  // Replaces (and releases) whatever was still there.
  void put(JobOutcome outcome);
  // Empties the slot; nothing when it was empty.
  std::optional<JobOutcome> take();

 private:
  std::mutex mutex_;
  std::optional<JobOutcome> outcome_;
};

// What the command line adds to a job; the window uses the defaults.
struct JobOptions {
  std::optional<std::filesystem::path> key_file;
  Fido2Authenticator* fido2 = nullptr;  // null: the platform's
  bool verify_only = false;
  unsigned workers = 0;
  // On the job's thread: once with 0 bytes when the file list is read and
  // the first byte is due, then after every frame written.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // Sees the report of a successful extraction before the summary is made.
  std::function<void(const ExtractionReport&)> on_report;
};

// Runs the job's steps in order (open, header, keys, file list, release the
// container, extract, summary) and returns the outcome. The keys and the
// file list are released before returning, the password last, when `job`
// ends. `cancel` set by another thread stops the job with the Cancelled
// error: before extraction starts when set during key derivation or the
// file list, otherwise between frames, the open file closed as it stands.
JobOutcome run_job(ExtractionJob job, const std::atomic<bool>& cancel, const JobOptions& options = {});

}  // namespace quarn::sfx

#include "sfx/win32/job_thread.h"

#include <atomic>
#include <memory>

#include "sfx/progress.h"
#include "sfx/win32/wide.h"
#include "sfx/window_model.h"

namespace quarn::sfx::win32 {
namespace {

constexpr SIZE_T job_stack_size = 2u << 20;

// One job at a time (the window disables "Rozpakuj" while busy), so one
// flag serves every job; start_job clears it.
std::atomic<bool> stop_requested{false};

// On the job's thread: posts, never sends. The window may be inside a
// nested loop (the folder picker), and a send would make the job wait on it.
std::function<void(std::uint64_t, std::uint64_t)> progress_poster(HWND window) {
  return [window, pacer = UpdatePacer(progress_interval)](std::uint64_t done, std::uint64_t total) mutable {
    if (pacer.due(ProgressClock::now(), done == total))
      PostMessageW(window, WM_JOB_PROGRESS, static_cast<WPARAM>(done), static_cast<LPARAM>(total));
  };
}

void finish(HWND window, JobOutcome outcome) {
  outcome_slot().put(std::move(outcome));
  // A window that is already gone leaves the outcome in the slot.
  PostMessageW(window, WM_JOB_DONE, 0, 0);
}

DWORD WINAPI job_main(LPVOID parameter) {
  std::unique_ptr<ExtractionJob> job(static_cast<ExtractionJob*>(parameter));
  const HWND window = static_cast<HWND>(job->window);
  // run_job takes the job's inputs and releases them (the password last)
  // when it returns.
  JobOptions options;
  options.progress = progress_poster(window);
  JobOutcome outcome = run_job(std::move(*job), stop_requested, options);
  job.reset();
  finish(window, std::move(outcome));
  return 0;
}

platform::OsError last_os_error() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring message = length ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return platform::OsError{static_cast<std::int64_t>(code), narrow(message), false};
}

}  // namespace

OutcomeSlot& outcome_slot() {
  static OutcomeSlot slot;
  return slot;
}

void start_job(ExtractionJob job) {
  stop_requested.store(false);
  const HWND window = static_cast<HWND>(job.window);
  auto owned = std::make_unique<ExtractionJob>(std::move(job));
  const HANDLE thread =
      CreateThread(nullptr, job_stack_size, job_main, owned.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) {
    const platform::OsError error = last_os_error();
    owned.reset();  // the password is wiped here
    finish(window, ArchiveError::io(error));
    return;
  }
  owned.release();  // the thread owns it now
  CloseHandle(thread);
}

void stop_job() { stop_requested.store(true); }

}  // namespace quarn::sfx::win32

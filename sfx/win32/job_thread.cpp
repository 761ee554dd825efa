#include "sfx/win32/job_thread.h"

#include <atomic>
#include <memory>

#include "sfx/win32/wide.h"

namespace quarn::sfx::win32 {
namespace {

constexpr SIZE_T job_stack_size = 2u << 20;

// The window never cancels a started extraction.
const std::atomic<bool> never_cancelled{false};

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
  JobOutcome outcome = run_job(std::move(*job), never_cancelled);
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

}  // namespace quarn::sfx::win32

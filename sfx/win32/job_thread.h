// The extraction job's thread and the way its progress and its outcome
// reach the window: only ever by posted messages, never by a call into it.
#pragma once

#include <windows.h>

#include "sfx/job.h"

namespace quarn::sfx::win32 {

// Posted to the job's window when the outcome is in the slot; no parameters.
inline constexpr UINT WM_JOB_DONE = WM_APP + 1;
// Posted by the job, at most one every progress_interval (window_model.h)
// and always for the last byte: wParam is the bytes written so far, lParam
// the bytes of all files. The first, with 0 bytes, comes when the keys and
// the file list are ready and the first byte is due.
inline constexpr UINT WM_JOB_PROGRESS = WM_APP + 2;

// The one process-wide slot between the job and the window.
OutcomeSlot& outcome_slot();

// Starts `job` on a thread of its own with a 2 MiB stack and returns at
// once; the thread is never joined. The thread runs the job, puts its
// outcome into the slot and posts WM_JOB_DONE to job.window. When no thread
// can be started the job (its password included) is released here, the
// system's error becomes the outcome and WM_JOB_DONE is posted all the same,
// so the window always leaves its busy state.
void start_job(ExtractionJob job);

// Asks the running job to stop: it ends with the Cancelled error (and posts
// WM_JOB_DONE) as soon as it can, between frames; key derivation runs to
// its end first. Window's thread.
void stop_job();

}  // namespace quarn::sfx::win32

// The extraction job's thread and the way its outcome reaches the window.
#pragma once

#include <windows.h>

#include "sfx/job.h"

namespace quarn::sfx::win32 {

// Posted to the job's window when the outcome is in the slot; no parameters.
inline constexpr UINT WM_JOB_DONE = WM_APP + 1;

// The one process-wide slot between the job and the window.
OutcomeSlot& outcome_slot();

// Starts `job` on a thread of its own with a 2 MiB stack and returns at
// once; the thread is never joined. The thread runs the job, puts its
// outcome into the slot and posts WM_JOB_DONE to job.window. When no thread
// can be started the job (its password included) is released here, the
// system's error becomes the outcome and WM_JOB_DONE is posted all the same,
// so the window always leaves its busy state.
void start_job(ExtractionJob job);

}  // namespace quarn::sfx::win32

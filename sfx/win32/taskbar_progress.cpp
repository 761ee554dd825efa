#include "sfx/win32/taskbar_progress.h"

#include <shobjidl.h>

namespace quarn::sfx::win32 {

ITaskbarList3* TaskbarProgress::list() {
  if (tried_) return list_;
  tried_ = true;
  ITaskbarList3* made = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&made))) ||
      !made)
    return nullptr;
  if (FAILED(made->HrInit())) {
    made->Release();
    return nullptr;
  }
  list_ = made;
  return list_;
}

void TaskbarProgress::working(HWND window) {
  if (ITaskbarList3* taskbar = list()) taskbar->SetProgressState(window, TBPF_INDETERMINATE);
}

void TaskbarProgress::show(HWND window, std::uint64_t done, std::uint64_t total) {
  ITaskbarList3* taskbar = list();
  if (!taskbar) return;
  // Setting a value ends the indeterminate state by itself.
  if (total == 0) {
    done = 1;
    total = 1;
  }
  taskbar->SetProgressValue(window, done, total);
}

void TaskbarProgress::stopping(HWND window) {
  if (ITaskbarList3* taskbar = list()) taskbar->SetProgressState(window, TBPF_PAUSED);
}

void TaskbarProgress::clear(HWND window) {
  if (ITaskbarList3* taskbar = list()) taskbar->SetProgressState(window, TBPF_NOPROGRESS);
}

void TaskbarProgress::release() {
  if (list_) list_->Release();
  list_ = nullptr;
}

}  // namespace quarn::sfx::win32

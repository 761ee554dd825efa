// The job's progress on the window's taskbar button (ITaskbarList3). Every
// failure is ignored: a shell without it (an older system, Wine) shows none.
#pragma once

#include <windows.h>

#include <cstdint>

struct ITaskbarList3;

namespace quarn::sfx::win32 {

class TaskbarProgress {
 public:
  TaskbarProgress() = default;
  TaskbarProgress(const TaskbarProgress&) = delete;
  TaskbarProgress& operator=(const TaskbarProgress&) = delete;
  ~TaskbarProgress() { release(); }

  // Moving, with no measure yet (before the first byte).
  void working(HWND window);
  void show(HWND window, std::uint64_t done, std::uint64_t total);
  // Stopping: the bar stays where it is, marked as paused.
  void stopping(HWND window);
  void clear(HWND window);
  // Before COM goes away with the window's thread.
  void release();

 private:
  // The shell object, made on first use (the button exists by then); null
  // when it could not be made, and then never asked for again.
  ITaskbarList3* list();

  ITaskbarList3* list_ = nullptr;
  bool tried_ = false;
};

}  // namespace quarn::sfx::win32

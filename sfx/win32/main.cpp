// quarn-sfx: the self-extracting program. Start-up hardens the process,
// finds the archive attached to its own file and opens the window.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "sfx/describe.h"
#include "sfx/destination.h"
#include "sfx/win32/main_window.h"
#include "sfx/win32/startup.h"
#include "sfx/win32/wide.h"
#include "sfx/window_model.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace quarn::sfx;
  using namespace quarn::sfx::win32;

  // Hardening comes before any other work of our own.
  harden_process();
  const std::filesystem::path own_path = own_executable_path();
  const std::optional<ArchiveProbe> probe = probe_archive(own_path);
  if (!probe) {
    MessageBoxW(nullptr, widen(no_archive_message).c_str(), widen(message_caption).c_str(), MB_ICONERROR);
    ExitProcess(0);
  }

  // The folder picker needs a single-threaded apartment on this thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;  // the progress bar shown during a job
  InitCommonControlsEx(&controls);

  WindowSetup setup;
  setup.own_path = own_path;
  setup.encrypted = probe->encrypted;
  setup.description = describe_archive(own_path, probe->mode);
  setup.destination = default_destination(own_path);
  run_main_window(GetModuleHandleW(nullptr), setup);

  // A job still running ends with the process; ExitProcess stops its
  // threads before anything static is torn down.
  ExitProcess(0);
}

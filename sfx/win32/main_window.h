// The self-extractor's one window: its class, its child controls, its
// message loop and what it does for each command and for the job's outcome.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace quarn::sfx::win32 {

// What start-up found, handed to the window.
struct WindowSetup {
  std::filesystem::path own_path;
  bool encrypted = false;
  std::string description;  // the archive line, UTF-8
  std::string destination;  // the proposed folder, UTF-8
};

// Registers the window class, creates the window and its children, shows it
// and runs the message loop until the window is destroyed. Returns at once,
// without a message, when the window cannot be created. Main thread only;
// needs COM (single-threaded apartment) and the common controls set up.
void run_main_window(HINSTANCE instance, const WindowSetup& setup);

}  // namespace quarn::sfx::win32

// The folder picker behind the "…" button.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace quarn::sfx::win32 {

// Shows the system's file-open dialog in folder mode, owned by `owner`, and
// returns the chosen folder's file-system path as UTF-8. Nothing when the
// dialog cannot be made or shown, the user cancels, the item has no
// file-system path, or the path is not valid UTF-16. Never shows an error.
// Needs COM initialised as a single-threaded apartment on this thread; runs
// a nested message loop while the dialog is open.
std::optional<std::string> pick_folder(HWND owner);

}  // namespace quarn::sfx::win32

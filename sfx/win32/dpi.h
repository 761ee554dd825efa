// The DPI a window is shown at and what follows from it: the frame around
// the client area and the message font. The calls that came with
// per-monitor DPI (Windows 10, version 1607) are looked up at run time, so
// the program also starts on systems without them, where the screen's DPI
// stands in.
#pragma once

#include <windows.h>

#include "sfx/window_model.h"

namespace quarn::sfx::win32 {

// GetDpiForWindow, or the screen's LOGPIXELSY where that is missing.
int window_dpi(HWND window);

// What a window of `style` and `ex_style` without a menu draws around its
// client area at `dpi` (AdjustWindowRectExForDpi; AdjustWindowRectEx, at the
// system's DPI, where that is missing).
Size frame_size(DWORD style, DWORD ex_style, int dpi);

// The system's message font at `dpi` (SystemParametersInfoForDpi; where
// that is missing, the font at the screen's DPI scaled to `dpi`). The caller
// deletes it. Null when no font can be made.
HFONT create_message_font(int dpi);

}  // namespace quarn::sfx::win32

// The window's children placed and lettered for the DPI the window is shown
// at: created once, laid out again and given a new font when the window
// moves to a screen of another scaling.
#pragma once

#include <windows.h>

#include <vector>

#include "sfx/window_model.h"

namespace quarn::sfx::win32 {

class WindowLayout {
 public:
  WindowLayout() = default;
  WindowLayout(const WindowLayout&) = delete;
  WindowLayout& operator=(const WindowLayout&) = delete;
  ~WindowLayout();

  // Sizes `window` (made at its 96-DPI size) for the DPI it is shown at and
  // creates `children` there, with the message font of that DPI. Main
  // thread; once per window.
  void create(HWND window, HINSTANCE instance, bool encrypted, const std::vector<ChildControl>& children);

  // WM_DPICHANGED: the window takes the rectangle the system suggests, the
  // children their places at `dpi`, and every child the font of `dpi`.
  void change_dpi(int dpi, const RECT& suggested);

  // WM_GETDPISCALEDSIZE: the window's outer size at `dpi`.
  Size window_size_at(int dpi) const;

 private:
  void place_children();
  void use_font_for_dpi();

  struct Child {
    ChildControl control;
    HWND handle = nullptr;
  };
  HWND window_ = nullptr;
  bool encrypted_ = false;
  int dpi_ = 96;
  HFONT font_ = nullptr;  // ours to delete; null while the stock font stands in
  std::vector<Child> children_;
};

}  // namespace quarn::sfx::win32

#include "sfx/win32/window_layout.h"

#include "sfx/win32/dpi.h"
#include "sfx/win32/wide.h"

namespace quarn::sfx::win32 {
namespace {

Size window_frame(HWND window, int dpi) {
  return frame_size(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)),
                    static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)), dpi);
}

}  // namespace

WindowLayout::~WindowLayout() {
  if (font_) DeleteObject(font_);
}

void WindowLayout::create(HWND window, HINSTANCE instance, bool encrypted, const std::vector<ChildControl>& children) {
  window_ = window;
  encrypted_ = encrypted;
  dpi_ = window_dpi(window);
  // At 96 DPI this is the size the window was made with.
  const Size size = window_size_at(dpi_);
  RECT made{};
  GetWindowRect(window, &made);
  if (made.right - made.left != size.width || made.bottom - made.top != size.height)
    SetWindowPos(window, nullptr, 0, 0, size.width, size.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  for (const ChildControl& child : children) {
    const DWORD visible = child.visible ? WS_VISIBLE : 0;
    const HWND handle = CreateWindowExW(0, widen(child.class_name).c_str(), widen(child.text).c_str(),
                                        child.style | WS_CHILD | visible, 0, 0, 0, 0, window,
                                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(child.id)), instance, nullptr);
    children_.push_back({child, handle});
  }
  place_children();
  use_font_for_dpi();
}

void WindowLayout::change_dpi(int dpi, const RECT& suggested) {
  dpi_ = dpi;
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  place_children();
  use_font_for_dpi();
}

Size WindowLayout::window_size_at(int dpi) const {
  return window_size(encrypted_, dpi, window_frame(window_, 96), window_frame(window_, dpi));
}

void WindowLayout::place_children() {
  for (const Child& child : children_) {
    const Bounds at = scaled_bounds(child.control, dpi_);
    MoveWindow(child.handle, at.x, at.y, at.width, at.height, TRUE);
  }
}

void WindowLayout::use_font_for_dpi() {
  // The stock font is the last resort; it stays right at 96 DPI only.
  const HFONT made = create_message_font(dpi_);
  const HGDIOBJ font = made ? static_cast<HGDIOBJ>(made) : GetStockObject(DEFAULT_GUI_FONT);
  for (const Child& child : children_) SendMessageW(child.handle, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  // No child uses the old font any more.
  if (font_) DeleteObject(font_);
  font_ = made;
}

}  // namespace quarn::sfx::win32

#include "sfx/win32/dpi.h"

namespace quarn::sfx::win32 {
namespace {

// Functions of newer systems, looked up so that the program starts on older
// ones. user32 is delay-loaded, so it may not be loaded yet: this loads it,
// from System32.
template <class Function>
Function user32_function(const char* name) {
  const HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!user32) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFunction = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiFunction = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);

int screen_dpi() {
  const HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

int window_dpi(HWND window) {
  static const auto get_dpi_for_window = user32_function<GetDpiForWindowFunction>("GetDpiForWindow");
  if (get_dpi_for_window) {
    if (const UINT dpi = get_dpi_for_window(window); dpi > 0) return static_cast<int>(dpi);
  }
  return screen_dpi();
}

Size frame_size(DWORD style, DWORD ex_style, int dpi) {
  static const auto adjust_for_dpi = user32_function<AdjustWindowRectExForDpiFunction>("AdjustWindowRectExForDpi");
  RECT rect{0, 0, 0, 0};
  const BOOL adjusted = adjust_for_dpi ? adjust_for_dpi(&rect, style, FALSE, ex_style, static_cast<UINT>(dpi))
                                       : AdjustWindowRectEx(&rect, style, FALSE, ex_style);
  if (!adjusted) return {};
  return {rect.right - rect.left, rect.bottom - rect.top};
}

HFONT create_message_font(int dpi) {
  static const auto parameters_for_dpi =
      user32_function<SystemParametersInfoForDpiFunction>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (parameters_for_dpi &&
      parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, static_cast<UINT>(dpi)))
    return CreateFontIndirectW(&metrics.lfMessageFont);
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return nullptr;
  metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, screen_dpi());
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

}  // namespace quarn::sfx::win32

// quarn_sfx_probe_hook.dll: loaded by the system into the window's process
// when quarn_sfx_probe hooks the window's thread. A font handle means nothing
// in another process, so the text of a control is measured here, in the
// control's own process, with the font the control draws with, and handed
// back as window properties, which every process can read.
#include <windows.h>

#include <vector>

namespace {

void measure(HWND control) {
  const int length = GetWindowTextLengthW(control);
  std::vector<wchar_t> text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
  const int got = GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
  auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  if (!font) font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  const HDC dc = CreateCompatibleDC(nullptr);
  const HGDIOBJ before = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.data(), got > 0 ? got : 0, &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, before);
  DeleteDC(dc);
  // One more than the value, so that a property that is there is never 0.
  SetPropW(control, L"quarn.probe.width", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(size.cx) + 1));
  SetPropW(control, L"quarn.probe.height", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(metrics.tmHeight) + 1));
}

}  // namespace

// WH_CALLWNDPROC: the probe's registered message, sent to a control, asks
// for its text to be measured before the control sees the message.
extern "C" __declspec(dllexport) LRESULT CALLBACK quarn_probe_hook(int code, WPARAM wparam, LPARAM lparam) {
  static const UINT measure_message = RegisterWindowMessageW(L"quarn.probe.measure");
  if (code == HC_ACTION) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (call->message == measure_message) {
      measure(call->hwnd);
      // The probe's token last: it tells the probe that these values are new.
      SetPropW(call->hwnd, L"quarn.probe.nonce", reinterpret_cast<HANDLE>(call->wParam));
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

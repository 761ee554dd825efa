// quarn_sfx_probe: a test-only console program that prints, as one JSON
// document in UTF-8, the visible top-level windows of the Wine session whose
// title is "Quarn" (message boxes) or whose class is QuarnSfx (the main
// window), with every child control: class, id, text, position, style,
// whether it is enabled, and which control has the keyboard focus. Texts are
// read with WM_GETTEXT, which crosses process boundaries, so the tests can
// assert exact texts instead of reading pixels.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/platform/utf.h"

namespace {

std::string utf8(const std::wstring& units) {
  return quarn::platform::utf16_to_utf8(std::u16string(units.begin(), units.end()));
}

std::wstring class_of(HWND window) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// Another process's control: WM_GETTEXT is marshalled, GetWindowTextW is not.
std::wstring text_of(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) return L"";
  std::vector<wchar_t> buffer(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_ABORTIFHUNG, 2000, &copied))
    return L"";
  return std::wstring(buffer.data(), copied);
}

nlohmann::json rect_of(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  return {r.left, r.top, r.right, r.bottom};
}

nlohmann::json describe_child(HWND child) {
  return {{"class", utf8(class_of(child))},
          {"id", GetDlgCtrlID(child)},
          {"text", utf8(text_of(child))},
          {"rect", rect_of(child)},
          {"style", static_cast<std::uint32_t>(GetWindowLongW(child, GWL_STYLE))},
          {"enabled", IsWindowEnabled(child) != FALSE},
          {"visible", IsWindowVisible(child) != FALSE}};
}

BOOL CALLBACK collect_child(HWND child, LPARAM into) {
  reinterpret_cast<nlohmann::json*>(into)->push_back(describe_child(child));
  return TRUE;
}

BOOL CALLBACK collect_window(HWND window, LPARAM into) {
  if (!IsWindowVisible(window)) return TRUE;
  const std::wstring cls = class_of(window);
  const std::wstring title = text_of(window);
  if (title != L"Quarn" && cls != L"QuarnSfx") return TRUE;

  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  int focus_id = -1;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) && thread.hwndFocus &&
      (thread.hwndFocus == window || IsChild(window, thread.hwndFocus)))
    focus_id = thread.hwndFocus == window ? 0 : GetDlgCtrlID(thread.hwndFocus);

  nlohmann::json children = nlohmann::json::array();
  EnumChildWindows(window, collect_child, reinterpret_cast<LPARAM>(&children));
  reinterpret_cast<nlohmann::json*>(into)->push_back({{"class", utf8(cls)},
                                                      {"title", utf8(title)},
                                                      {"rect", rect_of(window)},
                                                      {"style", static_cast<std::uint32_t>(GetWindowLongW(window, GWL_STYLE))},
                                                      {"ex_style", static_cast<std::uint32_t>(GetWindowLongW(window, GWL_EXSTYLE))},
                                                      {"enabled", IsWindowEnabled(window) != FALSE},
                                                      {"focus_id", focus_id},
                                                      {"children", children}});
  return TRUE;
}

}  // namespace

int main() {
  nlohmann::json windows = nlohmann::json::array();
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&windows));
  const std::string out = windows.dump() + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

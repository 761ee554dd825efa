// quarn_sfx_probe: a test-only console program that prints, as one JSON
// document in UTF-8, the visible top-level windows of the Wine session whose
// title is "Quarn" (message boxes) or whose class is QuarnSfx (the main
// window), with every child control: class, id, text, position, style,
// whether it is enabled, and which control has the keyboard focus. Texts are
// read with WM_GETTEXT, which crosses process boundaries, so the tests can
// assert exact texts instead of reading pixels. The main window also reports
// its client area, a progress bar its position and range, and with
// --measure each child the size of its text in the child's own font. With
// --watch it prints, instead, a JSON array of {"ms", "windows"}: such
// documents taken every 50 ms (consecutive equal ones once), with the
// milliseconds since the first, until a message box shows, the status reads
// "Gotowe." or the main window is gone: a job of a few seconds is seen
// throughout, which one program start per look could not do under Wine.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
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

// The client area in screen coordinates.
nlohmann::json client_rect_of(HWND window) {
  RECT r{};
  GetClientRect(window, &r);
  POINT corners[2] = {{r.left, r.top}, {r.right, r.bottom}};
  MapWindowPoints(window, nullptr, corners, 2);
  return {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
}

nlohmann::json rect_of(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  return {r.left, r.top, r.right, r.bottom};
}

LRESULT ask(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 2000, &answer)) return 0;
  return static_cast<LRESULT>(answer);
}

// Measures the texts of one thread's controls in their own fonts, through
// quarn_sfx_probe_hook.dll beside this program (a font handle cannot cross
// processes, so the measuring runs inside the window's process).
class TextMeasurer {
 public:
  explicit TextMeasurer(DWORD thread) {
    std::vector<wchar_t> path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring dll(path.data(), length);
    dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"quarn_sfx_probe_hook.dll";
    module_ = LoadLibraryW(dll.c_str());
    const auto procedure =
        module_ ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module_, "quarn_probe_hook")))
                : nullptr;
    if (procedure) hook_ = SetWindowsHookExW(WH_CALLWNDPROC, procedure, module_, thread);
  }
  TextMeasurer(const TextMeasurer&) = delete;
  TextMeasurer& operator=(const TextMeasurer&) = delete;
  ~TextMeasurer() {
    if (hook_) UnhookWindowsHookEx(hook_);
    if (module_) FreeLibrary(module_);
  }

  // {"width", "height"} of the control's text (the height is the font's line
  // height), or null when it could not be measured.
  nlohmann::json measure(HWND control) {
    if (!hook_) return nullptr;
    const WPARAM nonce = ++nonce_;
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(control, message_, nonce, 0, SMTO_ABORTIFHUNG, 2000, &ignored)) return nullptr;
    if (reinterpret_cast<WPARAM>(GetPropW(control, L"quarn.probe.nonce")) != nonce) return nullptr;
    const auto property = [&](const wchar_t* name) {
      return static_cast<long long>(reinterpret_cast<INT_PTR>(GetPropW(control, name))) - 1;
    };
    return {{"width", property(L"quarn.probe.width")}, {"height", property(L"quarn.probe.height")}};
  }

 private:
  HMODULE module_ = nullptr;
  HHOOK hook_ = nullptr;
  UINT message_ = RegisterWindowMessageW(L"quarn.probe.measure");
  WPARAM nonce_ = static_cast<WPARAM>(GetTickCount64());
};

TextMeasurer* measurer = nullptr;  // set with --measure

nlohmann::json describe_child(HWND child) {
  const std::wstring cls = class_of(child);
  const std::wstring text = text_of(child);
  nlohmann::json described = {{"class", utf8(cls)},
                              {"id", GetDlgCtrlID(child)},
                              {"text", utf8(text)},
                              {"rect", rect_of(child)},
                              {"style", static_cast<std::uint32_t>(GetWindowLongW(child, GWL_STYLE))},
                              {"enabled", IsWindowEnabled(child) != FALSE},
                              {"visible", IsWindowVisible(child) != FALSE}};
  if (measurer) described["text_size"] = measurer->measure(child);
  if (cls == PROGRESS_CLASSW) {
    described["position"] = ask(child, PBM_GETPOS);
    described["range"] = {ask(child, PBM_GETRANGE, TRUE), ask(child, PBM_GETRANGE, FALSE)};
  }
  return described;
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
                                                      {"client", client_rect_of(window)},
                                                      {"children", children}});
  return TRUE;
}

}  // namespace

// With --measure, every child of the main window also gets "text_size".
bool job_over(const nlohmann::json& windows) {
  bool main_window = false;
  for (const auto& window : windows) {
    if (window["class"] != "QuarnSfx") return true;  // a message box
    main_window = true;
    for (const auto& child : window["children"])
      if (child["text"] == "Gotowe.") return true;
  }
  return !main_window;
}

nlohmann::json look() {
  nlohmann::json windows = nlohmann::json::array();
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

int wmain(int argc, wchar_t** argv) {
  // Rectangles in the screen's own pixels, whatever the DPI of the windows.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  bool measure = false, watch = false;
  for (int i = 1; i < argc; ++i) {
    measure = measure || std::wstring_view(argv[i]) == L"--measure";
    watch = watch || std::wstring_view(argv[i]) == L"--watch";
  }
  std::optional<TextMeasurer> measuring;
  if (measure) {
    if (const HWND main_window = FindWindowW(L"QuarnSfx", nullptr)) {
      measuring.emplace(GetWindowThreadProcessId(main_window, nullptr));
      measurer = &*measuring;
    }
  }
  nlohmann::json out = look();
  if (watch) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    nlohmann::json seen = nlohmann::json::array({{{"ms", 0}, {"windows", out}}});
    while (!job_over(seen.back()["windows"]) && clock::now() - start < std::chrono::minutes(2)) {
      Sleep(50);
      nlohmann::json windows = look();
      if (windows == seen.back()["windows"]) continue;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count();
      seen.push_back({{"ms", ms}, {"windows", std::move(windows)}});
    }
    out = std::move(seen);
  }
  const std::string text = out.dump() + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

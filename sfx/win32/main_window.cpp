#include "sfx/win32/main_window.h"

#include <shellapi.h>

#include <optional>
#include <span>
#include <vector>

#include "core/crypto/secret_buffer.h"
#include "core/platform/system.h"
#include "core/platform/utf.h"
#include "sfx/destination.h"
#include "sfx/presentation.h"
#include "sfx/win32/folder_picker.h"
#include "sfx/win32/job_thread.h"
#include "sfx/win32/wide.h"
#include "sfx/window_model.h"

namespace quarn::sfx::win32 {
namespace {

// The layout is drawn at 96 DPI and stays there (the children scale by
// dpi / 96, which is 1).
constexpr int layout_dpi = 96;

// The window's state; set once the controls exist, touched only on the
// window's thread and never held across a call with a nested message loop.
struct AppState {
  std::filesystem::path own_path;
  bool encrypted = false;
  bool busy = false;
  HWND window = nullptr;
};

std::optional<AppState> app_state;

UINT icon_flags(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information: return MB_ICONINFORMATION;
    case MessageIcon::Warning: return MB_ICONWARNING;
    case MessageIcon::Error: return MB_ICONERROR;
  }
  return MB_ICONERROR;
}

void show_message(HWND owner, const std::string& text, MessageIcon icon) {
  MessageBoxW(owner, widen(text).c_str(), widen(message_caption).c_str(), icon_flags(icon));
}

void set_text(HWND control, const std::string& text) { SetWindowTextW(control, widen(text).c_str()); }

// The control's text as UTF-8, unpaired surrogates as U+FFFD.
std::string read_text(HWND control) {
  const int length = GetWindowTextLengthW(control);
  std::vector<wchar_t> units(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
  const int got = GetWindowTextW(control, units.data(), static_cast<int>(units.size()));
  return narrow(std::wstring_view(units.data(), got > 0 ? static_cast<std::size_t>(got) : 0));
}

// Moves the password box's text into a SecretBuffer: the UTF-16 text is read
// into a secret buffer of its own, converted without any other copy, and the
// box is emptied.
SecretBuffer take_password(HWND box) {
  const int length = GetWindowTextLengthW(box);
  const std::size_t capacity = static_cast<std::size_t>(length > 0 ? length : 0) + 1;
  SecretBuffer units(capacity * sizeof(wchar_t));
  auto* text = reinterpret_cast<wchar_t*>(units.mutable_view().data());
  const int got = GetWindowTextW(box, text, static_cast<int>(capacity));
  const std::u16string_view utf16(reinterpret_cast<const char16_t*>(text), got > 0 ? static_cast<std::size_t>(got) : 0);
  SecretBuffer utf8(utf16.size() * 3);
  const std::size_t utf8_length = platform::utf16_to_utf8(utf16, utf8.mutable_view());
  SetWindowTextW(box, L"");
  return SecretBuffer::from_bytes(utf8.view().first(utf8_length));
}

void on_pick_folder(HWND window) {
  if (const std::optional<std::string> folder = pick_folder(window)) set_text(GetDlgItem(window, IDC_DEST), *folder);
}

void on_extract(HWND window) {
  if (!app_state) return;
  const std::filesystem::path own_path = app_state->own_path;
  const bool encrypted = app_state->encrypted;

  // The box keeps what the user typed; only the job gets the trimmed text.
  std::string destination = trim_destination(read_text(GetDlgItem(window, IDC_DEST)));
  if (const auto warning = destination_warning(destination)) {
    show_message(window, *warning, MessageIcon::Warning);
    return;
  }

  std::optional<SecretBuffer> password;
  if (encrypted) {
    const HWND box = GetDlgItem(window, IDC_PASSWORD);
    // Emptiness is decided from the length alone, so that checking makes no
    // copy of the password.
    const int length = GetWindowTextLengthW(box);
    if (const auto warning = password_warning(true, static_cast<std::size_t>(length > 0 ? length : 0))) {
      show_message(window, *warning, MessageIcon::Warning);
      return;
    }
    password = take_password(box);
  }

  app_state->busy = true;
  set_text(GetDlgItem(window, IDC_STATUS), working_status);
  EnableWindow(GetDlgItem(window, IDC_EXTRACT), FALSE);

  ExtractionJob job;
  job.source = own_path;
  job.destination = std::move(destination);
  job.password = std::move(password);
  job.window = window;
  start_job(std::move(job));
}

void on_job_done(HWND window) {
  std::optional<JobOutcome> outcome = outcome_slot().take();
  if (app_state) app_state->busy = false;
  EnableWindow(GetDlgItem(window, IDC_EXTRACT), TRUE);
  if (!outcome) return;

  const Presentation shown = present(*outcome);
  set_text(GetDlgItem(window, IDC_STATUS), shown.status);
  show_message(window, shown.text, shown.icon);
  if (shown.open_folder_and_end) {
    ShellExecuteW(nullptr, L"open", L"explorer.exe", widen(explorer_parameters(shown.folder)).c_str(), nullptr,
                  SW_SHOWNORMAL);
    DestroyWindow(window);
  }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      if (app_state && !close_box_allowed(app_state->busy)) return 0;
      DestroyWindow(window);
      return 0;
    case WM_COMMAND:
      switch (command_for(LOWORD(wparam))) {
        case Command::PickFolder: on_pick_folder(window); break;
        case Command::Extract: on_extract(window); break;
        case Command::Close: DestroyWindow(window); break;
        case Command::None: break;
      }
      return 0;
    case DM_GETDEFID:
      // Without this answer the dialog manager turns Enter into IDOK, which
      // the window ignores; with it, Enter presses "Rozpakuj" while it is
      // enabled (a disabled default button falls back to IDOK, ignored).
      return static_cast<LRESULT>(default_button_answer());
    case WM_JOB_DONE:
      on_job_done(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void create_children(HWND window, HINSTANCE instance, const WindowSetup& setup) {
  const auto font = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
  for (const ChildControl& child : window_children(setup.encrypted, setup.description, setup.destination)) {
    const HWND control = CreateWindowExW(
        0, widen(child.class_name).c_str(), widen(child.text).c_str(), child.style | WS_CHILD | WS_VISIBLE,
        scale_to_dpi(child.x, layout_dpi), scale_to_dpi(child.y, layout_dpi), scale_to_dpi(child.width, layout_dpi),
        scale_to_dpi(child.height, layout_dpi), window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(child.id)),
        instance, nullptr);
    SendMessageW(control, WM_SETFONT, font, TRUE);
  }
}

}  // namespace

void run_main_window(HINSTANCE instance, const WindowSetup& setup) {
  const std::wstring class_name = widen(window_class_name);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = 0;
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszMenuName = nullptr;
  window_class.lpszClassName = class_name.c_str();
  RegisterClassExW(&window_class);

  const HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, class_name.c_str(), widen(window_title).c_str(),
                                      style::main_window, CW_USEDEFAULT, CW_USEDEFAULT, window_width,
                                      window_height(setup.encrypted), nullptr, nullptr, instance, nullptr);
  if (!window) return;

  create_children(window, instance, setup);
  app_state = AppState{setup.own_path, setup.encrypted, false, window};
  ShowWindow(window, SW_SHOWNORMAL);
  SetFocus(GetDlgItem(window, setup.encrypted ? IDC_PASSWORD : IDC_EXTRACT));

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace quarn::sfx::win32

#include "sfx/win32/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <optional>
#include <span>
#include <vector>

#include "core/crypto/secret_buffer.h"
#include "core/platform/system.h"
#include "core/platform/utf.h"
#include "sfx/destination.h"
#include "sfx/presentation.h"
#include "sfx/progress.h"
#include "sfx/win32/folder_picker.h"
#include "sfx/win32/job_thread.h"
#include "sfx/win32/taskbar_progress.h"
#include "sfx/win32/wide.h"
#include "sfx/win32/window_layout.h"
#include "sfx/window_model.h"

namespace quarn::sfx::win32 {
namespace {

// Ends the program when a job asked to stop has not stopped in time.
constexpr UINT_PTR stop_timer = 1;

// The window's state; set once the controls exist, touched only on the
// window's thread and never held across a call with a nested message loop.
struct AppState {
  std::filesystem::path own_path;
  bool encrypted = false;
  bool busy = false;
  HWND window = nullptr;
  // "Anuluj" was pressed during the job: the program ends when it stops.
  bool stopping = false;
  // The job's progress: whether bytes are being written yet (before that the
  // bar only moves to and fro), their rate, and the status line shown.
  bool writing = false;
  RateEstimator rate{};
  std::string status;
};

std::optional<AppState> app_state;
// Outside AppState: they live as long as the window and hold resources.
WindowLayout layout;
TaskbarProgress taskbar;

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

void set_status(HWND window, const std::string& text) {
  if (app_state) {
    // Unchanged text is not set again: every set redraws the line.
    if (app_state->status == text) return;
    app_state->status = text;
  }
  set_text(GetDlgItem(window, IDC_STATUS), text);
}

// The bar moves to and fro until the first byte is due.
void show_progress_working(HWND window) {
  const HWND bar = GetDlgItem(window, IDC_PROGRESS);
  SendMessageW(bar, PBM_SETSTATE, PBST_NORMAL, 0);
  SetWindowLongW(bar, GWL_STYLE, GetWindowLongW(bar, GWL_STYLE) | PBS_MARQUEE);
  SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
  ShowWindow(bar, SW_SHOWNA);
  taskbar.working(window);
}

void show_progress_measured(HWND window) {
  const HWND bar = GetDlgItem(window, IDC_PROGRESS);
  SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
  SetWindowLongW(bar, GWL_STYLE, GetWindowLongW(bar, GWL_STYLE) & ~PBS_MARQUEE);
  SendMessageW(bar, PBM_SETRANGE32, 0, progress_range);
  SendMessageW(bar, PBM_SETPOS, 0, 0);
}

void hide_progress(HWND window) {
  const HWND bar = GetDlgItem(window, IDC_PROGRESS);
  SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
  ShowWindow(bar, SW_HIDE);
  taskbar.clear(window);
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
  app_state->writing = false;
  app_state->rate = RateEstimator();
  set_status(window, working_status);
  EnableWindow(GetDlgItem(window, IDC_EXTRACT), FALSE);
  show_progress_working(window);

  ExtractionJob job;
  job.source = own_path;
  job.destination = platform::path_from_utf8(destination);
  job.password = std::move(password);
  job.window = window;
  start_job(std::move(job));
}

void on_job_progress(HWND window, std::uint64_t done, std::uint64_t total) {
  if (!app_state || !app_state->busy || app_state->stopping) return;
  if (!app_state->writing) {
    app_state->writing = true;
    show_progress_measured(window);
  }
  app_state->rate.add(ProgressClock::now(), done);
  set_status(window, extraction_status(done, total, app_state->rate.seconds_left(total)));
  const int position = scaled_position(done, total, progress_range);
  SendMessageW(GetDlgItem(window, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(position), 0);
  taskbar.show(window, done, total);
}

// "Anuluj" during a job: the job is asked to stop and the program ends when
// it has (on_job_done), or when stop_grace has passed.
void on_stop(HWND window) {
  if (!app_state || app_state->stopping) return;
  app_state->stopping = true;
  stop_job();
  set_status(window, stopping_status);
  EnableWindow(GetDlgItem(window, IDC_CANCEL), FALSE);
  SendMessageW(GetDlgItem(window, IDC_PROGRESS), PBM_SETSTATE, PBST_PAUSED, 0);
  taskbar.stopping(window);
  SetTimer(window, stop_timer, static_cast<UINT>(std::chrono::milliseconds(stop_grace).count()), nullptr);
}

void on_cancel(HWND window) {
  if (app_state && app_state->busy) {
    on_stop(window);
  } else {
    DestroyWindow(window);
  }
}

void on_job_done(HWND window) {
  std::optional<JobOutcome> outcome = outcome_slot().take();
  const bool stopping = app_state && app_state->stopping;
  if (app_state) app_state->busy = false;
  if (stopping) {
    // The user asked to end; whatever the job got to is on disk.
    DestroyWindow(window);
    return;
  }
  // After a success the bar stays full until the program ends.
  if (!outcome || !std::holds_alternative<JobSuccess>(*outcome)) hide_progress(window);
  if (!outcome) {
    EnableWindow(GetDlgItem(window, IDC_EXTRACT), TRUE);
    return;
  }

  const Presentation shown = present(*outcome);
  // The outcome is on screen before Rozpakuj can be pressed again.
  set_status(window, shown.status);
  EnableWindow(GetDlgItem(window, IDC_EXTRACT), TRUE);
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
      taskbar.release();
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
        case Command::Close: on_cancel(window); break;
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
    case WM_JOB_PROGRESS:
      on_job_progress(window, static_cast<std::uint64_t>(wparam), static_cast<std::uint64_t>(lparam));
      return 0;
    case WM_TIMER:
      if (wparam == stop_timer) DestroyWindow(window);
      return 0;
    case WM_CTLCOLORSTATIC: {
      // The labels on the window's own background, not the dialog grey.
      const HDC dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_DPICHANGED:
      // Moved to a screen of another scaling.
      layout.change_dpi(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
    case WM_GETDPISCALEDSIZE: {
      // Asked before WM_DPICHANGED: the exact size at the new DPI, where a
      // plain scaling of the outer size would also scale the frame.
      const Size size = layout.window_size_at(static_cast<int>(wparam));
      *reinterpret_cast<SIZE*>(lparam) = SIZE{size.width, size.height};
      return TRUE;
    }
    default:
      return DefWindowProcW(window, message, wparam, lparam);
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

  layout.create(window, instance, setup.encrypted,
                window_children(setup.encrypted, setup.description, setup.destination));
  app_state = AppState{
      .own_path = setup.own_path, .encrypted = setup.encrypted, .window = window, .status = initial_status};
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

// The self-extractor window's decisions that need no window system: the
// child table (class, id, text, style, position), the window size at any
// DPI, what a command id asks for, the busy rules and the strict reading of
// a picked folder. The Win32 code in win32/ only carries these out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::sfx {

// Control ids; static labels have id 0.
inline constexpr int IDC_DEST = 101;
inline constexpr int IDC_BROWSE = 102;
inline constexpr int IDC_PASSWORD = 103;
inline constexpr int IDC_STATUS = 104;
inline constexpr int IDC_EXTRACT = 105;
inline constexpr int IDC_CANCEL = 106;
// The progress bar, shown only while a job runs.
inline constexpr int IDC_PROGRESS = 107;

// The Win32 style bits the table uses, with their Win32 values, so that the
// table can be checked on any system.
namespace style {
inline constexpr std::uint32_t border = 0x00800000;         // WS_BORDER
inline constexpr std::uint32_t tab_stop = 0x00010000;       // WS_TABSTOP
inline constexpr std::uint32_t auto_hscroll = 0x0080;       // ES_AUTOHSCROLL
inline constexpr std::uint32_t password = 0x0020;           // ES_PASSWORD
inline constexpr std::uint32_t default_push_button = 0x0001;  // BS_DEFPUSHBUTTON
inline constexpr std::uint32_t smooth_progress = 0x0001;      // PBS_SMOOTH
// The main window: WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX.
inline constexpr std::uint32_t main_window = 0x00CA0000;
}  // namespace style

inline constexpr const char* window_class_name = "QuarnSfx";
inline constexpr const char* window_title = "Quarn - archiwum samorozpakowujące się";
inline constexpr const char* message_caption = "Quarn";
inline constexpr const char* initial_status = "Każdy plik zostanie sprawdzony (SHA-256) po rozpakowaniu.";
// Shown from "Rozpakuj" until the first byte is due: key derivation (and a
// FIDO2 prompt) and reading the file list.
inline constexpr const char* working_status = "Sprawdzanie hasła i rozpakowywanie\u2026";
// Shown after "Anuluj" while the job comes to a stop.
inline constexpr const char* stopping_status = "Przerywanie\u2026";
inline constexpr const char* no_archive_message = "Ten program nie zawiera archiwum Quarn.";

// The window's outer size at 96 DPI, frame and title bar included.
inline constexpr int window_width = 560;
// 300 with the password controls, 250 without.
int window_height(bool encrypted);

struct Size {
  int width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

// The client area at `dpi`: the 96-DPI window less the frame the system
// draws around it at 96 DPI, scaled. `frame_at_96` is what the window's style
// adds to a client area at 96 DPI (AdjustWindowRectExForDpi).
Size client_size(bool encrypted, int dpi, Size frame_at_96);
// The outer size at `dpi`: that client area plus the frame at `dpi`. At 96
// DPI it is exactly window_width by window_height.
Size window_size(bool encrypted, int dpi, Size frame_at_96, Size frame_at_dpi);

// One child control, in creation order (which is also the tab order).
// Coordinates are pixels at 96 DPI.
struct ChildControl {
  std::string class_name;  // "STATIC", "EDIT", "BUTTON" or "msctls_progress32"
  int id = 0;
  std::string text;  // UTF-8
  std::uint32_t style = 0;  // without WS_CHILD | WS_VISIBLE, which every child gets
  int x = 0, y = 0, width = 0, height = 0;
  bool visible = true;  // false: shown only while a job runs
};

// The table, and last the progress bar, hidden: it sits between "Anuluj"
// and "Rozpakuj", centred on their row.
std::vector<ChildControl> window_children(bool encrypted, std::string_view description,
                                          std::string_view destination);

// A coordinate at 96 DPI scaled to `dpi`, rounded to the nearest pixel
// (halves away from zero).
int scale_to_dpi(int value, int dpi);

struct Bounds {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Bounds&) const = default;
};

// A child's place at `dpi`. Its edges are scaled, not its size, so controls
// that line up at 96 DPI line up at every DPI.
Bounds scaled_bounds(const ChildControl& child, int dpi);

// The progress bar's range (0 to this); fine enough for a smooth bar on any
// screen.
inline constexpr int progress_range = 10000;
// The job posts at most one progress update per interval (plus the last).
inline constexpr auto progress_interval = std::chrono::milliseconds(100);
// After "Anuluj" during a job, the program ends when the job has stopped, or
// after this long when it has not (key derivation or a FIDO2 prompt cannot
// be interrupted).
inline constexpr auto stop_grace = std::chrono::seconds(5);

// What a WM_COMMAND id asks of the window; the notification code is not
// looked at, and any other id (IDOK and IDCANCEL from the dialog manager
// included) does nothing.
enum class Command { PickFolder, Extract, Close, None };
Command command_for(int id);

// The close box does nothing while a job runs; "Anuluj" always ends the
// program, during a job after stopping it (see stop_grace).
bool close_box_allowed(bool busy);

// The answer to DM_GETDEFID: IDC_EXTRACT with DC_HASDEFID (0x534B) in the
// high word, so that Enter presses "Rozpakuj" while it is enabled.
std::uint32_t default_button_answer();

// The folder picker's path as UTF-8, or nothing when it holds an unpaired
// surrogate (such a path is dropped rather than altered).
std::optional<std::string> strict_utf16_to_utf8(std::u16string_view units);

}  // namespace quarn::sfx

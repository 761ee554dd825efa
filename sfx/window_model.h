// The self-extractor window's decisions that need no window system: the
// child table (class, id, text, style, position), the window size, what a
// command id asks for, the busy rules and the strict reading of a picked
// folder. The Win32 code in win32/ only carries these out.
#pragma once

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

// The Win32 style bits the table uses, with their Win32 values, so that the
// table can be checked on any system.
namespace style {
inline constexpr std::uint32_t border = 0x00800000;         // WS_BORDER
inline constexpr std::uint32_t tab_stop = 0x00010000;       // WS_TABSTOP
inline constexpr std::uint32_t auto_hscroll = 0x0080;       // ES_AUTOHSCROLL
inline constexpr std::uint32_t password = 0x0020;           // ES_PASSWORD
inline constexpr std::uint32_t default_push_button = 0x0001;  // BS_DEFPUSHBUTTON
// The main window: WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX.
inline constexpr std::uint32_t main_window = 0x00CA0000;
}  // namespace style

inline constexpr const char* window_class_name = "QuarnSfx";
inline constexpr const char* window_title = "Quarn - archiwum samorozpakowujące się";
inline constexpr const char* message_caption = "Quarn";
inline constexpr const char* initial_status = "Każdy plik zostanie sprawdzony (SHA-256) po rozpakowaniu.";
inline constexpr const char* working_status = "Sprawdzanie hasła i rozpakowywanie\u2026";
inline constexpr const char* no_archive_message = "Ten program nie zawiera archiwum Quarn.";

inline constexpr int window_width = 560;
// 300 with the password controls, 250 without.
int window_height(bool encrypted);

// One child control, in creation order (which is also the tab order).
// Coordinates are pixels at 96 DPI.
struct ChildControl {
  std::string class_name;  // "STATIC", "EDIT" or "BUTTON"
  int id = 0;
  std::string text;  // UTF-8
  std::uint32_t style = 0;  // without WS_CHILD | WS_VISIBLE, which every child gets
  int x = 0, y = 0, width = 0, height = 0;
};

std::vector<ChildControl> window_children(bool encrypted, std::string_view description,
                                          std::string_view destination);

// A coordinate at 96 DPI scaled to `dpi` (the window keeps dpi at 96).
int scale_to_dpi(int value, int dpi);

// What a WM_COMMAND id asks of the window; the notification code is not
// looked at, and any other id (IDOK and IDCANCEL from the dialog manager
// included) does nothing.
enum class Command { PickFolder, Extract, Close, None };
Command command_for(int id);

// The close box does nothing while a job runs; "Anuluj" always closes.
bool close_box_allowed(bool busy);

// The answer to DM_GETDEFID: IDC_EXTRACT with DC_HASDEFID (0x534B) in the
// high word, so that Enter presses "Rozpakuj" while it is enabled.
std::uint32_t default_button_answer();

// The folder picker's path as UTF-8, or nothing when it holds an unpaired
// surrogate (such a path is dropped rather than altered).
std::optional<std::string> strict_utf16_to_utf8(std::u16string_view units);

}  // namespace quarn::sfx

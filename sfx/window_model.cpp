#include "sfx/window_model.h"

#include "core/platform/utf.h"

namespace quarn::sfx {

int window_height(bool encrypted) { return encrypted ? 300 : 250; }

Size client_size(bool encrypted, int dpi, Size frame_at_96) {
  return {scale_to_dpi(window_width - frame_at_96.width, dpi),
          scale_to_dpi(window_height(encrypted) - frame_at_96.height, dpi)};
}

Size window_size(bool encrypted, int dpi, Size frame_at_96, Size frame_at_dpi) {
  const Size client = client_size(encrypted, dpi, frame_at_96);
  return {client.width + frame_at_dpi.width, client.height + frame_at_dpi.height};
}

std::vector<ChildControl> window_children(bool encrypted, std::string_view description,
                                          std::string_view destination) {
  using namespace style;
  // The status line and the buttons move up by the password rows when there
  // is no password; the buttons always sit 32 px below the status line.
  const int status_y = encrypted ? 158 : 102;
  const int buttons_y = status_y + 32;

  std::vector<ChildControl> children;
  children.push_back({"STATIC", 0, std::string(description), 0, 16, 16, 520, 20});
  children.push_back({"STATIC", 0, "Rozpakuj do folderu:", 0, 16, 46, 520, 18});
  children.push_back({"EDIT", IDC_DEST, std::string(destination), border | tab_stop | auto_hscroll, 16, 66, 470, 24});
  children.push_back({"BUTTON", IDC_BROWSE, "\u2026", tab_stop, 492, 66, 36, 24});
  if (encrypted) {
    children.push_back({"STATIC", 0, "Hasło (otrzymane od nadawcy innym kanałem):", 0, 16, 102, 520, 18});
    children.push_back({"EDIT", IDC_PASSWORD, "", border | tab_stop | password | auto_hscroll, 16, 122, 512, 24});
  }
  children.push_back({"STATIC", IDC_STATUS, initial_status, 0, 16, status_y, 520, 20});
  children.push_back({"BUTTON", IDC_CANCEL, "Anuluj", tab_stop, 16, buttons_y, 110, 30});
  children.push_back({"BUTTON", IDC_EXTRACT, "Rozpakuj", tab_stop | default_push_button, 418, buttons_y, 110, 30});
  // 16 px from each button, 16 px high on the buttons' 30.
  children.push_back({"msctls_progress32", IDC_PROGRESS, "", smooth_progress, 142, buttons_y + 7, 260, 16, false});
  return children;
}

int scale_to_dpi(int value, int dpi) {
  const long long scaled = static_cast<long long>(value) * dpi;
  return static_cast<int>(scaled >= 0 ? (scaled + 48) / 96 : -((-scaled + 48) / 96));
}

Bounds scaled_bounds(const ChildControl& child, int dpi) {
  const int left = scale_to_dpi(child.x, dpi);
  const int top = scale_to_dpi(child.y, dpi);
  return {left, top, scale_to_dpi(child.x + child.width, dpi) - left, scale_to_dpi(child.y + child.height, dpi) - top};
}

Command command_for(int id) {
  switch (id) {
    case IDC_BROWSE: return Command::PickFolder;
    case IDC_EXTRACT: return Command::Extract;
    case IDC_CANCEL: return Command::Close;
    default: return Command::None;
  }
}

bool close_box_allowed(bool busy) { return !busy; }

std::uint32_t default_button_answer() {
  constexpr std::uint32_t dc_hasdefid = 0x534B;
  return static_cast<std::uint32_t>(IDC_EXTRACT) | (dc_hasdefid << 16);
}

std::optional<std::string> strict_utf16_to_utf8(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return std::nullopt;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;
    }
  }
  return platform::utf16_to_utf8(units);
}

}  // namespace quarn::sfx

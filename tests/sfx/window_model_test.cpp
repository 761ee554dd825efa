#include <gtest/gtest.h>

#include "sfx/window_model.h"

namespace quarn::sfx {
namespace {

constexpr std::uint32_t kEditStyle = style::border | style::tab_stop | style::auto_hscroll;

struct Row {
  std::string class_name;
  int id;
  std::string text;
  std::uint32_t style;
  int x, y, width, height;
};

// The progress bar comes last, hidden, between the buttons at `buttons_y`.
Row progress_row(int buttons_y) { return {"msctls_progress32", 107, "", 0x0001, 142, buttons_y + 7, 260, 16}; }

void expect_table(const std::vector<ChildControl>& children, const std::vector<Row>& rows) {
  ASSERT_EQ(children.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("child " + std::to_string(i) + " (" + rows[i].text + ")");
    EXPECT_EQ(children[i].visible, rows[i].id != IDC_PROGRESS);
    EXPECT_EQ(children[i].class_name, rows[i].class_name);
    EXPECT_EQ(children[i].id, rows[i].id);
    EXPECT_EQ(children[i].text, rows[i].text);
    EXPECT_EQ(children[i].style, rows[i].style);
    EXPECT_EQ(children[i].x, rows[i].x);
    EXPECT_EQ(children[i].y, rows[i].y);
    EXPECT_EQ(children[i].width, rows[i].width);
    EXPECT_EQ(children[i].height, rows[i].height);
  }
}

TEST(WindowChildren, EncryptedArchiveHasThePasswordRowsAndButtonsAt190) {
  expect_table(window_children(true, "Archiwum: umowa.exe  \u00B7  AES-256-GCM", "C:\\Pobrane\\umowa"),
               {
                   {"STATIC", 0, "Archiwum: umowa.exe  \u00B7  AES-256-GCM", 0, 16, 16, 520, 20},
                   {"STATIC", 0, "Rozpakuj do folderu:", 0, 16, 46, 520, 18},
                   {"EDIT", 101, "C:\\Pobrane\\umowa", 0x00810080, 16, 66, 470, 24},
                   {"BUTTON", 102, "\xE2\x80\xA6", 0x00010000, 492, 66, 36, 24},
                   {"STATIC", 0, "Hasło (otrzymane od nadawcy innym kanałem):", 0, 16, 102, 520, 18},
                   {"EDIT", 103, "", 0x008100A0, 16, 122, 512, 24},
                   {"STATIC", 104, "Każdy plik zostanie sprawdzony (SHA-256) po rozpakowaniu.", 0, 16, 158, 520, 20},
                   {"BUTTON", 106, "Anuluj", 0x00010000, 16, 190, 110, 30},
                   {"BUTTON", 105, "Rozpakuj", 0x00010001, 418, 190, 110, 30},
                   progress_row(190),
               });
  EXPECT_EQ(kEditStyle, 0x00810080u);
}

TEST(WindowChildren, UnencryptedArchiveHasNoPasswordRowsAndButtonsAt134) {
  expect_table(window_children(false, "Archiwum: a.exe  \u00B7  bez szyfrowania", ""),
               {
                   {"STATIC", 0, "Archiwum: a.exe  \u00B7  bez szyfrowania", 0, 16, 16, 520, 20},
                   {"STATIC", 0, "Rozpakuj do folderu:", 0, 16, 46, 520, 18},
                   {"EDIT", 101, "", 0x00810080, 16, 66, 470, 24},
                   {"BUTTON", 102, "\xE2\x80\xA6", 0x00010000, 492, 66, 36, 24},
                   {"STATIC", 104, "Każdy plik zostanie sprawdzony (SHA-256) po rozpakowaniu.", 0, 16, 102, 520, 20},
                   {"BUTTON", 106, "Anuluj", 0x00010000, 16, 134, 110, 30},
                   {"BUTTON", 105, "Rozpakuj", 0x00010001, 418, 134, 110, 30},
                   progress_row(134),
               });
}

TEST(Window, SizeTitleAndStyle) {
  EXPECT_EQ(window_width, 560);
  EXPECT_EQ(window_height(true), 300);
  EXPECT_EQ(window_height(false), 250);
  EXPECT_STREQ(window_class_name, "QuarnSfx");
  EXPECT_STREQ(window_title, "Quarn - archiwum samorozpakowujące się");
  EXPECT_EQ(style::main_window, 0x00CA0000u);
  EXPECT_STREQ(working_status, "Sprawdzanie hasła i rozpakowywanie\xE2\x80\xA6");
  EXPECT_STREQ(stopping_status, "Przerywanie\xE2\x80\xA6");
  EXPECT_STREQ(no_archive_message, "Ten program nie zawiera archiwum Quarn.");
}

TEST(ScaleToDpi, KeepsValuesAt96AndRoundsToTheNearestPixelOtherwise) {
  EXPECT_EQ(scale_to_dpi(418, 96), 418);
  EXPECT_EQ(scale_to_dpi(418, 144), 627);
  EXPECT_EQ(scale_to_dpi(25, 120), 31);   // 31.25
  EXPECT_EQ(scale_to_dpi(190, 120), 238);  // 237.5: halves go up
}

// The frame a captioned, fixed window gets at 96 DPI (Windows 10: 3 px
// borders and a 23 px title bar).
constexpr Size kFrameAt96{6, 29};

TEST(Layout, ClientAreaAndChildrenScaleWithTheDpiAndAt96TheWindowIsExactlyTheTable) {
  const struct {
    int dpi;
    Size frame;   // what the system adds at this DPI
    Size client;  // 554 x 271 scaled
    Bounds extract;  // "Rozpakuj": x 418..528, y 190..220 scaled edge by edge
    Bounds password;  // 16..528, 122..146
  } cases[] = {
      {96, {6, 29}, {554, 271}, {418, 190, 110, 30}, {16, 122, 512, 24}},
      {120, {8, 35}, {693, 339}, {523, 238, 137, 37}, {20, 153, 640, 30}},
      {144, {10, 42}, {831, 407}, {627, 285, 165, 45}, {24, 183, 768, 36}},
      {192, {12, 54}, {1108, 542}, {836, 380, 220, 60}, {32, 244, 1024, 48}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.dpi) + " DPI");
    EXPECT_EQ(client_size(true, c.dpi, kFrameAt96), c.client);
    EXPECT_EQ(window_size(true, c.dpi, kFrameAt96, c.frame),
              (Size{c.client.width + c.frame.width, c.client.height + c.frame.height}));
    const auto children = window_children(true, "d", "C:\\x");
    EXPECT_EQ(scaled_bounds(children[8], c.dpi), c.extract);
    EXPECT_EQ(scaled_bounds(children[5], c.dpi), c.password);
  }
  EXPECT_EQ(window_size(true, 96, kFrameAt96, kFrameAt96), (Size{560, 300}));
  EXPECT_EQ(window_size(false, 96, kFrameAt96, kFrameAt96), (Size{560, 250}));
}

TEST(Layout, AtEveryDpiEachChildStaysInsideTheClientAreaAndRowsStayAligned) {
  for (const bool encrypted : {true, false}) {
    const auto children = window_children(encrypted, "d", "C:\\x");
    for (const int dpi : {96, 120, 144, 168, 192, 240, 288}) {
      SCOPED_TRACE(std::to_string(dpi) + " DPI, encrypted " + std::to_string(encrypted));
      const Size client = client_size(encrypted, dpi, kFrameAt96);
      for (const ChildControl& child : children) {
        const Bounds at = scaled_bounds(child, dpi);
        EXPECT_GE(at.x, 0);
        EXPECT_LE(at.x + at.width, client.width) << child.text;
        EXPECT_LE(at.y + at.height, client.height) << child.text;
      }
      // The picker's top and bottom meet the destination box's; the
      // buttons' right edges meet the password box's.
      const Bounds dest = scaled_bounds(children[2], dpi);
      const Bounds picker = scaled_bounds(children[3], dpi);
      EXPECT_EQ(picker.y, dest.y);
      EXPECT_EQ(picker.height, dest.height);
      const Bounds extract = scaled_bounds(children[children.size() - 2], dpi);
      EXPECT_EQ(extract.x + extract.width, picker.x + picker.width);
    }
  }
}

TEST(CommandFor, OnlyThePickerExtractAndCancelIdsDoAnything) {
  const struct {
    int id;
    Command expected;
  } cases[] = {
      {102, Command::PickFolder}, {105, Command::Extract}, {106, Command::Close},
      {1, Command::None},  // IDOK from the dialog manager
      {2, Command::None},  // IDCANCEL (Esc)
      {101, Command::None}, {103, Command::None}, {104, Command::None}, {0, Command::None},
  };
  for (const auto& c : cases) EXPECT_EQ(command_for(c.id), c.expected) << "id " << c.id;
}

TEST(Busy, CloseBoxIgnoredOnlyWhileAJobRuns) {
  EXPECT_TRUE(close_box_allowed(false));
  EXPECT_FALSE(close_box_allowed(true));
}

TEST(DefaultButton, AnswerNamesRozpakujWithDcHasDefId) {
  EXPECT_EQ(default_button_answer(), 0x534B0069u);
  EXPECT_EQ(default_button_answer() & 0xFFFF, static_cast<std::uint32_t>(IDC_EXTRACT));
}

TEST(StrictUtf16, ValidPathsConvertAndUnpairedSurrogatesAreDropped) {
  const struct {
    std::u16string units;
    std::optional<std::string> expected;
  } cases[] = {
      {u"C:\\Pobrane\\umowa", "C:\\Pobrane\\umowa"},
      {u"C:\\Zażółć", "C:\\Zażółć"},
      {u"C:\\\U0001F600", "C:\\\xF0\x9F\x98\x80"},
      {u"", ""},
      {std::u16string(u"C:\\") + char16_t(0xD800), std::nullopt},                // lone high at the end
      {std::u16string(u"C:\\") + char16_t(0xDC00) + u"x", std::nullopt},         // lone low
      {std::u16string(1, char16_t(0xD83D)) + u"x", std::nullopt},               // high followed by no low
  };
  for (const auto& c : cases) EXPECT_EQ(strict_utf16_to_utf8(c.units), c.expected);
}

}  // namespace
}  // namespace quarn::sfx

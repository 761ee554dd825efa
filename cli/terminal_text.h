// Text from an archive made harmless on a terminal: whatever could move the
// cursor, change colours, retitle the window or reorder what is shown is
// spelled out instead of printed. Everything the command line prints that an
// archive (or an error quoting one) supplied goes through here.
#pragma once

#include <string>
#include <string_view>

namespace quarn::cli {

enum class Backslashes {
  Kept,     // texts and local paths: a Windows path keeps its separators
  Doubled,  // entry paths as stored, whose separator is '/': "\" reads "\\"
};

// C0 controls (line feeds and tabs too), DEL and bytes that are not UTF-8
// become \xNN; C1 controls (U+0080..U+009F) and the bidirectional controls
// (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) become \uNNNN;
// hexadecimal digits in lower case. Every other character, Polish letters
// included, is kept as it is.
std::string terminal_text(std::string_view text, Backslashes backslashes = Backslashes::Kept);

}  // namespace quarn::cli

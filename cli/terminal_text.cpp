#include "cli/terminal_text.h"

#include <cstdio>

#include "core/platform/utf.h"

namespace quarn::cli {
namespace {

// Characters that reorder the text around them: a name with U+202E shows
// "exe.txt" for "txt.exe".
bool is_bidi_control(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void append_escape(std::string& out, const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  out += text;
}

}  // namespace

std::string terminal_text(std::string_view text, Backslashes backslashes) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (const unsigned char b = static_cast<unsigned char>(text[i]); b >= 0x20 && b < 0x7F && b != '\\') {
      out += static_cast<char>(b);  // most names are plain ASCII
      ++i;
      continue;
    }
    const auto sequence = platform::leading_utf8(text.substr(i));
    if (!sequence) {
      append_escape(out, "\\x%02x", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    const char32_t c = sequence->point;
    if (c < 0x20 || c == 0x7F) {
      append_escape(out, "\\x%02x", static_cast<unsigned>(c));
    } else if ((c >= 0x80 && c <= 0x9F) || is_bidi_control(c)) {
      append_escape(out, "\\u%04x", static_cast<unsigned>(c));
    } else if (c == '\\' && backslashes == Backslashes::Doubled) {
      out += "\\\\";
    } else {
      out.append(text.substr(i, sequence->length));
    }
    i += sequence->length;
  }
  return out;
}

}  // namespace quarn::cli

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "core/platform/extended_path.h"
#include "core/platform/reparse_tag.h"
#include "core/platform/platform.h"
#include "core/platform/utf.h"

namespace quarn::platform {
namespace {

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string input, expected;
  };
  const Case cases[] = {
      {"zażółć", "zażółć"},
      {"a\xFF" "b", "a\uFFFD" "b"},
      {"\xC3", "\uFFFD"},                         // truncated two-byte sequence
      {"\xE2\x82", "\uFFFD"},                     // truncated three-byte: one replacement
      {"\xF0\x90\x80", "\uFFFD"},                 // truncated four-byte, three bytes long like U+FFFD
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},     // encoded surrogate
      {"\xC0\xAF", "\uFFFD\uFFFD"},               // overlong slash
      {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},   // U+1F600 is fine
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sanitize_utf8(c.input), c.expected) << c.input;
    EXPECT_EQ(is_valid_utf8(c.input), c.input == c.expected) << c.input;
  }
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));  // a genuine U+FFFD
}

TEST(Utf16, RoundTripsAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(utf8_to_utf16("ł\xF0\x9F\x98\x80"), (std::u16string{u'ł', 0xD83D, 0xDE00}));
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'a', 0xD800, u'b'}), "a\uFFFD" "b");
  EXPECT_EQ(utf16_to_utf8(std::u16string{0xDC00}), "\uFFFD");
  EXPECT_EQ(utf16_to_utf8(std::u16string{0xD83D}), "\uFFFD");
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16("Źdźbło 🙂")), "Źdźbło 🙂");
  EXPECT_EQ(utf8_to_utf16("\xFF"), std::u16string{0xFFFD});
}

// What a console read hands over: the line up to its CR LF, or, without a
// line end, a line that went on past the buffer.
TEST(Utf16, ConsoleLineIsTakenOnlyWhenWholeAndFitting) {
  struct Case {
    std::u16string read;
    std::size_t room;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {u"tajne\r\n", 5, "tajne"},
      {u"\r\n", 0, ""},
      {u"za\u017C\u00F3\u0142\u0107\r\n", 10, "za\u017C\u00F3\u0142\u0107"},  // exactly fits
      {u"za\u017C\u00F3\u0142\u0107\r\n", 9, std::nullopt},                    // one byte short
      {std::u16string{0xD83D, 0xDE00, u'\r', u'\n'}, 4, "\xF0\x9F\x98\x80"},
      {std::u16string{u'a', 0xD800, u'\r', u'\n'}, 4, "a\uFFFD"},
      {u"tajne", 16, std::nullopt},  // no line end: the line went on
      {u"", 16, std::nullopt},
      {u"a\nb\r\n", 16, "a"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out(c.room + 1, 0xEE);
    const auto length = console_line_to_utf8(c.read, std::span(out).first(c.room));
    ASSERT_EQ(length.has_value(), c.expected.has_value()) << utf16_to_utf8(c.read);
    if (length) {
      EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*length)), *c.expected);
    }
    EXPECT_EQ(out.back(), 0xEE) << utf16_to_utf8(c.read);  // nothing past the room
  }
}

// Three bytes per unit is the worst case (BMP letters and U+FFFD); a
// surrogate pair takes four bytes for two units. Nothing past the length
// may be touched.
TEST(Utf16, IntoASpanFitsInThreeBytesPerUnit) {
  for (const std::u16string& units : {std::u16string{}, std::u16string{u'€', 0xDC00, u'€'},
                                      std::u16string{0xD83D, 0xDE00, u'a'}}) {
    std::vector<std::uint8_t> out(units.size() * 3 + 1, 0xEE);
    const std::size_t length = utf16_to_utf8(units, std::span(out).first(units.size() * 3));
    const std::string expected = utf16_to_utf8(units);
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)), expected);
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(length), out.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
  }
}

TEST(PathText, Utf8NamesRoundTripThroughPaths) {
  const std::string name = "raport źdźbła 🙂.2024.exe";
  EXPECT_EQ(path_to_utf8(path_from_utf8(name)), name);
  EXPECT_EQ(path_to_utf8(path_from_utf8("a\xFF")), "a\uFFFD");
}

// Windows' full-path reading, lexically, with the current folder C:\Users\Ala:
// relative paths joined to it, `.` dropped, `..` taking one folder off, NUL
// a device. `calls` counts the questions.
struct FakeFullPath {
  int* calls;
  std::u16string operator()(std::u16string_view given) const {
    ++*calls;
    if (given == u"NUL") return u"\\\\.\\NUL";
    std::u16string path(given);
    std::replace(path.begin(), path.end(), u'/', u'\\');
    std::size_t root = 2;  // "C:", or "\\server\share"
    if (path.starts_with(u"\\\\")) root = path.find(u'\\', path.find(u'\\', 2) + 1);
    else if (path.size() < 2 || path[1] != u':') path = u"C:\\Users\\Ala\\" + path;
    std::u16string out = path.substr(0, root);
    std::size_t start = root + 1;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find(u'\\', start), path.size());
      const std::u16string_view name = std::u16string_view(path).substr(start, end - start);
      const std::size_t up = out.rfind(u'\\');
      if (name == u"..") out.erase(up == std::u16string::npos || up < root ? root : up);
      else if (name != u"." && !(name.empty() && end < path.size())) out += u"\\" + std::u16string(name);
      start = end + 1;
    }
    return out;
  }
};

TEST(ExtendedPath, EveryOtherFormIsResolvedThenPrefixed) {
  struct Case {
    std::u16string path, expected;
    bool resolved;
  };
  // Folders of 111 characters (120 UTF-8 bytes, within any file system's
  // limit for one name), and a last name of ASCII, to 32,000 bytes.
  const std::u16string folder = utf8_to_utf16("Sprawozdanie z działalności zarządu spółki za rok obrotowy "
                                              "zakończony trzydziestego pierwszego grudnia, część 1");
  std::u16string deep = u"C:";
  while (utf16_to_utf8(deep).size() + 2 * (1 + utf16_to_utf8(folder).size()) <= 32000) deep += u"\\" + folder;
  deep += u"\\" + std::u16string(32000 - 1 - utf16_to_utf8(deep).size(), u'x');
  const Case cases[] = {
      {u"C:\\Dane\\raport.txt", u"\\\\?\\C:\\Dane\\raport.txt", true},
      {u"c:/Dane/raport.txt", u"\\\\?\\c:\\Dane\\raport.txt", true},
      {u"C:\\Dane\\.\\stare\\..\\raport.txt", u"\\\\?\\C:\\Dane\\raport.txt", true},
      {u"C:\\Dane\\wynik\\", u"\\\\?\\C:\\Dane\\wynik\\", true},
      {u"\\\\serwer\\udział\\Dane\\a.txt", u"\\\\?\\UNC\\serwer\\udział\\Dane\\a.txt", true},
      {u"//serwer/udział/Dane/../a.txt", u"\\\\?\\UNC\\serwer\\udział\\a.txt", true},
      {u"raport.txt", u"\\\\?\\C:\\Users\\Ala\\raport.txt", true},
      {u"..\\Ola\\.\\raport.txt", u"\\\\?\\C:\\Users\\Ola\\raport.txt", true},
      {u"wynik/", u"\\\\?\\C:\\Users\\Ala\\wynik\\", true},
      {u"NUL", u"NUL", true},  // resolves to the device \\.\NUL, which is no network path
      {deep, u"\\\\?\\" + deep, true},
      // Already extended or a device path: taken as it is, `..` included.
      {u"\\\\?\\C:\\Dane\\..\\a.txt", u"\\\\?\\C:\\Dane\\..\\a.txt", false},
      {u"\\\\?\\UNC\\serwer\\udział\\a.txt", u"\\\\?\\UNC\\serwer\\udział\\a.txt", false},
      {u"\\??\\C:\\a.txt", u"\\??\\C:\\a.txt", false},
      {u"\\\\.\\COM1", u"\\\\.\\COM1", false},
      {u"//?/C:/a.txt", u"//?/C:/a.txt", false},
      {u"", u"", false},
  };
  EXPECT_EQ(utf16_to_utf8(deep).size(), 32000u);
  for (const Case& c : cases) {
    int calls = 0;
    EXPECT_EQ(utf16_to_utf8(extended_path(c.path, FakeFullPath{&calls})), utf16_to_utf8(c.expected))
        << utf16_to_utf8(c.path).substr(0, 80);
    EXPECT_EQ(calls, c.resolved ? 1 : 0) << utf16_to_utf8(c.path).substr(0, 80);
  }
  // What the system cannot resolve goes to it as given.
  EXPECT_EQ(extended_path(u"C:\\a", [](std::u16string_view) { return std::u16string(); }), u"C:\\a");
}

TEST(ExtendedPath, PlainFormIsWhatPeopleRead) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\\\\?\\C:\\Pobrane\\umowa.exe", u"C:\\Pobrane\\umowa.exe"},
      {u"\\\\?\\UNC\\serwer\\udział\\umowa.exe", u"\\\\serwer\\udział\\umowa.exe"},
      {u"C:\\Pobrane\\umowa.exe", u"C:\\Pobrane\\umowa.exe"},
      {u"\\\\?\\Volume{1234}\\umowa.exe", u"\\\\?\\Volume{1234}\\umowa.exe"},  // no plain form
      {u"\\\\.\\COM1", u"\\\\.\\COM1"},
  };
  for (const auto& [path, plain] : cases) EXPECT_EQ(utf16_to_utf8(plain_path(path)), utf16_to_utf8(plain));
}

TEST(ReparseTag, LinksAreWhatNamesAnotherPlace) {
  const std::pair<std::uint32_t, bool> cases[] = {
      {0xA000000C, true},   // symbolic link
      {0xA0000003, true},   // junction (mount point)
      {0xA000001D, true},   // symbolic link made by the Linux subsystem
      {0, true},            // the tag could not be read
      {0x9000001A, false},  // cloud-storage placeholder (OneDrive and others)
      {0x9000701A, false},  // the same with a subtype
      {0x80000013, false},  // deduplicated file
      {0x80000017, false},  // compressed system file
      {0x9000001C, false},  // projected file system placeholder
  };
  for (const auto& [tag, link] : cases) EXPECT_EQ(is_link_reparse_tag(tag), link) << std::hex << tag;
}

}  // namespace
}  // namespace quarn::platform

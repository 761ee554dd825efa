#include <gtest/gtest.h>

#include "core/archive/manifest.h"
#include "core/error/detail_texts.h"

namespace quarn {
namespace {

const std::string head =
    R"("format":"quarn","version":1,"created_unix":-5,"tool":"t","data_frames":1,"total_size":3,)";
const std::string file_entry =
    R"({"path":"a.txt","kind":"file","size":3,"sha256":"00","first_frame":0,"frames":1})";

std::string doc(const std::string& entries, const std::string& extra = "") {
  return "{" + head + extra + R"("entries":[)" + entries + "]}";
}

TEST(ParseManifest, ReadsRequiredAndDefaultedFields) {
  auto m = parse_manifest(doc(file_entry + R"(,{"path":"d","kind":"dir","future":{"x":[1,2,{"y":null}]}})"));
  ASSERT_TRUE(m) << m.error().display();
  EXPECT_EQ(m->format, "quarn");
  EXPECT_EQ(m->created_unix, -5);
  ASSERT_EQ(m->entries.size(), 2u);
  EXPECT_EQ(m->entries[0].size, 3u);
  EXPECT_EQ(m->entries[0].sha256, "00");
  EXPECT_EQ(m->entries[1].kind, EntryKind::Dir);
  EXPECT_EQ(m->entries[1].attributes, 0u);
  EXPECT_FALSE(m->entries[1].sha256);
}

TEST(ParseManifest, AcceptsTheExtremesOfEachRange) {
  auto m = parse_manifest(
      R"({"format":"quarn","version":65535,"created_unix":-9223372036854775808,"tool":"","data_frames":18446744073709551615,"total_size":0,"entries":[{"path":"p","kind":"file","attributes":4294967295,"sha256":null}]})");
  ASSERT_TRUE(m) << m.error().display();
  EXPECT_EQ(m->version, 65535);
  EXPECT_EQ(m->data_frames, UINT64_MAX);
  EXPECT_EQ(m->entries[0].attributes, UINT32_MAX);
}

TEST(ParseManifest, RefusesMalformedDocumentsWithPosition) {
  struct Case {
    const char* label;
    std::string json;
    std::string message_start;  // after "spis plikow: "
  };
  const Case cases[] = {
      {"missing_entries", "{" + head.substr(0, head.size() - 1) + "}", "brak wymaganego pola \"entries\""},
      {"missing_path", doc(R"({"kind":"file"})"), "brak wymaganego pola \"path\" we wpisie"},
      {"duplicate_root", doc("", R"("tool":"u",)"), "powtorzony klucz \"tool\""},
      {"duplicate_entry", doc(R"({"path":"a","path":"b","kind":"dir"})"), "powtorzony klucz \"path\""},
      {"duplicate_unknown", doc("", R"("x":1,"x":2,)"), "powtorzony klucz \"x\""},
      {"duplicate_nested", doc(R"({"path":"a","kind":"dir","z":{"q":1,"q":1}})"), "powtorzony klucz \"q\""},
      {"duplicate_escaped", doc("", R"("x":1,"\u0078":2,)"), "powtorzony klucz \"x\""},
      {"kind_link", doc(R"({"path":"a","kind":"link"})"), "nieznany rodzaj wpisu \"link\""},
      {"size_negative", doc(R"({"path":"a","kind":"file","size":-1})"), "wartosc pola \"size\" jest poza zakresem"},
      {"size_float", doc(R"({"path":"a","kind":"file","size":1.0})"), "pole \"size\" ma zly typ"},
      {"size_string", doc(R"({"path":"a","kind":"file","size":"1"})"), "pole \"size\" ma zly typ"},
      {"size_too_big", doc(R"({"path":"a","kind":"file","size":18446744073709551616})"), "pole \"size\" ma zly typ"},
      {"attributes_33_bits", doc(R"({"path":"a","kind":"file","attributes":4294967296})"),
       "wartosc pola \"attributes\" jest poza zakresem"},
      {"version_too_big", "{" + std::string(R"("version":65536,)") + "}", "wartosc pola \"version\" jest poza zakresem"},
      {"path_null", doc(R"({"path":null,"kind":"file"})"), "pole \"path\" ma zly typ"},
      {"sha_number", doc(R"({"path":"a","kind":"file","sha256":5})"), "pole \"sha256\" ma zly typ"},
      {"entries_object", "{" + head + R"("entries":{}})", "pole \"entries\" musi byc tablica"},
      {"entry_not_object", doc("1"), "wpis w \"entries\" musi byc obiektem"},
      {"root_array", "[]", "spis plikow musi byc obiektem JSON"},
      {"trailing", doc("") + " x", "blad skladni JSON"},
      {"trailing_object", doc("") + "{}", "blad skladni JSON"},
      // The library ends the text at a zero byte; what follows must not go unread.
      {"trailing_after_zero", doc("") + std::string(1, '\0') + "[[[", "blad skladni JSON"},
      {"zero_inside", doc(R"({"path":"a)" + std::string(1, '\0') + R"(b","kind":"dir"})"), "blad skladni JSON"},
      {"truncated", doc("").substr(0, 30), "blad skladni JSON"},
      {"invalid_utf8", doc(R"({"path":"a)" "\xC3\x28" R"(","kind":"dir"})"), "blad skladni JSON"},
      {"empty", "", "blad skladni JSON"},
  };
  for (const auto& c : cases) {
    auto m = parse_manifest(c.json);
    ASSERT_FALSE(m) << c.label;
    EXPECT_EQ(m.error().kind(), ErrorKind::Corrupt) << c.label;
    const std::string prefix = "spis plikow: " + c.message_start;
    EXPECT_EQ(m.error().detail().substr(0, prefix.size()), prefix) << c.label << ": " << m.error().detail();
    EXPECT_NE(m.error().detail().find("(wiersz "), std::string::npos) << c.label << ": " << m.error().detail();
  }
}

TEST(ParseManifest, PositionsCountLinesAndColumns) {
  auto m = parse_manifest("{\n  \"format\": \"quarn\",\n  \"format\": \"x\"\n}");
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().detail(), "spis plikow: powtorzony klucz \"format\" (wiersz 3, kolumna 10)");
}

// Three levels are the file list's own; an ignored value may open up to
// eight in all, and the ninth is refused where it opens.
TEST(ParseManifest, NestingStopsAtEightLevels) {
  const auto arrays = [](int n) { return std::string(n, '[') + "1" + std::string(n, ']'); };
  const std::string in_entry = R"({"path":"d","kind":"dir","z":)";
  struct Case {
    std::string json;
    std::size_t column;  // of the refused opening; 0: accepted
  };
  const Case cases[] = {
      {doc(in_entry + arrays(5) + "}"), 0},
      {doc(in_entry + arrays(6) + "}"), doc(in_entry).size() - 2 + 6},
      {doc("", R"("z":)" + arrays(7) + ","), 0},
      {doc("", R"("z":)" + arrays(8) + ","), head.size() + 13},
      {doc(in_entry + R"({"a":{"b":[{"c":{"d":1}}]}})" + "}"), 0},
      {doc(in_entry + R"({"a":{"b":[{"c":{"d":{}}}]}})" + "}"), doc(in_entry).size() - 2 + 22},
  };
  for (const Case& c : cases) {
    auto m = parse_manifest(c.json);
    EXPECT_EQ(m.has_value(), c.column == 0) << c.json;
    if (!m && c.column != 0) {
      EXPECT_EQ(m.error().detail(), "spis plikow: tablice i obiekty zagniezdzone glebiej niz 8 poziomow (wiersz 1, kolumna " +
                                        std::to_string(c.column) + ")")
          << c.json;
    }
  }
}

// Of several problems, the first in the text is reported, even when it is a
// repeated key that the reader does not know.
TEST(ParseManifest, TheFirstRepeatInTheTextIsReported) {
  const std::string cases[][2] = {
      {R"({"x":1,"y":1,"y":2,"x":2})", "powtorzony klucz \"y\" (wiersz 1, kolumna 16)"},
      {R"({"y":1,"x":1,"x":2,"y":2})", "powtorzony klucz \"x\" (wiersz 1, kolumna 16)"},
      {R"({"x":1,"tool":"a","x":2,"tool":"b"})", "powtorzony klucz \"x\" (wiersz 1, kolumna 21)"},
      {R"({"x":1,"x":2,"version":-1})", "powtorzony klucz \"x\" (wiersz 1, kolumna 10)"},
      {R"({"x":1,"x":2,"z":{"q":1,"q":2}})", "powtorzony klucz \"x\" (wiersz 1, kolumna 10)"},
      {R"({"x":1,"x":2,)", "powtorzony klucz \"x\" (wiersz 1, kolumna 10)"},
  };
  for (const auto& [json, message] : cases) {
    auto m = parse_manifest(json);
    ASSERT_FALSE(m) << json;
    EXPECT_EQ(m.error().detail(), "spis plikow: " + message) << json;
  }
}

// However long the text's pieces, a message quotes at most 64 bytes of one,
// cut before a UTF-8 sequence.
TEST(ParseManifest, MessagesQuoteAShortPieceOfTheText) {
  const std::string long_text(10000, 'a');
  std::string letters = "x";  // then U+0105, two bytes each: byte 64 is the second of one
  for (int i = 0; i < 5000; ++i) letters += "\xC4\x85";
  const std::pair<std::string, std::string> cases[] = {
      {doc(R"({"path":"a","kind":")" + long_text + R"("})"), "spis plikow: nieznany rodzaj wpisu \"" + long_text.substr(0, 64) + "...\""},
      {doc("", "\"" + long_text + "\":1,\"" + long_text + "\":2,"), "spis plikow: powtorzony klucz \"" + long_text.substr(0, 64) + "...\""},
      {doc("", "\"" + letters + "\":1,\"" + letters + "\":2,"),
       "spis plikow: powtorzony klucz \"" + letters.substr(0, 63) + "...\""},
      {R"({"x":")" + long_text, "spis plikow: blad skladni JSON (wiersz 1, kolumna 10007): "},
      // The token itself says "; expected": still only its start is quoted.
      {R"({"x":"a'; expected )" + long_text, "spis plikow: blad skladni JSON (wiersz 1, kolumna 10020): "},
  };
  for (const auto& [json, start] : cases) {
    auto m = parse_manifest(json);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().detail().substr(0, start.size()), start) << m.error().detail().substr(0, 200);
    // The syntax error keeps the library's sentence whole and quotes 64 bytes of the token.
    EXPECT_LT(m.error().detail().size(), start.size() + 200) << m.error().detail().substr(0, 300);
    EXPECT_EQ(m.error().detail().find(long_text.substr(0, 65)), std::string::npos);
  }
}

Manifest valid_manifest() {
  Manifest m;
  m.format = "quarn";
  m.data_frames = 3;
  Entry dir;
  dir.path = "d";
  dir.kind = EntryKind::Dir;
  dir.first_frame = 99;
  dir.frames = 7;
  Entry a{"d/a", EntryKind::File, 2048, 0, 0, 0, "aa", 0, 2, 0};
  Entry empty{"d/empty", EntryKind::File, 0, 0, 0, 0, "e3", 2, 0, 0};
  Entry b{"d/b", EntryKind::File, 1, 0, 0, 0, "bb", 2, 1, 0};
  m.entries = {dir, a, empty, b};
  return m;
}

TEST(CheckManifest, AcceptsFileRunsThatTileTheFrames) {
  EXPECT_TRUE(check_manifest(valid_manifest(), 3, 1024));
  Manifest empty;
  empty.format = "quarn";
  EXPECT_TRUE(check_manifest(empty, 0, 1));
}

TEST(CheckManifest, RefusesEveryInconsistency) {
  struct Case {
    const char* label;
    std::function<void(Manifest&)> edit;
    std::uint64_t index;
    std::string detail;
  };
  const std::string mismatch(texts::filelist_mismatch);
  const Case cases[] = {
      {"format_case", [](Manifest& m) { m.format = "Quarn"; }, 3, mismatch},
      {"format_space", [](Manifest& m) { m.format = "quarn "; }, 3, mismatch},
      {"index_differs", [](Manifest&) {}, 4, mismatch},
      {"overlap", [](Manifest& m) { m.entries[3].first_frame = 1; }, 3, texts::inconsistent_entry("d/b")},
      {"gap", [](Manifest& m) { m.entries[3].first_frame = 3; }, 3, texts::inconsistent_entry("d/b")},
      {"size_over_frames", [](Manifest& m) { m.entries[1].size = 2049; }, 3, texts::inconsistent_entry("d/a")},
      {"bytes_without_frames", [](Manifest& m) { m.entries[2].size = 1; }, 3, texts::inconsistent_entry("d/empty")},
      {"no_sha", [](Manifest& m) { m.entries[2].sha256.reset(); }, 3, texts::inconsistent_entry("d/empty")},
      {"count_short",
       [](Manifest& m) {
         m.data_frames = 4;
       },
       4, std::string(texts::frame_count_mismatch)},
      {"frames_overflow",
       [](Manifest& m) {
         m.entries[3].frames = UINT64_MAX;
         m.entries[3].size = 0;
       },
       3, texts::inconsistent_entry("d/b")},
  };
  for (const auto& c : cases) {
    Manifest m = valid_manifest();
    c.edit(m);
    auto result = check_manifest(m, c.index, 1024);
    ASSERT_FALSE(result) << c.label;
    EXPECT_EQ(result.error().detail(), c.detail) << c.label;
    EXPECT_EQ(result.error().kind(), ErrorKind::Integrity) << c.label;
  }
}

TEST(CheckManifest, SizeOfExactlyFramesTimesBlockIsAllowed) {
  Manifest m = valid_manifest();
  m.entries[1].size = 2 * 1024;
  EXPECT_TRUE(check_manifest(m, 3, 1024));
  m.entries[1].size = 2 * 1024 + 1;
  EXPECT_FALSE(check_manifest(m, 3, 1024));
}

}  // namespace
}  // namespace quarn

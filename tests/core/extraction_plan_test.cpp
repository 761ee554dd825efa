#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "core/archive/extraction_plan.h"
#include "core/platform/platform.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

Entry file(std::string path) {
  Entry entry;
  entry.path = std::move(path);
  return entry;
}
Entry dir(std::string path) {
  Entry entry;
  entry.path = std::move(path);
  entry.kind = EntryKind::Dir;
  return entry;
}

// `relative` (UTF-8, '/'-separated) joined onto `base` one component at a time.
fs::path under(const fs::path& base, std::string_view relative) {
  fs::path out = base;
  for (std::size_t start = 0;;) {
    const std::size_t slash = relative.find('/', start);
    out /= platform::path_from_utf8(relative.substr(start, slash - start));
    if (slash == std::string_view::npos) return out;
    start = slash + 1;
  }
}

bool exists_here(const fs::path& path) { return platform::query_info(path).has_value(); }

std::vector<std::string> names_in(const fs::path& folder) {
  const auto listed = platform::list_directory(folder);
  std::vector<std::string> names;
  for (const fs::path& name : listed.value()) names.push_back(platform::path_to_utf8(name));
  std::sort(names.begin(), names.end());
  return names;
}

class ExtractionPlanTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::create_directories(dest_)); }

  fs::path at(std::string_view relative) const { return under(dest_, relative); }
  void put_file(std::string_view relative) const {
    ASSERT_TRUE(platform::create_directories(at(relative).parent_path()));
    test::write_file(at(relative), test::bytes_of("old"));
    ASSERT_EQ(platform::query_info(at(relative)).value().kind, platform::FileKind::File);
  }

  test::TempDir temp_;
  fs::path dest_ = temp_ / "dest";
};

TEST_F(ExtractionPlanTest, PlansPathsUnderTheDestinationAndCreatesOnlyDirectories) {
  const std::vector<Entry> entries = {file("a/b/c.txt"), dir("d"), dir("e/f"), file("g.txt"), file("e/f/h.bin")};
  auto plan = plan_extraction(dest_, entries);
  ASSERT_TRUE(plan) << plan.error().display();

  const std::vector<std::optional<fs::path>> expected = {at("a/b/c.txt"), at("d"), at("e/f"), at("g.txt"),
                                                         at("e/f/h.bin")};
  EXPECT_EQ(plan->output_paths, expected);
  EXPECT_EQ(plan->output_paths[0], dest_ / "a" / "b" / "c.txt");
  EXPECT_EQ(plan->file_order, (std::vector<std::size_t>{0, 3, 4}));
  EXPECT_TRUE(plan->renames.empty());
  EXPECT_TRUE(plan->suspicious_names.empty());

  for (const char* folder : {"a/b", "d", "e/f"})
    EXPECT_EQ(platform::query_info(at(folder)).value().kind, platform::FileKind::Directory) << folder;
  EXPECT_EQ(names_in(dest_), (std::vector<std::string>{"a", "d", "e"}));  // no file was written
  EXPECT_TRUE(names_in(at("e/f")).empty());
}

TEST_F(ExtractionPlanTest, UnsafePathAnywhereLeavesTheDestinationUntouched) {
  struct Case {
    std::vector<Entry> entries;
    std::string refused;
  };
  const Case cases[] = {
      {{dir("a"), file("a/x.txt"), file("b/../../evil")}, "b/../../evil"},
      {{file("ok/1.txt"), file("C:/Windows/x.dll"), file("ok2/2.txt")}, "C:/Windows/x.dll"},
      {{dir("keep"), dir("NUL/x")}, "NUL/x"},
      {{file("docs/readme.txt"), file("docs/readme.txt"), file("x/stream.txt:secret")}, "x/stream.txt:secret"},
      {{file("")}, ""},
  };
  for (const Case& c : cases) {
    auto plan = plan_extraction(dest_, c.entries);
    ASSERT_FALSE(plan) << c.refused;
    EXPECT_EQ(plan.error().kind(), ErrorKind::UnsafePath) << c.refused;
    EXPECT_EQ(plan.error().detail(), c.refused);
    EXPECT_EQ(plan.error().display(), "Niebezpieczna ścieżka w archiwum: " + c.refused);
    EXPECT_TRUE(names_in(dest_).empty()) << c.refused;
  }
}

// Each case: files already in the destination, the entry list, then every
// entry's planned path and the renames expected, relative to the destination.
struct RenameCase {
  const char* name;
  std::vector<std::string> on_disk;
  std::vector<Entry> entries;
  std::vector<std::string> planned;
  std::vector<std::pair<std::string, std::string>> renames;  // archive path, new relative path
};

void PrintTo(const RenameCase& c, std::ostream* os) { *os << c.name; }

class RenameTest : public ExtractionPlanTest, public ::testing::WithParamInterface<RenameCase> {};

TEST_P(RenameTest, CollidingFilesGetTheFirstFreeNumber) {
  const RenameCase& c = GetParam();
  for (const std::string& name : c.on_disk) {
    if (name.ends_with("/")) {
      ASSERT_TRUE(platform::create_directories(at(name.substr(0, name.size() - 1))));
    } else {
      put_file(name);
    }
  }

  auto plan = plan_extraction(dest_, c.entries);
  ASSERT_TRUE(plan) << plan.error().display();
  ASSERT_EQ(plan->output_paths.size(), c.planned.size());
  for (std::size_t i = 0; i < c.planned.size(); ++i) EXPECT_EQ(plan->output_paths[i], at(c.planned[i])) << i;
  ASSERT_EQ(plan->renames.size(), c.renames.size());
  for (std::size_t i = 0; i < c.renames.size(); ++i) {
    EXPECT_EQ(plan->renames[i].archive_path, c.renames[i].first);
    EXPECT_EQ(plan->renames[i].output_path, platform::path_to_utf8(at(c.renames[i].second)));
  }
}

const RenameCase rename_cases[] = {
    {"CaseVariantsInOneArchive", {}, {file("Readme.TXT"), file("readme.txt")}, {"Readme.TXT", "readme (2).txt"},
     {{"readme.txt", "readme (2).txt"}}},
    {"SkipsNumberedNamesOnDisk",
     {"report.pdf", "report (2).pdf"},
     {file("report.pdf")},
     {"report (3).pdf"},
     {{"report.pdf", "report (3).pdf"}}},
    {"NameWithoutExtension", {"Makefile"}, {file("Makefile")}, {"Makefile (2)"}, {{"Makefile", "Makefile (2)"}}},
    {"LeadingFullStopIsNoExtension", {".profile"}, {file(".profile")}, {".profile (2)"},
     {{".profile", ".profile (2)"}}},
    {"OnlyTheLastExtensionMoves", {"archive.tar.gz"}, {file("archive.tar.gz")}, {"archive.tar (2).gz"},
     {{"archive.tar.gz", "archive.tar (2).gz"}}},
    {"HiddenNameWithExtension", {}, {file(".a.b"), file(".a.b"), file("..x"), file("..x")},
     {".a.b", ".a (2).b", "..x", ". (2).x"},
     {{".a.b", ".a (2).b"}, {"..x", ". (2).x"}}},
    {"ExistingDirectoryEntryKeepsItsPath", {"docs/"}, {dir("docs"), file("docs/a.txt")}, {"docs", "docs/a.txt"}, {}},
    {"ExistingDirectoryMakesAFileMove", {"docs/"}, {file("docs")}, {"docs (2)"}, {{"docs", "docs (2)"}}},
    {"FileAfterDirectoryOfOtherCase", {}, {dir("X"), file("x")}, {"X", "x (2)"}, {{"x", "x (2)"}}},
    // A folder keeps its path wherever it stands: the file moves, before or
    // after it, whether the folder is an entry or only above one.
    {"FileBeforeDirectoryOfOtherCaseMoves", {}, {file("x"), dir("X")}, {"x (2)", "X"}, {{"x", "x (2)"}}},
    {"FileNamedLikeTheFolderOfALaterFile", {}, {file("d"), file("d/f")}, {"d (2)", "d/f"}, {{"d", "d (2)"}}},
    {"FileNamedLikeTheFolderOfAnEarlierFile", {}, {file("a/b/f"), file("A/B")}, {"a/b/f", "A/B (2)"},
     {{"A/B", "A/B (2)"}}},
    {"NumberedNameTakenByAFolder", {}, {file("n"), file("n"), dir("n (2)")}, {"n", "n (3)", "n (2)"},
     {{"n", "n (3)"}}},
    {"RepeatedNamesCountUp", {}, {file("a.txt"), file("A.TXT"), file("a.txt"), file("b/a.txt")},
     {"a.txt", "A (2).TXT", "a (3).txt", "b/a.txt"},
     {{"A.TXT", "A (2).TXT"}, {"a.txt", "a (3).txt"}}},
    {"NumberedNameInTheArchiveIsRespected", {}, {file("a.txt"), file("a (2).txt"), file("a.txt")},
     {"a.txt", "a (2).txt", "a (3).txt"},
     {{"a.txt", "a (3).txt"}}},
    {"RenameInsideAFolder", {"sub/n.txt"}, {file("sub/n.txt")}, {"sub/n (2).txt"}, {{"sub/n.txt", "sub/n (2).txt"}}},
    {"DiskGapsAndArchiveRepeatsTogether",
     {"a.txt", "a (2).txt", "a (4).txt"},
     {file("a.txt"), file("a.txt"), file("a.txt")},
     {"a (3).txt", "a (5).txt", "a (6).txt"},
     {{"a.txt", "a (3).txt"}, {"a.txt", "a (5).txt"}, {"a.txt", "a (6).txt"}}},
    {"LatinBeyondAscii", {}, {file("\u00C4.txt"), file("\u00E4.txt")}, {"\u00C4.txt", "\u00E4 (2).txt"},
     {{"\u00E4.txt", "\u00E4 (2).txt"}}},
    {"GreekSigma", {}, {file("\u03A3"), file("\u03C3")}, {"\u03A3", "\u03C3 (2)"}, {{"\u03C3", "\u03C3 (2)"}}},
    // One file to Windows: the second must not overwrite the first there.
    {"FinalSigmaIsSigma", {}, {file("\u03BF\u03B4\u03BF\u03C3"), file("\u03BF\u03B4\u03BF\u03C2")},
     {"\u03BF\u03B4\u03BF\u03C3", "\u03BF\u03B4\u03BF\u03C2 (2)"},
     {{"\u03BF\u03B4\u03BF\u03C2", "\u03BF\u03B4\u03BF\u03C2 (2)"}}},
    {"MicroSignIsMu", {}, {file("\u00B5m"), file("\u03BCm")}, {"\u00B5m", "\u03BCm (2)"},
     {{"\u03BCm", "\u03BCm (2)"}}},
    {"CapitalIWithDotExpands", {}, {file("\u0130.txt"), file("i\u0307.txt"), file("i.txt")},
     {"\u0130.txt", "i\u0307 (2).txt", "i.txt"},
     {{"i\u0307.txt", "i\u0307 (2).txt"}}},
    {"CapitalSharpS", {}, {file("stra\u00DFe"), file("STRA\u1E9EE")}, {"stra\u00DFe", "STRA\u1E9EE (2)"},
     {{"STRA\u1E9EE", "STRA\u1E9EE (2)"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, RenameTest, ::testing::ValuesIn(rename_cases),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(CollisionKey, IsTheWholePathLowercasedCodePointByCodePoint) {
  const fs::path mixed = under(platform::path_from_utf8("Dest"), "ZAŻÓŁĆ/\u0130.TXT");
  const fs::path lowered = under(platform::path_from_utf8("dest"), "zażółć/i\u0307.txt");
  EXPECT_EQ(collision_key(mixed), platform::path_to_utf8(lowered));
  // Each code point on its own, and letters that share a capital are one:
  // Windows would take "οδοσ" and "οδος" for the same file.
  EXPECT_EQ(collision_key(platform::path_from_utf8("ΟΔΟΣ")), "οδοσ");
  EXPECT_EQ(collision_key(platform::path_from_utf8("οδος")), "οδοσ");
}

TEST_F(ExtractionPlanTest, SuspiciousCharactersAreListedAndExtractedNormally) {
  struct Case {
    const char* path;
    bool suspicious;
  };
  const Case cases[] = {
      {"a\u200A.txt", false}, {"a\u200B.txt", true},  {"a\u200F.txt", true},  {"a\u2010.txt", false},
      {"a\u2029.txt", false}, {"a\u202A.txt", true},  {"evil\u202Etxt.exe", true}, {"a\u202F.txt", false},
      {"a\u2065.txt", false}, {"a\u2066.txt", true},  {"d\u2069/x.txt", true}, {"a\u206A.txt", false},
      {"a\uFEFE.txt", false}, {"\uFEFFa.txt", true},  {"a\uFFFE.txt", false},
  };
  std::vector<Entry> entries;
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    entries.push_back(file(c.path));
    if (c.suspicious) expected.push_back(c.path);
  }
  auto plan = plan_extraction(dest_, entries);
  ASSERT_TRUE(plan) << plan.error().display();
  EXPECT_EQ(plan->suspicious_names, expected);
  for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(plan->output_paths[i], at(cases[i].path)) << i;
  EXPECT_TRUE(plan->renames.empty());
}

TEST_F(ExtractionPlanTest, DirectoryThatCannotBeCreatedIsAnIoErrorAfterEarlierOnesExist) {
  put_file("x");
  // What the system says about the same folder, made the way planning makes it.
  const auto expected = platform::Directory::open(dest_).value().create_directory("x");
  ASSERT_FALSE(expected);
  EXPECT_FALSE(expected.error().link_refused);

  for (const std::vector<Entry>& entries : {std::vector<Entry>{dir("a"), file("x/y.txt"), dir("b")},
                                            std::vector<Entry>{dir("a"), dir("x"), dir("b")}}) {
    auto plan = plan_extraction(dest_, entries);
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error().kind(), ErrorKind::Io);
    EXPECT_EQ(plan.error().os_error().code, expected.error().code);
    EXPECT_EQ(plan.error().display(), "Błąd odczytu/zapisu: " + expected.error().display());
    EXPECT_TRUE(exists_here(at("a")));  // created in list order, before the failure
    EXPECT_FALSE(exists_here(at("b")));
  }
}

TEST_F(ExtractionPlanTest, NumberTakenOnDiskForOneSpellingStaysFreeForAnother) {
  // "a (2).txt" on disk blocks a.txt's second candidate. Whether it blocks
  // A.txt's depends on the file system folding case; the plan must ask the
  // disk for each spelling and not carry the refusal over.
  put_file("a (2).txt");
  const bool folds_case = exists_here(at("A (2).TXT"));
  auto plan = plan_extraction(dest_, {dir("A.TXT"), file("a.txt"), file("A.txt")});
  ASSERT_TRUE(plan) << plan.error().display();
  EXPECT_EQ(plan->output_paths[1], at("a (3).txt"));
  EXPECT_EQ(plan->output_paths[2], at(folds_case ? "A (4).txt" : "A (2).txt"));
}

TEST_F(ExtractionPlanTest, ManySameNamedFilesStayFast) {
  // Repeats of one name, then every letter-case spelling of another (2^14).
  // Trying n = 2, 3, ... from the start for each takes minutes; the bound is
  // loose so that a loaded machine or an emulator cannot fail it.
  constexpr std::size_t repeats = 5000;
  std::vector<Entry> entries(repeats, file("same.txt"));
  const std::string letters = "abcdefghijklmn";
  for (std::size_t mask = 0; mask < (std::size_t{1} << letters.size()); ++mask) {
    std::string name = letters;
    for (std::size_t bit = 0; bit < letters.size(); ++bit)
      if (mask & (std::size_t{1} << bit)) name[bit] = static_cast<char>(name[bit] - 32);
    entries.push_back(file(name));
  }

  const auto start = std::chrono::steady_clock::now();
  auto plan = plan_extraction(dest_, entries);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(plan) << plan.error().display();
  EXPECT_LT(elapsed, std::chrono::seconds(60));

  ASSERT_EQ(plan->renames.size(), entries.size() - 2);
  EXPECT_EQ(plan->output_paths[1], at("same (2).txt"));
  EXPECT_EQ(plan->output_paths[repeats - 1], at("same (5000).txt"));
  EXPECT_EQ(plan->output_paths[repeats], at("abcdefghijklmn"));
  EXPECT_EQ(plan->output_paths[repeats + 1], at("Abcdefghijklmn (2)"));
  EXPECT_EQ(plan->output_paths.back(), at("ABCDEFGHIJKLMN (16384)"));
}

TEST_F(ExtractionPlanTest, HundredThousandEntriesPlanQuickly) {
  std::vector<Entry> entries;
  for (int d = 0; d < 100; ++d) {
    entries.push_back(dir("d" + std::to_string(d)));
    for (int f = 0; f < 1000; ++f) entries.push_back(file("d" + std::to_string(d) + "/f" + std::to_string(f) + ".bin"));
  }
  const auto start = std::chrono::steady_clock::now();
  auto plan = plan_extraction(dest_, entries);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(plan) << plan.error().display();
  EXPECT_LT(elapsed, std::chrono::seconds(60));  // well under a second natively
  EXPECT_EQ(plan->file_order.size(), 100000u);
  EXPECT_TRUE(plan->renames.empty());
  EXPECT_EQ(names_in(dest_).size(), 100u);
}

}  // namespace
}  // namespace quarn

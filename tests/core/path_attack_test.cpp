// Hostile entry paths, one table: each is refused by check_entry_path and,
// planted into a real archive's file list, stops the extraction before
// anything is written, inside the destination or beside it. Names that are
// odd but harmless extract, and names that differ only in case are renamed
// instead of overwriting each other. Links already below the destination,
// another table: none redirects a write out of it, whether it was there when
// planning looked or was put in place after.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/archive/entry_path.h"
#include "core/archive/output_writer.h"
#include "core/error/detail_texts.h"
#include "core/pipeline/extract.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

struct Attack {
  std::string kind;
  std::string path;
};

// Every device name, plain, with an extension, with trailing white space
// before the extension, in lower case, and as a folder.
std::vector<Attack> device_names() {
  const std::vector<std::string> devices = {
      "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
      "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7",
      "LPT8", "LPT9", "COM\u00B9", "COM\u00B2", "COM\u00B3", "LPT\u00B9", "LPT\u00B2", "LPT\u00B3",
      "CONIN$", "CONOUT$"};
  std::vector<Attack> out;
  for (const std::string& d : devices) {
    std::string lower = d;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& p : {d, d + ".txt", d + " .txt", d + "\u3000.tar.gz", d + "\u00A0", lower,
                                 lower + ".log", "dir/" + d, d + "/file.txt"})
      out.push_back({"device", p});
  }
  return out;
}

std::vector<Attack> attacks() {
  std::vector<Attack> out = {
      {"traversal", ".."},          {"traversal", "../x"},         {"traversal", "a/../../x"},
      {"traversal", "a/.."},        {"traversal", "./a"},          {"traversal", "a/./b"},
      {"absolute", "/etc/passwd"},  {"absolute", "/x"},            {"drive", "C:/Windows/x"},
      {"drive", "C:x"},             {"drive", "c:"},               {"unc", "//server/share/x"},
      {"unc", "\\\\server\\share\\x"}, {"unc", "\\\\?\\C:\\x"},     {"unc", "\\\\.\\PhysicalDrive0"},
      {"backslash", "a\\b"},        {"backslash", "..\\x"},        {"backslash", "\\x"},
      {"stream", "a:stream"},       {"stream", "a::$DATA"},        {"stream", "dir/a.txt:Zone.Identifier"},
      {"trailing", "x."},           {"trailing", "x "},            {"trailing", "x. ."},
      {"trailing", "dir./x"},       {"trailing", "dir /x"},        {"trailing", "a/b..."},
      {"empty", ""},                {"empty", "a//b"},             {"empty", "a/"},
      {"wildcard", "a*b"},          {"wildcard", "a?b"},           {"wildcard", "a<b"},
      {"wildcard", "a>b"},          {"wildcard", "a|b"},           {"wildcard", "a\"b"},
      {"long", std::string(32001, 'a')},
      {"long", std::string(16000, 'a') + "/" + std::string(16000, 'b')},
  };
  for (int c = 1; c < 0x20; ++c) out.push_back({"control", "a" + std::string(1, static_cast<char>(c)) + "b"});
  for (Attack& d : device_names()) out.push_back(std::move(d));
  return out;
}

TEST(PathAttack, EveryHostilePathIsRefusedWithItsOwnText) {
  for (const Attack& a : attacks()) {
    SCOPED_TRACE(a.kind + ": " + a.path.substr(0, 40));
    const auto result = check_entry_path(a.path, "dest");
    ASSERT_FALSE(result) << result->string();
    EXPECT_EQ(result.error().kind(), ErrorKind::UnsafePath);
    EXPECT_EQ(result.error().detail(), a.path);
  }
}

TEST(PathAttack, LookalikesOfDeviceNamesAreOrdinaryNames) {
  for (const std::string p : {"COM0", "LPT0", "COM10", "COM\u2074", "COM\u00B9\u00B9", "CONIN", "CONOUT$$",
                              "xCONIN$", "CON$", "NULL", "AUXX.txt", "\uFF23ON", "a.CON"}) {
    EXPECT_TRUE(check_entry_path(p, "dest")) << p;
  }
}

class PathAttackExtraction : public ::testing::Test {
 protected:
  void SetUp() override {
    auto options = test::fast_options(EncryptionMode::None);
    options.block_size = 1024;
    options.zstd_level = 0;  // the file list stays plain JSON to edit
    auto written = test::make_archive(dir.path() / "in", {{"first.txt", "1"}, {"placeholder", "evil"}},
                                      options, {pristine, std::nullopt, std::nullopt, true});
    ASSERT_TRUE(written) << written.error().display();
  }

  // The pristine archive with "placeholder" renamed to each of `names` in turn.
  void plant(const std::vector<std::string>& names) {
    auto volumes = VolumeSet::open(pristine).value();
    const auto h = Header::read(volumes).value().length();
    auto editable = test::EditableArchive::parse(test::read_file(pristine), h);
    Frame& list = editable.file_list();
    auto json = nlohmann::ordered_json::parse(list.payload);
    std::size_t next = 0;
    for (auto& entry : json["entries"])
      if (entry["path"] == "placeholder") entry["path"] = names.at(next++);
    const std::string text = json.dump();
    list.payload.assign(text.begin(), text.end());
    list.header.plain_length = list.header.stored_length = static_cast<std::uint32_t>(text.size());
    test::EditableArchive::recompute_crc(list);
    test::write_file(archive, editable.bytes());
  }

  Result<ExtractionReport> extract_to(const std::filesystem::path& destination, const ExtractOptions& options = {}) {
    auto volumes = VolumeSet::open(archive).value();
    auto header = Header::read(volumes).value();
    auto cipher = derive_keys(key_material(header), nullptr, {}).value();
    auto loaded = load_manifest(volumes, header, cipher);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    const std::atomic<bool> cancel{false};
    const ArchiveSource source{archive, header, loaded->digest, cipher, loaded->manifest, loaded->filelist_offset};
    return extract(source, destination, cancel, options);
  }

  std::set<std::filesystem::path> listing(const std::filesystem::path& root) {
    std::set<std::filesystem::path> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) names.insert(e.path());
    return names;
  }

  test::TempDir dir;
  std::filesystem::path pristine = dir / "pristine.qrn";
  std::filesystem::path archive = dir / "a.qrn";
};

TEST_F(PathAttackExtraction, HostileEntryStopsTheExtractionBeforeAnyWrite) {
  const auto before = listing(dir.path());
  for (const Attack& a : attacks()) {
    SCOPED_TRACE(a.kind + ": " + a.path.substr(0, 40));
    plant({a.path});
    const auto out = dir / "out";
    const auto report = extract_to(out);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().kind(), ErrorKind::UnsafePath) << report.error().display();
    EXPECT_EQ(report.error().detail(), a.path);
    EXPECT_FALSE(std::filesystem::exists(out) && !std::filesystem::is_empty(out));
    std::filesystem::remove_all(out);
    auto after = listing(dir.path());
    after.erase(archive);
    EXPECT_EQ(after, before);
  }
}

TEST_F(PathAttackExtraction, NamesDifferingOnlyInCaseAreRenamedNotOverwritten) {
  // The manifest lists "placeholder" once; plant a second file list with
  // both spellings through two placeholders.
  auto options = test::fast_options(EncryptionMode::None);
  options.zstd_level = 0;
  ASSERT_TRUE(test::make_archive(dir.path() / "in2", {{"placeholder", "upper"}, {"placeholder2", "lower"}}, options,
                                 {pristine, std::nullopt, std::nullopt, true}));
  for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
           {"README.txt", "readme.txt"}, {"\u00C4pfel.txt", "\u00E4pfel.txt"}, {"\u0130.txt", "i\u0307.txt"},
           {"\u03A3\u039F\u03A6\u0399\u0391", "\u03C3\u03BF\u03C6\u03B9\u03B1"}}) {
    SCOPED_TRACE(first);
    auto volumes = VolumeSet::open(pristine).value();
    const auto h = Header::read(volumes).value().length();
    auto editable = test::EditableArchive::parse(test::read_file(pristine), h);
    Frame& list = editable.file_list();
    auto json = nlohmann::ordered_json::parse(list.payload);
    for (auto& entry : json["entries"]) entry["path"] = entry["path"] == "placeholder" ? first : second;
    const std::string text = json.dump();
    list.payload.assign(text.begin(), text.end());
    list.header.plain_length = list.header.stored_length = static_cast<std::uint32_t>(text.size());
    test::EditableArchive::recompute_crc(list);
    test::write_file(archive, editable.bytes());

    const auto out = dir / ("out-" + std::to_string(std::hash<std::string>{}(first)));
    const auto report = extract_to(out);
    ASSERT_TRUE(report) << report.error().display();
    EXPECT_EQ(report->renames.size(), 1u);
    std::vector<std::string> contents;
    for (const auto& e : std::filesystem::directory_iterator(out)) {
      const auto bytes = test::read_file(e.path());
      contents.emplace_back(bytes.begin(), bytes.end());
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"lower", "upper"}));
  }
}

TEST_F(PathAttackExtraction, RightToLeftOverrideIsListedAndExtractedAsStored) {
  const std::string name = "invoice\u202Etxt.exe";
  plant({name});
  const auto out = dir / "out";
  const auto report = extract_to(out);
  ASSERT_TRUE(report) << report.error().display();
  ASSERT_EQ(report->suspicious_names.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(out / platform::path_from_utf8(name)));
}

namespace fs = std::filesystem;

// Everything below `root`, links not followed: each path with "dir", the
// file's bytes, or the link's target.
std::map<fs::path, std::string> snapshot(const fs::path& root) {
  std::map<fs::path, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const fs::path relative = e.path().lexically_relative(root);
    if (e.is_symlink()) {
      out[relative] = "link:" + fs::read_symlink(e.path()).string();
    } else if (e.is_directory()) {
      out[relative] = "dir";
    } else {
      const auto bytes = test::read_file(e.path());
      out[relative] = "file:" + std::string(bytes.begin(), bytes.end());
    }
  }
  return out;
}

// A link at `at` to `target` (a folder when `folder`); false when this system
// makes no link a test can see (Wine 8: CreateSymbolicLinkW reports success and
// makes nothing, and junctions cannot be made).
bool make_link(const fs::path& target, const fs::path& at, bool folder) {
  std::error_code error;
  if (folder) {
    fs::create_directory_symlink(target, at, error);
  } else {
    fs::create_symlink(target, at, error);
  }
  const auto info = platform::query_info(at);
  return !error && info && info->kind == platform::FileKind::Symlink;
}

// The archive of the link cases: a, a/x.txt, dir, dir/f.txt, dir/sub,
// dir/sub/g.txt, top.txt. Folder "a" comes first, so a refusal that waited
// for the folders to be made would leave it behind.
class LinkExtraction : public PathAttackExtraction {
 protected:
  void SetUp() override {
    auto options = test::fast_options(EncryptionMode::None);
    ASSERT_TRUE(test::make_archive(dir / "tree",
                                   {{"a/x.txt", "X"}, {"dir/f.txt", "F"}, {"dir/sub/g.txt", "G"}, {"top.txt", "T"}},
                                   options, {archive, std::nullopt, std::nullopt, true}));
    fs::create_directories(outside / "dir");
    test::write_file(outside / "keep.txt", test::bytes_of("outside"));
    test::write_file(outside / "secret.txt", test::bytes_of("secret"));
    fs::create_directories(dest);
    if (!make_link(outside, dir / "probe-link", true)) GTEST_SKIP() << "links cannot be made here";
    fs::remove(dir / "probe-link");
  }

  fs::path outside = dir / "outside";
  fs::path dest = dir / "dest";
};

struct LinkCase {
  const char* name;
  std::function<bool(const fs::path& dest, const fs::path& outside)> arrange;  // false: no link could be made
  const char* folder;  // the link refused, as stored; nullptr when the extraction succeeds
  const char* entry;   // the entry named with it
};

TEST_F(LinkExtraction, NoLinkBelowTheDestinationLeadsAWriteOutOfIt) {
  const LinkCase cases[] = {
      {"folder link out, first level", [](const fs::path& d, const fs::path& o) { return make_link(o, d / "dir", true); },
       "dir", "dir"},
      {"folder link out, deeper",
       [](const fs::path& d, const fs::path& o) {
         fs::create_directories(d / "dir");
         return make_link(o / "dir", d / "dir" / "sub", true);
       },
       "dir/sub", "dir/sub"},
      {"folder link to a folder inside",
       [](const fs::path& d, const fs::path&) {
         fs::create_directories(d / "inner");
         return make_link(d / "inner", d / "dir", true);
       },
       "dir", "dir"},
      {"dangling folder link",
       [](const fs::path& d, const fs::path& o) { return make_link(o / "not-there", d / "dir", true); }, "dir", "dir"},
      {"dangling link as the file name",
       [](const fs::path& d, const fs::path& o) { return make_link(o / "new.txt", d / "top.txt", false); }, nullptr,
       nullptr},
      {"link to a file outside as the file name",
       [](const fs::path& d, const fs::path& o) { return make_link(o / "secret.txt", d / "top.txt", false); },
       nullptr, nullptr},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dest);
    fs::create_directories(dest);
    ASSERT_TRUE(c.arrange(dest, outside));
    const auto outside_before = snapshot(outside);
    const auto dest_before = snapshot(dest);

    const auto report = extract_to(dest);
    EXPECT_EQ(snapshot(outside), outside_before);
    if (c.folder) {
      ASSERT_FALSE(report);
      EXPECT_EQ(report.error().kind(), ErrorKind::Message);
      EXPECT_EQ(report.error().display(), texts::link_in_destination(c.folder, c.entry));
      EXPECT_EQ(snapshot(dest), dest_before);  // not even a folder was made
      continue;
    }
    ASSERT_TRUE(report) << report.error().display();
    ASSERT_EQ(report->renames.size(), 1u);
    EXPECT_EQ(report->renames[0].archive_path, "top.txt");
    EXPECT_EQ(test::read_file(dest / "top (2).txt"), test::bytes_of("T"));
    EXPECT_EQ(fs::read_symlink(dest / "top.txt"), dest_before.at("top.txt").substr(5));
    EXPECT_EQ(test::read_file(dest / "dir" / "sub" / "g.txt"), test::bytes_of("G"));
  }
}

TEST_F(LinkExtraction, TheDestinationItselfMayBeALink) {
  const fs::path real = dir / "real";
  fs::create_directories(real);
  ASSERT_TRUE(make_link(real, dir / "via-link", true));
  const auto report = extract_to(dir / "via-link");
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_EQ(test::read_file(real / "dir" / "f.txt"), test::bytes_of("F"));
  EXPECT_EQ(test::read_file(real / "top.txt"), test::bytes_of("T"));
}

// Between planning and writing, something is put where the plan has a
// folder or a new file: the extraction stops and nothing lands outside.
TEST_F(LinkExtraction, ALinkOrFilePutInPlaceAfterPlanningIsNeverWrittenThrough) {
  struct Race {
    const char* name;
    std::function<void(const fs::path& dest, const fs::path& outside)> swap;
    const char* folder;  // the link refused, as stored; nullptr for an Io error
    const char* entry;
  };
  const Race races[] = {
      {"planned folder becomes a link out",
       [](const fs::path& d, const fs::path& o) {
         fs::remove_all(d / "dir");
         make_link(o / "dir", d / "dir", true);
       },
       "dir", "dir/f.txt"},
      {"planned inner folder becomes a link out",
       [](const fs::path& d, const fs::path& o) {
         fs::remove_all(d / "dir" / "sub");
         make_link(o / "dir", d / "dir" / "sub", true);
       },
       "dir/sub", "dir/sub/g.txt"},
      {"a link out appears at a planned file",
       [](const fs::path& d, const fs::path& o) { make_link(o / "secret.txt", d / "dir" / "f.txt", false); },
       nullptr, nullptr},
      {"a file appears at a planned file",
       [](const fs::path& d, const fs::path&) { test::write_file(d / "dir" / "f.txt", test::bytes_of("theirs")); },
       nullptr, nullptr},
  };
  for (const Race& r : races) {
    SCOPED_TRACE(r.name);
    fs::remove_all(dest);
    const auto outside_before = snapshot(outside);
    ExtractOptions options;
    options.after_planning = [&] { r.swap(dest, outside); };

    const auto report = extract_to(dest, options);
    ASSERT_FALSE(report);
    if (r.folder) {
      EXPECT_EQ(report.error().kind(), ErrorKind::Message);
      EXPECT_EQ(report.error().display(), texts::link_in_destination(r.folder, r.entry));
    } else {
      EXPECT_EQ(report.error().kind(), ErrorKind::Io) << report.error().display();
    }
    EXPECT_EQ(snapshot(outside), outside_before);
  }
  EXPECT_EQ(test::read_file(dest / "dir" / "f.txt"), test::bytes_of("theirs"));  // the last race: kept as it was
}

// A file swapped in under the name between writing and marking must not get
// the mark: it goes to the file written, or nowhere.
TEST(MarkPlacement, TheMarkNeverReachesAFileThatTookTheNameMeanwhile) {
  test::TempDir dir;
  const auto mark = test::bytes_of("[ZoneTransfer]\r\nZoneId=3\r\n");
  test::write_file(dir / "probe", test::bytes_of("p"));
  if (!platform::write_zone_identifier(dir / "probe", mark)) GTEST_SKIP() << "no marks on this file system";

  auto folder = platform::Directory::open(dir.path());
  ASSERT_TRUE(folder);
  auto written = folder->create_file("a.txt");
  ASSERT_TRUE(written);
  fs::rename(dir / "a.txt", dir / "moved.txt");
  test::write_file(dir / "a.txt", test::bytes_of("theirs"));

  const bool marked = folder->write_zone_identifier(*written, "a.txt", mark).has_value();
  *written = platform::File();
  EXPECT_FALSE(platform::read_zone_identifier(dir / "a.txt", ZONE_MARK_MAX));
  if (marked) {
    EXPECT_EQ(platform::read_zone_identifier(dir / "moved.txt", ZONE_MARK_MAX), mark);
  }
}

}  // namespace
}  // namespace quarn

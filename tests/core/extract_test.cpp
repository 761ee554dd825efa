#include <gtest/gtest.h>

#include "core/error/detail_texts.h"
#include "core/pipeline/extract.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

constexpr std::uint32_t block = 1024;
const std::string mark = "[ZoneTransfer]\r\nZoneId=3\r\n";

std::string content(std::size_t n, int seed) {
  std::string s(n, '\0');
  std::uint32_t x = static_cast<std::uint32_t>(seed) * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Five files: 1, 2, 3, 4 and 5 frames; 15 data frames in all.
std::map<std::string, std::string> five_files() {
  std::map<std::string, std::string> files;
  for (int i = 1; i <= 5; ++i) files["f" + std::to_string(i) + ".bin"] = content(i * block - 10, i);
  return files;
}

class ExtractTest : public ::testing::Test {
 protected:
  struct Opened {
    Header header;
    FrameCipher cipher;
    LoadedManifest loaded;
  };

  void make(const std::map<std::string, std::string>& files, EncryptionMode mode = EncryptionMode::Aes256Gcm,
            int level = 0, std::uint32_t block_size = block) {
    auto options = test::fast_options(mode);
    options.block_size = block_size;
    options.zstd_level = level;
    auto written = test::make_archive(dir.path(), files, options, {archive, std::nullopt, std::nullopt, true});
    ASSERT_TRUE(written) << written.error().display();
  }

  Opened open(const std::filesystem::path& path) {
    auto volumes = VolumeSet::open(path).value();
    auto header = Header::read(volumes).value();
    const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
    auto cipher = derive_keys(key_material(header), &password, {}).value();
    auto loaded = load_manifest(volumes, header, cipher);
    EXPECT_TRUE(loaded) << loaded.error().display();
    return Opened{std::move(header), std::move(cipher), std::move(*loaded)};
  }

  // Extracts `data_path` (the manifest read from `manifest_path`, normally the same file).
  Result<ExtractionReport> run(unsigned workers, const std::filesystem::path& destination,
                               const std::filesystem::path& data_path, bool cancel = false,
                               std::optional<std::filesystem::path> manifest_path = std::nullopt) {
    const Opened opened = open(manifest_path.value_or(data_path));
    const std::atomic<bool> cancel_flag{cancel};
    ExtractOptions options;
    options.workers = workers;
    const ArchiveSource source{data_path, opened.header, opened.loaded.digest, opened.cipher,
                               opened.loaded.manifest, opened.loaded.filelist_offset};
    return extract(source, destination, cancel_flag, options);
  }

  void edit(const std::function<void(test::EditableArchive&)>& change) {
    auto volumes = VolumeSet::open(archive).value();
    const auto h = Header::read(volumes).value().length();
    auto editable = test::EditableArchive::parse(test::read_file(archive), h);
    change(editable);
    test::write_file(archive, editable.bytes());
  }

  std::string file_text(const std::filesystem::path& path) {
    const auto bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
  }

  test::TempDir dir;
  std::filesystem::path archive = dir / "a.qrn";
};

TEST_F(ExtractTest, WritesEveryFileAndReportsIt) {
  auto files = five_files();
  files["pusty/"] = "";
  files["zero"] = "";
  make(files, EncryptionMode::SerpentTwofishAes256, 3);
  for (const unsigned workers : {1u, 2u, 3u, 16u}) {
    const auto out = dir / ("out" + std::to_string(workers));
    auto report = run(workers, out, archive);
    ASSERT_TRUE(report) << report.error().display();
    for (const auto& [path, text] : five_files()) EXPECT_EQ(file_text(out / path), text) << path;
    EXPECT_TRUE(std::filesystem::is_directory(out / "pusty"));
    EXPECT_EQ(std::filesystem::file_size(out / "zero"), 0u);
    EXPECT_EQ(report->files_completed, 6u);
    EXPECT_EQ(report->files_verified, 6u);
    EXPECT_EQ(report->directories, 1u);
    EXPECT_TRUE(report->mismatches.empty());
    EXPECT_EQ(report->threads, workers);
    EXPECT_EQ(report->destination, out);
    EXPECT_EQ(report->bytes_written, 15u * block - 50u);
  }
}

TEST_F(ExtractTest, FirstFailureInFrameOrderWinsWhateverTheWorkerCount) {
  make(five_files());
  edit([](test::EditableArchive& a) {
    a.frames[9].payload[0] ^= 1;
    a.frames[4].payload[0] ^= 1;
  });
  for (const unsigned workers : {1u, 2u, 3u, 16u}) {
    const auto out = dir / ("out" + std::to_string(workers));
    auto report = run(workers, out, archive);
    ASSERT_FALSE(report) << workers;
    EXPECT_EQ(report.error().detail(), texts::frame_crc_mismatch(4)) << workers;
    // Frames 0..3 are files 1 and 2 and the first frame of file 3: the first
    // two are complete, the third is partial, the last two were never created.
    EXPECT_EQ(file_text(out / "f1.bin"), five_files()["f1.bin"]);
    EXPECT_EQ(file_text(out / "f2.bin"), five_files()["f2.bin"]);
    EXPECT_EQ(std::filesystem::file_size(out / "f3.bin"), block);
    EXPECT_FALSE(std::filesystem::exists(out / "f4.bin"));
    EXPECT_FALSE(std::filesystem::exists(out / "f5.bin"));
  }
}

// Small frames travel in batches, large ones alone: their order and the first
// failure in frame order hold across the mix.
TEST_F(ExtractTest, SmallAndLargeFramesMixedKeepTheirOrder) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 200; ++i) {
    const bool large = i % 50 == 7;
    files["m" + std::to_string(1000 + i)] = content(large ? 300000 : i * 7, i);
  }
  make(files, EncryptionMode::Aes256Gcm, 0, 256 * 1024);
  for (const unsigned workers : {1u, 2u, 3u}) {
    const auto out = dir / ("all" + std::to_string(workers));
    auto report = run(workers, out, archive);
    ASSERT_TRUE(report) << report.error().display();
    for (const auto& [path, text] : files) ASSERT_EQ(file_text(out / path), text) << path;
  }
  // m1000 has no frame and each large file two, so frame 160 is the second
  // frame of m1157: it stops with one block of that file written.
  edit([](test::EditableArchive& a) { a.frames[160].payload[0] ^= 1; });
  for (const unsigned workers : {1u, 3u}) {
    const auto out = dir / ("cut" + std::to_string(workers));
    auto report = run(workers, out, archive);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().detail(), texts::frame_crc_mismatch(160));
    for (const auto& [path, text] : files) {
      if (path < "m1157") {
        EXPECT_EQ(file_text(out / path), text) << path;
      } else if (path > "m1157") {
        EXPECT_FALSE(std::filesystem::exists(out / path)) << path;
      }
    }
    EXPECT_EQ(std::filesystem::file_size(out / "m1157"), 256u * 1024);
  }
}

TEST_F(ExtractTest, TruncationReportsTheReadersErrorNotCancelled) {
  make(five_files());
  const auto full = test::read_file(archive);
  const auto cut = dir / "cut.qrn";
  test::write_file(cut, std::vector<std::uint8_t>(full.begin(), full.begin() + 6000));
  for (const unsigned workers : {1u, 3u}) {
    auto report = run(workers, dir / ("out" + std::to_string(workers)), cut, false, archive);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().display(), "Archiwum jest uszkodzone: archiwum jest uciete");
  }
}

TEST_F(ExtractTest, CancelBeforeTheFirstFrame) {
  make({{"a_pusty", ""}, {"b.bin", content(3000, 1)}, {"c.bin", content(10, 2)}});
  const auto out = dir / "out";
  auto report = run(2, out, archive, true);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().display(), "Przerwano.");
  EXPECT_TRUE(std::filesystem::exists(out / "a_pusty"));
  EXPECT_EQ(std::filesystem::file_size(out / "b.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(out / "c.bin"));
}

TEST_F(ExtractTest, AnArchiveWithoutDataFrames) {
  make({{"d/", ""}, {"d/e", ""}, {"f", ""}});
  auto report = run(2, dir / "out", archive);
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_EQ(report->files_completed, 2u);
  EXPECT_EQ(report->files_verified, 2u);
  EXPECT_EQ(report->bytes_written, 0u);
}

TEST_F(ExtractTest, ForeignBytesBeforeTheFileListAreReportedAfterWriting) {
  make(five_files());
  edit([](test::EditableArchive& a) { a.between = {1, 2, 3}; });
  const auto out = dir / "out";
  auto report = run(2, out, archive);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().detail(), texts::foreign_bytes_before_filelist);
  EXPECT_EQ(file_text(out / "f5.bin"), five_files()["f5.bin"]);
}

TEST_F(ExtractTest, UnsafePathLeavesTheDestinationEmpty) {
  make({{"a.txt", "a"}, {"b.txt", "b"}}, EncryptionMode::None);
  edit([](test::EditableArchive& a) {
    Frame& list = a.file_list();
    std::string json(list.payload.begin(), list.payload.end());
    json.replace(json.find("\"b.txt\""), 7, "\"../bx\"");
    list.payload.assign(json.begin(), json.end());
    test::EditableArchive::recompute_crc(list);
  });
  const auto out = dir / "out";
  auto report = run(2, out, archive);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().display(), "Niebezpieczna ścieżka w archiwum: ../bx");
  EXPECT_TRUE(std::filesystem::is_empty(out));
}

TEST_F(ExtractTest, MismatchingDigestsAreListedNotFatal) {
  make({{"a.txt", "alpha"}, {"b.txt", "beta"}}, EncryptionMode::None);
  edit([](test::EditableArchive& a) {
    Frame& list = a.file_list();
    std::string json(list.payload.begin(), list.payload.end());
    // b.txt's digest in upper case: the same value, but never a match.
    const auto at = json.rfind("\"sha256\":\"") + 10;
    for (std::size_t i = at; i < at + 64; ++i) json[i] = static_cast<char>(std::toupper(json[i]));
    list.payload.assign(json.begin(), json.end());
    test::EditableArchive::recompute_crc(list);
  });
  auto report = run(1, dir / "out", archive);
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_EQ(report->files_completed, 2u);
  EXPECT_EQ(report->files_verified, 1u);
  EXPECT_EQ(report->mismatches, std::vector<std::string>{"b.txt"});
}

TEST_F(ExtractTest, AFileOfAnotherSizeThanListedIsAMismatch) {
  make({{"a.txt", "alpha"}, {"b.txt", "beta"}}, EncryptionMode::None);
  edit([](test::EditableArchive& a) {
    Frame& list = a.file_list();
    std::string json(list.payload.begin(), list.payload.end());
    // a.txt listed with 4 bytes; its frame and digest still give "alpha".
    json.replace(json.find("\"size\":5"), 8, "\"size\":4");
    list.payload.assign(json.begin(), json.end());
    test::EditableArchive::recompute_crc(list);
  });
  for (const bool verify_only : {false, true}) {
    const Opened opened = open(archive);
    const std::atomic<bool> cancel_flag{false};
    ExtractOptions options;
    options.verify_only = verify_only;
    const ArchiveSource source{archive, opened.header, opened.loaded.digest, opened.cipher, opened.loaded.manifest,
                               opened.loaded.filelist_offset};
    auto report = extract(source, dir / "out", cancel_flag, options);
    ASSERT_TRUE(report) << report.error().display();
    EXPECT_EQ(report->files_completed, 2u);
    EXPECT_EQ(report->files_verified, 1u);
    EXPECT_EQ(report->mismatches, std::vector<std::string>{"a.txt"});
  }
}

TEST_F(ExtractTest, MarkTimesAndAttributesAreRestoredInASafeOrder) {
  make({{"ro.txt", "tylko do odczytu"}, {"d/", ""}, {"d/x.txt", "x"}}, EncryptionMode::None);
  // ro.txt read-only, d read-only as stored (with the directory bit, which is dropped).
  edit([](test::EditableArchive& a) {
    Frame& list = a.file_list();
    std::string json(list.payload.begin(), list.payload.end());
    const auto replace_after = [&](const std::string& path, const std::string& from, const std::string& to) {
      const auto at = json.find(from, json.find("\"path\":\"" + path + "\""));
      json.replace(at, from.size(), to);
    };
    replace_after("ro.txt", "\"attributes\":32", "\"attributes\":33");
    replace_after("d", "\"attributes\":16", "\"attributes\":17");
    list.payload.assign(json.begin(), json.end());
    list.header.plain_length = list.header.stored_length = static_cast<std::uint32_t>(json.size());
    test::EditableArchive::recompute_crc(list);
  });
  if (!platform::write_zone_identifier(archive, test::bytes_of(mark))) GTEST_SKIP() << "no extended attributes here";
  const auto out = dir / "out";
  auto report = run(2, out, archive);
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_EQ(report->files_marked, 2u);
  EXPECT_EQ(report->mark_failures, 0u);
  const auto got = platform::read_zone_identifier(out / "ro.txt", ZONE_MARK_MAX);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, test::bytes_of(mark));

  const Opened opened = open(archive);
  const auto& entries = opened.loaded.manifest.entries;
  const auto info = platform::query_info(out / "ro.txt").value();
  EXPECT_EQ(info.attributes & platform::attribute_readonly, platform::attribute_readonly);
  const auto stored = std::find_if(entries.begin(), entries.end(), [](const Entry& e) { return e.path == "ro.txt"; });
  EXPECT_EQ(info.modified_ticks / 10, stored->modified / 10);  // the mark did not disturb the restored time
  // Some file systems (Wine's among them) keep no read-only bit on directories.
  std::filesystem::create_directories(dir / "probe");
  const bool directories_keep_readonly =
      platform::set_attributes(dir / "probe", platform::attribute_readonly) &&
      (platform::query_info(dir / "probe").value().attributes & platform::attribute_readonly);
  const auto dir_info = platform::query_info(out / "d").value();
  if (directories_keep_readonly) {
    EXPECT_EQ(dir_info.attributes & platform::attribute_readonly, platform::attribute_readonly);
  }
  std::filesystem::permissions(dir / "probe", std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  std::filesystem::permissions(out / "d", std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
}

TEST_F(ExtractTest, MarksOfTheWrongSizeAreNotCopied) {
  make({{"a.txt", "a"}}, EncryptionMode::None);
  for (const std::size_t size : {std::size_t{0}, ZONE_MARK_MAX + 1}) {
    // ext4 holds no extended attribute this large: then only the empty mark is tried.
    if (!platform::write_zone_identifier(archive, std::vector<std::uint8_t>(size, 'z'))) continue;
    const auto out = dir / ("out" + std::to_string(size));
    auto report = run(1, out, archive);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->files_marked, 0u) << size;
    EXPECT_FALSE(platform::read_zone_identifier(out / "a.txt", ZONE_MARK_MAX)) << size;
  }
}

TEST_F(ExtractTest, RenamesFilesThatWouldOverwrite) {
  make({{"raport.pdf", "nowy"}}, EncryptionMode::None);
  const auto out = dir / "out";
  std::filesystem::create_directories(out);
  test::write_file(out / "raport.pdf", test::bytes_of("stary"));
  auto report = run(1, out, archive);
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_EQ(file_text(out / "raport.pdf"), "stary");
  EXPECT_EQ(file_text(out / "raport (2).pdf"), "nowy");
  ASSERT_EQ(report->renames.size(), 1u);
  EXPECT_EQ(report->renames[0].archive_path, "raport.pdf");
}

}  // namespace
}  // namespace quarn

#include <gtest/gtest.h>
#include <zstd.h>

#include <functional>

#include "core/error/detail_texts.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

constexpr std::uint32_t block = 1024;

std::string text_of(std::size_t n, char seed) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(seed + (i * 7919 % 61));
  return s;
}

// An archive of three files over four data frames, as editable pieces.
class FrameTest : public ::testing::Test {
 protected:
  test::EditableArchive make(EncryptionMode mode, int level = 3) {
    auto options = test::fast_options(mode);
    options.block_size = block;
    options.zstd_level = level;
    auto written = test::make_archive(dir.path(), {{"a.txt", text_of(2 * block, 'a')}, {"b.txt", "bbb"}, {"c.txt", text_of(700, 'c')}},
                                      options, {dir / "base.qrn", std::nullopt, std::nullopt, true});
    EXPECT_TRUE(written) << written.error().display();
    auto volumes = VolumeSet::open(dir / "base.qrn").value();
    header_length = Header::read(volumes).value().length();
    return test::EditableArchive::parse(test::read_file(dir / "base.qrn"), header_length);
  }

  Result<test::ReadBack> read(const test::EditableArchive& archive) {
    const auto path = dir / ("edited" + std::to_string(counter++) + ".qrn");
    test::write_file(path, archive.bytes());
    return test::read_back(path);
  }

  void expect_failure(const test::EditableArchive& archive, ErrorKind kind, const std::string& detail,
                      const std::string& label) {
    auto result = read(archive);
    ASSERT_FALSE(result) << label;
    EXPECT_EQ(result.error().kind(), kind) << label << ": " << result.error().display();
    EXPECT_EQ(result.error().detail(), detail) << label;
  }

  test::TempDir dir;
  std::size_t header_length = 0;
  int counter = 0;
};

TEST_F(FrameTest, UneditedArchiveReadsBack) {
  auto archive = make(EncryptionMode::Aes256Gcm);
  ASSERT_EQ(archive.frames.size(), 5u);
  auto result = read(archive);
  ASSERT_TRUE(result) << result.error().display();
}

TEST_F(FrameTest, AMissingFrameIsNamedByTheCounter) {
  auto archive = make(EncryptionMode::None);
  archive.frames.erase(archive.frames.begin() + 2);
  expect_failure(archive, ErrorKind::Integrity, texts::frame_out_of_place(2), "frame 2 dropped");
}

TEST_F(FrameTest, AFileListFrameWhereADataFrameBelongsIsOutOfPlace) {
  auto archive = make(EncryptionMode::None);
  archive.frames[1].header.kind = format::frame_kind_file_list;
  test::EditableArchive::recompute_crc(archive.frames[1]);
  expect_failure(archive, ErrorKind::Integrity, texts::frame_out_of_place(1), "kind 2 at 1");
}

TEST_F(FrameTest, SizeLimitsAreInclusive) {
  // The stored, incompressible first block of mode 1 is exactly block + 16 bytes.
  auto archive = make(EncryptionMode::Aes256Gcm, 0);
  EXPECT_EQ(archive.frames[0].header.stored_length, block + 16);
  ASSERT_TRUE(read(archive));

  auto too_long = archive;
  too_long.frames[0].header.stored_length += 1;
  too_long.frames[0].payload.push_back(0);
  expect_failure(too_long, ErrorKind::Corrupt, texts::frame_bad_size(0), "stored + 1");

  auto too_much_plain = archive;
  too_much_plain.frames[1].header.plain_length = block + 1;
  expect_failure(too_much_plain, ErrorKind::Corrupt, texts::frame_bad_size(1), "plain + 1");
}

TEST_F(FrameTest, CrcIsCheckedBeforeDecryption) {
  for (const auto mode : {EncryptionMode::None, EncryptionMode::SerpentTwofishAes256}) {
    auto archive = make(mode);
    archive.frames[3].payload[5] ^= 0x10;
    expect_failure(archive, ErrorKind::Corrupt, texts::frame_crc_mismatch(3), "payload bit");
  }
}

TEST_F(FrameTest, ChangedHeaderFieldsWithAFreshCrcFailAuthentication) {
  const std::vector<std::pair<const char*, std::function<void(Frame&)>>> edits = {
      {"stored flag", [](Frame& f) { f.header.flags ^= 1; }},
      {"plain length", [](Frame& f) { f.header.plain_length -= 1; }},
      {"unknown flag", [](Frame& f) { f.header.flags ^= 0x80; }},
  };
  for (std::uint8_t m = 1; m < encryption_mode_count; ++m) {
    for (const auto& [label, edit] : edits) {
      auto archive = make(static_cast<EncryptionMode>(m));
      edit(archive.frames[1]);
      test::EditableArchive::recompute_crc(archive.frames[1]);
      expect_failure(archive, ErrorKind::Integrity, std::string(texts::frame_not_authentic),
                     std::string(label) + " mode " + std::to_string(m));
    }
    // Two frames swapped, indexes rewritten to fit their new places.
    auto archive = make(static_cast<EncryptionMode>(m));
    std::swap(archive.frames[1], archive.frames[2]);
    archive.frames[1].header.index = 1;
    archive.frames[2].header.index = 2;
    test::EditableArchive::recompute_crc(archive.frames[1]);
    test::EditableArchive::recompute_crc(archive.frames[2]);
    expect_failure(archive, ErrorKind::Integrity, std::string(texts::frame_not_authentic), "swap");
  }
}

TEST_F(FrameTest, ReservedBytesAreIgnored) {
  auto archive = make(EncryptionMode::Aes256Gcm);
  auto bytes = archive.bytes();
  // Bytes 2 and 3 of the first data frame's header, after the header.
  bytes[header_length + 2] = 0xAB;
  bytes[header_length + 3] = 0xCD;
  test::write_file(dir / "reserved.qrn", bytes);
  auto result = test::read_back(dir / "reserved.qrn");
  EXPECT_TRUE(result) << result.error().display();
}

TEST_F(FrameTest, ZstandardOutputMustMatchPlainLengthExactly) {
  auto archive = make(EncryptionMode::None);
  const std::string content = "abcabcabcabcabcabcabcabc";
  std::vector<std::uint8_t> compressed(ZSTD_compressBound(content.size()));
  compressed.resize(ZSTD_compress(compressed.data(), compressed.size(), content.data(), content.size(), 3));
  struct Case {
    std::uint32_t plain_length;
    std::string detail;
  };
  // Frame 2 holds "bbb": replace it with the compressed text and lie about its length.
  for (const Case& c : {Case{static_cast<std::uint32_t>(content.size() - 1), texts::frame_decompression(2)},
                        Case{static_cast<std::uint32_t>(content.size() + 1), texts::frame_bad_length(2)}}) {
    auto edited = archive;
    Frame& f = edited.frames[2];
    f.payload = compressed;
    f.header.flags = 0;
    f.header.plain_length = c.plain_length;
    f.header.stored_length = static_cast<std::uint32_t>(compressed.size());
    test::EditableArchive::recompute_crc(f);
    expect_failure(edited, ErrorKind::Corrupt, c.detail, "plain " + std::to_string(c.plain_length));
  }
}

TEST_F(FrameTest, AStoredEmptyFrameIsValid) {
  auto archive = make(EncryptionMode::None);
  // Frame 2 ("bbb") becomes an empty stored frame; the file list then
  // disagrees with the data only through the file's SHA-256 and size.
  Frame& f = archive.frames[2];
  f.payload.clear();
  f.header.flags = format::frame_flag_stored;
  f.header.plain_length = 0;
  f.header.stored_length = 0;
  test::EditableArchive::recompute_crc(f);
  auto result = read(archive);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().detail(), "sha256 b.txt");  // decoding succeeded; only the content check caught it
}

TEST_F(FrameTest, BytesBetweenTheDataAndTheFileListAreForeign) {
  auto archive = make(EncryptionMode::Twofish256Gcm);
  archive.between = {0, 0, 0, 0};
  expect_failure(archive, ErrorKind::Integrity, std::string(texts::foreign_bytes_before_filelist), "4 bytes");
}

}  // namespace
}  // namespace quarn

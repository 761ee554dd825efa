#include <gtest/gtest.h>

#include "core/archive/header.h"
#include "core/error/detail_texts.h"
#include "core/volumes/footer.h"
#include "tests/support/archive_image.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using test::write_file;

const std::string empty_list =
    R"({"format":"quarn","version":1,"created_unix":0,"tool":"t","data_frames":0,"total_size":0,"entries":[]})";

std::vector<std::uint8_t> program_stub() {
  std::vector<std::uint8_t> stub = {'M', 'Z'};
  stub.resize(300, 0x90);
  return stub;
}

class FooterTest : public ::testing::Test {
 protected:
  Result<SfxFooter> check(const std::vector<std::uint8_t>& bytes, const char* name = "a.qrn") {
    write_file(dir / name, bytes);
    auto set = VolumeSet::open(dir / name);
    if (!set) return std::unexpected(set.error());
    volumes.emplace(std::move(*set));
    auto header = Header::read(*volumes);
    if (!header) return std::unexpected(header.error());
    return check_footer(*volumes, header->length());
  }

  test::TempDir dir;
  std::optional<VolumeSet> volumes;
};

TEST_F(FooterTest, AValidFooterPositionsAtTheFileList) {
  const auto bytes = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto footer = check(bytes);
  ASSERT_TRUE(footer) << footer.error().display();
  EXPECT_EQ(footer->archive_length, bytes.size());
  EXPECT_EQ(volumes->position(), footer->filelist_offset);
}

TEST_F(FooterTest, RoundTripsThroughEncodeAndParse) {
  const auto encoded = encode_footer({1234, 99999});
  EXPECT_EQ(std::vector<std::uint8_t>(encoded.begin(), encoded.end()), test::footer_bytes(1234, 99999));
  auto parsed = parse_footer(encoded);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->filelist_offset, 1234u);
  EXPECT_EQ(parsed->archive_length, 99999u);
}

TEST_F(FooterTest, ReservedBytesAreIgnoredButCoveredBytesAreNot) {
  auto encoded = encode_footer({1, 2});
  encoded[30] ^= 0xFF;
  EXPECT_TRUE(parse_footer(encoded));
  for (std::size_t i : {0u, 7u, 8u, 23u, 24u, 27u}) {
    auto damaged = encode_footer({1, 2});
    damaged[i] ^= 0x01;
    auto parsed = parse_footer(damaged);
    ASSERT_FALSE(parsed) << i;
    EXPECT_EQ(parsed.error().detail(), texts::bad_footer) << i;
  }
}

TEST_F(FooterTest, TruncatedOrExtendedFilesLoseTheirFooter) {
  auto bytes = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto truncated = bytes;
  truncated.pop_back();
  auto footer = check(truncated);
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().display(), "Archiwum jest uszkodzone: brak lub uszkodzona stopka (plik uciety?)");

  auto extended = bytes;
  extended.push_back(0);
  footer = check(extended, "b.qrn");
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().detail(), texts::bad_footer);
}

TEST_F(FooterTest, TwoJoinedArchivesReportBothLengths) {
  const auto first = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto second_header = test::HeaderImage{};
  second_header.version = 1;
  const auto second = test::archive_bytes(second_header, empty_list);
  auto joined = first;
  joined.insert(joined.end(), second.begin(), second.end());
  auto footer = check(joined);
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().detail(), texts::archive_length_mismatch(joined.size(), second.size()));
}

TEST_F(FooterTest, ArchiveShorterThanHeaderPlus56IsTruncated) {
  auto bytes = test::HeaderImage{}.bytes();
  bytes.resize(bytes.size() + 55, 0);
  auto footer = check(bytes);
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().detail(), texts::truncated);
}

TEST_F(FooterTest, FileListOffsetMustLieBetweenHeaderAndFooter) {
  const auto bytes = test::archive_bytes(test::HeaderImage{}, empty_list);
  const std::uint64_t h = test::HeaderImage{}.bytes().size();
  const std::uint64_t a = bytes.size();
  struct Case {
    std::uint64_t offset;
    bool ok;
  };
  for (const Case c : {Case{h, true}, Case{h - 1, false}, Case{a - 56, true}, Case{a - 55, false}, Case{0, false},
                       Case{UINT64_MAX, false}}) {
    auto patched = bytes;
    const auto footer = test::footer_bytes(c.offset, a);
    std::copy(footer.begin(), footer.end(), patched.end() - 32);
    auto result = check(patched);
    EXPECT_EQ(result.has_value(), c.ok) << c.offset;
    if (!c.ok && !result) {
      EXPECT_EQ(result.error().detail(), texts::bad_filelist_position);
    }
  }
}

TEST_F(FooterTest, SelfExtractingFileIsReadFromAfterTheProgram) {
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto sfx = program_stub();
  sfx.insert(sfx.end(), archive.begin(), archive.end());
  auto footer = check(sfx, "umowa.exe");
  ASSERT_TRUE(footer) << footer.error().display();
  EXPECT_EQ(volumes->start_offset(), program_stub().size());
  EXPECT_EQ(volumes->archive_len(), archive.size());
}

TEST_F(FooterTest, SelfExtractionDetectionFallsBackToOffsetZero) {
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  auto whole_length = program_stub();  // footer claims the whole file
  {
    auto a = archive;
    whole_length.insert(whole_length.end(), a.begin(), a.end());
    const auto footer = test::footer_bytes(program_stub().size() + 100, whole_length.size());
    std::copy(footer.begin(), footer.end(), whole_length.end() - 32);
  }
  auto no_magic = program_stub();  // footer valid, but no header where it points
  no_magic.insert(no_magic.end(), archive.begin(), archive.end());
  no_magic[program_stub().size()] = 'X';
  auto not_mz = archive;  // a plain archive is never searched for a prefix
  const Case cases[] = {
      {"bare_program", program_stub()},
      {"whole_length", whole_length},
      {"no_magic", no_magic},
      {"tiny_mz", {'M', 'Z'}},
  };
  for (const auto& c : cases) {
    write_file(dir / c.name, c.bytes);
    auto set = VolumeSet::open(dir / c.name);
    ASSERT_TRUE(set) << c.name;
    EXPECT_EQ(set->start_offset(), 0u) << c.name;
    auto header = Header::read(*set);
    ASSERT_FALSE(header) << c.name;
    EXPECT_EQ(header.error().kind(), ErrorKind::NotArchive) << c.name;
  }
  write_file(dir / "plain", not_mz);
  auto set = VolumeSet::open(dir / "plain");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->start_offset(), 0u);
}

}  // namespace
}  // namespace quarn

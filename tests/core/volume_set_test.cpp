#include <gtest/gtest.h>

#include <numeric>

#include "core/error/detail_texts.h"
#include "core/platform/platform.h"
#include "core/volumes/volume_set.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using test::bytes_of;
using test::write_file;

std::vector<std::uint8_t> read_all(VolumeSet& set) {
  std::vector<std::uint8_t> out(set.archive_len());
  EXPECT_TRUE(read_exact(set, out));
  return out;
}

class VolumeSetTest : public ::testing::Test {
 protected:
  test::TempDir dir;
};

TEST_F(VolumeSetTest, NamingAMiddlePartOpensTheWholeSetFromTheFirst) {
  write_file(dir / "backup.001", bytes_of("one-"));
  write_file(dir / "backup.002", bytes_of("two-"));
  write_file(dir / "backup.003", bytes_of("three"));
  auto set = VolumeSet::open(dir / "backup.002");
  ASSERT_TRUE(set) << set.error().display();
  EXPECT_EQ(set->part_count(), 3u);
  EXPECT_EQ(set->archive_len(), 13u);
  EXPECT_EQ(read_all(*set), bytes_of("one-two-three"));
}

TEST_F(VolumeSetTest, AGapEndsTheSet) {
  write_file(dir / "backup.001", bytes_of("one"));
  write_file(dir / "backup.003", bytes_of("three"));
  auto set = VolumeSet::open(dir / "backup.003");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->part_count(), 1u);
  EXPECT_EQ(set->archive_len(), 3u);
}

TEST_F(VolumeSetTest, NamesWithoutExactlyThreeDigitsAreSingleFiles) {
  for (const char* name : {"backup.01", "backup.0001", "backup.abc", "backup", "backup.0x1", ".001x"}) {
    write_file(dir / name, bytes_of("solo"));
    write_file(dir / "backup.001", bytes_of("first"));
    auto set = VolumeSet::open(dir / name);
    ASSERT_TRUE(set) << name;
    EXPECT_EQ(set->part_count(), 1u) << name;
    EXPECT_EQ(read_all(*set), bytes_of("solo")) << name;
  }
}

TEST_F(VolumeSetTest, MissingFirstPartNamesItsFullPath) {
  write_file(dir / "backup.005", bytes_of("five"));
  auto set = VolumeSet::open(dir / "backup.005");
  ASSERT_FALSE(set);
  EXPECT_EQ(set.error().kind(), ErrorKind::Message);
  EXPECT_EQ(set.error().display(), texts::missing_first_part(platform::path_to_utf8(dir / "backup.001")));
}

TEST_F(VolumeSetTest, ADirectoryInTheSequenceEndsTheSet) {
  write_file(dir / "x.001", bytes_of("a"));
  std::filesystem::create_directory(dir / "x.002");
  write_file(dir / "x.003", bytes_of("c"));
  auto set = VolumeSet::open(dir / "x.001");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->part_count(), 1u);
}

TEST_F(VolumeSetTest, PartNumbersGrowPastThreeDigits) {
  auto parts = part_paths(dir / "nothing.001");
  ASSERT_FALSE(parts);
  for (int i = 1; i <= 1001; ++i) {
    std::string number = std::to_string(i);
    while (number.size() < 3) number.insert(0, "0");
    write_file(dir / ("big." + number), {static_cast<std::uint8_t>(i)});
  }
  auto set = part_paths(dir / "big.999");
  ASSERT_TRUE(set);
  ASSERT_EQ(set->size(), 1001u);
  EXPECT_EQ(set->back().filename(), "big.1001");
}

TEST_F(VolumeSetTest, AMissingSingleFileIsAnIoError) {
  auto set = VolumeSet::open(dir / "absent.qrn");
  ASSERT_FALSE(set);
  EXPECT_EQ(set.error().kind(), ErrorKind::Io);
  EXPECT_NE(set.error().os_error().code, 0);
}

TEST_F(VolumeSetTest, AReadNeverStraddlesAPartBoundary) {
  write_file(dir / "s.001", bytes_of("abcd"));
  write_file(dir / "s.002", bytes_of("efgh"));
  auto set = VolumeSet::open(dir / "s.001");
  ASSERT_TRUE(set);
  set->set_position(2);
  std::vector<std::uint8_t> buffer(6);
  auto got = set->read(buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 2u);
  EXPECT_EQ(set->position(), 4u);
  got = set->read(buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 4u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), "efgh");
  got = set->read(buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 0u);
  set->set_position(1000);  // beyond the end: reads return nothing
  got = set->read(buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 0u);
}

TEST(TotalLength, RefusesASumAbove64Bits) {
  const std::uint64_t fits[] = {UINT64_MAX - 10, 10};
  EXPECT_EQ(total_length(fits).value(), UINT64_MAX);
  const std::uint64_t overflows[] = {UINT64_MAX - 10, 10, 1};
  auto total = total_length(overflows);
  ASSERT_FALSE(total);
  EXPECT_EQ(total.error().kind(), ErrorKind::Corrupt);
  EXPECT_EQ(total.error().detail(), texts::parts_too_long);
}

// A source that hands out one byte at a time and is interrupted in between.
struct StutteringSource {
  std::vector<std::uint8_t> data;
  std::size_t at = 0;
  bool interrupt_next = true;
  platform::OsResult<std::size_t> read(std::span<std::uint8_t> buffer) {
    if (interrupt_next) {
      interrupt_next = false;
      return std::unexpected(platform::OsError{4, "Interrupted", true});
    }
    interrupt_next = true;
    if (at == data.size() || buffer.empty()) return 0;
    buffer[0] = data[at++];
    return 1;
  }
};

TEST(ReadExact, RetriesInterruptedAndShortReadsAndReportsAnEarlyEnd) {
  StutteringSource source{bytes_of("hello")};
  std::vector<std::uint8_t> out(5);
  ASSERT_TRUE(read_exact(source, out));
  EXPECT_EQ(out, bytes_of("hello"));

  StutteringSource short_source{bytes_of("hi")};
  auto result = read_exact(short_source, out);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, 0);
}

}  // namespace
}  // namespace quarn

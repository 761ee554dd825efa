#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "sfx/job.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn::sfx {
namespace {

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto options = test::fast_options(EncryptionMode::Aes256Gcm);
    options.block_size = 1024;
    options.zstd_level = 0;
    ASSERT_TRUE(test::make_archive(dir.path(), {{"a.txt", "alfa"}, {"b.bin", std::string(5000, 'b')}, {"c.txt", "c"}},
                                   options, {archive}));
  }

  ExtractionJob job(const char* password, const std::string& destination) {
    ExtractionJob j;
    j.source = archive;
    j.destination = platform::path_from_utf8(destination);
    if (password) j.password = SecretBuffer::from_bytes(test::bytes_of(password));
    return j;
  }

  test::TempDir dir;
  std::filesystem::path archive = dir / "umowa.qrn";
  const std::atomic<bool> no_cancel{false};
};

TEST_F(JobTest, SuccessCarriesTheFolderAndTheSummary) {
  const std::string dest = platform::path_to_utf8(dir / "out");
  const JobOutcome outcome = run_job(job(test::test_password, dest), no_cancel);
  const auto* success = std::get_if<JobSuccess>(&outcome);
  ASSERT_TRUE(success) << std::get<ArchiveError>(outcome).display();
  EXPECT_EQ(success->folder, dest);
  EXPECT_EQ(success->message,
            "Rozpakowano 3 plików do:\n" + dest + "\n\nIntegralność potwierdzona: SHA-256 zgodne dla 3 plików.");
  EXPECT_EQ(test::read_file(dir / "out" / "a.txt"), test::bytes_of("alfa"));
}

TEST_F(JobTest, ProgressStartsAtZeroWhenTheFirstByteIsDueAndEndsAtTheTotal) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  JobOptions options;
  options.progress = [&](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
  const JobOutcome outcome = run_job(job(test::test_password, platform::path_to_utf8(dir / "out")), no_cancel, options);
  ASSERT_TRUE(std::holds_alternative<JobSuccess>(outcome));
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{5005}));
  EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{5005}, std::uint64_t{5005}));
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);
}

TEST_F(JobTest, AStopAskedForDuringKeyDerivationEndsTheJobBeforeAnythingIsCreated) {
  const std::atomic<bool> stopped{true};
  const JobOutcome outcome = run_job(job(test::test_password, platform::path_to_utf8(dir / "out")), stopped);
  ASSERT_TRUE(std::holds_alternative<ArchiveError>(outcome));
  EXPECT_EQ(std::get<ArchiveError>(outcome).kind(), ErrorKind::Cancelled);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST_F(JobTest, FailuresArePassedOnUnchanged) {
  const std::string dest = platform::path_to_utf8(dir / "out");
  auto outcome = run_job(job("zle", dest), no_cancel);
  ASSERT_TRUE(std::holds_alternative<ArchiveError>(outcome));
  EXPECT_EQ(std::get<ArchiveError>(outcome).kind(), ErrorKind::WrongPassword);

  outcome = run_job(job(nullptr, dest), no_cancel);
  EXPECT_EQ(std::get<ArchiveError>(outcome).kind(), ErrorKind::PasswordRequired);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST_F(JobTest, FilesWrittenBeforeAFailureStay) {
  // The last data frame (c.txt) damaged: a.txt and b.bin are complete by then.
  auto volumes = VolumeSet::open(archive).value();
  const auto header = Header::read(volumes).value();
  auto editable = test::EditableArchive::parse(test::read_file(archive), header.length());
  editable.frames[6].payload[0] ^= 1;  // frames: a.txt 0, b.bin 1-5, c.txt 6, the file list
  test::write_file(archive, editable.bytes());
  const std::string dest = platform::path_to_utf8(dir / "out");
  const auto outcome = run_job(job(test::test_password, dest), no_cancel);
  ASSERT_TRUE(std::holds_alternative<ArchiveError>(outcome));
  EXPECT_EQ(std::get<ArchiveError>(outcome).detail(), "suma CRC32C ramki 6 sie nie zgadza (uszkodzony nosnik?)");
  EXPECT_EQ(test::read_file(dir / "out" / "a.txt"), test::bytes_of("alfa"));
  EXPECT_EQ(std::filesystem::file_size(dir / "out" / "b.bin"), 5000u);
}

TEST_F(JobTest, TheSlotHoldsExactlyOneOutcome) {
  OutcomeSlot slot;
  EXPECT_FALSE(slot.take());
  std::thread worker([&] { slot.put(run_job(job("zle", platform::path_to_utf8(dir / "x")), no_cancel)); });
  worker.join();
  slot.put(JobSuccess{"f", "m"});  // a later put replaces the earlier outcome
  auto taken = slot.take();
  ASSERT_TRUE(taken);
  EXPECT_EQ(std::get<JobSuccess>(*taken).folder, "f");
  EXPECT_FALSE(slot.take());
}

}  // namespace
}  // namespace quarn::sfx

// Running out of space half way through a file, provoked with a file-size
// limit in a child process (POSIX only).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/pipeline/extract.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

TEST(DiskFull, AWriteFailureIsAnIoErrorAndKeepsWhatWasWritten) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  options.block_size = 4096;
  options.zstd_level = 0;
  std::string big(200000, 'q');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
  ASSERT_TRUE(test::make_archive(dir.path(), {{"big.bin", big}}, options, {dir / "a.qrn"}));

  auto volumes = VolumeSet::open(dir / "a.qrn").value();
  const auto header = Header::read(volumes).value();
  const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
  const auto cipher = derive_keys(key_material(header), &password, {}).value();
  const auto loaded = load_manifest(volumes, header, cipher).value();

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);  // a hang ends the child, and the test fails
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{50000, 50000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::atomic<bool> cancel{false};
    ExtractOptions extract_options;
    extract_options.workers = 2;
    const ArchiveSource source{dir / "a.qrn", header, loaded.digest, cipher, loaded.manifest, loaded.filelist_offset};
    auto report = extract(source, dir / "out", cancel, extract_options);
    const bool io = !report && report.error().kind() == ErrorKind::Io;
    const auto size = std::filesystem::file_size(dir / "out" / "big.bin");
    _exit(io && size > 0 && size <= 50000 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the extraction hung or crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quarn

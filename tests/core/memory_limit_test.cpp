// A file list that claims far more than its compressed bytes can give must
// fail its length check without the reader allocating the claim: checked in
// a child process whose address space leaves no room for it (POSIX only).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "core/error/detail_texts.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

TEST(MemoryLimit, AnInflatedFileListClaimFailsWithoutAllocatingIt) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::None);
  options.zstd_level = 3;
  ASSERT_TRUE(test::make_archive(dir.path(), {{"a.txt", "alpha"}}, options,
                                 {dir / "base.qrn", std::nullopt, std::nullopt, true}));
  auto volumes = VolumeSet::open(dir / "base.qrn").value();
  auto archive = test::EditableArchive::parse(test::read_file(dir / "base.qrn"), Header::read(volumes).value().length());
  // The real list, compressed, claiming 500 MiB.
  archive.file_list().header.plain_length = 500u << 20;
  test::EditableArchive::recompute_crc(archive.file_list());
  test::write_file(dir / "a.qrn", archive.bytes());

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);
    const rlim_t room = address_space_in_use() + (192u << 20);
    const rlimit limit{room, room};
    setrlimit(RLIMIT_AS, &limit);
    auto opened = VolumeSet::open(dir / "a.qrn");
    if (!opened) _exit(2);
    const auto header = Header::read(*opened).value();
    const auto cipher = derive_keys(key_material(header), nullptr, {}).value();
    const auto loaded = load_manifest(*opened, header, cipher);
    _exit(!loaded && loaded.error().detail() == texts::filelist_length ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the reader crashed or hung (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quarn

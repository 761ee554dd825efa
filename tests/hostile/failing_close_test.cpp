// A file system that reports a write error only when the data is flushed or
// the file closed, as NFS or a full quota may: close() and fsync() of this
// program are replaced here (Linux only), and fail on chosen files with EIO.
// Neither `create` nor `extract` may then report success.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/pipeline/extract.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace {

// While set, close() or fsync() of a file whose path contains the text fails.
std::atomic<const char*> fail_close_of{nullptr};
std::atomic<const char*> fail_sync_of{nullptr};

bool is_chosen(int fd, const std::atomic<const char*>& chosen) {
  const char* text = chosen.load();
  if (!text) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, target, PATH_MAX);
  if (n <= 0) return false;
  target[n] = '\0';
  return std::strstr(target, text) != nullptr;
}

}  // namespace

// The descriptor is released all the same, as Linux does when close fails.
extern "C" int close(int fd) {
  const bool fail = is_chosen(fd, fail_close_of);
  const long result = ::syscall(SYS_close, fd);
  if (!fail) return static_cast<int>(result);
  errno = EIO;
  return -1;
}

extern "C" int fsync(int fd) {
  if (is_chosen(fd, fail_sync_of)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace quarn {
namespace {

namespace fs = std::filesystem;

// Arms one fault for the scope.
class Fault {
 public:
  Fault(std::atomic<const char*>& which, const char* text) : which_(which) { which_.store(text); }
  ~Fault() { which_.store(nullptr); }
  Fault(const Fault&) = delete;
  Fault& operator=(const Fault&) = delete;

 private:
  std::atomic<const char*>& which_;
};

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::map<std::string, std::string> two_files = {{"a.bin", test::noise(5000, 1)},
                                                      {"b.bin", test::noise(3000, 2)}};

struct CreateCase {
  const char* name;
  std::atomic<const char*>* fault;
  bool split;
};

void PrintTo(const CreateCase& c, std::ostream* out) { *out << c.name; }

class CreateFlushFaults : public ::testing::TestWithParam<CreateCase> {};

// An archive replaced with --overwrite: the old one stays as it was, and no
// temporary file is left.
TEST_P(CreateFlushFaults, FailTheArchiveAndKeepTheOldOne) {
  const CreateCase& c = GetParam();
  test::TempDir dir;
  fs::create_directories(dir / "out");
  const fs::path out = dir / "out" / "a.qrn";
  const fs::path old_file = c.split ? writer::part_path(out, 1) : out;
  test::write_file(old_file, test::bytes_of("the old archive"));
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  options.zstd_level = 0;
  writer::OutputOptions output{out};
  if (c.split) output.split_size = 4000;
  output.overwrite = true;

  const auto written = [&] {
    const Fault fault(*c.fault, "/out/");  // the output folder: the archive's files, under any name
    return test::make_archive(dir.path(), two_files, options, output);
  }();
  ASSERT_FALSE(written) << "a flush or close that failed went unnoticed";
  EXPECT_EQ(written.error().kind(), ErrorKind::Io) << written.error().display();
  EXPECT_EQ(written.error().os_error().code, EIO);
  EXPECT_EQ(test::read_file(old_file), test::bytes_of("the old archive"));
  EXPECT_EQ(names_in(dir / "out"), std::vector<std::string>{old_file.filename().string()});
}

INSTANTIATE_TEST_SUITE_P(OnNfs, CreateFlushFaults,
                         ::testing::Values(CreateCase{"SyncFails", &fail_sync_of, false},
                                           CreateCase{"CloseFails", &fail_close_of, false},
                                           CreateCase{"SyncOfAPartFails", &fail_sync_of, true},
                                           CreateCase{"CloseOfAPartFails", &fail_close_of, true}),
                         [](const ::testing::TestParamInfo<CreateCase>& p) { return std::string(p.param.name); });

// Extraction: a file whose close fails is not complete; the failure is the
// Io error of the extraction.
TEST(ExtractCloseFault, IsAnIoError) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  options.block_size = 1024;
  ASSERT_TRUE(test::make_archive(dir.path(), two_files, options, {dir / "a.qrn"}));
  auto volumes = VolumeSet::open(dir / "a.qrn").value();
  const auto header = Header::read(volumes).value();
  const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
  const auto cipher = derive_keys(key_material(header), &password, {}).value();
  const auto loaded = load_manifest(volumes, header, cipher).value();
  const std::atomic<bool> cancel{false};
  const ArchiveSource source{dir / "a.qrn", header, loaded.digest, cipher, loaded.manifest, loaded.filelist_offset};

  const auto report = [&] {
    const Fault fault(fail_close_of, "b.bin");
    return extract(source, dir / "out", cancel, {});
  }();
  ASSERT_FALSE(report) << "a close that failed went unnoticed";
  EXPECT_EQ(report.error().kind(), ErrorKind::Io) << report.error().display();
  EXPECT_EQ(report.error().os_error().code, EIO);
}

}  // namespace
}  // namespace quarn

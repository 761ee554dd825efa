// Faults from outside the archive: a part that vanishes or cannot be read
// after the archive was opened, a destination that cannot be written, the
// largest frame the format allows, and Argon2id memory the machine cannot
// give. Each ends in a clear error (or, for the large frame, a complete
// extraction), keeps what was written and leaves no thread behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/archive/load_manifest.h"
#include "core/error/detail_texts.h"
#include "core/pipeline/extract.h"
#include "core/volumes/format.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/archive_image.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"
#include "writer/archive_output.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

// Why permissions cannot take reading or writing away here, if they cannot.
std::optional<std::string> permissions_do_not_bind() {
#if defined(_WIN32)
  return "on Windows these permission bits only set the read-only attribute";
#else
  if (::geteuid() == 0) return "running as root, which permission bits do not stop";
  return std::nullopt;
#endif
}

std::string text_of(const fs::path& path) {
  const auto bytes = test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

// The archive opened the way the job opens it: container, header, keys, file
// list; the container is closed again before extraction.
struct Opened {
  Header header;
  FrameCipher cipher;
  LoadedManifest loaded;
};

Opened open_archive(const fs::path& path) {
  auto volumes = VolumeSet::open(path).value();
  auto header = Header::read(volumes).value();
  const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
  auto cipher = derive_keys(key_material(header), &password, {}).value();
  auto loaded = load_manifest(volumes, header, cipher).value();
  return Opened{std::move(header), std::move(cipher), std::move(loaded)};
}

// Extracts with two workers and checks that every thread started for it has
// ended when the call returns.
Result<ExtractionReport> extract_checked(const Opened& opened, const fs::path& archive, const fs::path& destination) {
  const auto before = test::thread_count();
  const std::atomic<bool> cancel{false};
  ExtractOptions options;
  options.workers = 2;
  const ArchiveSource source{archive, opened.header, opened.loaded.digest, opened.cipher, opened.loaded.manifest,
                             opened.loaded.filelist_offset};
  auto report = extract(source, destination, cancel, options);
  EXPECT_TRUE(test::threads_settle_to(before)) << "a thread outlived the extraction";
  return report;
}

// ---------------------------------------------------------------------------
// A part of a multi-part set changes between opening and extraction.

enum class PartFault { Deleted, Emptied, Unreadable };

struct PartCase {
  const char* name;
  PartFault fault;
  int part;  // 1-based
  ErrorKind kind;
  std::string detail;                   // the error's detail text; empty: not compared
  std::vector<std::string> intact;      // files complete and equal to what was stored
  std::vector<std::string> emptied;     // the file open when reading failed: created, nothing written
  std::vector<std::string> never_made;  // files not even created
};

void PrintTo(const PartCase& c, std::ostream* out) { *out << c.name; }

// Three files of three frames each (1024, 1024 and 952 bytes, stored), 9 data
// frames of 1040 bytes or less after AES-GCM, parts of 3500 bytes: the first
// part holds the header, all of 1.bin and the start of 2.bin; 2.bin ends in
// the second part, 3.bin begins there and ends in the third with the file
// list.
const std::map<std::string, std::string>& three_files() {
  static const std::map<std::string, std::string> files = {
      {"1.bin", test::noise(3000, 1)}, {"2.bin", test::noise(3000, 2)}, {"3.bin", test::noise(3000, 3)}};
  return files;
}

class PartFaults : public ::testing::TestWithParam<PartCase> {};

TEST_P(PartFaults, EndInAClearErrorAndKeepWhatWasWritten) {
  const PartCase& c = GetParam();
  if (c.fault == PartFault::Unreadable)
    if (const auto why = permissions_do_not_bind()) GTEST_SKIP() << *why;

  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  options.block_size = 1024;
  options.zstd_level = 0;
  const fs::path stem = dir / "zestaw";
  ASSERT_TRUE(test::make_archive(dir.path(), three_files(), options, {stem, std::uint64_t{3500}}));
  const fs::path first = writer::part_path(stem, 1);
  ASSERT_TRUE(fs::exists(writer::part_path(stem, 3)));
  ASSERT_FALSE(fs::exists(writer::part_path(stem, 4)));

  const Opened opened = open_archive(first);
  const fs::path victim = writer::part_path(stem, static_cast<std::uint64_t>(c.part));
  switch (c.fault) {
    case PartFault::Deleted:
      fs::remove(victim);
      break;
    case PartFault::Emptied:
      fs::resize_file(victim, 0);
      break;
    case PartFault::Unreadable:
      fs::permissions(victim, fs::perms::none);
      break;
  }

  const fs::path out = dir / "out";
  auto report = extract_checked(opened, first, out);
  std::error_code ignored;  // the deleted part has no permissions to give back
  fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write, ignored);
  ASSERT_FALSE(report) << "extracted although part " << c.part << " changed";
  EXPECT_EQ(report.error().kind(), c.kind) << report.error().display();
  if (!c.detail.empty()) {
    EXPECT_EQ(report.error().detail(), c.detail);
  }
  if (c.fault == PartFault::Unreadable) {
    EXPECT_EQ(report.error().os_error().code, EACCES);
  }
  for (const std::string& name : c.intact) {
    const std::string kept = text_of(out / name);
    EXPECT_TRUE(kept == three_files().at(name)) << name << ": " << kept.size() << " bytes kept";
  }
  for (const std::string& name : c.emptied) EXPECT_EQ(fs::file_size(out / name), 0u) << name;
  for (const std::string& name : c.never_made) EXPECT_FALSE(fs::exists(out / name)) << name;
}

const std::string truncated(texts::truncated);

INSTANTIATE_TEST_SUITE_P(
    AfterOpening, PartFaults,
    ::testing::Values(
        // The reader finds no first part; 1.bin was opened before it started.
        PartCase{"FirstDeleted", PartFault::Deleted, 1, ErrorKind::Message, "", {}, {"1.bin"}, {"2.bin", "3.bin"}},
        // The set now ends after part 1: 1.bin is whole, the frame that
        // crosses into part 2 (2.bin's first) is cut.
        PartCase{"MiddleDeleted", PartFault::Deleted, 2, ErrorKind::Corrupt, truncated, {"1.bin"}, {"2.bin"}, {"3.bin"}},
        PartCase{"LastDeleted", PartFault::Deleted, 3, ErrorKind::Corrupt, truncated, {"1.bin", "2.bin"}, {"3.bin"}, {}},
        // Part 3's bytes arrive where part 2's belonged: frame 3 fails its CRC.
        PartCase{"MiddleEmptied", PartFault::Emptied, 2, ErrorKind::Corrupt, texts::frame_crc_mismatch(3), {"1.bin"},
                 {"2.bin"}, {"3.bin"}},
        PartCase{"FirstUnreadable", PartFault::Unreadable, 1, ErrorKind::Io, "", {}, {"1.bin"}, {"2.bin", "3.bin"}},
        PartCase{"MiddleUnreadable", PartFault::Unreadable, 2, ErrorKind::Io, "", {}, {"1.bin"}, {"2.bin", "3.bin"}}),
    [](const ::testing::TestParamInfo<PartCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// The destination cannot be written.

enum class Destination { IsAFile, BelowAFile, ReadOnlyFolder };

struct DestinationCase {
  const char* name;
  Destination kind;
};

void PrintTo(const DestinationCase& c, std::ostream* out) { *out << c.name; }

class DestinationFaults : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(DestinationFaults, EndInAnIoErrorAndTouchNothingElse) {
  const DestinationCase& c = GetParam();
  if (c.kind == Destination::ReadOnlyFolder)
    if (const auto why = permissions_do_not_bind()) GTEST_SKIP() << *why;

  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::ChaCha20Poly1305ThenAes256Gcm);
  options.block_size = 1024;
  const fs::path archive = dir / "a.qrn";
  ASSERT_TRUE(test::make_archive(dir.path(), {{"d/", ""}, {"d/plik.txt", "tresc"}, {"x.bin", test::noise(5000, 4)}},
                                 options, {archive}));
  const Opened opened = open_archive(archive);

  const fs::path blocker = dir / "zajete";
  test::write_file(blocker, test::bytes_of("to jest plik"));
  fs::path out;
  switch (c.kind) {
    case Destination::IsAFile:
      out = blocker;
      break;
    case Destination::BelowAFile:
      out = blocker / "out";
      break;
    case Destination::ReadOnlyFolder:
      out = dir / "tylko-odczyt";
      fs::create_directories(out);
      fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec);
      break;
  }

  auto report = extract_checked(opened, archive, out);
  if (c.kind == Destination::ReadOnlyFolder) fs::permissions(out, fs::perms::owner_all);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().kind(), ErrorKind::Io) << report.error().display();
  EXPECT_EQ(text_of(blocker), "to jest plik");
  if (c.kind == Destination::ReadOnlyFolder) {
    EXPECT_TRUE(fs::is_empty(out));
  }
}

INSTANTIATE_TEST_SUITE_P(Unwritable, DestinationFaults,
                         ::testing::Values(DestinationCase{"IsAFile", Destination::IsAFile},
                                           DestinationCase{"BelowAFile", Destination::BelowAFile},
                                           DestinationCase{"ReadOnlyFolder", Destination::ReadOnlyFolder}),
                         [](const ::testing::TestParamInfo<DestinationCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// The largest frame: a block of the maximum size that does not compress, in
// the mode with the most tag bytes, is stored at exactly the largest length a
// data frame may have.

TEST(LargestFrame, ExtractsCorrectly) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::SerpentTwofishAes256);
  options.block_size = format::max_block_size;
  options.zstd_level = 1;
  const std::string big = test::noise(format::max_block_size + 4321, 9);
  const fs::path archive = dir / "a.qrn";
  ASSERT_TRUE(test::make_archive(dir.path(), {{"duzy.bin", big}}, options, {archive}));
  fs::remove_all(dir / "input");  // the source copy is no longer needed

  const Opened opened = open_archive(archive);
  ASSERT_EQ(opened.header.block_size, format::max_block_size);
  ASSERT_EQ(opened.loaded.manifest.data_frames, 2u);
  {
    auto volumes = VolumeSet::open(archive).value();
    volumes.set_position(opened.header.length());
    std::array<std::uint8_t, format::frame_header_size> raw{};
    ASSERT_TRUE(read_exact(volumes, raw));
    const FrameHeader first = FrameHeader::decode(raw);
    EXPECT_EQ(first.plain_length, format::max_block_size);
    EXPECT_EQ(first.stored_length, format::max_block_size + tag_overhead(EncryptionMode::SerpentTwofishAes256));
  }

  auto report = extract_checked(opened, archive, dir / "out");
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_EQ(report->files_verified, 1u);
  EXPECT_TRUE(report->mismatches.empty());
  EXPECT_TRUE(text_of(dir / "out" / "duzy.bin") == big);
}

// ---------------------------------------------------------------------------
// Argon2id memory the process cannot have: the largest the header allows
// (4 GiB), in a child whose address space is capped below it, so that the
// allocation fails even where memory is overcommitted.

#if !defined(_WIN32)
std::uint64_t virtual_size_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmSize:")) return std::stoull(line.substr(7)) * 1024;
  return 0;
}

TEST(Argon2MemoryUnavailable, IsAMessageErrorNotACrash) {
  test::TempDir dir;
  auto header = test::HeaderImage::encrypted(1);
  header.memory_kib = format::argon2_max_memory_kib;
  const fs::path archive = dir / "a.qrn";
  test::write_file(archive, test::archive_bytes(header, "{}"));

  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_ends[0]);
    ::alarm(60);
    const std::uint64_t vm = virtual_size_bytes();
    const rlim_t cap = static_cast<rlim_t>((vm ? vm : 256u << 20) + (512ull << 20));
    const rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(2);
    std::string answer = "not opened";
    if (auto volumes = VolumeSet::open(archive); volumes) {
      auto h = Header::read(*volumes);
      if (!h) {
        answer = "header: " + h.error().display();
      } else {
        const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
        auto cipher = derive_keys(key_material(*h), &password, {});
        if (cipher) {
          answer = "derived";
        } else {
          answer = (cipher.error().kind() == ErrorKind::Message ? "Message|" : "other|") + cipher.error().display();
        }
      }
    }
    (void)!::write(pipe_ends[1], answer.data(), answer.size());
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::string answer;
  char chunk[256];
  for (ssize_t n; (n = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<std::size_t>(n));
  ::close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed or hung (signal " << WTERMSIG(status) << ")";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the address-space cap could not be set";
  EXPECT_EQ(answer, "Message|" + texts::argon2_failure("Memory allocation error"));
  std::printf("Argon2id with %u KiB, address space capped 512 MiB above the process's size: %s\n",
              format::argon2_max_memory_kib, answer.c_str());
}
#endif

}  // namespace
}  // namespace quarn

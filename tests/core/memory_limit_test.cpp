// Small archives whose file lists could make the reader allocate far more
// than their bytes justify must fail (or load) within a stated room: checked
// in a child process whose address space leaves no more than that room
// (POSIX only).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <fstream>
#include <functional>

#include "core/error/detail_texts.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

constexpr std::size_t mib = 1u << 20;

std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Exit status of a child that runs `body` with `room` bytes of address space
// beyond what is in use; -1 when it did not exit (it crashed or hung).
int status_within(std::size_t room, const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    alarm(60);
    const rlim_t limit_bytes = address_space_in_use() + room;
    const rlimit limit{limit_bytes, limit_bytes};
    setrlimit(RLIMIT_AS, &limit);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class MemoryLimit : public ::testing::Test {
 protected:
  // A plain archive whose file list is `json`, compressed; its frame claims
  // `plain_length` bytes (the text's own length by default).
  std::filesystem::path archive_with(const std::string& json, std::optional<std::uint32_t> plain_length = {}) {
    auto options = test::fast_options(EncryptionMode::None);
    options.zstd_level = 3;
    EXPECT_TRUE(test::make_archive(dir.path(), {{"a.txt", "alpha"}}, options,
                                   {dir / "base.qrn", std::nullopt, std::nullopt, true}));
    auto volumes = VolumeSet::open(dir / "base.qrn").value();
    auto archive =
        test::EditableArchive::parse(test::read_file(dir / "base.qrn"), Header::read(volumes).value().length());
    Frame& f = archive.file_list();
    f.payload.resize(ZSTD_compressBound(json.size()));
    f.payload.resize(ZSTD_compress(f.payload.data(), f.payload.size(), json.data(), json.size(), 3));
    f.header.flags = 0;
    f.header.plain_length = plain_length.value_or(static_cast<std::uint32_t>(json.size()));
    f.header.stored_length = static_cast<std::uint32_t>(f.payload.size());
    test::EditableArchive::recompute_crc(f);
    const auto path = dir / ("a" + std::to_string(counter++) + ".qrn");
    test::write_file(path, archive.bytes());
    return path;
  }

  // Whether load_manifest of `path` fails with exactly `detail`.
  static bool fails_with(const std::filesystem::path& path, const std::string& detail) {
    auto opened = VolumeSet::open(path);
    if (!opened) return false;
    const auto header = Header::read(*opened).value();
    const auto cipher = derive_keys(key_material(header), nullptr, {}).value();
    const auto loaded = load_manifest(*opened, header, cipher);
    return !loaded && loaded.error().detail() == detail;
  }

  test::TempDir dir;
  int counter = 0;
};

// The real list, compressed, claiming 500 MiB: the length check fails
// before the claim is allocated.
TEST_F(MemoryLimit, AnInflatedFileListClaimFailsWithoutAllocatingIt) {
  const std::string json =
      R"({"format":"quarn","version":1,"created_unix":0,"tool":"t","data_frames":1,"total_size":5,"entries":[]})";
  const auto path = archive_with(json, 500u << 20);
  EXPECT_EQ(status_within(192 * mib, [&] { return fails_with(path, std::string(texts::filelist_length)); }), 0);
}

// A few kilobytes of compressed text that nest 16 Mi arrays, or put 2 Mi
// distinct unknown keys in one object: the parser's own memory stays within
// a few bytes per byte of text (here the text is 16 or 24 MiB, the room
// four times that and a little).
TEST_F(MemoryLimit, HostileFileListsStayWithinAFewBytesPerByteOfText) {
  struct Case {
    const char* label;
    std::string json;
    std::string detail;
  };
  std::string keys = R"({"x":{)";
  constexpr char digits[] = "abcdefghijklmnopqrstuvwxyz012345";
  for (std::uint32_t i = 0; i < (2u << 20); ++i) {
    keys += i == 0 ? "\"" : ",\"";
    for (int d = 0; d < 5; ++d) keys += digits[(i >> (5 * d)) & 31];
    keys += "\":0";
  }
  keys += "}}";
  const Case cases[] = {
      {"16 Mi arrays", R"({"x":)" + std::string(16 * mib, '['),
       "spis plikow: tablice i obiekty zagniezdzone glebiej niz 8 poziomow (wiersz 1, kolumna 13)"},
      {"2 Mi unknown keys", keys,
       "spis plikow: brak wymaganego pola \"format\" (wiersz 1, kolumna " + std::to_string(keys.size()) + ")"},
  };
  for (const Case& c : cases) {
    const auto path = archive_with(c.json);
    EXPECT_EQ(status_within(4 * c.json.size() + 32 * mib, [&] { return fails_with(path, c.detail); }), 0) << c.label;
  }
}

}  // namespace
}  // namespace quarn

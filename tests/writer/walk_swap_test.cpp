// A folder swapped for a link while the inputs are walked (POSIX only). The
// moment is exact, not raced for: this test program defines its own statx,
// which the walk's listing calls for every entry, and makes the swap right
// after the listing has seen the folder as a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "tests/support/temp_dir.h"
#include "writer/input_tree.h"

namespace {

// Runs once, on whichever thread first asks about an entry named `swap_at`.
std::function<void()> swap;
const char* swap_at = nullptr;
std::atomic<bool> swapped{false};

}  // namespace

extern "C" int statx(int folder, const char* path, int flags, unsigned int mask, struct statx* out) noexcept {
  const int result = static_cast<int>(::syscall(SYS_statx, folder, path, flags, mask, out));
  if (swap_at && std::string_view(path) == swap_at && !swapped.exchange(true)) swap();
  return result;
}

namespace quarn {
namespace {

namespace fs = std::filesystem;

TEST(InputWalk, AFolderSwappedForALinkDuringTheWalkIsSkippedNotFollowed) {
  // One thread lists every folder itself; more list ahead on helpers.
  for (const unsigned threads : {1u, 4u}) {
    test::TempDir dir;
    fs::create_directories(dir / "d" / "a");
    fs::create_directories(dir / "d" / "sub");
    fs::create_directories(dir / "private");
    test::write_file(dir / "d" / "a" / "plik.txt", test::bytes_of("a"));
    test::write_file(dir / "d" / "sub" / "moje.txt", test::bytes_of("moje"));
    test::write_file(dir / "private" / "tajne.txt", test::bytes_of("tajne"));
    swap = [&] {
      fs::rename(dir / "d" / "sub", dir / "moved");
      fs::create_directory_symlink(dir / "private", dir / "d" / "sub");
    };
    swapped = false;
    swap_at = "sub";
    auto tree = writer::gather_inputs({dir / "d"}, threads);
    swap_at = nullptr;
    ASSERT_TRUE(swapped) << threads;
    ASSERT_TRUE(tree) << tree.error().display();
    std::vector<std::string> paths;
    for (const auto& entry : tree->entries) paths.push_back(entry.archive_path);
    EXPECT_EQ(paths, (std::vector<std::string>{"d", "d/a", "d/a/plik.txt"})) << threads;
    ASSERT_EQ(tree->skipped.size(), 1u) << threads;
    EXPECT_EQ(tree->skipped[0].reason, writer::SkipReason::LinkOrSpecial);
    EXPECT_EQ(tree->skipped[0].path, (dir / "d" / "sub").string());
  }
}

}  // namespace
}  // namespace quarn

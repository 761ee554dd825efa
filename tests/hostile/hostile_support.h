// Helpers shared by the hostile-input suites: deterministic contents, the
// thread count of this process, and clearing folders that extraction may
// have left read-only.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <dirent.h>
#endif

namespace quarn::test {

// Deterministic bytes that do not compress.
inline std::string noise(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// The threads of this process, where the system tells (Linux); nothing elsewhere.
inline std::optional<std::size_t> thread_count() {
#if defined(__linux__)
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return std::nullopt;
  std::size_t n = 0;
  while (const dirent* e = ::readdir(tasks))
    if (e->d_name[0] != '.') ++n;
  ::closedir(tasks);
  return n;
#else
  return std::nullopt;
#endif
}

// Whether the process is back to `expected` threads within a second: a
// thread that was joined may stay listed for a moment while the system
// finishes its exit. True where the count is unknown.
inline bool threads_settle_to(std::optional<std::size_t> expected) {
  if (!expected) return true;
  for (int i = 0; i < 1000; ++i) {
    if (thread_count() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Removes `dir` and everything below it, first giving back the write
// permission that restored read-only attributes took away.
inline void clear_folder(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (!fs::exists(fs::symlink_status(dir, ignored))) return;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(dir, ignored);
}

// A folder for many small, short-lived files: in memory (/dev/shm) where
// the system offers it, since on a busy disk each creation and removal costs
// milliseconds; in the temporary folder elsewhere.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ignored;
#if defined(_WIN32)
    const std::filesystem::path shm = "Z:/dev/shm";  // the host's, when running under Wine
#else
    const std::filesystem::path shm = "/dev/shm";
#endif
    const std::filesystem::path base =
        std::filesystem::is_directory(shm, ignored) ? shm : std::filesystem::temp_directory_path();
    std::random_device rd;
    path_ = base / ("quarn-hostile-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { clear_folder(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace quarn::test

// POSIX implementation of the platform interface.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/platform/platform.h"
#include "core/platform/utf.h"

namespace quarn::platform {
namespace {

// Every errno is turned into an OsError here and nowhere else.
OsError posix_error(int code) {
  return OsError{code, std::strerror(code), code == EINTR};
}

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

OsResult<FileKind> query_kind(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(posix_error(errno));
  if (S_ISREG(st.st_mode)) return FileKind::File;
  if (S_ISDIR(st.st_mode)) return FileKind::Directory;
  if (S_ISLNK(st.st_mode)) return FileKind::Symlink;
  return FileKind::Other;
}

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = invalid_handle; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = invalid_handle;
  }
  return *this;
}

File::~File() { close(); }

void File::close() noexcept {
  if (handle_ != invalid_handle) ::close(fd_of(handle_));
  handle_ = invalid_handle;
}

OsResult<File> File::open_for_reading(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(posix_error(errno));
  return File(fd);
}

OsResult<std::uint64_t> File::size() const {
  struct stat st {};
  if (::fstat(fd_of(handle_), &st) != 0) return std::unexpected(posix_error(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

OsResult<std::size_t> File::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return 0;
  const ssize_t n = ::pread(fd_of(handle_), buffer.data(), buffer.size(), static_cast<off_t>(offset));
  if (n < 0) return std::unexpected(posix_error(errno));
  return static_cast<std::size_t>(n);
}

std::filesystem::path path_from_utf8(std::string_view text) {
  // Linux paths are bytes; valid UTF-8 passes through, anything else is
  // replaced so that no two spellings of a name can differ invisibly.
  return std::filesystem::path(sanitize_utf8(text));
}

std::string path_to_utf8(const std::filesystem::path& path) { return sanitize_utf8(path.native()); }

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::filesystem::path path_from_argument(std::string_view argument) {
  return std::filesystem::path(std::string(argument));
}

void prepare_console_output() {}

}  // namespace quarn::platform

// POSIX implementation of the platform interface.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <iterator>

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

namespace {

std::uint64_t ticks_from(std::int64_t seconds, std::int64_t nanoseconds) {
  const std::int64_t ticks = seconds * 10000000 + nanoseconds / 100;
  const std::int64_t since_1601 = ticks + static_cast<std::int64_t>(unix_epoch_ticks);
  return since_1601 > 0 ? static_cast<std::uint64_t>(since_1601) : 0;
}

}  // namespace

namespace {

// Metadata of `name` relative to the folder `folder` (or AT_FDCWD), links
// not followed; its identity too, where asked for.
OsResult<FileInfo> info_at(int folder, const char* name, FileIdentity* identity = nullptr) {
  struct statx stx {};
  if (::statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
    return std::unexpected(posix_error(errno));
  if (identity) *identity = FileIdentity{makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino, 0};
  FileInfo info;
  const mode_t mode = stx.stx_mode;
  info.kind = S_ISREG(mode)   ? FileKind::File
              : S_ISDIR(mode) ? FileKind::Directory
              : S_ISLNK(mode) ? FileKind::Symlink
                              : FileKind::Other;
  info.size = stx.stx_size;
  info.modified_ticks = ticks_from(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  if (stx.stx_mask & STATX_BTIME) info.created_ticks = ticks_from(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
  info.attributes = info.kind == FileKind::Directory ? attribute_directory : attribute_archive;
  if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) info.attributes |= attribute_readonly;
  return info;
}

// Linux looks up a whole path only up to PATH_MAX bytes; a longer one is
// walked a folder at a time, following links on the way as a lookup of the
// whole path would.
OsResult<FileInfo> info_of_long_path(const std::filesystem::path& path) {
  int folder = ::open(path.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return std::unexpected(posix_error(errno));
  for (const std::filesystem::path& name : path.relative_path().parent_path()) {
    const int inner = ::openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    ::close(folder);
    if (inner < 0) return std::unexpected(posix_error(error));
    folder = inner;
  }
  const std::filesystem::path last = path.filename();
  OsResult<FileInfo> info = info_at(folder, last.empty() ? "." : last.c_str());
  ::close(folder);
  return info;
}

}  // namespace

OsResult<FileInfo> query_info(const std::filesystem::path& path) {
  OsResult<FileInfo> info = info_at(AT_FDCWD, path.c_str());
  if (!info && info.error().code == ENAMETOOLONG) return info_of_long_path(path);
  return info;
}

namespace {

// Read-only applies to files only. Windows sets it on folders it customises
// (a folder with its own icon, say) and ignores it there; a Linux folder
// without write permission takes no new file and cannot be emptied, so a
// second extraction to the same place and `rm -rf` would fail.
bool takes_read_only(const struct stat& st) { return !S_ISDIR(st.st_mode); }

timespec timespec_from_ticks(std::uint64_t ticks) {
  if (ticks == 0) return timespec{0, UTIME_OMIT};
  const std::int64_t unix_ticks = static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(unix_epoch_ticks);
  std::int64_t seconds = unix_ticks / 10000000;
  std::int64_t rest = unix_ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    seconds -= 1;
  }
  return timespec{static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

constexpr const char* zone_attribute = "user.Zone.Identifier";

}  // namespace

OsResult<void> create_directories(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) return std::unexpected(posix_error(error.value()));
  if (!std::filesystem::is_directory(path, error)) return std::unexpected(posix_error(ENOTDIR));
  return {};
}

OsResult<void> set_attributes(const std::filesystem::path& path, std::uint32_t attributes) {
  if (!(attributes & attribute_readonly)) return {};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(posix_error(errno));
  if (!takes_read_only(st)) return {};
  if (::chmod(path.c_str(), st.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) != 0)
    return std::unexpected(posix_error(errno));
  return {};
}

OsResult<std::vector<std::uint8_t>> read_zone_identifier(const std::filesystem::path& path, std::size_t max_length) {
  std::vector<std::uint8_t> mark(max_length + 1);
  const ssize_t n = ::getxattr(path.c_str(), zone_attribute, mark.data(), mark.size());
  if (n < 0) {
    // ERANGE: longer than the buffer, so longer than max_length.
    if (errno == ERANGE) return std::unexpected(OsError{ERANGE, std::strerror(ERANGE), false});
    return std::unexpected(posix_error(errno));
  }
  mark.resize(static_cast<std::size_t>(n));
  return mark;
}

OsResult<void> write_zone_identifier(const std::filesystem::path& path, std::span<const std::uint8_t> mark) {
  if (::setxattr(path.c_str(), zone_attribute, mark.data(), mark.size(), 0) != 0)
    return std::unexpected(posix_error(errno));
  return {};
}

unsigned active_processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

OsResult<void> remove_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0) return std::unexpected(posix_error(errno));
  return {};
}

OsResult<void> rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace) {
  if (replace) {
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(posix_error(errno));
    return {};
  }
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return std::unexpected(posix_error(errno));
  // A file system without RENAME_NOREPLACE: a second name made with link()
  // fails just as well when anything is at `to`.
  if (::link(from.c_str(), to.c_str()) != 0) return std::unexpected(posix_error(errno));
  (void)::unlink(from.c_str());
  return {};
}

namespace {

// Calls `visit` with every name in the folder but "." and ".." and the open
// folder's descriptor; stops at the first error `visit` returns.
template <class Visit>
OsResult<void> for_each_name(const std::filesystem::path& path, Visit visit) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return std::unexpected(posix_error(errno));
  std::optional<OsError> failure;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      failure = visit(::dirfd(dir), entry->d_name);
      if (failure) break;
    }
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (failure) return std::unexpected(std::move(*failure));
  if (error != 0) return std::unexpected(posix_error(error));
  return {};
}

}  // namespace

OsResult<FileIdentity> query_identity(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(posix_error(errno));
  return FileIdentity{st.st_dev, st.st_ino, 0};
}

OsResult<std::vector<std::filesystem::path>> list_directory(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> names;
  auto listed = for_each_name(path, [&](int, const char* name) -> std::optional<OsError> {
    names.emplace_back(std::string(name));
    return std::nullopt;
  });
  if (!listed) return std::unexpected(std::move(listed.error()));
  return names;
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

OsResult<File> File::create_for_writing(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(posix_error(errno));
  return File(fd);
}

OsResult<File> File::create_new(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(posix_error(errno));
  return File(fd);
}

OsResult<void> File::sync() {
  while (::fsync(fd_of(handle_)) != 0) {
    if (errno != EINTR) return std::unexpected(posix_error(errno));
  }
  return {};
}

OsResult<void> File::close_checked() {
  if (handle_ == invalid_handle) return {};
  const int fd = fd_of(handle_);
  handle_ = invalid_handle;
  if (::close(fd) != 0) return std::unexpected(posix_error(errno));
  return {};
}

OsResult<void> File::write_all(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_of(handle_), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(posix_error(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

OsResult<void> File::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return std::unexpected(posix_error(EFBIG));
    const ssize_t n = ::pwrite(fd_of(handle_), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(posix_error(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

OsResult<void> File::set_times(std::uint64_t, std::uint64_t modified_ticks) {
  if (modified_ticks == 0) return {};
  const timespec times[2] = {timespec{0, UTIME_OMIT}, timespec_from_ticks(modified_ticks)};
  if (::futimens(fd_of(handle_), times) != 0) return std::unexpected(posix_error(errno));
  return {};
}

OsResult<std::uint64_t> File::size() const {
  struct stat st {};
  if (::fstat(fd_of(handle_), &st) != 0) return std::unexpected(posix_error(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

OsResult<std::size_t> File::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd_of(handle_), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(posix_error(errno));
  }
}

OsResult<std::size_t> File::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return 0;
  const ssize_t n = ::pread(fd_of(handle_), buffer.data(), buffer.size(), static_cast<off_t>(offset));
  if (n < 0) return std::unexpected(posix_error(errno));
  return static_cast<std::size_t>(n);
}

Directory::Directory(Directory&& other) noexcept : handle_(other.handle_) { other.handle_ = invalid_handle; }

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = invalid_handle;
  }
  return *this;
}

Directory::~Directory() { close(); }

void Directory::close() noexcept {
  if (handle_ != invalid_handle) ::close(fd_of(handle_));
  handle_ = invalid_handle;
}

namespace {

OsError link_refused() {
  OsError error = posix_error(ELOOP);
  error.link_refused = true;
  return error;
}

bool is_link_at(int folder, const char* name) {
  struct stat st {};
  return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// A path-only handle (no read permission needed) on the folder `name`
// inside `folder`. With O_NOFOLLOW a link there is not a folder: ENOTDIR,
// told apart from a file in the way by one more query.
OsResult<int> open_folder_at(int folder, const char* name) {
  for (;;) {
    const int fd = ::openat(folder, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == ENOTDIR && is_link_at(folder, name)) return std::unexpected(link_refused());
    OsError failure = posix_error(error);
    failure.not_directory = error == ENOTDIR;
    return std::unexpected(std::move(failure));
  }
}

}  // namespace

OsResult<Directory> Directory::open(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(posix_error(errno));
  return Directory(fd);
}

OsResult<Directory> Directory::create_directory(const std::filesystem::path& name) const {
  if (::mkdirat(fd_of(handle_), name.c_str(), 0777) != 0 && errno != EEXIST) return std::unexpected(posix_error(errno));
  return open_directory(name);
}

OsResult<Directory> Directory::open_directory(const std::filesystem::path& name) const {
  auto fd = open_folder_at(fd_of(handle_), name.c_str());
  if (!fd) return std::unexpected(std::move(fd.error()));
  return Directory(*fd);
}

OsResult<std::vector<DirectoryEntry>> Directory::list() const {
  // The handle itself is path-only: reading the folder takes a descriptor of
  // its own, read straight with getdents64 (a walk lists many small folders,
  // and a DIR stream would cost three more calls and an allocation each).
  int fd;
  do {
    fd = ::openat(fd_of(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(posix_error(errno));
  std::vector<DirectoryEntry> entries;
  alignas(dirent64) char buffer[32768];
  std::optional<OsError> failure;
  while (!failure) {
    const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failure = posix_error(errno);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got && !failure;) {
      const auto* found = reinterpret_cast<const dirent64*>(buffer + at);
      at += found->d_reclen;
      const std::string_view name = found->d_name;
      if (name == "." || name == "..") continue;
      DirectoryEntry entry{std::string(name), {}, {}};
      auto info = info_at(fd, found->d_name, &entry.identity);
      if (!info) {
        failure = std::move(info.error());
      } else {
        entry.info = *info;
        entries.push_back(std::move(entry));
      }
    }
  }
  ::close(fd);
  if (failure) return std::unexpected(std::move(*failure));
  return entries;
}

OsResult<File> Directory::open_file(const std::filesystem::path& name) const {
  int fd;
  do {
    // Not blocking keeps a pipe put in the file's place from stopping the reader.
    fd = ::openat(fd_of(handle_), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno == ELOOP ? link_refused() : posix_error(errno));
  return File(fd);
}

OsResult<File> Directory::create_file(const std::filesystem::path& name) const {
  int fd;
  do {
    fd = ::openat(fd_of(handle_), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(posix_error(errno));
  return File(fd);
}

OsResult<void> Directory::write_zone_identifier(const File& file, const std::filesystem::path&,
                                                std::span<const std::uint8_t> mark) const {
  if (::fsetxattr(fd_of(file.handle_), zone_attribute, mark.data(), mark.size(), 0) != 0)
    return std::unexpected(posix_error(errno));
  return {};
}

OsResult<void> Directory::set_attributes(const std::filesystem::path& name, std::uint32_t attributes) const {
  if (!(attributes & attribute_readonly)) return {};
  struct stat st {};
  if (::fstatat(fd_of(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(posix_error(errno));
  if (S_ISLNK(st.st_mode)) return std::unexpected(link_refused());
  if (!takes_read_only(st)) return {};
  // Refuses a link that replaced the file since the query, and never follows one.
  const mode_t mode = st.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH) & 07777;
  if (::fchmodat(fd_of(handle_), name.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(posix_error(errno));
  return {};
}

bool Directory::stamp_directory_times(const std::filesystem::path& name, std::uint64_t,
                                      std::uint64_t modified_ticks) const {
  if (modified_ticks == 0) return true;
  const timespec times[2] = {timespec{0, UTIME_OMIT}, timespec_from_ticks(modified_ticks)};
  return ::utimensat(fd_of(handle_), name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::filesystem::path path_from_utf8(std::string_view text) {
  // Linux paths are bytes; valid UTF-8 passes through, anything else is
  // replaced so that no two spellings of a name can differ invisibly.
  return std::filesystem::path(sanitize_utf8(text));
}

std::string path_to_utf8(const std::filesystem::path& path) { return sanitize_utf8(path.native()); }

std::filesystem::path executable_path() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::filesystem::path path_from_argument(std::string_view argument) {
  return std::filesystem::path(std::string(argument));
}

void load_libraries_from_system_folder_only() {}
std::optional<SignatureTrust> check_code_signature(const std::filesystem::path&) { return std::nullopt; }

void prepare_console_output() {}

namespace {
std::atomic<bool>* interrupt_flag = nullptr;
extern "C" void on_interrupt_signal(int) { interrupt_flag->store(true); }
}  // namespace

void stop_on_interrupt(std::atomic<bool>* flag) {
  interrupt_flag = flag;
  struct sigaction action {};
  action.sa_handler = on_interrupt_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
}

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }
bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

namespace {

// While a secret is typed with echo off: the terminal's settings before and
// during, and the prompt, for the signal handler below. Written before the
// handler is installed; read-only while it is.
termios terminal_before {};
termios terminal_quiet {};
std::string_view quiet_prompt;

// Where the typing stands. A stop (Ctrl-Z) may be handled on another thread
// than the one reading; the reader ends the quiet state only while no stop
// is under way, so a continued stop cannot turn echo off after it.
enum : int { typing_over, typing_quiet, typing_stopped };
std::atomic<int> typing{typing_over};
static_assert(std::atomic<int>::is_always_lock_free);

// The signals that would leave the terminal without echo: those that end
// the process, and Ctrl-Z, which stops it.
constexpr int quiet_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void set_handler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int s : quiet_signals) sigaddset(&action.sa_mask, s);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

// Async-signal-safe. A signal that ends the process restores the terminal
// and then ends it as it would have. Ctrl-Z restores the terminal for the
// stop; when the process continues, echo goes off again and the prompt is
// shown anew (the line discipline dropped what was typed before the stop).
extern "C" void on_signal_while_quiet(int signal) {
  const int saved_errno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before);
  if (signal != SIGTSTP) {
    set_handler(signal, SIG_DFL);
    ::raise(signal);  // pending until this handler returns, then the default action
    errno = saved_errno;
    return;
  }
  int expected = typing_quiet;
  const bool quiet = typing.compare_exchange_strong(expected, typing_stopped);
  set_handler(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  ::raise(SIGTSTP);  // the process stops here until it is continued
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  if (quiet) {
    set_handler(SIGTSTP, on_signal_while_quiet);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &terminal_quiet);
    (void)!::write(STDERR_FILENO, quiet_prompt.data(), quiet_prompt.size());
    typing.store(typing_quiet);
  }
  errno = saved_errno;
}

struct QuietTerminal {
  struct sigaction previous[std::size(quiet_signals)] {};
  bool replaced[std::size(quiet_signals)] {};
};

// Echo off (the line end still shown), with the handler installed for every
// signal not ignored: an ignored one stays ignored.
void begin_quiet(QuietTerminal& quiet, std::string_view prompt) {
  terminal_quiet = terminal_before;
  terminal_quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  terminal_quiet.c_lflag |= ECHONL;
  quiet_prompt = prompt;
  typing.store(typing_quiet);
  for (std::size_t i = 0; i < std::size(quiet_signals); ++i) {
    ::sigaction(quiet_signals[i], nullptr, &quiet.previous[i]);
    if (quiet.previous[i].sa_handler == SIG_IGN) continue;
    set_handler(quiet_signals[i], on_signal_while_quiet);
    quiet.replaced[i] = true;
  }
  ::tcsetattr(STDIN_FILENO, TCSANOW, &terminal_quiet);
}

void end_quiet(const QuietTerminal& quiet) {
  for (;;) {
    int expected = typing_quiet;
    if (typing.compare_exchange_strong(expected, typing_over) || expected != typing_stopped) break;
    ::sched_yield();  // a stop handled on another thread: wait until it has turned echo off again
  }
  ::tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before);
  for (std::size_t i = 0; i < std::size(quiet_signals); ++i)
    if (quiet.replaced[i]) ::sigaction(quiet_signals[i], &quiet.previous[i], nullptr);
}

// Linux's line discipline keeps at most 4095 bytes of a line being typed and
// drops the rest without a word: a line that long may have been cut short.
constexpr std::size_t terminal_line_limit = 4095;

// One line, byte by byte straight into `out`: no stdio buffer keeps a copy.
// The rest of a line too long for `out` is read and dropped, so that nothing
// of it is left on the terminal for the next program (the shell) to read.
// `edited_lines`: typed on a terminal that edits lines (and cuts long ones).
OsResult<std::size_t> read_line(std::span<std::uint8_t> out, bool edited_lines) {
  std::size_t length = 0;
  std::size_t typed = 0;  // bytes before the line end, CRs included
  bool too_long = false;
  for (;;) {
    std::uint8_t byte = 0;
    const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(posix_error(errno));
    if (n == 0 || byte == '\n') break;
    ++typed;
    if (byte == '\r') continue;
    if (length < out.size()) {
      out[length++] = byte;
    } else {
      too_long = true;
    }
  }
  if (too_long || (edited_lines && typed >= terminal_line_limit))
    return std::unexpected(OsError{0, "haslo jest za dlugie", false});
  return length;
}

}  // namespace

OsResult<std::size_t> read_secret_line(std::string_view prompt, std::span<std::uint8_t> out) {
  const bool terminal = ::tcgetattr(STDIN_FILENO, &terminal_before) == 0;
  QuietTerminal quiet;
  if (terminal) begin_quiet(quiet, prompt);
  // The prompt only once echo is off: whatever is typed after it stays unseen.
  std::fwrite(prompt.data(), 1, prompt.size(), stderr);
  std::fflush(stderr);
  OsResult<std::size_t> result = read_line(out, terminal && (terminal_before.c_lflag & ICANON) != 0);
  if (terminal) end_quiet(quiet);
  return result;
}

}  // namespace quarn::platform

// The one door from the core to the operating system: files, metadata and
// the text form of paths. Callers never see a platform #ifdef; the build picks
// posix/ or win32/ to implement this header.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quarn::platform {

// A failed operating-system call, already turned into text. `code` is the
// errno or GetLastError value, 0 for failures that have no system code (an
// unexpected end of file, say).
struct OsError {
  std::int64_t code = 0;
  std::string message;  // the system's message for the code, or our own text
  bool interrupted = false;
  // A symbolic link, junction or other reparse point stood where a Directory
  // was to enter a folder; it was refused, not followed.
  bool link_refused = false;
  // Something other than a folder (and other than a link) stood where a
  // Directory was to enter a folder.
  bool not_directory = false;

  // "message (os error N)", or the message alone when there is no code.
  std::string display() const;
};

template <class T>
using OsResult = std::expected<T, OsError>;

enum class FileKind { File, Directory, Symlink, Other };

// Metadata of a path, following symbolic links.
OsResult<FileKind> query_kind(const std::filesystem::path& path);

// Times are FILETIME ticks: 100 ns since 1601-01-01 UTC.
inline constexpr std::uint64_t unix_epoch_ticks = 116444736000000000ull;

inline constexpr std::uint32_t attribute_readonly = 0x01;
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_archive = 0x20;

struct FileInfo {
  FileKind kind = FileKind::Other;
  std::uint64_t size = 0;
  std::uint64_t modified_ticks = 0;
  std::uint64_t created_ticks = 0;  // 0 when the file system does not record it
  std::uint32_t attributes = 0;     // Windows attribute bits; on POSIX read-only, directory, archive
};

// Metadata without following a final symbolic link (a link reports Symlink).
OsResult<FileInfo> query_info(const std::filesystem::path& path);

// Creates the directory and every missing ancestor; an existing directory is
// no failure, an existing file in the way is.
OsResult<void> create_directories(const std::filesystem::path& path);

// Applies the stored attribute bits. On POSIX only read-only has a meaning,
// and only for files: it removes their write permissions (and its absence
// leaves them alone); folders keep theirs.
OsResult<void> set_attributes(const std::filesystem::path& path, std::uint32_t attributes);

// The internet-origin mark of a file: the stream path:Zone.Identifier on
// Windows, the extended attribute user.Zone.Identifier on Linux.
OsResult<std::vector<std::uint8_t>> read_zone_identifier(const std::filesystem::path& path,
                                                        std::size_t max_length);
OsResult<void> write_zone_identifier(const std::filesystem::path& path, std::span<const std::uint8_t> mark);

// Logical processors this process may run on, at least 1.
unsigned active_processor_count();

// Deletes a file; failures are the caller's to ignore or report.
OsResult<void> remove_file(const std::filesystem::path& path);

// Renames the file `from` to `to` in the same folder. With `replace`, a file
// at `to` is replaced in one step: a reader finds the old file or the new
// one, never neither. Without it, anything at `to` (a link included) makes
// the rename fail and stays untouched, even when it appears meanwhile.
OsResult<void> rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace);

// The names in a directory, without "." and "..", in no particular order.
OsResult<std::vector<std::filesystem::path>> list_directory(const std::filesystem::path& path);

// What tells files apart: two names with the same identity are one file
// (hard links, say). POSIX: the device and the inode; Windows: the volume's
// serial number and the file's 128-bit id (or its 64-bit index where the
// file system has no 128-bit one).
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file_low = 0;
  std::uint64_t file_high = 0;

  auto operator<=>(const FileIdentity&) const = default;
};

// The identity of the file at `path`, following links: the file that a
// write to `path` would reach.
OsResult<FileIdentity> query_identity(const std::filesystem::path& path);

struct DirectoryEntry {
  std::filesystem::path name;
  FileInfo info;          // as query_info reports it: a link is not followed
  FileIdentity identity;  // of the entry itself
};

// An open file handle. Move-only; the handle is closed when the owner ends.
// Not for concurrent use by two threads.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens an existing file for reading. On Windows other handles may read,
  // write and delete it meanwhile.
  static OsResult<File> open_for_reading(const std::filesystem::path& path);

  // Creates the file, or truncates an existing one, for writing.
  static OsResult<File> create_for_writing(const std::filesystem::path& path);

  // Creates a new file for writing. Anything already at `path`, a link
  // included, is an error and stays untouched. On Windows other handles may
  // read, write and delete the file meanwhile.
  static OsResult<File> create_new(const std::filesystem::path& path);

  // Writes all of `bytes` at the current end of what this handle wrote.
  OsResult<void> write_all(std::span<const std::uint8_t> bytes);

  // Writes all of `bytes` at `offset` of a file opened for writing. Where
  // write_all goes on afterwards is unspecified: finish with this.
  OsResult<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  // Sets the creation and last-write times in one call; 0 leaves a time as
  // it is, the last-access time is never touched. POSIX has no settable
  // creation time.
  OsResult<void> set_times(std::uint64_t created_ticks, std::uint64_t modified_ticks);

  OsResult<std::uint64_t> size() const;

  // Reads up to buffer.size() bytes from the current position, advancing it;
  // works on pipes too. Returns 0 at the end.
  OsResult<std::size_t> read(std::span<std::uint8_t> buffer);

  // Reads up to buffer.size() bytes at `offset`; returns the count, 0 at or
  // past the end of the file.
  OsResult<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

  // Puts what was written through this handle on stable storage before
  // returning (fsync, FlushFileBuffers).
  OsResult<void> sync();

  // Closes the handle and reports the system's answer: a write the system
  // accepted and failed to carry out later (NFS, a disk quota) may show only
  // here. The handle is closed whatever the answer; an interrupted close is
  // reported, never retried (on Linux the descriptor is already gone).
  OsResult<void> close_checked();

  bool is_open() const { return handle_ != invalid_handle; }

 private:
  friend class Directory;
  static constexpr std::intptr_t invalid_handle = -1;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  void close() noexcept;

  std::intptr_t handle_ = invalid_handle;
};

// An open folder, and everything below it made or opened one name at a time
// relative to it. A name is never followed through a link: a symbolic link,
// a junction or any other reparse point where a folder is to be entered is
// refused (OsError::link_refused), a new file is never created through one,
// and times, attributes and marks are never applied through one. So nothing
// below the folder, whatever appears there meanwhile, redirects a write out
// of it. `name` is always one path component. Move-only; the handle is
// closed when the owner ends. Its const operations may run on several
// threads at once.
class Directory {
 public:
  Directory() = default;
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  ~Directory();

  // Opens the folder at `path`. Links in `path` itself are followed: the
  // folder a user names may be one, or lie below one.
  static OsResult<Directory> open(const std::filesystem::path& path);

  // The folder `name` in this one, created when missing; an existing folder
  // is no failure, anything else in its place is.
  OsResult<Directory> create_directory(const std::filesystem::path& name) const;

  // The existing folder `name` in this one. A link in its place is refused
  // (OsError::link_refused), anything else but a folder too
  // (OsError::not_directory).
  OsResult<Directory> open_directory(const std::filesystem::path& name) const;

  // The entries of this folder, without "." and "..", in no particular
  // order, each with its metadata and identity, links not followed: one pass
  // over the folder. An entry that vanishes while it is read fails the
  // listing.
  OsResult<std::vector<DirectoryEntry>> list() const;

  // Opens the existing file `name` in this folder for reading. A link or
  // other reparse point in its place is refused (OsError::link_refused), not
  // followed. On Windows other handles may read, write and delete it meanwhile.
  OsResult<File> open_file(const std::filesystem::path& name) const;

  // Creates the file `name` in this folder for writing. Anything already
  // there, a link included, is an error and stays untouched. On Windows
  // other handles may read, write and delete the file meanwhile.
  OsResult<File> create_file(const std::filesystem::path& name) const;

  // The internet-origin mark (as write_zone_identifier) of the file `name`
  // in this folder, open as `file`.
  OsResult<void> write_zone_identifier(const File& file, const std::filesystem::path& name,
                                       std::span<const std::uint8_t> mark) const;

  // As set_attributes, for the file or folder `name` in this folder.
  OsResult<void> set_attributes(const std::filesystem::path& name, std::uint32_t attributes) const;

  // Stamps the creation and last-write times of the folder `name` in this
  // folder (0 leaves one as it is). POSIX cannot set a creation time. False
  // when the folder could not be opened or stamped.
  bool stamp_directory_times(const std::filesystem::path& name, std::uint64_t created_ticks,
                             std::uint64_t modified_ticks) const;

  bool is_open() const { return handle_ != invalid_handle; }

 private:
  static constexpr std::intptr_t invalid_handle = -1;
  explicit Directory(std::intptr_t handle) : handle_(handle) {}
  void close() noexcept;

  std::intptr_t handle_ = invalid_handle;
};

// UTF-8 <-> path. Bytes that are not valid UTF-8, and UTF-16 units that are
// not valid UTF-16, become U+FFFD. The only place where text meets paths.
std::filesystem::path path_from_utf8(std::string_view text);
std::string path_to_utf8(const std::filesystem::path& path);

// The program's arguments after argv[0]. On POSIX the bytes as given; on
// Windows the wide command line converted to UTF-8, never through the ANSI
// code page.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// A path named by a command-line argument. On POSIX the bytes are kept as they
// are (a file name need not be UTF-8); on Windows the argument is UTF-8.
std::filesystem::path path_from_argument(std::string_view argument);

// The full path of the running program's own file; empty when the system
// cannot say. On Windows the buffer grows from 512 units, doubling while the
// path does not fit.
std::filesystem::path executable_path();

// From now on every library the process loads by name comes from the
// system folder only (Windows: System32, never the program's own folder or
// the current one). Called first thing; a no-op on POSIX.
void load_libraries_from_system_folder_only();

// What the system makes of a program file's code signature.
struct SignatureTrust {
  bool trusted = false;
  std::string signer;  // the signing certificate's display name, when trusted
  OsError verdict;     // why not, when not trusted: the system's code and text
};

// Asks the system, without any window and without revocation checks,
// whether it trusts the code signature of the program file `path`. nullopt
// where the system has no such judgement (POSIX) or cannot be asked.
std::optional<SignatureTrust> check_code_signature(const std::filesystem::path& path);

// Lets the console show UTF-8 output and keeps stdout and stderr free of
// line-end translation (a no-op where both already hold).
void prepare_console_output();

// From now on Ctrl-C (and Ctrl-Break on Windows) sets `*flag` instead of
// ending the process. `flag` must live as long as the process.
void stop_on_interrupt(std::atomic<bool>* flag);

bool stdin_is_terminal();
bool stderr_is_terminal();

// Shows `prompt` on stderr once echo is off, then reads one line typed on the
// terminal without echoing it, as UTF-8, into `out` (the caller's secret
// buffer); returns its length without the line end. Nothing of the line
// stays in memory the platform owns. A line longer than `out`, or one the
// terminal may have cut short, is read to its end and refused ("too long"):
// none of it is left for the next program to read. The terminal gets its
// echo back on every way out: on POSIX a signal that ends the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) restores it first, whatever handler was
// installed, and Ctrl-Z restores it for the stop, turning echo off again and
// showing the prompt anew on continuing; on Windows Ctrl-C, Ctrl-Break and
// closing the console restore the console's mode before the handlers
// installed earlier run (a read they end fails as `interrupted`). One call
// at a time: not for two threads at once.
OsResult<std::size_t> read_secret_line(std::string_view prompt, std::span<std::uint8_t> out);

}  // namespace quarn::platform

// Win32 implementation of the platform interface. Every path crosses into
// the system as UTF-16, in the extended form (system_path); nothing goes
// through the ANSI code page.
#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

#include "core/platform/extended_path.h"
#include "core/platform/platform.h"
#include "core/platform/reparse_tag.h"
#include "core/platform/system.h"
#include "core/platform/utf.h"
#include "core/platform/win32/win32_internal.h"

namespace quarn::platform {
namespace {

std::wstring to_wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string from_wide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Windows' own reading of a path as a full one (GetFullPathNameW: the
// current folder, `.`, `..`, separators, trailing dots and spaces), done
// before the extended form switches that reading off. Empty on failure.
std::u16string full_path_of(std::u16string_view path) {
  const std::wstring given = to_wide(path);
  DWORD capacity = MAX_PATH;
  for (;;) {
    std::wstring buffer(capacity, L'\0');
    const DWORD length = GetFullPathNameW(given.c_str(), capacity, buffer.data(), nullptr);
    if (length == 0) return {};
    if (length < capacity) return from_wide(std::wstring_view(buffer.data(), length));
    capacity = length;  // what it needs, the terminator included
  }
}

}  // namespace

std::wstring system_path(const std::filesystem::path& path) {
  return to_wide(extended_path(from_wide(path.native()), full_path_of));
}

// Every GetLastError value is turned into an OsError here and nowhere else.
OsError windows_error(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.'))
    text.pop_back();
  std::string message = utf16_to_utf8(from_wide(text));
  if (message.empty()) message = "blad systemu";
  return OsError{static_cast<std::int64_t>(code), message, false};
}

OsError last_error() { return windows_error(GetLastError()); }

OsResult<FileKind> query_kind(const std::filesystem::path& path) {
  // Opening the path follows links to their target, as the query must.
  HANDLE h = CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  FILE_ATTRIBUTE_TAG_INFO info{};
  const BOOL ok = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info);
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) return std::unexpected(windows_error(error));
  if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Directory;
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && is_link_reparse_tag(info.ReparseTag))
    return FileKind::Symlink;
  if (info.FileAttributes & FILE_ATTRIBUTE_DEVICE) return FileKind::Other;
  return FileKind::File;
}

FileInfo file_info_of(DWORD a, DWORD reparse_tag, std::uint64_t size, std::uint64_t created_ticks,
                      std::uint64_t modified_ticks) {
  FileInfo info;
  info.kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) && is_link_reparse_tag(reparse_tag) ? FileKind::Symlink
              : (a & FILE_ATTRIBUTE_DIRECTORY)   ? FileKind::Directory
              : (a & FILE_ATTRIBUTE_DEVICE)      ? FileKind::Other
                                                 : FileKind::File;
  info.size = size;
  info.modified_ticks = modified_ticks;
  info.created_ticks = created_ticks;
  info.attributes = a;
  return info;
}

OsResult<FileIdentity> handle_identity(HANDLE h) {
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id)) {
    FileIdentity identity{id.VolumeSerialNumber, 0, 0};
    std::memcpy(&identity.file_low, id.FileId.Identifier, sizeof identity.file_low);
    std::memcpy(&identity.file_high, id.FileId.Identifier + sizeof identity.file_low, sizeof identity.file_high);
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return std::unexpected(last_error());
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0};
}

OsResult<FileIdentity> query_identity(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  OsResult<FileIdentity> identity = handle_identity(h);
  CloseHandle(h);
  return identity;
}

namespace {

std::uint64_t ticks_of(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FileInfo info_of(DWORD a, DWORD reparse_tag, DWORD size_high, DWORD size_low, const FILETIME& created,
                 const FILETIME& modified) {
  return file_info_of(a, reparse_tag, (static_cast<std::uint64_t>(size_high) << 32) | size_low, ticks_of(created),
                      ticks_of(modified));
}

// The tag of the reparse point at `path` itself, 0 when it cannot be read.
// Opening a cloud-storage placeholder as the reparse point does not fetch it.
DWORD reparse_tag_of(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FILE_ATTRIBUTE_TAG_INFO info{};
  const BOOL ok = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info);
  CloseHandle(h);
  return ok && (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.ReparseTag : 0;
}

}  // namespace

OsResult<FileInfo> query_info(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(system_path(path).c_str(), GetFileExInfoStandard, &data))
    return std::unexpected(last_error());
  const DWORD tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? reparse_tag_of(path) : 0;
  return info_of(data.dwFileAttributes, tag, data.nFileSizeHigh, data.nFileSizeLow, data.ftCreationTime,
                 data.ftLastWriteTime);
}

namespace {

FILETIME filetime_of(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

bool set_handle_times(HANDLE h, std::uint64_t created_ticks, std::uint64_t modified_ticks) {
  if (created_ticks == 0 && modified_ticks == 0) return true;
  const FILETIME created = filetime_of(created_ticks);
  const FILETIME modified = filetime_of(modified_ticks);
  return SetFileTime(h, created_ticks ? &created : nullptr, nullptr, modified_ticks ? &modified : nullptr) != 0;
}

namespace {

// The stream is named on the file's extended path, so that a relative name
// such as "a" cannot read as the drive A: once ":Zone.Identifier" follows it.
std::filesystem::path zone_stream(const std::filesystem::path& path) {
  return std::filesystem::path(system_path(path) + L":Zone.Identifier");
}

}  // namespace

OsResult<void> create_directories(const std::filesystem::path& path) {
  const std::wstring full = system_path(path);
  std::size_t end = full.size();
  while (end > 1 && full[end - 1] == L'\\') --end;
  // Up to the deepest folder that is there (or cannot be made), then down
  // again making the missing ones; never into the \\?\ prefix.
  std::vector<std::size_t> missing;
  DWORD first_error = ERROR_SUCCESS;
  for (;;) {
    if (CreateDirectoryW(full.substr(0, end).c_str(), nullptr)) break;
    first_error = GetLastError();
    const std::size_t slash = full.rfind(L'\\', end - 1);
    if (first_error != ERROR_PATH_NOT_FOUND || slash == std::wstring::npos || slash < 4) break;
    missing.push_back(end);
    end = slash;
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at)
    if (!CreateDirectoryW(full.substr(0, *at).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return std::unexpected(last_error());
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::unexpected(windows_error(first_error));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::unexpected(windows_error(ERROR_DIRECTORY));
  return {};
}

OsResult<void> set_attributes(const std::filesystem::path& path, std::uint32_t attributes) {
  if (!SetFileAttributesW(system_path(path).c_str(), attributes)) return std::unexpected(last_error());
  return {};
}

OsResult<std::vector<std::uint8_t>> read_zone_identifier(const std::filesystem::path& path, std::size_t max_length) {
  auto file = File::open_for_reading(zone_stream(path));
  if (!file) return std::unexpected(std::move(file.error()));
  std::vector<std::uint8_t> mark(max_length + 1);
  std::size_t filled = 0;
  while (filled < mark.size()) {
    auto got = file->read_at(filled, std::span(mark).subspan(filled));
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    filled += *got;
  }
  if (filled > max_length) return std::unexpected(windows_error(ERROR_FILE_TOO_LARGE));
  mark.resize(filled);
  return mark;
}

OsResult<void> write_zone_identifier(const std::filesystem::path& path, std::span<const std::uint8_t> mark) {
  auto file = File::create_for_writing(zone_stream(path));
  if (!file) return std::unexpected(std::move(file.error()));
  return file->write_all(mark);
}

unsigned active_processor_count() {
  const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (count > 0) return count;
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

OsResult<void> remove_file(const std::filesystem::path& path) {
  if (!DeleteFileW(system_path(path).c_str())) return std::unexpected(last_error());
  return {};
}

OsResult<void> rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), flags)) return std::unexpected(last_error());
  return {};
}

namespace {

// Calls `visit` with the find data of every entry of the folder but "." and "..".
template <class Visit>
OsResult<void> for_each_found(const std::filesystem::path& path, Visit visit) {
  WIN32_FIND_DATAW found{};
  std::wstring pattern = system_path(path);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") visit(found);
  } while (FindNextFileW(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return std::unexpected(windows_error(error));
  return {};
}

}  // namespace

OsResult<std::vector<std::filesystem::path>> list_directory(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> names;
  auto listed = for_each_found(path, [&](const WIN32_FIND_DATAW& found) {
    names.emplace_back(std::wstring(found.cFileName));
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
  if (handle_ != invalid_handle) CloseHandle(handle_of(handle_));
  handle_ = invalid_handle;
}

OsResult<File> File::open_for_reading(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  return File(reinterpret_cast<std::intptr_t>(h));
}

OsResult<File> File::create_for_writing(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  return File(reinterpret_cast<std::intptr_t>(h));
}

OsResult<File> File::create_new(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  return File(reinterpret_cast<std::intptr_t>(h));
}

OsResult<void> File::sync() {
  if (!FlushFileBuffers(handle_of(handle_))) return std::unexpected(last_error());
  return {};
}

OsResult<void> File::close_checked() {
  if (handle_ == invalid_handle) return {};
  HANDLE h = handle_of(handle_);
  handle_ = invalid_handle;
  if (!CloseHandle(h)) return std::unexpected(last_error());
  return {};
}

OsResult<void> File::write_all(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const DWORD want = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle_of(handle_), bytes.data(), want, &written, nullptr)) return std::unexpected(last_error());
    bytes = bytes.subspan(written);
  }
  return {};
}

OsResult<void> File::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle_of(handle_), bytes.data(), want, &written, &at)) return std::unexpected(last_error());
    bytes = bytes.subspan(written);
    offset += written;
  }
  return {};
}

OsResult<void> File::set_times(std::uint64_t created_ticks, std::uint64_t modified_ticks) {
  if (!set_handle_times(handle_of(handle_), created_ticks, modified_ticks)) return std::unexpected(last_error());
  return {};
}

OsResult<std::uint64_t> File::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle_of(handle_), &size)) return std::unexpected(last_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

OsResult<std::size_t> File::read(std::span<std::uint8_t> buffer) {
  const DWORD want = buffer.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buffer.size());
  DWORD got = 0;
  if (!ReadFile(handle_of(handle_), buffer.data(), want, &got, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
    return std::unexpected(windows_error(error));
  }
  return static_cast<std::size_t>(got);
}

OsResult<std::size_t> File::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD want = buffer.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buffer.size());
  DWORD got = 0;
  if (!ReadFile(handle_of(handle_), buffer.data(), want, &got, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    return std::unexpected(windows_error(error));
  }
  return static_cast<std::size_t>(got);
}

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(to_wide(utf8_to_utf16(text)));
}

std::string path_to_utf8(const std::filesystem::path& path) {
  return utf16_to_utf8(from_wide(path.native()));
}

std::filesystem::path executable_path() {
  constexpr DWORD largest = 0xFFFFFFFF;
  DWORD capacity = 512;
  for (;;) {
    std::vector<wchar_t> buffer(capacity);
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return {};
    if (length == capacity && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      // Cut short: twice the room, up to the largest count the call takes.
      if (capacity == largest) return {};
      capacity = capacity > largest / 2 ? largest : capacity * 2;
      continue;
    }
    // A program started through an extended path is told that path; what
    // it shows (the self-extractor's proposed folder) is the plain form.
    const std::u16string plain = plain_path(std::u16string(buffer.data(), buffer.data() + length));
    return std::filesystem::path(std::wstring(plain.begin(), plain.end()));
  }
}

std::vector<std::string> command_line_arguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 1; i < count; ++i) args.push_back(utf16_to_utf8(from_wide(wide[i])));
  LocalFree(wide);
  return args;
}

std::filesystem::path path_from_argument(std::string_view argument) {
  return path_from_utf8(argument);
}

void load_libraries_from_system_folder_only() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

void prepare_console_output() {
  SetConsoleOutputCP(CP_UTF8);
  // Our texts hold exactly the line feeds they mean: no CR LF translation.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

namespace {

bool is_console(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

namespace {
std::atomic<bool>* interrupt_flag = nullptr;
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  interrupt_flag->store(true);
  return TRUE;
}
}  // namespace

void stop_on_interrupt(std::atomic<bool>* flag) {
  interrupt_flag = flag;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stdin_is_terminal() { return is_console(STD_INPUT_HANDLE); }
bool stderr_is_terminal() { return is_console(STD_ERROR_HANDLE); }

namespace {

// The console's input mode before a secret is typed, for the handler that
// puts it back when Ctrl-C, Ctrl-Break or closing the console arrives while
// echo is off.
HANDLE console_input = nullptr;
DWORD console_mode_before = 0;

BOOL WINAPI restore_console_mode(DWORD) {
  SetConsoleMode(console_input, console_mode_before);
  return FALSE;  // on to the handlers installed before; the system's own ends the process
}

OsError secret_too_long() { return OsError{0, "haslo jest za dlugie", false}; }
OsError secret_interrupted() { return OsError{0, "przerwano", true}; }

// Not a console (a pipe): bytes as they come; the rest of a line too long
// for `out` is read and dropped.
OsResult<std::size_t> read_piped_line(HANDLE input, std::span<std::uint8_t> out) {
  std::size_t length = 0;
  bool too_long = false;
  for (;;) {
    std::uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(input, &byte, 1, &got, nullptr) || got == 0 || byte == '\n') break;
    if (byte == '\r') continue;
    if (length < out.size()) {
      out[length++] = byte;
    } else {
      too_long = true;
    }
  }
  if (too_long) return std::unexpected(secret_too_long());
  return length;
}

// Reads what is left of the line and drops it, so that the shell does not
// read it as its next command.
void drop_rest_of_line(HANDLE input, std::span<wchar_t> buffer) {
  for (;;) {
    DWORD got = 0;
    if (!ReadConsoleW(input, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) || got == 0) return;
    if (std::wstring_view(buffer.data(), got).find(L'\n') != std::wstring_view::npos) return;
  }
}

// The line in one read. The console may cut a typed line at the size of the
// read (the classic console host edits it in a buffer that large, 256 units
// at least); `buffer` has room for the longest line that fits `out` (a unit
// is at least one byte), its CR LF and one unit more, so a line that fills
// it is refused, never taken cut.
OsResult<std::size_t> read_console_line(HANDLE input, std::span<wchar_t> buffer, std::span<std::uint8_t> out) {
  DWORD got = 0;
  if (!ReadConsoleW(input, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED) return std::unexpected(secret_interrupted());
    return std::unexpected(windows_error(error));
  }
  // Ctrl-C ends a read with nothing; the end of console input is a character (Ctrl-Z).
  if (got == 0) return std::unexpected(secret_interrupted());
  const std::u16string_view read(reinterpret_cast<const char16_t*>(buffer.data()), got);
  if (read.find(u'\n') == std::u16string_view::npos) {
    drop_rest_of_line(input, buffer);
    return std::unexpected(secret_too_long());
  }
  const std::optional<std::size_t> length = console_line_to_utf8(read, out);
  if (!length) return std::unexpected(secret_too_long());
  return *length;
}

}  // namespace

OsResult<std::size_t> read_secret_line(std::string_view prompt, std::span<std::uint8_t> out) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const auto show_prompt = [&] {
    std::fwrite(prompt.data(), 1, prompt.size(), stderr);
    std::fflush(stderr);
  };
  DWORD before = 0;
  if (!GetConsoleMode(input, &before)) {
    show_prompt();
    return read_piped_line(input, out);
  }
  // UTF-16 from the console into locked pages of our own, wiped before they
  // are freed, and from there as UTF-8 straight into the caller's buffer.
  const std::size_t units = out.size() + 3;
  const std::size_t bytes = units * sizeof(wchar_t);
  auto* buffer = static_cast<wchar_t*>(allocate_pages(bytes));
  if (!buffer) return std::unexpected(windows_error(ERROR_NOT_ENOUGH_MEMORY));
  const bool locked = lock_memory(buffer, bytes);

  console_input = input;
  console_mode_before = before;
  SetConsoleCtrlHandler(restore_console_mode, TRUE);
  SetConsoleMode(input, (before | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  show_prompt();
  OsResult<std::size_t> result = read_console_line(input, std::span(buffer, units), out);
  SetConsoleMode(input, before);
  SetConsoleCtrlHandler(restore_console_mode, FALSE);
  WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), L"\r\n", 2, nullptr, nullptr);

  wipe_memory(buffer, bytes);
  if (locked) unlock_memory(buffer, bytes);
  free_pages(buffer, bytes);
  return result;
}

namespace {

template <class Fn>
Fn entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Authenticode verification, loaded from System32 on first use (never from
// beside the program) and never unloaded.
struct TrustLibrary {
  decltype(&WinVerifyTrust) verify = nullptr;
  decltype(&WTHelperProvDataFromStateData) provider_data = nullptr;
  decltype(&WTHelperGetProvSignerFromChain) signer = nullptr;
  decltype(&WTHelperGetProvCertFromChain) certificate = nullptr;
  decltype(&CertGetNameStringW) name = nullptr;

  bool complete() const { return verify && provider_data && signer && certificate && name; }

  static const TrustLibrary& instance() {
    static const TrustLibrary library = [] {
      TrustLibrary loaded;
      HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      if (!wintrust || !crypt32) return loaded;
      loaded.verify = entry<decltype(&WinVerifyTrust)>(wintrust, "WinVerifyTrust");
      loaded.provider_data = entry<decltype(&WTHelperProvDataFromStateData)>(wintrust, "WTHelperProvDataFromStateData");
      loaded.signer = entry<decltype(&WTHelperGetProvSignerFromChain)>(wintrust, "WTHelperGetProvSignerFromChain");
      loaded.certificate = entry<decltype(&WTHelperGetProvCertFromChain)>(wintrust, "WTHelperGetProvCertFromChain");
      loaded.name = entry<decltype(&CertGetNameStringW)>(crypt32, "CertGetNameStringW");
      return loaded;
    }();
    return library;
  }
};

// The display name of the first signer's certificate in a verified state.
std::string signer_name(const TrustLibrary& trust, HANDLE state) {
  CRYPT_PROVIDER_DATA* data = trust.provider_data(state);
  CRYPT_PROVIDER_SGNR* signer = data ? trust.signer(data, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* certificate = signer ? trust.certificate(signer, 0) : nullptr;
  if (!certificate || !certificate->pCert) return {};
  const DWORD length = trust.name(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (length <= 1) return {};
  std::wstring name(length, L'\0');
  trust.name(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length);
  name.resize(length - 1);
  return utf16_to_utf8(from_wide(name));
}

}  // namespace

std::optional<SignatureTrust> check_code_signature(const std::filesystem::path& path) {
  const TrustLibrary& trust = TrustLibrary::instance();
  if (!trust.complete()) return std::nullopt;
  const std::wstring name = system_path(path);
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = name.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

  SignatureTrust result;
  result.trusted = status == ERROR_SUCCESS;
  if (result.trusted) result.signer = signer_name(trust, data.hWVTStateData);
  else result.verdict = windows_error(static_cast<DWORD>(status));
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

}  // namespace quarn::platform

// Win32 implementation of the platform interface. Every path crosses into
// the system as UTF-16; nothing goes through the ANSI code page.
#include <windows.h>
#include <shellapi.h>

#include "core/platform/platform.h"
#include "core/platform/utf.h"

namespace quarn::platform {
namespace {

std::wstring to_wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string from_wide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

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

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

OsResult<FileKind> query_kind(const std::filesystem::path& path) {
  // Opening the path follows links to their target, as the query must.
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  FILE_BASIC_INFO info{};
  const BOOL ok = GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info);
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) return std::unexpected(windows_error(error));
  if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Directory;
  if (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::Symlink;
  if (info.FileAttributes & FILE_ATTRIBUTE_DEVICE) return FileKind::Other;
  return FileKind::File;
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
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  return File(reinterpret_cast<std::intptr_t>(h));
}

OsResult<std::uint64_t> File::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle_of(handle_), &size)) return std::unexpected(last_error());
  return static_cast<std::uint64_t>(size.QuadPart);
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

void prepare_console_output() { SetConsoleOutputCP(CP_UTF8); }

}  // namespace quarn::platform

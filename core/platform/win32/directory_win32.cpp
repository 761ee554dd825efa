// Win32 implementation of Directory: everything below a folder is opened by
// one name relative to the folder's handle (NtCreateFile with a root
// directory; CreateFileW takes only whole paths, whose inner components it
// would follow through junctions), and first with FILE_OPEN_REPARSE_POINT,
// so a reparse point is opened as itself, never followed. A link is refused;
// a file whose data a filter keeps elsewhere (a cloud-storage placeholder)
// is opened again through its filter to be read.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "core/platform/platform.h"
#include "core/platform/reparse_tag.h"
#include "core/platform/win32/win32_internal.h"

namespace quarn::platform {
namespace {

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t value_of(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK folder_access = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
// ERROR_REPARSE_POINT_ENCOUNTERED, which mingw-w64's headers lack.
constexpr DWORD reparse_point_encountered = 4395;

struct Opened {
  HANDLE handle;
  bool created;  // made by this call, so it cannot be a reparse point
};

enum class Reparse { AsItself, Through };

// The one place where something below a folder is opened or created: `name`
// (one component, or a file's name with ":stream") relative to `folder`,
// as the reparse point itself where there is one unless told otherwise.
OsResult<Opened> open_below(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG disposition,
                            ULONG options, Reparse reparse = Reparse::AsItself) {
  if (name.size() * sizeof(wchar_t) > 0xFFFE) return std::unexpected(windows_error(ERROR_FILENAME_EXCED_RANGE));
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  const NTSTATUS status =
      NtCreateFile(&h, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share_all, disposition,
                   options | (reparse == Reparse::AsItself ? FILE_OPEN_REPARSE_POINT : 0) |
                       FILE_SYNCHRONOUS_IO_NONALERT,
                   nullptr, 0);
  if (!NT_SUCCESS(status)) return std::unexpected(windows_error(RtlNtStatusToDosError(status)));
  return Opened{h, io.Information == FILE_CREATED};
}

OsError link_refused() {
  OsError refused = windows_error(reparse_point_encountered);
  refused.link_refused = true;
  return refused;
}

bool is_link(const FILE_ATTRIBUTE_TAG_INFO& info) {
  return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && is_link_reparse_tag(info.ReparseTag);
}

// Whether two handles are open on the same file: by the 128-bit file id
// where the file system gives one (ReFS's 64-bit index is not unique), else
// by the 64-bit index.
bool same_file(HANDLE a, HANDLE b) {
  FILE_ID_INFO first_id{}, second_id{};
  if (GetFileInformationByHandleEx(a, FileIdInfo, &first_id, sizeof first_id) &&
      GetFileInformationByHandleEx(b, FileIdInfo, &second_id, sizeof second_id))
    return first_id.VolumeSerialNumber == second_id.VolumeSerialNumber &&
           std::memcmp(&first_id.FileId, &second_id.FileId, sizeof first_id.FileId) == 0;
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

// A folder opened below another: refused when it is a link.
OsResult<HANDLE> folder_below(HANDLE folder, const std::filesystem::path& name, ULONG disposition) {
  auto opened = open_below(folder, name.native(), folder_access, disposition, FILE_DIRECTORY_FILE);
  if (!opened) {
    OsError failure = std::move(opened.error());
    failure.not_directory = failure.code == ERROR_DIRECTORY;
    return std::unexpected(std::move(failure));
  }
  if (!opened->created) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    const BOOL known = GetFileInformationByHandleEx(opened->handle, FileAttributeTagInfo, &info, sizeof info);
    const DWORD error = GetLastError();
    if (!known || is_link(info)) {
      CloseHandle(opened->handle);
      if (!known) return std::unexpected(windows_error(error));
      return std::unexpected(link_refused());
    }
  }
  return opened->handle;
}

std::uint64_t ticks_of(const LARGE_INTEGER& time) { return static_cast<std::uint64_t>(time.QuadPart); }

// The entry a listing record describes, or nothing for "." and "..". The
// 64-bit records keep a reparse point's tag in EaSize.
template <class Record>
std::optional<DirectoryEntry> entry_of(const Record& found, std::uint64_t volume) {
  const std::wstring_view name(found.FileName, found.FileNameLength / sizeof(WCHAR));
  if (name == L"." || name == L"..") return std::nullopt;
  DirectoryEntry entry;
  entry.name = std::wstring(name);
  entry.identity.volume = volume;
  DWORD reparse_tag = 0;
  if constexpr (std::is_same_v<Record, FILE_ID_EXTD_DIR_INFO>) {
    reparse_tag = found.ReparsePointTag;
    std::memcpy(&entry.identity.file_low, found.FileId.Identifier, sizeof entry.identity.file_low);
    std::memcpy(&entry.identity.file_high, found.FileId.Identifier + sizeof entry.identity.file_low,
                sizeof entry.identity.file_high);
  } else {
    reparse_tag = found.EaSize;
    entry.identity.file_low = static_cast<std::uint64_t>(found.FileId.QuadPart);
  }
  entry.info = file_info_of(found.FileAttributes, reparse_tag, static_cast<std::uint64_t>(found.EndOfFile.QuadPart),
                            ticks_of(found.CreationTime), ticks_of(found.LastWriteTime));
  return entry;
}

// Appends the entries of one buffer of listing records.
template <class Record>
void add_entries(const std::uint8_t* at, std::uint64_t volume, std::vector<DirectoryEntry>& entries) {
  for (;;) {
    const auto& found = *reinterpret_cast<const Record*>(at);
    if (auto entry = entry_of(found, volume)) entries.push_back(std::move(*entry));
    if (found.NextEntryOffset == 0) return;
    at += found.NextEntryOffset;
  }
}

}  // namespace

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
  if (handle_ != invalid_handle) CloseHandle(handle_of(handle_));
  handle_ = invalid_handle;
}

OsResult<Directory> Directory::open(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(system_path(path).c_str(), folder_access | SYNCHRONIZE, share_all, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  FILE_BASIC_INFO info{};
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info) ||
      !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    return std::unexpected(windows_error(error ? error : ERROR_DIRECTORY));
  }
  return Directory(value_of(h));
}

OsResult<Directory> Directory::create_directory(const std::filesystem::path& name) const {
  auto folder = folder_below(handle_of(handle_), name, FILE_OPEN_IF);
  if (!folder) return std::unexpected(std::move(folder.error()));
  return Directory(value_of(*folder));
}

OsResult<Directory> Directory::open_directory(const std::filesystem::path& name) const {
  auto folder = folder_below(handle_of(handle_), name, FILE_OPEN);
  if (!folder) return std::unexpected(std::move(folder.error()));
  return Directory(value_of(*folder));
}

OsResult<std::vector<DirectoryEntry>> Directory::list() const {
  // A handle of its own, opened again from this one: a listing moves through
  // the folder with its handle, and this handle may be listing on another
  // thread.
  auto opened = open_below(handle_of(handle_), std::wstring(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_OPEN,
                           FILE_DIRECTORY_FILE);
  if (!opened) return std::unexpected(std::move(opened.error()));
  const Directory listing(value_of(opened->handle));
  // The entries' volume is the folder's.
  auto folder = handle_identity(opened->handle);
  if (!folder) return std::unexpected(std::move(folder.error()));

  std::vector<DirectoryEntry> entries;
  std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // records are 8-byte aligned
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
  const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdExtdDirectoryInfo;
  bool first = true;
  for (;;) {
    if (!GetFileInformationByHandleEx(opened->handle, kind, buffer.data(), size)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_FILES) break;
      // Where the 128-bit ids are not known (before Windows 8, some file
      // systems), the 64-bit ones, as handle_identity falls back to them
      // (NTFS's 128-bit id is its 64-bit one, widened).
      if (first && kind == FileIdExtdDirectoryInfo) {
        kind = FileIdBothDirectoryInfo;
        continue;
      }
      return std::unexpected(windows_error(error));
    }
    first = false;
    if (kind == FileIdExtdDirectoryInfo) add_entries<FILE_ID_EXTD_DIR_INFO>(bytes, folder->volume, entries);
    else add_entries<FILE_ID_BOTH_DIR_INFO>(bytes, folder->volume, entries);
  }
  return entries;
}

OsResult<File> Directory::open_file(const std::filesystem::path& name) const {
  constexpr ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY;
  auto opened = open_below(handle_of(handle_), name.native(), GENERIC_READ, FILE_OPEN, options);
  if (!opened) return std::unexpected(std::move(opened.error()));
  File file(value_of(opened->handle));
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!GetFileInformationByHandleEx(opened->handle, FileAttributeTagInfo, &info, sizeof info))
    return std::unexpected(last_error());
  if (!(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return file;
  if (is_link(info)) return std::unexpected(link_refused());
  // Opened as itself, a placeholder need not give its data: opened again
  // through its filter, and kept only when that reached the same file (not
  // a link put in its place between the two).
  auto through = open_below(handle_of(handle_), name.native(), GENERIC_READ, FILE_OPEN, options, Reparse::Through);
  if (!through) return std::unexpected(std::move(through.error()));
  File data(value_of(through->handle));
  if (!same_file(opened->handle, through->handle)) return std::unexpected(link_refused());
  return data;
}

OsResult<File> Directory::create_file(const std::filesystem::path& name) const {
  auto opened = open_below(handle_of(handle_), name.native(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_CREATE,
                           FILE_NON_DIRECTORY_FILE);
  if (!opened) return std::unexpected(std::move(opened.error()));
  return File(value_of(opened->handle));
}

// The stream is opened relative to the file's own handle, so it belongs to
// the file written whatever stands under its name by now. Where a stream
// cannot be opened that way (Wine) it is opened by the name, once the name
// was found to be that file still.
OsResult<void> Directory::write_zone_identifier(const File& file, const std::filesystem::path& name,
                                                std::span<const std::uint8_t> mark) const {
  const std::wstring stream_name = L":Zone.Identifier";
  auto opened = open_below(handle_of(file.handle_), stream_name, GENERIC_WRITE, FILE_OVERWRITE_IF,
                           FILE_NON_DIRECTORY_FILE);
  if (!opened) {
    auto named = open_below(handle_of(handle_), name.native(), FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!named) return std::unexpected(std::move(named.error()));
    const bool same = same_file(named->handle, handle_of(file.handle_));
    CloseHandle(named->handle);
    if (!same) return std::unexpected(link_refused());
    opened = open_below(handle_of(handle_), name.native() + stream_name, GENERIC_WRITE, FILE_OVERWRITE_IF,
                        FILE_NON_DIRECTORY_FILE);
    if (!opened) return std::unexpected(std::move(opened.error()));
  }
  File stream(value_of(opened->handle));
  return stream.write_all(mark);
}

OsResult<void> Directory::set_attributes(const std::filesystem::path& name, std::uint32_t attributes) const {
  auto opened = open_below(handle_of(handle_), name.native(), FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0);
  if (!opened) return std::unexpected(std::move(opened.error()));
  // Zero times leave them alone. As SetFileAttributesW: NORMAL keeps the
  // value from being 0 (which would mean "unchanged") and is dropped beside
  // any other bit.
  FILE_BASIC_INFO info{};
  info.FileAttributes = attributes | FILE_ATTRIBUTE_NORMAL;
  const BOOL ok = SetFileInformationByHandle(opened->handle, FileBasicInfo, &info, sizeof info);
  const DWORD error = GetLastError();
  CloseHandle(opened->handle);
  if (!ok) return std::unexpected(windows_error(error));
  return {};
}

bool Directory::stamp_directory_times(const std::filesystem::path& name, std::uint64_t created_ticks,
                                      std::uint64_t modified_ticks) const {
  if (created_ticks == 0 && modified_ticks == 0) return true;
  auto opened = open_below(handle_of(handle_), name.native(), FILE_WRITE_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE);
  if (!opened) return false;
  const bool ok = set_handle_times(opened->handle, created_ticks, modified_ticks);
  CloseHandle(opened->handle);
  return ok;
}

}  // namespace quarn::platform

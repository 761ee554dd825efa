#include "sfx/win32/startup.h"

#include <windows.h>

#include "core/archive/header.h"
#include "core/platform/platform.h"
#include "core/volumes/volume_set.h"

namespace quarn::sfx::win32 {

void harden_process() {
  // Before anything can load a library: from now on libraries come from
  // System32 only, never from the folder the program was run from.
  platform::load_libraries_from_system_folder_only();

  // Each policy structure is one DWORD of flags, passed with size 4. The
  // flags go in as plain DWORDs: mingw-w64 declares the dynamic-code
  // structure with 33 bits of fields, which makes it 8 bytes long.
  // A refusal (an older system, a policy already set) leaves the others to be tried.
  DWORD image_load = 7;  // NoRemoteImages | NoLowMandatoryLabelImages | PreferSystem32Images
  SetProcessMitigationPolicy(ProcessImageLoadPolicy, &image_load, sizeof image_load);

  DWORD strict_handles = 3;  // RaiseExceptionOnInvalidHandleReference | HandleExceptionsPermanentlyEnabled
  SetProcessMitigationPolicy(ProcessStrictHandleCheckPolicy, &strict_handles, sizeof strict_handles);

  DWORD dynamic_code = 1;  // ProhibitDynamicCode
  SetProcessMitigationPolicy(ProcessDynamicCodePolicy, &dynamic_code, sizeof dynamic_code);
}

std::filesystem::path own_executable_path() {
  // GetModuleFileNameW with no module, into 512 units at first, doubled
  // while the path does not fit.
  return platform::executable_path();
}

std::optional<ArchiveProbe> probe_archive(const std::filesystem::path& own_path) {
  if (own_path.empty()) return std::nullopt;
  auto volumes = VolumeSet::open(own_path);
  if (!volumes) return std::nullopt;
  auto header = Header::read(*volumes);
  if (!header) return std::nullopt;
  // The container closes when `volumes` ends; the job opens it afresh.
  return ArchiveProbe{header->encrypted(), header->mode};
}

}  // namespace quarn::sfx::win32

#include "sfx/win32/folder_picker.h"

#include <oleauto.h>
#include <shobjidl.h>

#include <string_view>

#include "sfx/window_model.h"

namespace quarn::sfx::win32 {
namespace {

// A failed COM call may leave error information on the thread; fetch it and
// let it go so that nothing lingers.
void drop_error_info() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) info->Release();
}

template <class T>
struct Released {
  T* p = nullptr;
  ~Released() {
    if (p) p->Release();
  }
};

}  // namespace

std::optional<std::string> pick_folder(HWND owner) {
  Released<IFileOpenDialog> dialog;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                              reinterpret_cast<void**>(&dialog.p)))) {
    drop_error_info();
    return std::nullopt;
  }

  FILEOPENDIALOGOPTIONS options = 0;
  if (FAILED(dialog.p->GetOptions(&options))) {
    drop_error_info();
    options = 0;
  }
  options |= FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM;
  if (FAILED(dialog.p->SetOptions(options))) drop_error_info();

  // Cancelling is reported as a failure too; either way nothing changes.
  if (FAILED(dialog.p->Show(owner))) {
    drop_error_info();
    return std::nullopt;
  }

  Released<IShellItem> item;
  if (FAILED(dialog.p->GetResult(&item.p)) || !item.p) {
    drop_error_info();
    return std::nullopt;
  }
  PWSTR chosen = nullptr;
  if (FAILED(item.p->GetDisplayName(SIGDN_FILESYSPATH, &chosen)) || !chosen) {
    drop_error_info();
    return std::nullopt;
  }
  const std::wstring_view units(chosen);
  std::optional<std::string> folder =
      strict_utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(units.data()), units.size()));
  CoTaskMemFree(chosen);
  return folder;
}

}  // namespace quarn::sfx::win32

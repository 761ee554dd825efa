// Start-up before the window: hardening the process, finding the program's
// own file and probing it for an attached archive.
#pragma once

#include <filesystem>
#include <optional>

#include "core/crypto/encryption_mode.h"

namespace quarn::sfx::win32 {

// First, libraries from System32 only (the program imports only kernel32
// and the C runtime; every other system library is loaded at first use).
// Then the three mitigation policies: image loads only from local, not
// low-labelled images with System32 first; invalid handles fatal, for good;
// no dynamic code. Each failure is ignored.
void harden_process();

// The full path of the running executable; empty when it cannot be had.
std::filesystem::path own_executable_path();

// What the window needs of the attached archive's header.
struct ArchiveProbe {
  bool encrypted = false;
  EncryptionMode mode = EncryptionMode::None;
};

// Opens the archive container of `own_path`, reads the header and closes
// every part again. Nothing when no readable archive is attached, whatever
// the reason.
std::optional<ArchiveProbe> probe_archive(const std::filesystem::path& own_path);

}  // namespace quarn::sfx::win32

// Makes archives in memory or on disk with the writer, with tiny Argon2id
// costs and fixed salts, and reads them back through the reader's own steps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/archive/load_manifest.h"
#include "writer/archive_writer.h"

namespace quarn::test {

inline constexpr const char* test_password = "zażółć gęślą jaźń";

// Writer options for fast tests: Argon2id with 8 KiB, 1 pass, 1 lane.
writer::WriterOptions fast_options(EncryptionMode mode, std::uint16_t version = 2);

// Writes `files` (archive path -> content; a path ending in '/' is a
// directory) under `dir` and archives them into `out`.
// `after_listing`, when given, runs once the inputs are listed and before
// they are read, with the folder that holds them.
Result<writer::WriteSummary> make_archive(
    const std::filesystem::path& dir, const std::map<std::string, std::string>& files,
    const writer::WriterOptions& options, const writer::OutputOptions& out,
    const std::function<void(const std::filesystem::path&)>& after_listing = {});

struct ReadBack {
  Header header;
  LoadedManifest loaded;
  std::map<std::string, std::string> files;  // path -> content, directories as "" with '/' appended
};

// The reader's whole path: container, header, keys, file list, every data
// frame through DataFrameReader and FrameDecoder, each file's SHA-256.
Result<ReadBack> read_back(const std::filesystem::path& archive, const char* password = test_password,
                           const std::optional<std::filesystem::path>& key_file = std::nullopt,
                           Fido2Authenticator* authenticator = nullptr);

std::vector<std::uint8_t> read_file(const std::filesystem::path& path);

}  // namespace quarn::test

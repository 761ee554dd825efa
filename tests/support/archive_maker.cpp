#include "tests/support/archive_maker.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/archive/frame.h"
#include "core/archive/output_writer.h"
#include "core/crypto/hash.h"
#include "tests/support/temp_dir.h"

namespace quarn::test {
writer::WriterOptions fast_options(EncryptionMode mode, std::uint16_t version) {
  writer::WriterOptions o;
  o.mode = mode;
  o.version = version;
  o.argon2 = Argon2Params{8, 1, 1};
  o.threads = 2;
  o.created_unix = 1700000000;
  std::array<std::uint8_t, 48> salts{};
  for (std::size_t i = 0; i < salts.size(); ++i) salts[i] = static_cast<std::uint8_t>(i * 7 + 1);
  o.fixed_salts = salts;
  return o;
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

Result<writer::WriteSummary> make_archive(const std::filesystem::path& dir,
                                          const std::map<std::string, std::string>& files,
                                          const writer::WriterOptions& options, const writer::OutputOptions& out,
                                          const std::function<void(const std::filesystem::path&)>& after_listing) {
  const auto root = dir / "input";
  std::filesystem::create_directories(root);
  for (const auto& [path, content] : files) {
    if (path.ends_with('/')) {
      std::filesystem::create_directories(root / platform::path_from_utf8(path.substr(0, path.size() - 1)));
      continue;
    }
    const auto target = root / platform::path_from_utf8(path);
    std::filesystem::create_directories(target.parent_path());
    write_file(target, bytes_of(content));
  }
  std::vector<std::filesystem::path> inputs;
  const auto names = platform::list_directory(root).value();
  for (const auto& name : names) inputs.push_back(root / name);
  std::sort(inputs.begin(), inputs.end());
  auto tree = writer::gather_inputs(inputs);
  if (!tree) return std::unexpected(tree.error());
  if (after_listing) after_listing(root);
  auto output = writer::ArchiveOutput::create(out);
  if (!output) return std::unexpected(output.error());
  const std::string pw = test_password;
  const SecretBuffer password = SecretBuffer::from_bytes(bytes_of(pw));
  return writer::write_archive(*tree, options, &password, *output);
}

Result<ReadBack> read_back(const std::filesystem::path& archive, const char* password,
                           const std::optional<std::filesystem::path>& key_file, Fido2Authenticator* authenticator) {
  auto volumes = VolumeSet::open(archive);
  if (!volumes) return std::unexpected(volumes.error());
  auto header = Header::read(*volumes);
  if (!header) return std::unexpected(header.error());
  const SecretBuffer secret = SecretBuffer::from_bytes(bytes_of(password));
  SecondFactorOptions factors;
  factors.key_file = key_file;
  auto cipher = authenticator ? derive_keys(key_material(*header), &secret, factors, *authenticator)
                              : derive_keys(key_material(*header), &secret, factors);
  if (!cipher) return std::unexpected(cipher.error());
  auto loaded = load_manifest(*volumes, *header, *cipher);
  if (!loaded) return std::unexpected(loaded.error());

  auto frames_volumes = VolumeSet::open(archive);
  if (!frames_volumes) return std::unexpected(frames_volumes.error());
  DataFrameReader reader(std::move(*frames_volumes), *header, loaded->manifest.data_frames, loaded->filelist_offset);
  FrameDecoder decoder(*cipher, loaded->digest);
  std::vector<std::vector<std::uint8_t>> plain;
  for (;;) {
    auto frame = reader.next();
    if (!frame) return std::unexpected(frame.error());
    if (!*frame) break;
    auto data = decoder.decode(std::move(**frame));
    if (!data) return std::unexpected(data.error());
    plain.push_back(std::move(*data));
  }
  ReadBack result{std::move(*header), std::move(*loaded), {}};
  for (const Entry& e : result.loaded.manifest.entries) {
    if (e.kind == EntryKind::Dir) {
      result.files[e.path + "/"] = "";
      continue;
    }
    std::string content;
    for (std::uint64_t i = e.first_frame; i < e.first_frame + e.frames; ++i)
      content.append(plain[i].begin(), plain[i].end());
    if (content.size() != e.size || sha256_hex(crypto::sha256(bytes_of(content))) != *e.sha256)
      return std::unexpected(ArchiveError::integrity("sha256 " + e.path));
    result.files[e.path] = std::move(content);
  }
  return result;
}

}  // namespace quarn::test

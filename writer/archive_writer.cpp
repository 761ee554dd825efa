#include "writer/archive_writer.h"

#include <nlohmann/json.hpp>
#include <zstd.h>

#include <ctime>
#include <thread>

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/archive/manifest.h"
#include "core/archive/output_writer.h"
#include "core/crypto/hash.h"
#include "core/crypto/key_derivation.h"
#include "core/crypto/second_factors.h"
#include "core/platform/platform.h"
#include "core/platform/system.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"
#include "writer/frame_encoder.h"

namespace quarn::writer {

Result<void> second_factors_allowed(EncryptionMode mode, std::uint16_t version) {
  if (mode == EncryptionMode::None) return std::unexpected(ArchiveError::message("Drugi składnik wymaga szyfrowania."));
  if (version == format::version_1)
    return std::unexpected(ArchiveError::message("Drugi składnik wymaga formatu w wersji 2."));
  return {};
}

namespace {

Result<void> check_options(const WriterOptions& o, const SecretBuffer* password) {
  const auto refuse = [](const char* text) { return std::unexpected(ArchiveError::message(text)); };
  if (o.version != format::version_1 && o.version != format::version_2)
    return refuse("Wersja formatu musi być 1 albo 2.");
  if (o.block_size == 0 || o.block_size > format::max_block_size)
    return refuse("Rozmiar bloku musi wynosić od 1 B do 64 MiB.");
  if (o.zstd_level < 0 || o.zstd_level > ZSTD_maxCLevel()) return refuse("Poziom kompresji musi wynosić od 0 do 22.");
  if (o.key_file || o.fido2) {
    if (auto allowed = second_factors_allowed(o.mode, o.version); !allowed) return allowed;
  }
  if (o.mode == EncryptionMode::None) return {};
  if (!password || password->empty()) return refuse("Podaj hasło: szyfrowane archiwum bez hasła nie powstanie.");
  if (!argon2_params_allowed(o.argon2))
    return refuse("Parametry Argon2id poza zakresem: wątki 1-64, przebiegi 1-64, pamięć od 8 KiB na wątek do 4 GiB.");
  if (o.fido2 && (!o.fido2->hmac_secret_output || o.fido2->hmac_secret_output->size() != FIDO2_HMAC_SECRET_SIZE))
    return refuse("Niepoprawny opis klucza FIDO2.");
  if (o.fido2 && (o.fido2->credential_id.empty() || o.fido2->credential_id.size() > 0xFFFF ||
                  o.fido2->rp_id.size() > 0xFFFF))
    return refuse("Niepoprawny opis klucza FIDO2.");
  return {};
}

std::vector<std::uint8_t> extension_bytes(const WriterOptions& o) {
  std::vector<std::uint8_t> out;
  const auto record = [&](std::uint16_t type, const std::vector<std::uint8_t>& payload) {
    append_le(out, type);
    append_le(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
  };
  if (o.key_file) record(format::extension_key_file_required, {});
  if (o.fido2) {
    std::vector<std::uint8_t> d;
    append_le(d, static_cast<std::uint16_t>(o.fido2->rp_id.size()));
    d.insert(d.end(), o.fido2->rp_id.begin(), o.fido2->rp_id.end());
    append_le(d, static_cast<std::uint16_t>(o.fido2->credential_id.size()));
    d.insert(d.end(), o.fido2->credential_id.begin(), o.fido2->credential_id.end());
    d.insert(d.end(), o.fido2->salt.begin(), o.fido2->salt.end());
    record(format::extension_fido2_key, d);
  }
  return out;
}

struct Keyed {
  Header header;
  FrameCipher cipher;
};

// Builds the header and the cipher: fresh salts, Argon2id and the tag for an
// encrypted archive, a plain SHA-512 tag otherwise.
Result<Keyed> prepare_header(const WriterOptions& o, const SecretBuffer* password) {
  Keyed k;
  Header& h = k.header;
  h.version = o.version;
  h.mode = o.mode;
  h.compression = o.zstd_level > 0 ? 1 : 0;
  h.block_size = o.block_size;
  if (o.mode == EncryptionMode::None) {
    h.header_tag = crypto::sha512(h.canonical_bytes());
    k.cipher = plain_cipher();
    return k;
  }
  h.flags = format::flag_encrypted;
  h.argon2 = o.argon2;
  h.extensions = extension_bytes(o);
  if (o.fixed_salts) {
    std::copy_n(o.fixed_salts->begin(), 32, h.argon2_salt.begin());
    std::copy_n(o.fixed_salts->begin() + 32, 16, h.hkdf_salt.begin());
  } else if (!platform::random_bytes(h.argon2_salt) || !platform::random_bytes(h.hkdf_salt)) {
    return std::unexpected(ArchiveError::message("Systemowy generator losowy zawiódł."));
  }

  SecretBuffer factors(factor_string_size(o.key_file.has_value(), o.fido2.has_value()));
  std::span<std::uint8_t> rest = factors.mutable_view();
  if (o.key_file) {
    rest[0] = FACTOR_KEY_FILE;
    if (auto hashed = hash_key_file(*o.key_file, rest.subspan(1).first<KEY_FILE_DIGEST_SIZE>()); !hashed)
      return std::unexpected(std::move(hashed.error()));
    rest = rest.subspan(1 + KEY_FILE_DIGEST_SIZE);
  }
  if (o.fido2) {
    rest[0] = FACTOR_FIDO2;
    const auto secret = o.fido2->hmac_secret_output->view();
    std::copy(secret.begin(), secret.end(), rest.begin() + 1);
  }
  auto keys = derive_key_set(o.argon2, h.argon2_salt, h.hkdf_salt, password->view(), factors.view());
  factors.release();
  if (!keys) return std::unexpected(std::move(keys.error()));
  h.header_tag = header_tag(*keys, h.canonical_bytes());
  k.cipher = build_cipher(o.mode, *keys);
  keys->release();
  return k;
}

std::string manifest_json(const std::vector<Entry>& entries, const WriterOptions& o,
                          std::uint64_t data_frames, std::uint64_t total_size) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Entry& e : entries) {
    nlohmann::ordered_json j;
    j["path"] = e.path;
    j["kind"] = e.kind == EntryKind::Dir ? "dir" : "file";
    j["size"] = e.size;
    j["attributes"] = e.attributes;
    j["created"] = e.created;
    j["modified"] = e.modified;
    j["sha256"] = e.sha256 ? nlohmann::ordered_json(*e.sha256) : nlohmann::ordered_json(nullptr);
    j["first_frame"] = e.first_frame;
    j["frames"] = e.frames;
    j["offset"] = e.offset;
    list.push_back(std::move(j));
  }
  nlohmann::ordered_json doc;
  doc["format"] = "quarn";
  doc["version"] = 1;
  doc["created_unix"] = o.created_unix >= 0 ? o.created_unix : static_cast<std::int64_t>(std::time(nullptr));
  doc["tool"] = o.tool;
  doc["data_frames"] = data_frames;
  doc["total_size"] = total_size;
  doc["entries"] = std::move(list);
  return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

Result<void> write_frame(ArchiveOutput& output, const Frame& frame) {
  const auto head = frame.header.encode();
  if (auto ok = output.write(head); !ok) return ok;
  return output.write(frame.payload);
}

}  // namespace

Result<WriteSummary> write_archive(const InputTree& inputs, const WriterOptions& options,
                                   const SecretBuffer* password, ArchiveOutput& output) {
  if (auto ok = check_options(options, password); !ok) return std::unexpected(std::move(ok.error()));
  auto keyed = prepare_header(options, password);
  if (!keyed) return std::unexpected(std::move(keyed.error()));
  const Header& header = keyed->header;
  const HeaderDigest digest = header.digest();

  std::vector<std::uint8_t> stored_header = header.canonical_bytes();
  stored_header.insert(stored_header.end(), header.header_tag.begin(), header.header_tag.end());
  if (auto ok = output.write(stored_header); !ok) return std::unexpected(std::move(ok.error()));

  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  EncodingPool pool(keyed->cipher, digest, options.zstd_level, threads);
  const auto drain = [&](bool all) -> Result<void> {
    while (pool.in_flight() > 0 && (all || pool.in_flight() >= pool.limit())) {
      if (auto ok = write_frame(output, *pool.next(true)); !ok) return ok;
    }
    return {};
  };

  WriteSummary summary;
  std::vector<Entry> entries;
  std::uint64_t index = 0;
  for (const InputEntry& input : inputs.entries) {
    Entry e;
    e.path = input.archive_path;
    e.kind = input.is_directory ? EntryKind::Dir : EntryKind::File;
    e.attributes = input.attributes;
    e.created = input.created;
    e.modified = input.modified;
    if (input.is_directory) {
      ++summary.directories;
      entries.push_back(std::move(e));
      continue;
    }
    auto file = platform::File::open_for_reading(input.source);
    if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
    crypto::Sha256 sha;
    e.first_frame = index;
    for (std::uint64_t at = 0;;) {
      std::vector<std::uint8_t> block(options.block_size);
      std::size_t filled = 0;
      while (filled < block.size()) {
        auto got = file->read_at(at + filled, std::span(block).subspan(filled));
        if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
        if (*got == 0) break;
        filled += *got;
      }
      if (filled == 0) break;
      block.resize(filled);
      sha.update(block);
      at += filled;
      e.size += filled;
      pool.submit(index++, std::move(block));
      if (auto ok = drain(false); !ok) return std::unexpected(std::move(ok.error()));
      summary.plain_bytes += filled;
      if (options.progress) options.progress(summary.plain_bytes);
      if (filled < options.block_size) break;
    }
    e.frames = index - e.first_frame;
    const auto hash = sha.finish();
    e.sha256 = sha256_hex(hash);
    ++summary.files;
    entries.push_back(std::move(e));
  }
  if (auto ok = drain(true); !ok) return std::unexpected(std::move(ok.error()));

  const std::string json = manifest_json(entries, options, index, summary.plain_bytes);
  if (json.size() > format::max_file_list_plain)
    return std::unexpected(ArchiveError::message("Spis plików jest za duży (ponad 512 MiB)."));
  FrameEncoder list_encoder(keyed->cipher, digest, options.zstd_level > 0 ? options.zstd_level : 0);
  const std::uint64_t filelist_offset = output.stream_length();
  const Frame list_frame = list_encoder.encode(
      format::frame_kind_file_list, index,
      std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
  if (auto ok = write_frame(output, list_frame); !ok) return std::unexpected(std::move(ok.error()));
  const auto footer = encode_footer({filelist_offset, output.stream_length() + format::footer_size});
  if (auto ok = output.write(footer); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = output.finish(); !ok) return std::unexpected(std::move(ok.error()));

  summary.data_frames = index;
  summary.archive_length = output.stream_length();
  return summary;
}

}  // namespace quarn::writer

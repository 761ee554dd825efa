#include "writer/archive_writer.h"

#include <nlohmann/json.hpp>
#include <zstd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <deque>
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
#include "core/platform/utf.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/footer.h"
#include "core/volumes/format.h"
#include "writer/frame_encoder.h"
#include "writer/read_ahead.h"

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

// A JSON string exactly as the library writes it (its escapes, UTF-8 kept,
// invalid sequences replaced).
void append_json_string(std::string& out, const std::string& text) {
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
  });
  if (plain && platform::is_valid_utf8(text)) {
    // Nothing to escape or replace: the library would write the text as it is.
    out += '"';
    out += text;
    out += '"';
    return;
  }
  out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

template <class Number>
void append_number(std::string& out, Number n) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

// The file list, written straight into one string in compact form: one
// document of thousands of entries would cost the library's tree of values
// many times the text's own size.
std::string manifest_json(const std::vector<Entry>& entries, const WriterOptions& o,
                          std::uint64_t data_frames, std::uint64_t total_size) {
  std::string out;
  // Room for every entry's fields at their longest, so that the text is never moved.
  std::size_t length = 256 + o.tool.size() * 6;
  for (const Entry& e : entries) length += 340 + e.path.size() * 6;
  out.reserve(length);
  out += R"({"format":"quarn","version":1,"created_unix":)";
  append_number(out, o.created_unix >= 0 ? o.created_unix : static_cast<std::int64_t>(std::time(nullptr)));
  out += R"(,"tool":)";
  append_json_string(out, o.tool);
  out += R"(,"data_frames":)";
  append_number(out, data_frames);
  out += R"(,"total_size":)";
  append_number(out, total_size);
  out += R"(,"entries":[)";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    out += i == 0 ? R"({"path":)" : R"(,{"path":)";
    append_json_string(out, e.path);
    out += e.kind == EntryKind::Dir ? R"(,"kind":"dir","size":)" : R"(,"kind":"file","size":)";
    append_number(out, e.size);
    out += R"(,"attributes":)";
    append_number(out, e.attributes);
    out += R"(,"created":)";
    append_number(out, e.created);
    out += R"(,"modified":)";
    append_number(out, e.modified);
    if (e.sha256) {
      out += R"(,"sha256":)";
      append_json_string(out, *e.sha256);
    } else {
      out += R"(,"sha256":null)";
    }
    out += R"(,"first_frame":)";
    append_number(out, e.first_frame);
    out += R"(,"frames":)";
    append_number(out, e.frames);
    out += R"(,"offset":)";
    append_number(out, e.offset);
    out += '}';
  }
  out += "]}";
  return out;
}

Result<void> write_frame(ArchiveOutput& output, const Frame& frame) {
  const auto head = frame.header.encode();
  if (auto ok = output.write(head); !ok) return ok;
  return output.write(frame.payload);
}

// Gathers data frames into batches for the encoding pool and writes the
// encoded frames in order as they come back. A batch closes at 64 frames or
// 1 MiB of plain bytes, so small files cross between threads dozens at a
// time; at most limit() batches are in flight. Blocks of the full block size
// are reused; smaller ones are sized by what they hold.
class FrameStream {
 public:
  static constexpr std::size_t no_entry = SIZE_MAX;

  FrameStream(EncodingPool& pool, ArchiveOutput& output, std::vector<Entry>& entries, std::uint32_t block_size)
      : pool_(pool), output_(output), entries_(entries), block_size_(block_size) {}

  PlainBlock take_block(std::size_t capacity) {
    if (capacity == block_size_ && !free_blocks_.empty()) {
      PlainBlock block = std::move(free_blocks_.back());
      free_blocks_.pop_back();
      block.size = 0;
      return block;
    }
    return PlainBlock::with_capacity(capacity);
  }

  // `entry`: the entry whose whole content the frame is, to receive its
  // SHA-256 when the frame comes back; no_entry otherwise.
  Result<void> add(FrameWork work, std::size_t entry) {
    batch_bytes_ += work.plain.size;
    batch_.push_back(std::move(work));
    batch_entries_.push_back(entry);
    if (batch_.size() >= 64 || batch_bytes_ >= (1u << 20)) return submit();
    return {};
  }

  // Submits what is left and writes every frame still in flight.
  Result<void> finish() {
    if (!batch_.empty()) {
      if (auto ok = submit(); !ok) return ok;
    }
    return drain(true);
  }

 private:
  Result<void> submit() {
    pool_.submit(std::move(batch_));
    in_flight_entries_.push_back(std::move(batch_entries_));
    batch_.clear();
    batch_entries_.clear();
    batch_bytes_ = 0;
    return drain(false);
  }

  Result<void> drain(bool all) {
    while (pool_.in_flight() > 0 && (all || pool_.in_flight() >= pool_.limit())) {
      std::vector<EncodedFrame> done = *pool_.next();
      const std::vector<std::size_t> entries = std::move(in_flight_entries_.front());
      in_flight_entries_.pop_front();
      for (std::size_t i = 0; i < done.size(); ++i) {
        if (auto ok = write_frame(output_, done[i].frame); !ok) return ok;
        if (done[i].file_sha256) entries_[entries[i]].sha256 = sha256_hex(*done[i].file_sha256);
        if (done[i].plain.capacity == block_size_ && free_blocks_.size() < pool_.limit())
          free_blocks_.push_back(std::move(done[i].plain));
      }
    }
    return {};
  }

  EncodingPool& pool_;
  ArchiveOutput& output_;
  std::vector<Entry>& entries_;
  const std::uint32_t block_size_;
  std::vector<FrameWork> batch_;
  std::vector<std::size_t> batch_entries_;
  std::size_t batch_bytes_ = 0;
  std::deque<std::vector<std::size_t>> in_flight_entries_;
  std::vector<PlainBlock> free_blocks_;
};

// A file read whole, under its block size: one frame hashed where it is
// encoded, or none when it is empty.
Result<void> add_whole_file(PlainBlock block, std::size_t entry_index, std::vector<Entry>& entries,
                            std::uint64_t& index, FrameStream& stream, const WriterOptions& options,
                            WriteSummary& summary) {
  Entry& e = entries[entry_index];
  e.first_frame = index;
  e.size = block.size;
  ++summary.files;
  if (block.size == 0) {
    e.sha256 = sha256_hex(crypto::sha256({}));
    return {};
  }
  e.frames = 1;
  summary.plain_bytes += block.size;
  if (auto ok = stream.add(FrameWork{index++, std::move(block), true}, entry_index); !ok) return ok;
  if (options.progress) options.progress(summary.plain_bytes);
  return {};
}

// Reads one file into frames: blocks of the block size, the last one (or a
// small file's only one) sized by what the file holds as it was listed. A
// file read whole into one frame is hashed where the frame is encoded;
// a longer one is hashed here, block after block.
Result<void> add_file(const InputEntry& input, std::size_t entry_index, std::vector<Entry>& entries,
                      std::uint64_t& index, crypto::Sha256& sha, FrameStream& stream, const WriterOptions& options,
                      WriteSummary& summary, ReadAhead& read_ahead, SourceOpener& opener) {
  if (auto read = read_ahead.take(entry_index)) {
    if (!*read) return std::unexpected(std::move(read->error()));
    return add_whole_file(std::move(**read), entry_index, entries, index, stream, options, summary);
  }
  auto file = opener.open(input);
  if (!file) return std::unexpected(ArchiveError::io(std::move(file.error())));
  Entry& e = entries[entry_index];
  e.first_frame = index;
  const std::size_t block_size = options.block_size;
  bool hashed_here = false;
  for (std::uint64_t at = 0;;) {
    const std::uint64_t listed_left = input.size > at ? input.size - at : 0;
    PlainBlock block = stream.take_block(static_cast<std::size_t>(std::min<std::uint64_t>(block_size, listed_left + 1)));
    bool at_end = false;
    while (block.size < block.capacity) {
      auto got = file->read_at(at + block.size, block.free_space());
      if (!got) return std::unexpected(ArchiveError::io(std::move(got.error())));
      if (*got == 0) {
        at_end = true;
        break;
      }
      block.size += *got;
      if (block.size == block.capacity && block.capacity < block_size) {
        // The file grew since it was listed: read on, up to a full block.
        PlainBlock larger = stream.take_block(block_size);
        std::copy_n(block.bytes.get(), block.size, larger.bytes.get());
        larger.size = block.size;
        block = std::move(larger);
      }
    }
    if (block.size == 0) break;
    const bool whole_file = at == 0 && at_end;
    if (!whole_file) {
      if (!hashed_here) sha.reset();
      hashed_here = true;
      sha.update(block.view());
    }
    at += block.size;
    e.size += block.size;
    summary.plain_bytes += block.size;
    if (auto ok = stream.add(FrameWork{index++, std::move(block), whole_file},
                             whole_file ? entry_index : FrameStream::no_entry);
        !ok)
      return ok;
    if (options.progress) options.progress(summary.plain_bytes);
    if (at_end) break;
  }
  e.frames = index - e.first_frame;
  if (hashed_here) e.sha256 = sha256_hex(sha.finish());
  if (e.frames == 0) e.sha256 = sha256_hex(crypto::sha256({}));
  ++summary.files;
  return {};
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
  WriteSummary summary;
  std::vector<Entry> entries;
  entries.reserve(inputs.entries.size());
  FrameStream stream(pool, output, entries, options.block_size);
  // With one thread everything stays on the caller's.
  ReadAhead read_ahead(inputs, options.block_size, threads > 1 ? threads : 0);
  SourceOpener opener(inputs);
  crypto::Sha256 sha;
  std::uint64_t index = 0;
  for (const InputEntry& input : inputs.entries) {
    Entry& e = entries.emplace_back();
    e.path = input.archive_path;
    e.kind = input.is_directory ? EntryKind::Dir : EntryKind::File;
    e.attributes = input.attributes;
    e.created = input.created;
    e.modified = input.modified;
    if (input.is_directory) {
      ++summary.directories;
      continue;
    }
    if (auto ok = add_file(input, entries.size() - 1, entries, index, sha, stream, options, summary, read_ahead, opener);
        !ok)
      return std::unexpected(std::move(ok.error()));
  }
  if (auto ok = stream.finish(); !ok) return std::unexpected(std::move(ok.error()));

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

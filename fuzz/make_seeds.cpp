// Writes the seed inputs of every fuzz target, made by the archive writer
// with the tests' fast settings (tiny Argon2id costs, fixed salts), into
// OUTDIR/<target>/. The seeds in fuzz/corpus/ were made by this program:
//   build/fuzz/fuzz/quarn_fuzz_seeds fuzz/corpus
// Times are fixed so that the same build gives the same seeds.
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/crypto/key_derivation.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/footer.h"
#include "tests/support/archive_image.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"
#include "writer/archive_writer.h"

namespace {

using namespace quarn;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "quarn_fuzz_seeds: %s\n", what.c_str());
  std::exit(1);
}

struct Made {
  Bytes stream;            // the archive stream (after the program, for a self-extractor)
  Bytes file;              // the whole file
  std::uint64_t header_length = 0;
  std::string file_list;   // the JSON text, for plain archives
};

Made make(const std::map<std::string, std::string>& files, writer::WriterOptions options,
          const std::optional<fs::path>& program = std::nullopt) {
  test::TempDir dir;
  const fs::path root = dir / "input";
  fs::create_directories(root);
  for (const auto& [path, content] : files) {
    if (path.ends_with('/')) {
      fs::create_directories(root / path.substr(0, path.size() - 1));
      continue;
    }
    fs::create_directories((root / path).parent_path());
    test::write_file(root / path, test::bytes_of(content));
  }
  std::vector<fs::path> inputs;
  for (const auto& item : fs::directory_iterator(root)) inputs.push_back(item.path());
  std::sort(inputs.begin(), inputs.end());
  auto tree = writer::gather_inputs(inputs);
  if (!tree) die(tree.error().display());
  for (auto& e : tree->entries) {
    e.created = 133000000000000000ull;
    e.modified = 133000000000000000ull + 10000000;
  }
  writer::OutputOptions out;
  out.path = dir / "archive.qrn";
  out.program = program;
  {
    auto output = writer::ArchiveOutput::create(out);
    if (!output) die(output.error().display());
    const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
    if (auto written = writer::write_archive(*tree, options, &password, *output); !written)
      die(written.error().display());
  }  // the output file is closed here

  Made made;
  made.file = test::read_file(out.path);
  auto volumes = VolumeSet::open(out.path);
  if (!volumes) die(volumes.error().display());
  made.stream.assign(made.file.begin() + static_cast<std::ptrdiff_t>(volumes->start_offset()), made.file.end());
  auto header = Header::read(*volumes);
  if (!header) die(header.error().display());
  made.header_length = header->length();
  if (!header->encrypted()) {
    auto footer = check_footer(*volumes, header->length());
    if (!footer) die(footer.error().display());
    auto frame = read_frame(*volumes);
    if (!frame) die(frame.error().display());
    FrameDecoder decoder(plain_cipher(), header->digest(), FrameDecoder::Messages::FileList);
    auto plain = decoder.decode(std::move(*frame));
    if (!plain) die(plain.error().display());
    made.file_list.assign(plain->begin(), plain->end());
  }
  return made;
}

void save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(dir);
  test::write_file(dir / name, bytes);
}

Bytes with_prefix(Bytes prefix, const Bytes& rest) {
  prefix.insert(prefix.end(), rest.begin(), rest.end());
  return prefix;
}

Bytes first(const Bytes& bytes, std::uint64_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)); }

// The frame target's prefix (see frame_fuzz.cpp) followed by the plain bytes.
Bytes frame_seed(std::uint8_t mode, std::uint8_t ops, std::uint8_t kind, const std::string& plain) {
  Bytes b(24, 0);
  b[0] = mode;
  b[1] = ops;
  b[3] = kind;
  store_le<std::uint64_t>(&b[4], kind == 2 ? 3 : 0);
  store_le<std::uint32_t>(&b[12], static_cast<std::uint32_t>(plain.size()));
  b.insert(b.end(), plain.begin(), plain.end());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quarn_fuzz_seeds OUTDIR\n");
    return 2;
  }
  const fs::path out = argv[1];

  auto plain_stored = test::fast_options(EncryptionMode::None);
  plain_stored.zstd_level = 0;
  plain_stored.block_size = 8;
  const Made tree = make({{"a.txt", "hello\n"}, {"d/", ""}, {"d/b.txt", "quarn fuzz seed"}, {"d/e/", ""}},
                         plain_stored);

  auto plain_v1 = test::fast_options(EncryptionMode::None, 1);
  plain_v1.block_size = 64;
  const Made compressed = make({{"x.bin", std::string(150, 'x') + "tail"}, {"y.txt", "yy"}}, plain_v1);

  auto plain_empty = test::fast_options(EncryptionMode::None);
  const Made empty = make({{"empty.txt", ""}, {"dir/", ""}}, plain_empty);

  const Made aes = make({{"s.txt", "secret"}}, test::fast_options(EncryptionMode::Aes256Gcm));

  test::TempDir keys;
  test::write_file(keys / "key", test::bytes_of("a key file"));
  auto with_key = test::fast_options(EncryptionMode::SerpentTwofishAes256);
  with_key.key_file = keys / "key";
  const Made keyed = make({{"k.txt", "k"}}, with_key);

  auto with_fido2 = test::fast_options(EncryptionMode::ChaCha20Poly1305ThenAes256Gcm);
  with_fido2.fido2 = writer::Fido2Factor{"quarn.example", {1, 2, 3, 4}, {},
                                         std::make_shared<const SecretBuffer>(SecretBuffer(32))};
  const Made fido2 = make({{"f.txt", "f"}}, with_fido2);

  test::write_file(keys / "program.exe", test::pe_program(true, 512));
  const Made sfx = make({{"p.txt", "program"}}, plain_empty, keys / "program.exe");

  // header: control byte, then the header (bit 0: recompute a plain tag).
  save(out / "header", "plain-v2", with_prefix({1}, first(tree.stream, tree.header_length)));
  save(out / "header", "plain-v1", with_prefix({1}, first(compressed.stream, compressed.header_length)));
  save(out / "header", "aes", with_prefix({0}, first(aes.stream, aes.header_length)));
  save(out / "header", "key-file", with_prefix({0}, first(keyed.stream, keyed.header_length)));
  save(out / "header", "fido2", with_prefix({0}, first(fido2.stream, fido2.header_length)));

  // volumes: control, two part lengths, the header length, then the file.
  const auto volume_seed = [](std::uint8_t control, std::uint16_t first_part, std::uint16_t second_part,
                              const Made& m) {
    Bytes prefix(7, 0);
    prefix[0] = control;
    store_le(&prefix[1], first_part);
    store_le(&prefix[3], second_part);
    store_le(&prefix[5], static_cast<std::uint16_t>(m.header_length));
    return with_prefix(prefix, m.file);
  };
  save(out / "volumes", "one-part", volume_seed(0x04, 0, 0, tree));
  save(out / "volumes", "three-parts", volume_seed(0x03 | (2 << 3), 100, 150, tree));
  save(out / "volumes", "two-parts", volume_seed(0x02 | (1 << 3), 180, 0, compressed));
  save(out / "volumes", "program", volume_seed(0x04, 0, 0, sfx));

  // Signed programs: a PE program, an archive, zero padding and a
  // certificate table; then the table as a hostile file may describe it.
  const auto signed_seed = [&](std::size_t program_size, const std::function<void(Made&, std::size_t)>& edit) {
    Made m = empty;
    const Bytes program = test::pe_program(true, program_size);
    m.file = with_prefix(program, empty.stream);
    test::append_signature(m.file, 64);
    edit(m, m.file.size() - 64);
    return volume_seed(0x04, 0, 0, m);
  };
  const auto set_u32 = [](Bytes& b, std::size_t at, std::uint32_t v) { store_le(&b[at], v); };
  const std::size_t directory = test::security_directory_at();
  // Program lengths that leave no padding before the table, and some.
  std::size_t aligned = 1024;
  while ((aligned + empty.stream.size()) % 8 != 0) ++aligned;
  const std::size_t padded = aligned + 3;
  save(out / "volumes", "signed", signed_seed(aligned, [](Made&, std::size_t) {}));
  save(out / "volumes", "signed-padded", signed_seed(padded, [](Made&, std::size_t) {}));
  save(out / "volumes", "signed-table-past-the-file", signed_seed(padded, [&](Made& m, std::size_t) {
         set_u32(m.file, directory, static_cast<std::uint32_t>(m.file.size()));
       }));
  save(out / "volumes", "signed-table-not-at-the-end", signed_seed(padded, [](Made& m, std::size_t) {
         m.file.resize(m.file.size() + 8, 0);
       }));
  save(out / "volumes", "signed-table-over-the-archive", signed_seed(padded, [&](Made& m, std::size_t) {
         const auto at = static_cast<std::uint32_t>(1024);
         set_u32(m.file, directory, at);
         set_u32(m.file, directory + 4, static_cast<std::uint32_t>(m.file.size()) - at);
       }));
  save(out / "volumes", "signed-length-mismatch", signed_seed(padded, [&](Made& m, std::size_t table) {
         set_u32(m.file, table, 56);
       }));
  save(out / "volumes", "signed-nonzero-padding", signed_seed(padded, [&](Made& m, std::size_t table) {
         m.file[table - 1] = 1;
       }));
  save(out / "volumes", "signed-e_lfanew-out-of-range", signed_seed(padded, [&](Made& m, std::size_t) {
         set_u32(m.file, 0x3C, 0xFFFFFFF0u);
       }));
  // Entries added to the table after signing; the last holds another archive
  // that ends the file, as a signing tool never leaves it.
  const auto add_entries = [&](Made& m, std::size_t table, int more, std::uint32_t short_by) {
    for (int i = 1; i < more; ++i) m.file.insert(m.file.end(), {8, 0, 0, 0, 0x00, 0x02, 0x02, 0x00});
    Bytes last = {0, 0, 0, 0, 0x00, 0x02, 0x02, 0x00};
    set_u32(last, 0, static_cast<std::uint32_t>(8 + compressed.stream.size()) - short_by);
    m.file.insert(m.file.end(), last.begin(), last.end());
    m.file.insert(m.file.end(), compressed.stream.begin(), compressed.stream.end());
    set_u32(m.file, directory + 4, static_cast<std::uint32_t>(m.file.size() - table));
  };
  save(out / "volumes", "signed-16-entries", signed_seed(aligned, [&](Made& m, std::size_t table) {
         add_entries(m, table, 15, 0);
       }));
  save(out / "volumes", "signed-17-entries", signed_seed(aligned, [&](Made& m, std::size_t table) {
         add_entries(m, table, 16, 0);
       }));
  save(out / "volumes", "signed-entries-not-filling-the-table", signed_seed(padded, [&](Made& m, std::size_t table) {
         add_entries(m, table, 1, 8);
       }));
  save(out / "volumes", "signed-archive-after-the-table", signed_seed(padded, [&](Made& m, std::size_t) {
         m.file.insert(m.file.end(), compressed.stream.begin(), compressed.stream.end());
       }));
  save(out / "volumes", "signed-table-over-the-headers", signed_seed(padded, [&](Made& m, std::size_t) {
         const auto at = static_cast<std::uint32_t>(directory + 11 * 8);
         set_u32(m.file, directory, at);
         set_u32(m.file, directory + 4, static_cast<std::uint32_t>(m.file.size()) - at);
         set_u32(m.file, at, static_cast<std::uint32_t>(m.file.size()) - at);
       }));
  save(out / "volumes", "signed-table-empty", signed_seed(padded, [&](Made& m, std::size_t) {
         set_u32(m.file, directory + 4, 0);
       }));
  save(out / "volumes", "signed-no-archive", [&] {
    Made m = empty;
    m.file = test::pe_program(true, 1024);
    test::append_signature(m.file, 64);
    return volume_seed(0x04, 0, 0, m);
  }());

  // manifest: the JSON text.
  save(out / "manifest", "tree.json", test::bytes_of(tree.file_list));
  save(out / "manifest", "frames.json", test::bytes_of(compressed.file_list));
  save(out / "manifest", "empty.json", test::bytes_of(empty.file_list));
  // Nesting past the limit, nesting at it inside an entry, unknown keys at
  // every level, and one repeated through an escape.
  save(out / "manifest", "deep.json", test::bytes_of(R"({"x":)" + std::string(64, '[')));
  std::string at_the_limit = tree.file_list;
  at_the_limit.insert(at_the_limit.find(R"("path")"), R"("future":[{"a":[[1]]}],)");
  save(out / "manifest", "deep-in-an-entry.json", test::bytes_of(at_the_limit));
  std::string unknown_keys = tree.file_list;
  unknown_keys.insert(unknown_keys.find(R"("path")"), R"("u":1,"v":{"w":2,"x":[{"y":3}]},)");
  unknown_keys.insert(1, R"("a":0,"b":{"c":1,"d":[{"c":2}]},"e":"f",)");
  save(out / "manifest", "unknown-keys.json", test::bytes_of(unknown_keys));
  save(out / "manifest", "unknown-key-repeated.json",
       test::bytes_of(R"({"a":0,"b":{"c":1,"\u0063":2},)" + tree.file_list.substr(1)));

  // frame: see the prefix in frame_fuzz.cpp.
  save(out / "frame", "aes-compressed", frame_seed(1, 0x1D, 1, "hello hello hello hello hello, frame"));
  save(out / "frame", "plain-stored", frame_seed(0, 0x1A, 1, "stored bytes"));
  save(out / "frame", "layers-file-list", frame_seed(5, 0x5D, 2, "{\"format\":\"quarn\",\"entries\":[]}"));
  save(out / "frame", "chacha-stored", frame_seed(2, 0x1E, 1, "sealed and stored"));

  // extract: control byte, then the archive (0x0F: every repair).
  save(out / "extract", "tree", with_prefix({0x0F}, tree.stream));
  save(out / "extract", "compressed-v1", with_prefix({0x2F}, compressed.stream));
  save(out / "extract", "empty-file", with_prefix({0x0F}, empty.stream));
  save(out / "extract", "verify-only", with_prefix({0x1F}, tree.stream));
  return 0;
}

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "core/archive/frame.h"
#include "core/error/detail_texts.h"
#include "core/volumes/footer.h"
#include "tests/support/archive_image.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using test::make_archive;
using test::read_back;

std::string random_text(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string compressible_text(std::size_t n) {
  std::string s;
  while (s.size() < n) s += "Zamawiający zleca, a Wykonawca przyjmuje do wykonania dzieło. ";
  s.resize(n);
  return s;
}

std::map<std::string, std::string> expected_tree(const std::map<std::string, std::string>& files) {
  std::map<std::string, std::string> out;
  for (const auto& [path, content] : files) {
    out[path] = content;
    for (std::size_t slash = path.find('/'); slash != std::string::npos && slash + 1 < path.size();
         slash = path.find('/', slash + 1))
      out[path.substr(0, slash) + "/"] = "";
  }
  return out;
}

struct Layout {
  const char* name;
  std::map<std::string, std::string> files;
};

TEST(RoundTrip, EveryModeAndVersionReadsBackWhatWasWritten) {
  const std::uint32_t block = 4096;
  const std::vector<Layout> layouts = {
      {"empty_archive", {}},
      {"empty_file", {{"pusty.txt", ""}}},
      {"several_frames_compressible", {{"a/dlugi.txt", compressible_text(3 * block + 17)}}},
      {"several_frames_random", {{"los.bin", random_text(2 * block, 1)}, {"b/c/d.txt", "x"}}},
      {"exact_blocks", {{"rowno.bin", random_text(2 * block, 2)}, {"pusty/", ""}}},
  };
  for (std::uint8_t m = 0; m < encryption_mode_count; ++m) {
    for (const std::uint16_t version : {std::uint16_t{1}, std::uint16_t{2}}) {
      for (const Layout& layout : layouts) {
        const std::string label = std::string(layout.name) + " mode " + std::to_string(m) + " v" +
                                  std::to_string(version);
        test::TempDir dir;
        auto options = test::fast_options(static_cast<EncryptionMode>(m), version);
        options.block_size = block;
        writer::OutputOptions out{dir / "a.qrn"};
        auto written = make_archive(dir.path(), layout.files, options, out);
        ASSERT_TRUE(written) << label << ": " << written.error().display();
        auto read = read_back(dir / "a.qrn");
        ASSERT_TRUE(read) << label << ": " << read.error().display();
        EXPECT_EQ(read->files, expected_tree(layout.files)) << label;
        EXPECT_EQ(read->header.version, version) << label;
        EXPECT_EQ(static_cast<int>(read->header.mode), m) << label;
        EXPECT_EQ(read->loaded.manifest.tool, "quarn") << label;
      }
    }
  }
}

TEST(RoundTrip, IncompressibleFramesAreStoredAndCompressibleOnesAreNot) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  options.block_size = 4096;
  auto written = make_archive(dir.path(), {{"a.txt", compressible_text(4096)}, {"b.bin", random_text(4096, 3)}},
                              options, {dir / "a.qrn"});
  ASSERT_TRUE(written);
  const auto bytes = test::read_file(dir / "a.qrn");
  auto volumes = VolumeSet::open(dir / "a.qrn").value();
  const auto header = Header::read(volumes).value();
  volumes.set_position(header.length());
  auto first = read_frame(volumes).value();
  auto second = read_frame(volumes).value();
  EXPECT_FALSE(first.header.stored());
  EXPECT_LT(first.header.stored_length, 1000u);
  EXPECT_TRUE(second.header.stored());
  EXPECT_EQ(second.header.stored_length, 4096u + 16u);  // block size plus the tag: the largest allowed
}

TEST(RoundTrip, LevelZeroStoresEverything) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::None);
  options.zstd_level = 0;
  ASSERT_TRUE(make_archive(dir.path(), {{"a.txt", compressible_text(10000)}}, options, {dir / "a.qrn"}));
  auto volumes = VolumeSet::open(dir / "a.qrn").value();
  const auto header = Header::read(volumes).value();
  EXPECT_EQ(header.compression, 0);
  volumes.set_position(header.length());
  EXPECT_TRUE(read_frame(volumes).value().header.stored());
  EXPECT_TRUE(read_back(dir / "a.qrn"));
}

TEST(RoundTrip, MultiPartSetsReadBackFromAnyPart) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::ChaCha20Poly1305ThenAes256Gcm);
  options.block_size = 1000;
  const std::map<std::string, std::string> files = {{"x.bin", random_text(5000, 4)}};
  writer::OutputOptions out{dir / "zestaw"};
  out.split_size = 777;
  ASSERT_TRUE(make_archive(dir.path(), files, options, out));
  EXPECT_TRUE(std::filesystem::exists(dir / "zestaw.007"));
  EXPECT_EQ(std::filesystem::file_size(dir / "zestaw.001"), 777u);
  auto read = read_back(dir / "zestaw.004");
  ASSERT_TRUE(read) << read.error().display();
  EXPECT_EQ(read->files, expected_tree(files));
}

TEST(RoundTrip, SelfExtractingProgramCarriesTheArchiveAndEndsOnAMultipleOf8) {
  // Over 2 MiB: the stream is moved in more than one piece.
  const std::map<std::string, std::string> files = {{"umowa.txt", "treść"},
                                                    {"b.bin", random_text((2u << 20) + 3000, 6)}};
  std::set<std::uint64_t> gaps;
  // Eight program lengths: every gap from 0 to 7 bytes is needed once (the
  // stream's length is the same each time, as nothing is compressed).
  for (std::size_t length = 5000; length < 5008; ++length) {
    test::TempDir dir;
    const std::vector<std::uint8_t> program = test::pe_program(true, length);
    test::write_file(dir / "stub.exe", program);
    writer::OutputOptions out{dir / "umowa.exe"};
    out.program = dir / "stub.exe";
    auto options = test::fast_options(EncryptionMode::Serpent256Gcm);
    options.block_size = 100000;
    options.zstd_level = 0;
    ASSERT_TRUE(make_archive(dir.path(), files, options, out));
    const auto bytes = test::read_file(dir / "umowa.exe");
    EXPECT_EQ(bytes.size() % 8, 0u) << length;
    EXPECT_TRUE(std::equal(program.begin(), program.end(), bytes.begin())) << length;
    auto volumes = VolumeSet::open(dir / "umowa.exe").value();
    ASSERT_GE(volumes.start_offset(), length);
    const std::uint64_t gap = volumes.start_offset() - length;
    gaps.insert(gap);
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(length),
                            bytes.begin() + static_cast<std::ptrdiff_t>(length + gap), [](auto b) { return b == 0; }))
        << length;
    auto read = read_back(dir / "umowa.exe");
    ASSERT_TRUE(read) << length << ": " << read.error().display();
    EXPECT_EQ(read->files, expected_tree(files)) << length;
  }
  EXPECT_EQ(gaps.size(), 8u);
}

TEST(RoundTrip, FilesThatChangeAfterListingAreStoredAsRead) {
  const std::uint32_t block = 4096;
  struct Change {
    const char* name;
    std::size_t listed, read;
  };
  const Change changes[] = {
      {"shrunk_to_nothing.bin", 100, 0},         {"shrunk.bin", 2 * block + 9, 300},
      {"grew_within_its_block.bin", 10, 3000},   {"grew_past_a_block.bin", 10, 3 * block + 5},
      {"grew_from_nothing.bin", 0, block},       {"grew_to_a_whole_block.bin", block - 1, block},
  };
  std::map<std::string, std::string> listed, read;
  for (const Change& c : changes) {
    listed[c.name] = random_text(c.listed, 7);
    read[c.name] = random_text(c.read, 8);
  }
  // One thread reads every file itself; more read small files ahead.
  for (const unsigned threads : {1u, 2u}) {
    test::TempDir dir;
    auto options = test::fast_options(EncryptionMode::Aes256Gcm);
    options.block_size = block;
    options.threads = threads;
    auto written = make_archive(dir.path(), listed, options, {dir / "a.qrn"}, [&](const std::filesystem::path& root) {
      for (const auto& [name, content] : read) test::write_file(root / name, test::bytes_of(content));
    });
    ASSERT_TRUE(written) << written.error().display();
    auto back = read_back(dir / "a.qrn");
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(back->files, read) << threads;
  }
}

TEST(RoundTrip, ALinkPutInPlaceOfAFileOrFolderAfterListingIsRefusedNotFollowed) {
  const std::uint32_t block = 4096;
  test::TempDir outside;
  test::write_file(outside / "secret", test::bytes_of("not for the archive"));
  std::filesystem::create_directory(outside / "folder");
  test::write_file(outside / "folder" / "x.txt", test::bytes_of("not for the archive"));
  struct Swap {
    const char* file;      // listed
    const char* replaced;  // by a link to `target` once listed: the file itself or its folder
    std::string content;
    std::filesystem::path target;
    bool folder;
  };
  // A small file is read ahead (with more threads than one), a large one in
  // order; the files of a folder below a named one are reached through it.
  const Swap swaps[] = {
      {"small.txt", "small.txt", "short", outside / "secret", false},
      {"large.bin", "large.bin", random_text(3 * block, 3), outside / "secret", false},
      {"d/sub/x.txt", "d/sub", "short", outside / "folder", true},
  };
  for (const Swap& swap : swaps) {
    for (const unsigned threads : {1u, 2u}) {
      test::TempDir dir;
      auto options = test::fast_options(EncryptionMode::None);
      options.block_size = block;
      options.threads = threads;
      bool linked = false;
      auto written = make_archive(
          dir.path(), {{swap.file, swap.content}}, options, {dir / "a.qrn"}, [&](const std::filesystem::path& root) {
            std::filesystem::rename(root / swap.replaced, dir / "moved");
            std::error_code error;
            if (swap.folder) std::filesystem::create_directory_symlink(swap.target, root / swap.replaced, error);
            else std::filesystem::create_symlink(swap.target, root / swap.replaced, error);
            linked = !error;
          });
      if (!linked) GTEST_SKIP() << "links cannot be made here";
      ASSERT_FALSE(written) << swap.replaced << " " << threads;
      EXPECT_EQ(written.error().kind(), ErrorKind::Io);
      EXPECT_TRUE(written.error().os_error().link_refused) << swap.replaced << " " << threads;
    }
  }
}

TEST(RoundTrip, OutputDoesNotDependOnTheThreadCount) {
  test::TempDir dir;
  // Small files travel between threads in batches, large ones frame by frame.
  std::map<std::string, std::string> files = {{"a.bin", random_text(50000, 5)},
                                              {"b.txt", compressible_text(70000)}};
  for (int i = 0; i < 300; ++i)
    files["male/" + std::to_string(i) + ".txt"] = i % 3 ? compressible_text(i) : random_text(i, static_cast<unsigned>(i));
  std::vector<std::vector<std::uint8_t>> outputs;
  for (const unsigned threads : {1u, 2u, 5u}) {
    auto options = test::fast_options(EncryptionMode::SerpentTwofishAes256);
    options.block_size = 3000;
    options.threads = threads;
    const auto name = "t" + std::to_string(threads) + ".qrn";
    test::TempDir sub;
    ASSERT_TRUE(make_archive(sub.path(), files, options, {dir / name}));
    outputs.push_back(test::read_file(dir / name));
  }
  // Times differ between the input copies; compare from the first frame up to the file list.
  auto volumes = VolumeSet::open(dir / "t1.qrn").value();
  const auto header = Header::read(volumes).value();
  const auto footer = check_footer(volumes, header.length()).value();
  const std::size_t data_end = footer.filelist_offset;
  ASSERT_GT(data_end, header.length() + 50000);
  for (std::size_t i = 1; i < outputs.size(); ++i) {
    ASSERT_GT(outputs[i].size(), data_end);
    EXPECT_TRUE(std::equal(outputs[0].begin() + static_cast<std::ptrdiff_t>(header.length()),
                           outputs[0].begin() + static_cast<std::ptrdiff_t>(data_end),
                           outputs[i].begin() + static_cast<std::ptrdiff_t>(header.length())))
        << i;
  }
}

TEST(RoundTrip, KeyFileAndFido2FactorsAreNeededToRead) {
  test::TempDir dir;
  test::write_file(dir / "klucz.bin", test::bytes_of("sekretny plik-klucz"));
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  options.key_file = dir / "klucz.bin";
  ASSERT_TRUE(make_archive(dir.path(), {{"a.txt", "a"}}, options, {dir / "a.qrn"}));
  auto read = read_back(dir / "a.qrn", test::test_password, dir / "klucz.bin");
  ASSERT_TRUE(read) << read.error().display();

  auto without = read_back(dir / "a.qrn");
  ASSERT_FALSE(without);
  EXPECT_EQ(without.error().display(), "Archiwum wymaga drugiego składnika: plik-klucz");

  test::write_file(dir / "inny.bin", test::bytes_of("inny plik"));
  auto other = read_back(dir / "a.qrn", test::test_password, dir / "inny.bin");
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().detail(), texts::wrong_password_or_factor);

  auto wrong = read_back(dir / "a.qrn", "zle haslo", dir / "klucz.bin");
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ErrorKind::SecondFactorRequired);
}

TEST(RoundTrip, Fido2DescriptorIsStoredInTheHeader) {
  test::TempDir dir;
  auto options = test::fast_options(EncryptionMode::Aes256Gcm);
  writer::Fido2Factor fido2;
  fido2.rp_id = "quarn.example";
  fido2.credential_id = {1, 2, 3};
  fido2.salt.fill(0x42);
  const std::vector<std::uint8_t> output(32, 0x24);
  fido2.hmac_secret_output = std::make_shared<const SecretBuffer>(SecretBuffer::from_bytes(output));
  options.fido2 = fido2;
  ASSERT_TRUE(make_archive(dir.path(), {{"a.txt", "a"}}, options, {dir / "a.qrn"}));
  auto volumes = VolumeSet::open(dir / "a.qrn").value();
  const auto header = Header::read(volumes).value();
  const auto extensions = parse_extensions(header).value();
  ASSERT_TRUE(extensions.fido2);
  EXPECT_EQ(extensions.fido2->rp_id, "quarn.example");
  EXPECT_EQ(extensions.fido2->credential_id, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(extensions.fido2->salt[31], 0x42);
  EXPECT_FALSE(extensions.key_file_required);
}

TEST(Writer, RefusesWhatTheReaderWouldRefuse) {
  struct Case {
    const char* label;
    writer::WriterOptions options;
    const char* message;
  };
  auto v1_with_factor = test::fast_options(EncryptionMode::Aes256Gcm, 1);
  v1_with_factor.key_file = "klucz";
  auto bad_block = test::fast_options(EncryptionMode::None);
  bad_block.block_size = (64u << 20) + 1;
  auto bad_argon = test::fast_options(EncryptionMode::Aes256Gcm);
  bad_argon.argon2 = Argon2Params{7, 1, 1};
  auto plain_factor = test::fast_options(EncryptionMode::None);
  plain_factor.key_file = "klucz";
  const Case cases[] = {
      {"v1_factor", v1_with_factor, "Drugi składnik wymaga formatu w wersji 2."},
      {"block", bad_block, "Rozmiar bloku musi wynosić od 1 B do 64 MiB."},
      {"argon2", bad_argon,
       "Parametry Argon2id poza zakresem: wątki 1-64, przebiegi 1-64, pamięć od 8 KiB na wątek do 4 GiB."},
      {"plain_factor", plain_factor, "Drugi składnik wymaga szyfrowania."},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    auto result = make_archive(dir.path(), {{"a", "a"}}, c.options, {dir / "a.qrn"});
    ASSERT_FALSE(result) << c.label;
    EXPECT_EQ(result.error().display(), c.message) << c.label;
  }
}

TEST(Writer, RefusesUnsafeNamesAndExistingOutputs) {
  test::TempDir dir;
  test::write_file(dir / "con", test::bytes_of("x"));
  test::write_file(dir / "trailing.", test::bytes_of("x"));
  for (const char* name : {"con", "trailing."}) {
    if (!std::filesystem::is_regular_file(dir / name)) continue;  // a system that cannot even hold such a name
    auto tree = writer::gather_inputs({dir / name});
    ASSERT_FALSE(tree) << name;
    EXPECT_EQ(tree.error().display(), std::string("Tej ścieżki nie da się bezpiecznie zapisać w archiwum: ") + name);
  }
  test::write_file(dir / "exists.qrn", test::bytes_of("keep me"));
  auto output = writer::ArchiveOutput::create({dir / "exists.qrn"});
  ASSERT_FALSE(output);
  EXPECT_EQ(test::read_file(dir / "exists.qrn"), test::bytes_of("keep me"));
}

// The output is written under temporary names and takes its final names only
// in finish(): what appears under them meanwhile is never written into, and
// is replaced only with overwrite; no temporary file outlives the output.
TEST(Writer, OutputTakesItsNamesOnlyWhenFinished) {
  struct Case {
    const char* name;
    bool split, overwrite;
    std::vector<std::string> appearing;  // files made while the output is written
    bool finish;                         // false: the output is released unfinished
    std::string error;                   // finish()'s message; empty: it succeeds
    std::vector<std::string> left;       // every name in the folder afterwards
  };
  const std::string exists = "Plik już istnieje: ";
  const Case cases[] = {
      {"released unfinished", false, false, {}, false, "", {}},
      {"finished", false, false, {}, true, "", {"out.qrn"}},
      {"target appears", false, false, {"out.qrn"}, true, exists, {"out.qrn"}},
      {"target appears, overwrite", false, true, {"out.qrn"}, true, "", {"out.qrn"}},
      {"parts released unfinished", true, false, {}, false, "", {}},
      {"first part appears", true, false, {"out.001"}, true, exists, {"out.001"}},
      {"later part appears", true, false, {"out.003"}, true, exists, {"out.003"}},
      {"later parts appear, overwrite", true, true, {"out.003", "out.005"}, true, "", {"out.001", "out.002"}},
  };
  const std::vector<std::uint8_t> bytes(2500, 0x5A);
  for (const Case& c : cases) {
    test::TempDir dir;
    writer::OutputOptions options{dir / "out.qrn"};
    if (c.split) options = {dir / "out", std::uint64_t{1500}};
    options.overwrite = c.overwrite;
    {
      auto output = writer::ArchiveOutput::create(options);
      ASSERT_TRUE(output) << c.name << ": " << output.error().display();
      ASSERT_TRUE(output->write(bytes)) << c.name;
      for (const std::string& name : c.appearing) test::write_file(dir / name, test::bytes_of("appeared"));
      if (c.finish) {
        auto finished = output->finish();
        EXPECT_EQ(finished ? "" : finished.error().display().substr(0, c.error.size()), c.error) << c.name;
      }
    }
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, c.left) << c.name;
    for (const std::string& name : c.left) {
      const bool appeared = std::find(c.appearing.begin(), c.appearing.end(), name) != c.appearing.end();
      EXPECT_EQ(test::read_file(dir / name) == test::bytes_of("appeared"), appeared && !c.overwrite)
          << c.name << ": " << name;
    }
  }
}

}  // namespace
}  // namespace quarn

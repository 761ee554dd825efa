#include <gtest/gtest.h>

#include <functional>

#include "core/archive/header.h"
#include "core/error/detail_texts.h"
#include "core/volumes/code_signature.h"
#include "core/volumes/footer.h"
#include "tests/support/archive_image.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using test::write_file;

const std::string empty_list =
    R"({"format":"quarn","version":1,"created_unix":0,"tool":"t","data_frames":0,"total_size":0,"entries":[]})";

// A program, an archive and the signature a signing tool appends after
// zero padding to a multiple of 8.
struct SignedSfx {
  std::vector<std::uint8_t> bytes;
  std::size_t archive_at = 0;
  std::size_t archive_end = 0;
  std::size_t table_at = 0;
};

SignedSfx signed_sfx(std::size_t program_size, bool pe32_plus = true, std::uint32_t table_size = 64) {
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  SignedSfx s;
  s.bytes = test::pe_program(pe32_plus, program_size);
  s.archive_at = s.bytes.size();
  s.bytes.insert(s.bytes.end(), archive.begin(), archive.end());
  s.archive_end = s.bytes.size();
  test::append_signature(s.bytes, table_size, pe32_plus);
  s.table_at = s.bytes.size() - table_size;
  return s;
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::vector<std::uint8_t> program_stub() {
  std::vector<std::uint8_t> stub = {'M', 'Z'};
  stub.resize(300, 0x90);
  return stub;
}

class FooterTest : public ::testing::Test {
 protected:
  Result<SfxFooter> check(const std::vector<std::uint8_t>& bytes, const char* name = "a.qrn") {
    write_file(dir / name, bytes);
    auto set = VolumeSet::open(dir / name);
    if (!set) return std::unexpected(set.error());
    volumes.emplace(std::move(*set));
    auto header = Header::read(*volumes);
    if (!header) return std::unexpected(header.error());
    return check_footer(*volumes, header->length());
  }

  test::TempDir dir;
  std::optional<VolumeSet> volumes;
};

TEST_F(FooterTest, AValidFooterPositionsAtTheFileList) {
  const auto bytes = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto footer = check(bytes);
  ASSERT_TRUE(footer) << footer.error().display();
  EXPECT_EQ(footer->archive_length, bytes.size());
  EXPECT_EQ(volumes->position(), footer->filelist_offset);
}

TEST_F(FooterTest, RoundTripsThroughEncodeAndParse) {
  const auto encoded = encode_footer({1234, 99999});
  EXPECT_EQ(std::vector<std::uint8_t>(encoded.begin(), encoded.end()), test::footer_bytes(1234, 99999));
  auto parsed = parse_footer(encoded);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->filelist_offset, 1234u);
  EXPECT_EQ(parsed->archive_length, 99999u);
}

TEST_F(FooterTest, ReservedBytesAreIgnoredButCoveredBytesAreNot) {
  auto encoded = encode_footer({1, 2});
  encoded[30] ^= 0xFF;
  EXPECT_TRUE(parse_footer(encoded));
  for (std::size_t i : {0u, 7u, 8u, 23u, 24u, 27u}) {
    auto damaged = encode_footer({1, 2});
    damaged[i] ^= 0x01;
    auto parsed = parse_footer(damaged);
    ASSERT_FALSE(parsed) << i;
    EXPECT_EQ(parsed.error().detail(), texts::bad_footer) << i;
  }
}

TEST_F(FooterTest, TruncatedOrExtendedFilesLoseTheirFooter) {
  auto bytes = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto truncated = bytes;
  truncated.pop_back();
  auto footer = check(truncated);
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().display(), "Archiwum jest uszkodzone: brak lub uszkodzona stopka (plik uciety?)");

  auto extended = bytes;
  extended.push_back(0);
  footer = check(extended, "b.qrn");
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().detail(), texts::bad_footer);
}

TEST_F(FooterTest, TwoJoinedArchivesReportBothLengths) {
  const auto first = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto second_header = test::HeaderImage{};
  second_header.version = 1;
  const auto second = test::archive_bytes(second_header, empty_list);
  auto joined = first;
  joined.insert(joined.end(), second.begin(), second.end());
  auto footer = check(joined);
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().detail(), texts::archive_length_mismatch(joined.size(), second.size()));
}

TEST_F(FooterTest, ArchiveShorterThanHeaderPlus56IsTruncated) {
  auto bytes = test::HeaderImage{}.bytes();
  bytes.resize(bytes.size() + 55, 0);
  auto footer = check(bytes);
  ASSERT_FALSE(footer);
  EXPECT_EQ(footer.error().detail(), texts::truncated);
}

TEST_F(FooterTest, FileListOffsetMustLieBetweenHeaderAndFooter) {
  const auto bytes = test::archive_bytes(test::HeaderImage{}, empty_list);
  const std::uint64_t h = test::HeaderImage{}.bytes().size();
  const std::uint64_t a = bytes.size();
  struct Case {
    std::uint64_t offset;
    bool ok;
  };
  for (const Case c : {Case{h, true}, Case{h - 1, false}, Case{a - 56, true}, Case{a - 55, false}, Case{0, false},
                       Case{UINT64_MAX, false}}) {
    auto patched = bytes;
    const auto footer = test::footer_bytes(c.offset, a);
    std::copy(footer.begin(), footer.end(), patched.end() - 32);
    auto result = check(patched);
    EXPECT_EQ(result.has_value(), c.ok) << c.offset;
    if (!c.ok && !result) {
      EXPECT_EQ(result.error().detail(), texts::bad_filelist_position);
    }
  }
}

TEST_F(FooterTest, SelfExtractingFileIsReadFromAfterTheProgram) {
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  auto sfx = program_stub();
  sfx.insert(sfx.end(), archive.begin(), archive.end());
  auto footer = check(sfx, "umowa.exe");
  ASSERT_TRUE(footer) << footer.error().display();
  EXPECT_EQ(volumes->start_offset(), program_stub().size());
  EXPECT_EQ(volumes->archive_len(), archive.size());
}

TEST_F(FooterTest, SelfExtractionDetectionFallsBackToOffsetZero) {
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  auto whole_length = program_stub();  // footer claims the whole file
  {
    auto a = archive;
    whole_length.insert(whole_length.end(), a.begin(), a.end());
    const auto footer = test::footer_bytes(program_stub().size() + 100, whole_length.size());
    std::copy(footer.begin(), footer.end(), whole_length.end() - 32);
  }
  auto no_magic = program_stub();  // footer valid, but no header where it points
  no_magic.insert(no_magic.end(), archive.begin(), archive.end());
  no_magic[program_stub().size()] = 'X';
  auto not_mz = archive;  // a plain archive is never searched for a prefix
  const Case cases[] = {
      {"bare_program", program_stub()},
      {"whole_length", whole_length},
      {"no_magic", no_magic},
      {"tiny_mz", {'M', 'Z'}},
  };
  for (const auto& c : cases) {
    write_file(dir / c.name, c.bytes);
    auto set = VolumeSet::open(dir / c.name);
    ASSERT_TRUE(set) << c.name;
    EXPECT_EQ(set->start_offset(), 0u) << c.name;
    auto header = Header::read(*set);
    ASSERT_FALSE(header) << c.name;
    EXPECT_EQ(header.error().kind(), ErrorKind::NotArchive) << c.name;
  }
  write_file(dir / "plain", not_mz);
  auto set = VolumeSet::open(dir / "plain");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->start_offset(), 0u);
}

// Adds `more` WIN_CERTIFICATE entries of 8 bytes to the end of a signed
// program's table.
void add_entries(SignedSfx& s, int more, bool pe32_plus = true) {
  for (int i = 0; i < more; ++i)
    for (const int b : {8, 0, 0, 0, 0x00, 0x02, 0x02, 0x00}) s.bytes.push_back(static_cast<std::uint8_t>(b));
  put_u32(s.bytes, test::security_directory_at(pe32_plus) + 4, static_cast<std::uint32_t>(s.bytes.size() - s.table_at));
}

TEST_F(FooterTest, SignedProgramIsReadUpToItsSignature) {
  struct Case {
    bool pe32_plus;
    std::uint32_t table_size;
    std::optional<std::uint32_t> win_certificate_length;  // default: the table's size
    int entries = 1;
  };
  const Case cases[] = {{true, 64, {}},  {false, 64, {}},
                        {true, 4096, {}}, {true, 64, 61},
                        {true, 64, {}, MAX_CERTIFICATE_ENTRIES}, {false, 64, {}, MAX_CERTIFICATE_ENTRIES}};
  for (const Case& c : cases) {
    // Eight program lengths: every padding from 0 to 7 bytes before the table.
    for (std::size_t program = 1024; program < 1032; ++program) {
      auto s = signed_sfx(program, c.pe32_plus, c.table_size);
      if (c.win_certificate_length) put_u32(s.bytes, s.table_at, *c.win_certificate_length);
      add_entries(s, c.entries - 1, c.pe32_plus);
      const std::uint64_t table_size = s.bytes.size() - s.table_at;
      const std::string label = std::to_string(program) + (c.pe32_plus ? " PE32+ " : " PE32 ") +
                                std::to_string(c.table_size) + " " + std::to_string(c.win_certificate_length.value_or(0)) +
                                " x" + std::to_string(c.entries);
      auto footer = check(s.bytes, "podpisany.exe");
      ASSERT_TRUE(footer) << label << ": " << footer.error().display();
      EXPECT_EQ(volumes->start_offset(), s.archive_at) << label;
      EXPECT_EQ(volumes->archive_len(), s.archive_end - s.archive_at) << label;
      ASSERT_TRUE(volumes->code_signature()) << label;
      EXPECT_EQ(volumes->code_signature()->offset, s.table_at) << label;
      EXPECT_EQ(volumes->code_signature()->length, table_size) << label;
      // Nothing after the archive's last byte is read.
      std::vector<std::uint8_t> buffer(16);
      volumes->set_position(volumes->archive_len() - 1);
      EXPECT_EQ(volumes->read(buffer).value(), 1u) << label;
      EXPECT_EQ(volumes->read(buffer).value(), 0u) << label;
    }
  }
}

// Headers that hold no certificate directory, or one that is all zero, make
// an unsigned program: the archive is looked for at the end of the file.
TEST_F(FooterTest, ProgramsWithoutACertificateDirectoryAreUnsigned) {
  const std::size_t directory = test::security_directory_at();
  const std::size_t optional_header = 0x80 + 24;
  using Edit = std::function<void(SignedSfx&)>;
  const std::pair<const char*, Edit> cases[] = {
      {"e_lfanew_past_the_file", [](SignedSfx& s) { put_u32(s.bytes, 0x3C, static_cast<std::uint32_t>(s.bytes.size())); }},
      {"e_lfanew_largest", [](SignedSfx& s) { put_u32(s.bytes, 0x3C, 0xFFFFFFFF); }},
      {"headers_cut_by_the_end", [](SignedSfx& s) { put_u32(s.bytes, 0x3C, static_cast<std::uint32_t>(s.bytes.size() - 30)); }},
      {"no_pe_signature", [](SignedSfx& s) { s.bytes[0x80 + 1] = 'X'; }},
      {"rom_optional_header", [&](SignedSfx& s) { s.bytes[optional_header + 1] = 0x01 + 6; }},
      {"four_directories", [&](SignedSfx& s) { put_u32(s.bytes, optional_header + 108, 4); }},
      {"optional_header_too_small", [&](SignedSfx& s) {
         s.bytes[0x80 + 4 + 16] = 150;
         s.bytes[0x80 + 4 + 17] = 0;
       }},
      {"directory_all_zero", [&](SignedSfx& s) {
         put_u32(s.bytes, directory, 0);
         put_u32(s.bytes, directory + 4, 0);
       }},
  };
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  for (const auto& [name, edit] : cases) {
    // Without a table the archive at the end opens; with one (which counts
    // for nothing here) the file ends in no footer and is read from byte 0.
    for (const bool with_table : {false, true}) {
      SignedSfx s = signed_sfx(1024);
      if (!with_table) s.bytes.resize(s.archive_end);
      edit(s);
      const std::string label = std::string(name) + (with_table ? " with a table" : "");
      write_file(dir / name, s.bytes);
      auto set = VolumeSet::open(dir / name);
      ASSERT_TRUE(set) << label << ": " << set.error().display();
      EXPECT_FALSE(set->code_signature()) << label;
      EXPECT_EQ(set->start_offset(), with_table ? 0 : s.archive_at) << label;
      EXPECT_EQ(set->archive_len(), with_table ? s.bytes.size() : archive.size()) << label;
      auto header = Header::read(*set);
      EXPECT_EQ(header.has_value(), !with_table) << label;
      if (!header) {
        EXPECT_EQ(header.error().kind(), ErrorKind::NotArchive) << label;
      }
    }
  }
}

// A signed program with no archive right before its table (allowing 7 zero
// bytes) is the program alone, however the file ends.
TEST_F(FooterTest, SignedProgramWithoutAnArchiveBeforeItsTableIsNoArchive) {
  std::size_t padded_program = 1024;
  while (signed_sfx(padded_program).table_at == signed_sfx(padded_program).archive_end) ++padded_program;
  using Make = std::function<SignedSfx()>;
  const std::pair<const char*, Make> cases[] = {
      {"bare_program", [] {
         SignedSfx s;
         s.bytes = test::pe_program(true, 1024);
         test::append_signature(s.bytes);
         s.table_at = s.bytes.size() - 64;
         return s;
       }},
      {"nonzero_padding", [&] {
         SignedSfx s = signed_sfx(padded_program);
         s.bytes[s.table_at - 1] = 0x01;
         return s;
       }},
      {"eight_zero_bytes", [] {
         SignedSfx s = signed_sfx(1024);
         s.bytes.resize(s.archive_end);
         s.bytes.resize((s.bytes.size() + 7) / 8 * 8 + 8, 0);
         test::append_signature(s.bytes);
         s.table_at = s.bytes.size() - 64;
         return s;
       }},
  };
  for (const auto& [name, make] : cases) {
    const SignedSfx s = make();
    write_file(dir / name, s.bytes);
    auto set = VolumeSet::open(dir / name);
    ASSERT_TRUE(set) << name << ": " << set.error().display();
    ASSERT_TRUE(set->code_signature()) << name;
    EXPECT_EQ(set->code_signature()->offset, s.table_at) << name;
    EXPECT_EQ(set->start_offset(), 0u) << name;
    EXPECT_EQ(set->archive_len(), s.table_at) << name;
    auto header = Header::read(*set);
    ASSERT_FALSE(header) << name;
    EXPECT_EQ(header.error().kind(), ErrorKind::NotArchive) << name;
  }
}

// A program that claims a signature (its certificate directory is not all
// zero) but whose table is not what a signing tool leaves at the end of the
// file is refused: such a file is never read as an unsigned one, whose
// archive would end at the end of the file, past the table.
TEST_F(FooterTest, DamagedSignatureAreasAreRefused) {
  const std::size_t directory = test::security_directory_at();
  const auto archive = test::archive_bytes(test::HeaderImage{}, empty_list);
  using Edit = std::function<void(SignedSfx&)>;
  const std::pair<const char*, Edit> cases[] = {
      {"table_past_the_file", [&](SignedSfx& s) { put_u32(s.bytes, directory, static_cast<std::uint32_t>(s.bytes.size())); }},
      {"table_largest", [&](SignedSfx& s) {
         put_u32(s.bytes, directory, 0xFFFFFFFF);
         put_u32(s.bytes, directory + 4, 0xFFFFFFFF);
       }},
      {"table_not_at_the_end", [](SignedSfx& s) { s.bytes.resize(s.bytes.size() + 8, 0); }},
      {"archive_after_the_table", [&](SignedSfx& s) { s.bytes.insert(s.bytes.end(), archive.begin(), archive.end()); }},
      {"table_short_of_the_end", [&](SignedSfx& s) { put_u32(s.bytes, directory + 4, 56); }},
      {"table_empty", [&](SignedSfx& s) { put_u32(s.bytes, directory + 4, 0); }},
      {"table_at_byte_0", [&](SignedSfx& s) { put_u32(s.bytes, directory, 0); }},
      {"table_over_the_headers", [&](SignedSfx& s) {
         // One entry that fills everything from the last data directory on.
         const std::uint32_t at = static_cast<std::uint32_t>(directory + 11 * 8);
         put_u32(s.bytes, directory, at);
         put_u32(s.bytes, directory + 4, static_cast<std::uint32_t>(s.bytes.size()) - at);
         put_u32(s.bytes, at, static_cast<std::uint32_t>(s.bytes.size()) - at);
       }},
      {"table_inside_the_archive", [&](SignedSfx& s) {
         const auto at = static_cast<std::uint32_t>(s.archive_end - 32);
         put_u32(s.bytes, directory, at);
         put_u32(s.bytes, directory + 4, static_cast<std::uint32_t>(s.bytes.size()) - at);
       }},
      {"length_longer_than_the_table", [](SignedSfx& s) { put_u32(s.bytes, s.table_at, 72); }},
      {"length_shorter_than_the_table", [](SignedSfx& s) { put_u32(s.bytes, s.table_at, 48); }},
      {"length_below_its_own_header", [](SignedSfx& s) { put_u32(s.bytes, s.table_at, 4); }},
      {"length_zero", [](SignedSfx& s) { put_u32(s.bytes, s.table_at, 0); }},
      {"too_many_entries", [](SignedSfx& s) { add_entries(s, MAX_CERTIFICATE_ENTRIES); }},
      {"entry_cut_by_the_end", [](SignedSfx& s) {
         add_entries(s, 1);
         s.bytes.resize(s.bytes.size() - 4);
         put_u32(s.bytes, test::security_directory_at() + 4, static_cast<std::uint32_t>(s.bytes.size() - s.table_at));
       }},
  };
  for (const auto& [name, edit] : cases) {
    SignedSfx s = signed_sfx(1024);
    edit(s);
    write_file(dir / name, s.bytes);
    auto set = VolumeSet::open(dir / name);
    ASSERT_FALSE(set) << name;
    EXPECT_EQ(set.error().kind(), ErrorKind::Corrupt) << name;
    EXPECT_EQ(set.error().detail(), texts::signature_area_damaged) << name;
  }

  // The same holds for an unsigned self-extractor whose directory claims its
  // archive's tail as a table.
  auto unsigned_sfx = test::pe_program();
  unsigned_sfx.insert(unsigned_sfx.end(), archive.begin(), archive.end());
  put_u32(unsigned_sfx, directory, static_cast<std::uint32_t>(unsigned_sfx.size() - 32));
  put_u32(unsigned_sfx, directory + 4, 32);
  write_file(dir / "bez_podpisu.exe", unsigned_sfx);
  auto set = VolumeSet::open(dir / "bez_podpisu.exe");
  ASSERT_FALSE(set);
  EXPECT_EQ(set.error().display(), "Archiwum jest uszkodzone: obszar podpisu programu jest uszkodzony");
}

}  // namespace
}  // namespace quarn

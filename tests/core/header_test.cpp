#include <gtest/gtest.h>

#include <functional>

#include "core/archive/header.h"
#include "core/crypto/hash.h"
#include "core/error/detail_texts.h"
#include "tests/support/archive_image.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using test::HeaderImage;

class HeaderTest : public ::testing::Test {
 protected:
  Result<Header> read(const std::vector<std::uint8_t>& bytes) {
    const auto path = dir / ("h" + std::to_string(counter++));
    test::write_file(path, bytes);
    auto set = VolumeSet::open(path);
    if (!set) return std::unexpected(set.error());
    auto header = Header::read(*set);
    if (header) position_after = set->position();
    return header;
  }

  test::TempDir dir;
  int counter = 0;
  std::uint64_t position_after = 0;
};

void expect_error(const Result<Header>& result, ErrorKind kind, std::string_view detail, const std::string& label) {
  ASSERT_FALSE(result) << label;
  EXPECT_EQ(result.error().kind(), kind) << label << ": " << result.error().display();
  EXPECT_EQ(result.error().detail(), detail) << label;
}

TEST_F(HeaderTest, ReadsBothVersionsAndStopsAtHeaderLength) {
  HeaderImage v1;
  v1.version = 1;
  auto header = read(v1.bytes());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->length(), 148u);
  EXPECT_EQ(position_after, 148u);
  EXPECT_TRUE(header->extensions.empty());

  HeaderImage v2;
  v2.extensions = test::extension_record(1, {1, 2, 3});
  header = read(v2.bytes());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->length(), 152u + 9u);
  EXPECT_EQ(position_after, 161u);
  EXPECT_EQ(header->canonical_bytes().size(), 88u + 9u);
}

TEST_F(HeaderTest, FieldsAreKeptAsStored) {
  HeaderImage image = HeaderImage::encrypted(5);
  image.flags = 0x8001;
  image.byte14 = 0xAB;
  image.block_size = 1234567;
  image.memory_kib = 4096;
  image.iterations = 3;
  image.parallelism = 4;
  image.argon2_salt.fill(0x11);
  image.hkdf_salt.fill(0x22);
  auto header = read(image.bytes());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->mode, EncryptionMode::SerpentTwofishAes256);
  EXPECT_EQ(header->flags, 0x8001);
  EXPECT_EQ(header->byte14, 0xAB);
  EXPECT_EQ(header->block_size, 1234567u);
  EXPECT_EQ(header->argon2, (Argon2Params{4096, 3, 4}));
  EXPECT_EQ(header->argon2_salt[31], 0x11);
  EXPECT_EQ(header->hkdf_salt[0], 0x22);
  EXPECT_EQ(header->header_tag, *image.tag);
  EXPECT_TRUE(header->encrypted());
}

struct RefusalCase {
  std::string label;
  std::function<void(HeaderImage&)> edit;
  ErrorKind kind;
  std::string_view detail;
  std::uint16_t version = 0;
};

TEST_F(HeaderTest, RefusesEachInvalidField) {
  const auto corrupt = ErrorKind::Corrupt;
  const std::vector<RefusalCase> cases = {
      {"version_0", [](HeaderImage& h) { h.version = 0; }, ErrorKind::UnsupportedVersion, "", 0},
      {"version_3", [](HeaderImage& h) { h.version = 3; }, ErrorKind::UnsupportedVersion, "", 3},
      {"mode_6", [](HeaderImage& h) { h.mode = 6; }, corrupt, texts::unknown_encryption_mode},
      {"compression_2", [](HeaderImage& h) { h.compression = 2; }, corrupt, texts::unknown_compression},
      {"block_0", [](HeaderImage& h) { h.block_size = 0; }, corrupt, texts::bad_block_size},
      {"block_64MiB_plus_1", [](HeaderImage& h) { h.block_size = 67108865; }, corrupt, texts::bad_block_size},
      {"mode_without_flag", [](HeaderImage& h) { h.mode = 1; }, corrupt, texts::inconsistent_encryption_flags},
      {"flag_without_mode",
       [](HeaderImage& h) {
         h.flags = 1;
         h.kdf_present = 1;
       },
       corrupt, texts::inconsistent_encryption_flags},
      {"kdf_present_2",
       [](HeaderImage& h) {
         h = HeaderImage::encrypted(1);
         h.kdf_present = 2;
       },
       corrupt, texts::inconsistent_encryption_flags},
      {"extension_length_65537",
       [](HeaderImage& h) { h.extension_length = 65537; }, corrupt, texts::extensions_too_large},
      {"extension_record_cut",
       [](HeaderImage& h) { h.extensions = {1, 0, 5, 0, 0}; }, corrupt, texts::extensions_damaged},
      {"extension_payload_cut",
       [](HeaderImage& h) {
         h.extensions = test::extension_record(1, {1, 2, 3});
         h.extensions.pop_back();
       },
       corrupt, texts::extensions_damaged},
      {"extension_type_3", [](HeaderImage& h) { h.extensions = test::extension_record(3, {}); },
       ErrorKind::UnsupportedVersion, "", 2},
      {"fido2_empty_credential",
       [](HeaderImage& h) { h.extensions = test::extension_record(2, test::fido2_payload("example.com", {})); },
       corrupt, texts::fido2_descriptor_damaged},
      {"fido2_trailing_byte",
       [](HeaderImage& h) {
         h.extensions = test::extension_record(2, test::fido2_payload("example.com", {1}, 33));
       },
       corrupt, texts::fido2_descriptor_damaged},
      {"fido2_short_salt",
       [](HeaderImage& h) {
         h.extensions = test::extension_record(2, test::fido2_payload("example.com", {1}, 31));
       },
       corrupt, texts::fido2_descriptor_damaged},
      {"fido2_one_byte", [](HeaderImage& h) { h.extensions = test::extension_record(2, {7}); }, corrupt,
       texts::fido2_descriptor_damaged},
      {"fido2_rp_id_past_end",
       [](HeaderImage& h) { h.extensions = test::extension_record(2, {200, 0, 'a'}); }, corrupt,
       texts::fido2_descriptor_damaged},
      {"fido2_invalid_utf8",
       [](HeaderImage& h) {
         h.extensions = test::extension_record(2, test::fido2_payload("ex\xC3", {1}));
       },
       corrupt, texts::fido2_descriptor_damaged},
  };
  for (const auto& c : cases) {
    HeaderImage image;
    c.edit(image);
    auto result = read(image.bytes());
    expect_error(result, c.kind, c.detail, c.label);
    if (c.kind == ErrorKind::UnsupportedVersion && !result) {
      EXPECT_EQ(result.error().version(), c.version) << c.label;
    }
  }
}

TEST_F(HeaderTest, Argon2BoundsAreInclusive) {
  struct Case {
    std::uint32_t m, t, p;
    bool ok;
  };
  const Case cases[] = {
      {512, 64, 64, true},       {511, 1, 64, false},   {4194304, 1, 1, true}, {4194305, 1, 1, false},
      {8, 1, 1, true},           {7, 1, 1, false},      {64, 0, 1, false},     {64, 65, 1, false},
      {1024, 1, 0, false},       {1024, 1, 65, false},  {0xFFFFFFFF, 1, 1, false},
  };
  for (const auto& c : cases) {
    HeaderImage image = HeaderImage::encrypted(1);
    image.memory_kib = c.m;
    image.iterations = c.t;
    image.parallelism = c.p;
    auto result = read(image.bytes());
    const std::string label = std::to_string(c.m) + "/" + std::to_string(c.t) + "/" + std::to_string(c.p);
    if (c.ok) {
      EXPECT_TRUE(result) << label;
    } else {
      expect_error(result, ErrorKind::Corrupt, texts::bad_argon2_parameters, label);
    }
  }
}

TEST_F(HeaderTest, BoundaryValuesThatMustBeAccepted) {
  HeaderImage largest_block;
  largest_block.block_size = 67108864;
  EXPECT_TRUE(read(largest_block.bytes()));

  HeaderImage largest_extensions;
  std::vector<std::uint8_t> payload(65536 - 6, 0xEE);
  largest_extensions.extensions = test::extension_record(1, payload);
  auto header = read(largest_extensions.bytes());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->extensions.size(), 65536u);
}

TEST_F(HeaderTest, ShortStreamsFailAtTheRightStep) {
  const auto full = HeaderImage{}.bytes();
  for (std::size_t n : {0u, 7u, 83u}) {
    auto result = read(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
    expect_error(result, ErrorKind::NotArchive, "", "length " + std::to_string(n));
  }
  for (std::size_t n : {std::size_t{84}, std::size_t{87}, std::size_t{88}, full.size() - 1}) {
    auto result = read(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
    expect_error(result, ErrorKind::Corrupt, texts::header_truncated, "length " + std::to_string(n));
  }
  auto wrong_magic = full;
  wrong_magic[5] = 0x1B;
  expect_error(read(wrong_magic), ErrorKind::NotArchive, "", "magic");
}

TEST_F(HeaderTest, VersionOneNeverReadsAnExtensionLength) {
  HeaderImage v1;
  v1.version = 1;
  auto bytes = v1.bytes();
  // Bytes 84..87 hold the tag's first bytes; make them look like a length.
  bytes.insert(bytes.end(), 100, 0);
  auto header = read(bytes);
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->length(), 148u);
}

TEST_F(HeaderTest, EveryBitOfAPlainHeaderIsProtectedExceptTheUnauthenticatedBytes) {
  HeaderImage image;
  image.extensions = test::extension_record(2, test::fido2_payload("example.com", {9, 9}));
  const auto good = image.bytes();
  ASSERT_TRUE(read(good));
  for (std::size_t byte = 0; byte < good.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto flipped = good;
      flipped[byte] ^= static_cast<std::uint8_t>(1u << bit);
      auto result = read(flipped);
      // kdf_present counts only as 1 or not 1, so in a plain header the
      // bits above bit 0 of byte 20 are as unauthenticated as the reserved bytes.
      const bool unauthenticated = byte == 15 || (byte == 20 && bit > 0) || (byte >= 21 && byte <= 35);
      const std::string label = "byte " + std::to_string(byte) + " bit " + std::to_string(bit);
      if (unauthenticated) {
        EXPECT_TRUE(result) << label;
        continue;
      }
      ASSERT_FALSE(result) << label;
      // Earlier checks may catch a flip first; everything they let through
      // must fail the digest.
      if (byte >= 36 && (byte < 84 || byte > 87)) {
        EXPECT_EQ(result.error().detail(), texts::header_damaged) << label;
      }
    }
  }
}

TEST_F(HeaderTest, PlainHeaderDigestIgnoresStoredArgon2Fields) {
  HeaderImage image;
  image.memory_kib = 99;
  image.iterations = 99;
  image.parallelism = 99;
  auto header = read(image.bytes());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_FALSE(header->argon2);
  const auto canonical = header->canonical_bytes();
  EXPECT_TRUE(std::all_of(canonical.begin() + 20, canonical.begin() + 36, [](auto b) { return b == 0; }));
}

TEST_F(HeaderTest, EncryptedTagIsNotCheckedWhenReading) {
  auto header = read(HeaderImage::encrypted(1).bytes());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->canonical_bytes()[20], 1);
}

TEST_F(HeaderTest, DigestIsSha256OfCanonicalBytesAndTag) {
  HeaderImage image = HeaderImage::encrypted(2);
  image.extensions = test::extension_record(1, {});
  image.byte15 = 0x44;  // not part of the canonical bytes
  auto header = read(image.bytes());
  ASSERT_TRUE(header);
  auto stored = image.bytes();
  stored[15] = 0;
  EXPECT_EQ(header->digest(), crypto::sha256(stored));
}

TEST(ParseExtensions, CollectsFactorsAndTheLastFido2DescriptorWins) {
  Header header;
  header.version = 2;
  auto append = [&](const std::vector<std::uint8_t>& record) {
    header.extensions.insert(header.extensions.end(), record.begin(), record.end());
  };
  append(test::extension_record(2, test::fido2_payload("first.example", {1})));
  append(test::extension_record(1, {0xFF, 0xFF}));
  append(test::extension_record(2, test::fido2_payload("second.example", {2, 3})));
  auto extensions = parse_extensions(header);
  ASSERT_TRUE(extensions) << extensions.error().display();
  EXPECT_TRUE(extensions->key_file_required);
  ASSERT_TRUE(extensions->fido2);
  EXPECT_EQ(extensions->fido2->rp_id, "second.example");
  EXPECT_EQ(extensions->fido2->credential_id, (std::vector<std::uint8_t>{2, 3}));
  EXPECT_EQ(extensions->fido2->salt[0], 0x77);

  Header none;
  none.version = 2;
  extensions = parse_extensions(none);
  ASSERT_TRUE(extensions);
  EXPECT_FALSE(extensions->key_file_required);
  EXPECT_FALSE(extensions->fido2);
}

TEST(EncryptionMode, NamesAndTagOverheads) {
  const std::pair<const char*, std::uint32_t> expected[] = {
      {"bez szyfrowania", 0},
      {"AES-256-GCM", 16},
      {"kaskada ChaCha20-Poly1305 + AES-256-GCM (2x256 bit)", 32},
      {"Twofish-256-GCM", 16},
      {"Serpent-256-GCM", 16},
      {"kaskada Serpent + Twofish + AES-256 (3x256 bit)", 48},
  };
  for (std::uint8_t m = 0; m < 6; ++m) {
    EXPECT_EQ(display_name(static_cast<EncryptionMode>(m)), expected[m].first);
    EXPECT_EQ(tag_overhead(static_cast<EncryptionMode>(m)), expected[m].second);
  }
}

}  // namespace
}  // namespace quarn

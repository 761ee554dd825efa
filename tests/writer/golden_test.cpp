// Archives whose bytes are checked in: the reader must keep reading them, and
// the writer must keep producing them from the same inputs and salts.
// QUARN_WRITE_GOLDEN=1 rewrites them (only after a deliberate format change).
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/crypto/fake_authenticator.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

const std::filesystem::path golden_dir = std::filesystem::path(QUARN_TEST_DATA_DIR) / "golden";

struct Golden {
  const char* name;
  EncryptionMode mode;
  std::uint16_t version;
  int level;
  bool key_file;
  bool fido2;
};

const Golden goldens[] = {
    {"plain-v1", EncryptionMode::None, 1, 0, false, false},
    {"aes-v2", EncryptionMode::Aes256Gcm, 2, 0, false, false},
    {"chacha-aes-keyfile", EncryptionMode::ChaCha20Poly1305ThenAes256Gcm, 2, 0, true, false},
    {"twofish-v1", EncryptionMode::Twofish256Gcm, 1, 0, false, false},
    {"serpent-zstd", EncryptionMode::Serpent256Gcm, 2, 3, false, false},
    {"cascade-fido2", EncryptionMode::SerpentTwofishAes256, 2, 0, false, true},
};

std::string digits(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; s.size() < n; ++i) s += std::to_string(i * i) + "\n";
  s.resize(n);
  return s;
}

const std::map<std::string, std::string> golden_files = {
    {"czytaj.txt", "Quarn: archiwum wzorcowe.\n"},
    {"dane/", ""},
    {"dane/liczby.txt", digits(5000)},
    {"dane/pusty", ""},
};

std::array<std::uint8_t, 32> hmac_output() {
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(0xA0 + i);
  return out;
}

writer::WriterOptions golden_options(const Golden& g) {
  auto o = test::fast_options(g.mode, g.version);
  o.block_size = 1024;
  o.zstd_level = g.level;
  o.threads = 1;
  o.tool = "quarn golden";
  if (g.key_file) o.key_file = golden_dir / "klucz.bin";
  if (g.fido2) {
    writer::Fido2Factor f;
    f.rp_id = std::string(FIDO2_RP_ID);  // the only relying party a reader asks
    f.credential_id = {0xC0, 0xFF, 0xEE};
    f.salt.fill(0x5A);
    const auto output = hmac_output();
    f.hmac_secret_output = std::make_shared<const SecretBuffer>(SecretBuffer::from_bytes(output));
    o.fido2 = f;
  }
  return o;
}

// The writer on fixed inputs with fixed times and attributes.
std::vector<std::uint8_t> write_golden(const Golden& g) {
  test::TempDir dir;
  const auto root = dir / "input";
  for (const auto& [path, content] : golden_files) {
    if (path.ends_with('/')) {
      std::filesystem::create_directories(root / path.substr(0, path.size() - 1));
    } else {
      std::filesystem::create_directories((root / path).parent_path());
      test::write_file(root / path, test::bytes_of(content));
    }
  }
  auto tree = writer::gather_inputs({root / "czytaj.txt", root / "dane"}).value();
  for (auto& e : tree.entries) {
    e.modified = 133801632000000000ull;
    e.created = 0;
    e.attributes = e.is_directory ? 0x10 : 0x20;
  }
  auto out = writer::ArchiveOutput::create({dir / "out.qrn"}).value();
  const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
  EXPECT_TRUE(writer::write_archive(tree, golden_options(g), &password, out));
  return test::read_file(dir / "out.qrn");
}

TEST(Golden, WriterReproducesTheStoredBytes) {
  const bool rewrite = std::getenv("QUARN_WRITE_GOLDEN") != nullptr;
  for (const Golden& g : goldens) {
    const auto path = golden_dir / (std::string(g.name) + ".qrn");
    const auto fresh = write_golden(g);
    if (rewrite) {
      test::write_file(path, fresh);
      continue;
    }
    // Compressed bytes may differ between Zstandard releases; those archives are only read.
    if (g.level != 0) continue;
    EXPECT_EQ(fresh, test::read_file(path)) << g.name;
  }
}

TEST(Golden, ReaderReadsEveryStoredArchive) {
  for (const Golden& g : goldens) {
    const auto path = golden_dir / (std::string(g.name) + ".qrn");
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    const auto output = hmac_output();
    auto fake = test::FakeAuthenticator::answering({output.begin(), output.end()});
    auto read = test::read_back(path, test::test_password,
                                g.key_file ? std::optional(golden_dir / "klucz.bin") : std::nullopt,
                                g.fido2 ? &fake : nullptr);
    ASSERT_TRUE(read) << g.name << ": " << read.error().display();
    std::map<std::string, std::string> expected = golden_files;
    EXPECT_EQ(read->files, expected) << g.name;
    EXPECT_EQ(read->loaded.manifest.created_unix, 1700000000) << g.name;
    EXPECT_EQ(read->loaded.manifest.entries[0].modified, 133801632000000000ull) << g.name;
  }
}

}  // namespace
}  // namespace quarn

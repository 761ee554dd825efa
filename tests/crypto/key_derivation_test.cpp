// Key derivation: HKDF against independent values, the whole chain against
// values computed outside our code, the order of the checks, the Argon2id
// bounds and the header tag. Argon2id itself: argon2id_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crypto/hkdf.h"
#include "core/crypto/key_derivation.h"
#include "core/error/detail_texts.h"
#include "tests/crypto/fake_authenticator.h"
#include "tests/crypto/vectors.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace v = vectors;

template <std::size_t N>
Bytes bytes(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}
Bytes bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// An extension record: type (u16), length (u32), payload.
Bytes extension_record(std::uint16_t type, const Bytes& payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  Bytes r = {static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(n),
             static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
  r.insert(r.end(), payload.begin(), payload.end());
  return r;
}

// A FIDO2 key: our relying party, credential 09 08 07 06, salt of zeros.
Bytes fido2_extension() {
  Bytes payload = {13, 0};
  const std::string rp_id(FIDO2_RP_ID);
  payload.insert(payload.end(), rp_id.begin(), rp_id.end());
  payload.insert(payload.end(), {4, 0, 9, 8, 7, 6});
  payload.resize(payload.size() + 32, 0);
  return extension_record(2, payload);
}
Bytes key_file_extension() { return extension_record(1, {}); }

// An encrypted header whose salts, parameters and tag are the vectors'.
KeyMaterial vector_header(EncryptionMode mode, const std::array<std::uint8_t, 64>& tag, Bytes extensions = {}) {
  KeyMaterial m;
  m.encrypted = true;
  m.mode = mode;
  m.argon2 = Argon2Params{v::kdf_memory_kib, v::kdf_iterations, v::kdf_parallelism};
  m.argon2_salt = v::kdf_argon2_salt;
  m.hkdf_salt = v::kdf_hkdf_salt;
  m.header_tag = tag;
  m.canonical_bytes = bytes(v::kdf_canonical);
  m.extensions = std::move(extensions);
  m.version = 2;
  return m;
}

SecretBuffer vector_password() { return SecretBuffer::from_bytes(v::kdf_password); }

void expect_error(const auto& result, ErrorKind kind, std::string_view detail) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().detail(), detail);
}

TEST(HkdfTest, MultiBlockOutputMatchesIndependentComputation) {
  std::array<std::uint8_t, 64> prk{};
  crypto::hkdf_sha512_extract(v::hkdf_salt, v::hkdf_ikm, prk);
  EXPECT_EQ(bytes(prk), bytes(v::hkdf_prk));
  const std::string info = "info label";
  Bytes okm(150);
  crypto::hkdf_sha512_expand(prk, std::span(reinterpret_cast<const std::uint8_t*>(info.data()), info.size()), okm);
  EXPECT_EQ(okm, bytes(v::hkdf_okm_150));
}

TEST(DeriveKeySetTest, AllFiveKeysMatchIndependentComputation) {
  struct Case {
    const char* name;
    Bytes factors;
    Bytes mac, aes, chacha, twofish, serpent;
  };
  Bytes fido2 = {0x02};
  fido2.insert(fido2.end(), v::kdf_fido2_output.begin(), v::kdf_fido2_output.end());
  const Case cases[] = {
      {"no factors", {}, bytes(v::kdf_plain_header_mac_key), bytes(v::kdf_plain_aes_key),
       bytes(v::kdf_plain_chacha_key), bytes(v::kdf_plain_twofish_key), bytes(v::kdf_plain_serpent_key)},
      {"FIDO2", fido2, bytes(v::kdf_fido2_header_mac_key), bytes(v::kdf_fido2_aes_key), bytes(v::kdf_fido2_chacha_key),
       bytes(v::kdf_fido2_twofish_key), bytes(v::kdf_fido2_serpent_key)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto keys = derive_key_set(Argon2Params{v::kdf_memory_kib, v::kdf_iterations, v::kdf_parallelism},
                               v::kdf_argon2_salt, v::kdf_hkdf_salt, v::kdf_password, c.factors);
    ASSERT_TRUE(keys.has_value());
    EXPECT_EQ(bytes(keys->header_mac_key.view()), c.mac);
    EXPECT_EQ(bytes(keys->aes_key.view()), c.aes);
    EXPECT_EQ(bytes(keys->chacha_key.view()), c.chacha);
    EXPECT_EQ(bytes(keys->twofish_key.view()), c.twofish);
    EXPECT_EQ(bytes(keys->serpent_key.view()), c.serpent);
  }
}

// ---- derive_keys ------------------------------------------------------------

class DeriveKeysTest : public ::testing::Test {
 protected:
  // A frame sealed under the vectors' keys in `mode`, for proving that a
  // derived cipher is the right one.
  static Bytes sealed_frame(EncryptionMode mode, const FrameAad& aad) {
    KeySet keys = KeySet::allocate();
    const auto fill = [](SecretBuffer& key, const std::array<std::uint8_t, 32>& value) {
      std::copy(value.begin(), value.end(), key.mutable_view().begin());
    };
    fill(keys.aes_key, v::kdf_plain_aes_key);
    fill(keys.chacha_key, v::kdf_plain_chacha_key);
    fill(keys.twofish_key, v::kdf_plain_twofish_key);
    fill(keys.serpent_key, v::kdf_plain_serpent_key);
    Bytes payload = {'f', 'r', 'a', 'm', 'e'};
    FrameSealer(build_cipher(mode, keys)).seal(FrameId{3, 1}, aad, payload);
    return payload;
  }

  test::FakeAuthenticator fake_ = test::FakeAuthenticator::answering(bytes(v::kdf_fido2_output));
  SecondFactorOptions no_options_;
  SecretBuffer password_ = vector_password();
};

TEST_F(DeriveKeysTest, UnencryptedHeaderGivesThePlainCipherWithoutLookingFurther) {
  KeyMaterial header;  // not encrypted; its factor demands must not matter
  header.extensions = key_file_extension();
  header.version = 2;
  for (const SecretBuffer* password : std::initializer_list<const SecretBuffer*>{nullptr, &password_}) {
    auto cipher = derive_keys(header, password, no_options_, fake_);
    ASSERT_TRUE(cipher.has_value());
    EXPECT_EQ(cipher->mode(), EncryptionMode::None);
    EXPECT_EQ(cipher->layer_count(), 0u);
  }
  EXPECT_EQ(fake_.assertions, 0);
}

TEST_F(DeriveKeysTest, MissingOrEmptyPasswordComesBeforeAnyPrompt) {
  const KeyMaterial header = vector_header(EncryptionMode::Aes256Gcm, v::kdf_fido2_tag, fido2_extension());
  const SecretBuffer empty;
  for (const SecretBuffer* password : std::initializer_list<const SecretBuffer*>{nullptr, &empty}) {
    auto result = derive_keys(header, password, no_options_, fake_);
    expect_error(result, ErrorKind::PasswordRequired, "");
  }
  EXPECT_EQ(fake_.random_draws + fake_.assertions, 0);
}

TEST_F(DeriveKeysTest, ExtensionErrorsComeOut) {
  expect_error(derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag, {1, 0, 5}), &password_,
                           no_options_, fake_),
               ErrorKind::Corrupt, texts::extensions_damaged);
  auto unknown = derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag, extension_record(9, {})),
                             &password_, no_options_, fake_);
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().kind(), ErrorKind::UnsupportedVersion);
  EXPECT_EQ(unknown.error().version(), 2);
}

TEST_F(DeriveKeysTest, SameKeysForEveryModeAndTheCipherOfTheHeadersMode) {
  const FrameAad aad = make_frame_aad(std::array<std::uint8_t, 32>{}, 1, 0, 3, 5, 5 + 48);
  for (const auto mode : {EncryptionMode::Aes256Gcm, EncryptionMode::ChaCha20Poly1305ThenAes256Gcm,
                          EncryptionMode::Twofish256Gcm, EncryptionMode::Serpent256Gcm,
                          EncryptionMode::SerpentTwofishAes256}) {
    SCOPED_TRACE(display_name(mode));
    auto cipher = derive_keys(vector_header(mode, v::kdf_plain_tag), &password_, no_options_, fake_);
    ASSERT_TRUE(cipher.has_value());
    EXPECT_EQ(cipher->mode(), mode);
    Bytes payload = sealed_frame(mode, aad);
    ASSERT_TRUE(decrypt_frame(*cipher, FrameId{3, 1}, aad, payload).has_value());
    EXPECT_EQ(payload, (Bytes{'f', 'r', 'a', 'm', 'e'}));
  }
  EXPECT_EQ(fake_.assertions, 0);
}

TEST_F(DeriveKeysTest, WrongPasswordOrAlteredHeaderIsWrongPassword) {
  const SecretBuffer wrong = SecretBuffer::from_bytes(test::bytes_of("zazolc gesla jazn"));
  expect_error(derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag), &wrong, no_options_, fake_),
               ErrorKind::WrongPassword, "");

  KeyMaterial altered_bytes = vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag);
  altered_bytes.canonical_bytes[7] ^= 0x10;
  expect_error(derive_keys(altered_bytes, &password_, no_options_, fake_), ErrorKind::WrongPassword, "");

  KeyMaterial altered_tag = vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag);
  altered_tag.header_tag[63] ^= 0x01;
  expect_error(derive_keys(altered_tag, &password_, no_options_, fake_), ErrorKind::WrongPassword, "");
}

TEST_F(DeriveKeysTest, FidoFactorIsMixedIn) {
  auto cipher = derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_fido2_tag, fido2_extension()), &password_,
                            no_options_, fake_);
  ASSERT_TRUE(cipher.has_value());
  EXPECT_EQ(fake_.assertions, 1);

  // Without the factor the master is the Argon2id output itself: the plain
  // vector's tag does not fit a header that asks for FIDO2.
  expect_error(derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag, fido2_extension()), &password_,
                           no_options_, fake_),
               ErrorKind::SecondFactorRequired, texts::wrong_password_or_factor);
}

TEST_F(DeriveKeysTest, KeyFileAndFidoTogether) {
  test::TempDir dir;
  test::write_file(dir / "key", test::bytes_of("key file contents\n"));
  SecondFactorOptions options;
  options.key_file = dir / "key";
  Bytes both = key_file_extension();
  const Bytes fido2 = fido2_extension();
  both.insert(both.end(), fido2.begin(), fido2.end());
  ASSERT_TRUE(derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_both_tag, both), &password_, options, fake_)
                  .has_value());

  test::write_file(dir / "other", test::bytes_of("another key file\n"));
  options.key_file = dir / "other";
  expect_error(derive_keys(vector_header(EncryptionMode::Aes256Gcm, v::kdf_both_tag, both), &password_, options, fake_),
               ErrorKind::SecondFactorRequired, texts::wrong_password_or_factor);
}

TEST_F(DeriveKeysTest, FactorsAreCollectedBeforeTheParametersAreJudged) {
  KeyMaterial header = vector_header(EncryptionMode::Aes256Gcm, v::kdf_fido2_tag, fido2_extension());
  header.argon2->parallelism = 0;
  fake_.answer = Fido2Answer{static_cast<std::int32_t>(0x800704C7u), "", 0, std::nullopt};
  expect_error(derive_keys(header, &password_, no_options_, fake_), ErrorKind::Cancelled, "");
  EXPECT_EQ(fake_.assertions, 1);
}

struct BoundsCase {
  Argon2Params params;
  bool allowed;
};

void PrintTo(const BoundsCase& c, std::ostream* out) {
  *out << "m" << c.params.memory_kib << "_t" << c.params.iterations << "_p" << c.params.parallelism;
}

class Argon2BoundsTest : public ::testing::TestWithParam<BoundsCase> {};

// Allowed parameters get as far as the tag (which they do not match);
// others stop with the Corrupt text.
TEST_P(Argon2BoundsTest, ParametersAreJudgedBeforeArgon2idRuns) {
  KeyMaterial header = vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag);
  header.argon2 = GetParam().params;
  const SecretBuffer password = vector_password();
  test::FakeAuthenticator fake;
  const auto result = derive_keys(header, &password, SecondFactorOptions{}, fake);
  if (GetParam().allowed)
    expect_error(result, ErrorKind::WrongPassword, "");
  else
    expect_error(result, ErrorKind::Corrupt, texts::bad_argon2_parameters);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, Argon2BoundsTest,
    ::testing::Values(BoundsCase{{8, 1, 1}, true}, BoundsCase{{512, 64, 64}, true}, BoundsCase{{16, 1, 2}, true},
                      BoundsCase{{8, 1, 0}, false}, BoundsCase{{520, 1, 65}, false}, BoundsCase{{8, 0, 1}, false},
                      BoundsCase{{8, 65, 1}, false}, BoundsCase{{15, 1, 2}, false},
                      BoundsCase{{4194305, 1, 1}, false}));

TEST(SlowKeyDerivation, LargestMemoryIsAccepted) {
  KeyMaterial header = vector_header(EncryptionMode::Aes256Gcm, v::kdf_plain_tag);
  header.argon2 = Argon2Params{4194304, 1, 1};
  const SecretBuffer password = vector_password();
  test::FakeAuthenticator fake;
  expect_error(derive_keys(header, &password, SecondFactorOptions{}, fake), ErrorKind::WrongPassword, "");
}

}  // namespace
}  // namespace quarn

// Second factors: the key file's limits and texts, the FIDO2 request and the
// answers an authenticator may give, and the factor string they make.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/crypto/fido2_enrolment.h"
#include "core/crypto/hash.h"
#include "core/crypto/second_factors.h"
#include "core/error/detail_texts.h"
#include "core/platform/platform.h"
#include "tests/crypto/fake_authenticator.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

using Bytes = std::vector<std::uint8_t>;

void expect_error(const Result<SecretBuffer>& result, ErrorKind kind, std::string_view detail) {
  ASSERT_FALSE(result.has_value()) << "factor string of " << result->size() << " bytes";
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().detail(), detail);
}

Bytes bytes_of(const SecretBuffer& buffer) { return {buffer.view().begin(), buffer.view().end()}; }

Fido2KeyDescriptor descriptor() {
  Fido2KeyDescriptor d;
  d.rp_id = std::string(FIDO2_RP_ID);
  d.credential_id = {0xC1, 0xC2, 0xC3};
  for (std::size_t i = 0; i < d.salt.size(); ++i) d.salt[i] = static_cast<std::uint8_t>(0xA0 + i);
  return d;
}

HeaderExtensions demands(bool key_file, bool fido2) {
  HeaderExtensions e;
  e.key_file_required = key_file;
  if (fido2) e.fido2 = descriptor();
  return e;
}

Bytes output32() {
  Bytes out(32);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(0x60 + i);
  return out;
}

// SHA-512("a"), from FIPS 180-4's algorithm as computed elsewhere.
const Bytes sha512_of_a = {
    0x1f, 0x40, 0xfc, 0x92, 0xda, 0x24, 0x16, 0x94, 0x75, 0x09, 0x79, 0xee, 0x6c, 0xf5, 0x82, 0xf2,
    0xd5, 0xd7, 0xd2, 0x8e, 0x18, 0x33, 0x5d, 0xe0, 0x5a, 0xbc, 0x54, 0xd0, 0x56, 0x0e, 0x0f, 0x53,
    0x02, 0x86, 0x0c, 0x65, 0x2b, 0xf0, 0x8d, 0x56, 0x02, 0x52, 0xaa, 0x5e, 0x74, 0x21, 0x05, 0x46,
    0xf3, 0x69, 0xfb, 0xbb, 0xce, 0x8c, 0x12, 0xcf, 0xc7, 0x95, 0x7b, 0x26, 0x52, 0xfe, 0x9a, 0x75};

class SecondFactorsTest : public ::testing::Test {
 protected:
  std::filesystem::path key_file(const std::string& name, std::uint64_t size, char fill = 'a') {
    const auto path = dir_ / name;
    const auto head = static_cast<std::size_t>(std::min<std::uint64_t>(size, 16));
    test::write_file(path, Bytes(head, static_cast<std::uint8_t>(fill)));
    std::filesystem::resize_file(path, size);  // the rest reads as zeros
    return path;
  }
  SecondFactorOptions with_key(const std::filesystem::path& path) {
    SecondFactorOptions o;
    o.key_file = path;
    return o;
  }

  test::TempDir dir_;
  test::FakeAuthenticator fake_ = test::FakeAuthenticator::answering(output32());
};

TEST_F(SecondFactorsTest, NoDemandsGiveAnEmptyStringAndAskNothing) {
  const auto factors = collect_factors(HeaderExtensions{}, SecondFactorOptions{}, fake_);
  ASSERT_TRUE(factors.has_value());
  EXPECT_TRUE(factors->empty());
  EXPECT_EQ(fake_.random_draws + fake_.assertions, 0);
}

TEST_F(SecondFactorsTest, KeyFileFactorIsMarkerAndDigest) {
  const auto factors = collect_factors(demands(true, false), with_key(key_file("one", 1)), fake_);
  ASSERT_TRUE(factors.has_value());
  Bytes expected = {0x01};
  expected.insert(expected.end(), sha512_of_a.begin(), sha512_of_a.end());
  EXPECT_EQ(bytes_of(*factors), expected);  // 65 bytes
}

TEST_F(SecondFactorsTest, KeyFileSizeLimitsAreInclusive) {
  const auto largest = collect_factors(demands(true, false), with_key(key_file("max", KEY_FILE_MAX)), fake_);
  ASSERT_TRUE(largest.has_value());
  ASSERT_EQ(largest->size(), 65u);
  const auto digest = crypto::sha512([] {
    Bytes content(KEY_FILE_MAX, 0);
    std::fill_n(content.begin(), 16, 'a');
    return content;
  }());
  EXPECT_TRUE(std::equal(digest.begin(), digest.end(), largest->view().begin() + 1));

  for (const std::uint64_t size : {std::uint64_t{0}, KEY_FILE_MAX + 1}) {
    SCOPED_TRACE(size);
    expect_error(collect_factors(demands(true, false), with_key(key_file("bad" + std::to_string(size), size)), fake_),
                 ErrorKind::Message, texts::key_file_size);
  }
}

TEST_F(SecondFactorsTest, KeyFileMissingOrUnreadable) {
  expect_error(collect_factors(demands(true, true), SecondFactorOptions{}, fake_), ErrorKind::SecondFactorRequired,
               texts::key_file);
  EXPECT_EQ(fake_.random_draws + fake_.assertions, 0);  // no FIDO2 prompt after a missing key file

  const auto absent = dir_ / "absent";
  const auto os = platform::File::open_for_reading(absent);
  ASSERT_FALSE(os.has_value());
  expect_error(collect_factors(demands(true, false), with_key(absent), fake_), ErrorKind::SecondFactorRequired,
               "nie mozna odczytac pliku-klucza " + platform::path_to_utf8(absent) + ": " + os.error().message);
}

TEST_F(SecondFactorsTest, FidoFactorIsMarkerAndOutput) {
  int owner = 0;
  SecondFactorOptions options;
  options.owner_window = &owner;
  fake_.challenge_seed = 0xF0;
  const auto factors = collect_factors(demands(false, true), options, fake_);
  ASSERT_TRUE(factors.has_value());
  Bytes expected = {0x02};
  const Bytes out = output32();
  expected.insert(expected.end(), out.begin(), out.end());
  EXPECT_EQ(bytes_of(*factors), expected);  // 33 bytes

  const Fido2KeyDescriptor d = descriptor();
  EXPECT_EQ(fake_.last_rp_id, "quarn.invalid");
  EXPECT_EQ(fake_.last_credential_id, d.credential_id);
  EXPECT_EQ(fake_.last_salt, Bytes(d.salt.begin(), d.salt.end()));
  EXPECT_EQ(fake_.last_owner_window, &owner);
  EXPECT_EQ(fake_.last_timeout_ms, 120000u);
  EXPECT_EQ(fake_.last_client_data_json,
            R"({"type":"webauthn.get","challenge":")"
            "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff000102030405060708090a0b0c0d0e0f"
            R"(","origin":"https://quarn.invalid"})");
}

// An archive that names another relying party would have the user's key
// answer for another site: it is refused before a key file is looked for,
// before any random byte, prompt or touch. Only our own, byte for byte, is
// asked for.
TEST_F(SecondFactorsTest, AnotherRelyingPartyIsRefusedBeforeAnything) {
  using namespace std::string_literals;
  for (const std::string& rp_id :
       {"example.org"s, "QUARN.INVALID"s, "quarn.invalid."s, "www.quarn.invalid"s, "quarn.invalid\0"s, ""s}) {
    for (const bool key_file : {false, true}) {
      SCOPED_TRACE(rp_id + (key_file ? " with a key file" : ""));
      HeaderExtensions e = demands(key_file, true);
      e.fido2->rp_id = rp_id;
      expect_error(collect_factors(e, SecondFactorOptions{}, fake_), ErrorKind::Integrity,
                   texts::fido2_foreign_relying_party);
      EXPECT_FALSE(fido2_hmac_secret(*e.fido2, nullptr, fake_));
    }
  }
  EXPECT_EQ(fake_.random_draws + fake_.assertions, 0);
}

TEST_F(SecondFactorsTest, BothFactorsInOrder) {
  const auto factors = collect_factors(demands(true, true), with_key(key_file("one", 1)), fake_);
  ASSERT_TRUE(factors.has_value());
  ASSERT_EQ(factors->size(), 98u);
  EXPECT_EQ(factors->view()[0], 0x01);
  EXPECT_TRUE(std::equal(sha512_of_a.begin(), sha512_of_a.end(), factors->view().begin() + 1));
  EXPECT_EQ(factors->view()[65], 0x02);
  const Bytes out = output32();
  EXPECT_TRUE(std::equal(out.begin(), out.end(), factors->view().begin() + 66));
}

TEST_F(SecondFactorsTest, OldPlatformIsUnsupportedBeforeAnyRandomByte) {
  for (const std::uint32_t version : {0u, 1u, 3u}) {
    SCOPED_TRACE(version);
    fake_.version = version;
    expect_error(collect_factors(demands(false, true), SecondFactorOptions{}, fake_), ErrorKind::Unsupported,
                 texts::fido2_platform_too_old);
  }
  EXPECT_EQ(fake_.random_draws + fake_.assertions, 0);
}

TEST_F(SecondFactorsTest, RandomGeneratorFailureNamesTheStatus) {
  fake_.random_failure = 0xC0000001u;
  expect_error(collect_factors(demands(false, true), SecondFactorOptions{}, fake_), ErrorKind::Message,
               "Systemowy generator losowy zwrocil blad 0xC0000001.");
  EXPECT_EQ(fake_.assertions, 0);
}

struct AnswerCase {
  const char* name;
  std::int32_t hresult;
  std::string message;
  std::uint32_t assertion_version;
  std::optional<Bytes> output;
  ErrorKind kind;
  std::string detail;
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

class FidoAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(FidoAnswerTest, RefusedAnswers) {
  test::FakeAuthenticator fake;
  fake.answer.hresult = GetParam().hresult;
  fake.answer.message = GetParam().message;
  fake.answer.assertion_version = GetParam().assertion_version;
  fake.output = GetParam().output;
  expect_error(collect_factors(demands(false, true), SecondFactorOptions{}, fake), GetParam().kind,
               GetParam().detail);
}

AnswerCase failure(const char* name, std::uint32_t code, std::string message, ErrorKind kind, std::string detail) {
  return AnswerCase{name, static_cast<std::int32_t>(code), std::move(message), 0, std::nullopt, kind, std::move(detail)};
}
AnswerCase without_secret(const char* name, std::uint32_t version, std::optional<Bytes> output) {
  return AnswerCase{name, 0, "", version, std::move(output), ErrorKind::SecondFactorRequired,
                    std::string(texts::fido2_no_hmac_secret)};
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FidoAnswerTest,
    ::testing::Values(
        failure("CancelledByWin32Code", 0x800704C7, "The operation was canceled by the user.", ErrorKind::Cancelled, ""),
        failure("CancelledByUser", 0x80090036, "", ErrorKind::Cancelled, ""),
        failure("OtherError", 0x80090027, "Nieprawidłowy parametr", ErrorKind::SecondFactorRequired,
                "klucz FIDO2: Nieprawidłowy parametr (0x80090027)"),
        failure("ErrorWithoutText", 0x8007000E, "", ErrorKind::SecondFactorRequired, "klucz FIDO2:  (0x8007000E)"),
        without_secret("AssertionVersion2", 2, output32()), without_secret("MissingOutput", 3, std::nullopt),
        without_secret("ShortOutput", 3, Bytes(31, 1)), without_secret("LongOutput", 4, Bytes(33, 1))),
    [](const auto& p) { return std::string(p.param.name); });

// Binding a new archive: what the key is asked, and a descriptor that makes
// extraction ask it again for the same output.
TEST_F(SecondFactorsTest, EnrolmentMakesACredentialThenAsksItsSecret) {
  fake_.credential.credential_id = {0xC7, 0xC8};
  fake_.credential.hmac_secret = true;
  fake_.challenge_seed = 0x10;
  int owner = 0;
  std::vector<Fido2Touch> touches;
  auto made = enrol_fido2_key(
      fake_, [&](Fido2Touch touch) {
        touches.push_back(touch);
        EXPECT_EQ(fake_.credentials_made + fake_.assertions, static_cast<int>(touches.size()) - 1);
      },
      &owner);
  ASSERT_TRUE(made.has_value()) << made.error().display();
  EXPECT_EQ(touches, (std::vector{Fido2Touch::MakeCredential, Fido2Touch::Assertion}));
  EXPECT_EQ(fake_.credentials_made, 1);
  EXPECT_EQ(fake_.last_rp_name, "Quarn");
  EXPECT_EQ(fake_.last_user_id, (Bytes{'q', 'u', 'a', 'r', 'n'}));
  EXPECT_EQ(fake_.last_user_name, "Quarn");
  EXPECT_EQ(made->descriptor.rp_id, "quarn.invalid");
  EXPECT_EQ(made->descriptor.credential_id, (Bytes{0xC7, 0xC8}));
  EXPECT_EQ(bytes_of(made->hmac_secret_output), output32());
  // Three draws: the credential's challenge, the salt, the assertion's challenge.
  EXPECT_EQ(fake_.random_draws, 3);
  EXPECT_EQ(made->descriptor.salt[0], 0x10);
  // The assertion was the extraction's own, for the new credential and salt.
  EXPECT_EQ(fake_.last_rp_id, "quarn.invalid");
  EXPECT_EQ(fake_.last_credential_id, (Bytes{0xC7, 0xC8}));
  EXPECT_EQ(fake_.last_salt, Bytes(made->descriptor.salt.begin(), made->descriptor.salt.end()));
  EXPECT_EQ(fake_.last_owner_window, &owner);
  EXPECT_EQ(fake_.last_timeout_ms, 120000u);
}

TEST_F(SecondFactorsTest, EnrolmentRequestsTheCredentialWithCreationClientData) {
  fake_.credential = {static_cast<std::int32_t>(0x80090036), "", {}, false};
  fake_.challenge_seed = 0xF0;
  auto made = enrol_fido2_key(fake_, [](Fido2Touch) {});
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(fake_.last_client_data_json,
            R"({"type":"webauthn.create","challenge":")"
            "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff000102030405060708090a0b0c0d0e0f"
            R"(","origin":"https://quarn.invalid"})");
  EXPECT_EQ(fake_.assertions, 0);
}

struct EnrolmentCase {
  const char* name;
  std::uint32_t api_version;
  Fido2Credential credential;
  ErrorKind kind;
  std::string detail;
  int credentials_made;
};

void PrintTo(const EnrolmentCase& c, std::ostream* out) { *out << c.name; }

class EnrolmentFailureTest : public ::testing::TestWithParam<EnrolmentCase> {};

TEST_P(EnrolmentFailureTest, EndsWithoutAskingForTheSecret) {
  test::FakeAuthenticator fake = test::FakeAuthenticator::answering(output32());
  fake.version = GetParam().api_version;
  fake.credential = GetParam().credential;
  auto made = enrol_fido2_key(fake, [](Fido2Touch) {});
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().kind(), GetParam().kind);
  EXPECT_EQ(made.error().detail(), GetParam().detail);
  EXPECT_EQ(fake.credentials_made, GetParam().credentials_made);
  EXPECT_EQ(fake.assertions, 0);
}

Fido2Credential credential(std::uint32_t code, std::string message, std::size_t id_size, bool hmac_secret) {
  return {static_cast<std::int32_t>(code), std::move(message), Bytes(id_size, 0x5A), hmac_secret};
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, EnrolmentFailureTest,
    ::testing::Values(
        EnrolmentCase{"PlatformTooOld", 3, credential(0, "", 16, true), ErrorKind::Unsupported,
                      std::string(texts::fido2_platform_too_old), 0},
        EnrolmentCase{"CancelledByWin32Code", 4, credential(0x800704C7, "", 0, false), ErrorKind::Cancelled, "", 1},
        EnrolmentCase{"OtherError", 4, credential(0x80090011, "Nie znaleziono", 0, false),
                      ErrorKind::SecondFactorRequired, "klucz FIDO2: Nie znaleziono (0x80090011)", 1},
        EnrolmentCase{"NoHmacSecret", 4, credential(0, "", 16, false), ErrorKind::SecondFactorRequired,
                      std::string(texts::fido2_no_hmac_secret), 1},
        EnrolmentCase{"EmptyCredentialId", 4, credential(0, "", 0, true), ErrorKind::SecondFactorRequired,
                      "klucz FIDO2: identyfikator poswiadczenia ma 0 B (0x00000000)", 1},
        EnrolmentCase{"CredentialIdTooLong", 4, credential(0, "", 65536, true), ErrorKind::SecondFactorRequired,
                      "klucz FIDO2: identyfikator poswiadczenia ma 65536 B (0x00000000)", 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(PlatformAuthenticatorTest, WithoutWebAuthnTheFactorIsUnsupported) {
  // Under Wine there is no webauthn.dll, which must not keep the program
  // from starting; natively the same holds for a build without libfido2.
  if (platform_fido2_authenticator().api_version() >= FIDO2_MIN_API_VERSION)
    GTEST_SKIP() << "this build can ask a real key";
  expect_error(collect_factors(demands(false, true), SecondFactorOptions{}), ErrorKind::Unsupported,
               texts::fido2_platform_too_old);
}

}  // namespace
}  // namespace quarn

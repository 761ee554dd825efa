// Our libfido2 authenticator against software keys reached through
// libfido2's transport hooks: a key bound at creation answers the same
// hmac-secret at extraction under every way of verifying the user, and each
// way a key can fail reads as the user should see it.
#include <fido.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/crypto/fido2_enrolment.h"
#include "core/crypto/posix/libfido2_authenticator.h"
#include "core/crypto/posix/libfido2_status.h"
#include "core/error/detail_texts.h"
#include "tests/fido2/soft_key_devices.h"

namespace quarn::softkey {
namespace {

// A set of connected software keys and our authenticator over them; the PIN
// "typed" is the first key's unless another is given.
class Connected {
 public:
  explicit Connected(std::vector<std::string> configs, std::optional<std::string> typed_pin = std::nullopt) {
    for (const std::string& text : configs) {
      auto config = parse_soft_key_config(text);
      if (!config) ADD_FAILURE() << "bad soft key config " << text;
      if (config && config->absent) continue;
      keys_.push_back(std::make_unique<SoftAuthenticator>(config.value_or(SoftKeyConfig{})));
    }
    std::vector<SoftAuthenticator*> borrowed;
    for (auto& key : keys_) borrowed.push_back(key.get());
    devices_ = std::make_unique<SoftKeyDevices>(borrowed);
    pin_ = typed_pin ? typed_pin : (keys_.empty() ? std::nullopt : keys_[0]->config().pin);
    authenticator_ = std::make_unique<libfido2::Authenticator>(*devices_, [this]() -> std::expected<SecretBuffer, int> {
      ++pins_asked_;
      if (!pin_) return std::unexpected(libfido2::status_pin_needs_terminal);
      SecretBuffer pin(pin_->size() + 1);
      std::copy(pin_->begin(), pin_->end(), pin.mutable_view().begin());
      return pin;
    });
  }

  Fido2Authenticator& authenticator() { return *authenticator_; }
  SoftAuthenticator& key(std::size_t i = 0) { return *keys_.at(i); }
  int pins_asked() const { return pins_asked_; }

 private:
  std::vector<std::unique_ptr<SoftAuthenticator>> keys_;
  std::unique_ptr<SoftKeyDevices> devices_;
  std::optional<std::string> pin_;
  int pins_asked_ = 0;
  std::unique_ptr<libfido2::Authenticator> authenticator_;
};

std::vector<std::uint8_t> bytes_of(const SecretBuffer& buffer) { return {buffer.view().begin(), buffer.view().end()}; }

Result<Fido2Enrolment> enrol(Fido2Authenticator& authenticator, std::vector<Fido2Touch>* touches = nullptr) {
  return enrol_fido2_key(authenticator, [&](Fido2Touch touch) {
    if (touches) touches->push_back(touch);
  });
}

void expect_error(const ArchiveError& error, ErrorKind kind, std::string_view detail) {
  EXPECT_EQ(error.kind(), kind);
  EXPECT_EQ(error.detail(), detail);
}

struct VerificationCase {
  const char* name;
  const char* config;
  std::vector<int> token_subcommands;  // clientPIN subcommands per request (creation, assertion)
  int protocol;                        // of the hmac-secret exchange
  int pins_asked;
};

void PrintTo(const VerificationCase& c, std::ostream* out) { *out << c.name; }

class SoftKeyVerificationTest : public ::testing::TestWithParam<VerificationCase> {};

// Creation and extraction meet on the same output only if both verify the
// user the same way: the key keeps one secret for each.
TEST_P(SoftKeyVerificationTest, CreationAndExtractionObtainTheSameSecret) {
  Connected connected({GetParam().config});
  std::vector<Fido2Touch> touches;
  auto made = enrol(connected.authenticator(), &touches);
  ASSERT_TRUE(made.has_value()) << made.error().display();
  EXPECT_EQ(touches, (std::vector{Fido2Touch::MakeCredential, Fido2Touch::Assertion}));
  EXPECT_EQ(made->descriptor.rp_id, FIDO2_RP_ID);
  EXPECT_EQ(made->hmac_secret_output.size(), 32u);

  HeaderExtensions extensions;
  extensions.fido2 = made->descriptor;
  SecondFactorOptions options;
  options.authenticator = &connected.authenticator();
  const auto factors = collect_factors(extensions, options);
  ASSERT_TRUE(factors.has_value()) << factors.error().display();
  std::vector<std::uint8_t> expected = {FACTOR_FIDO2};
  const auto output = bytes_of(made->hmac_secret_output);
  expected.insert(expected.end(), output.begin(), output.end());
  EXPECT_EQ(bytes_of(*factors), expected);

  const Observed& seen = connected.key().observed();
  EXPECT_EQ(seen.credentials_made, 1);
  EXPECT_EQ(seen.assertions, 2);
  EXPECT_TRUE(seen.last_user_verified);
  EXPECT_TRUE(seen.last_hmac_secret);
  EXPECT_EQ(seen.token_subcommands, GetParam().token_subcommands);
  EXPECT_EQ(seen.last_protocol, GetParam().protocol);
  EXPECT_EQ(connected.pins_asked(), GetParam().pins_asked);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SoftKeyVerificationTest,
    ::testing::Values(
        VerificationCase{"BuiltInVerificationProtocol2", "uv,protocols=2", {6, 6, 6}, 2, 0},
        VerificationCase{"BuiltInVerificationProtocol1", "uv,protocols=1", {6, 6, 6}, 1, 0},
        VerificationCase{"BuiltInVerificationCtap20", "uv,ctap20,protocols=1", {}, 1, 0},
        VerificationCase{"PinWithPermissionsProtocol2", "pin=4711,protocols=2", {9, 9, 9}, 2, 3},
        VerificationCase{"PinWithPermissionsProtocol1", "pin=4711,protocols=1", {9, 9, 9}, 1, 3},
        VerificationCase{"PinTokenCtap20", "pin=4711,ctap20,protocols=1", {5, 5, 5}, 1, 3}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SoftKeyTest, AnotherSecretAcceptsTheCredentialAndAnswersDifferently) {
  Connected first({"secret=a"});
  auto made = enrol(first.authenticator());
  ASSERT_TRUE(made.has_value());
  Connected other({"secret=b"});
  const auto answer = fido2_hmac_secret(made->descriptor, nullptr, other.authenticator());
  ASSERT_TRUE(answer.has_value()) << answer.error().display();
  EXPECT_NE(bytes_of(*answer), bytes_of(made->hmac_secret_output));
}

TEST(SoftKeyTest, TheFirstKeyThatKnowsTheCredentialAnswers) {
  Connected first({"identity=a"});
  auto made = enrol(first.authenticator());
  ASSERT_TRUE(made.has_value());

  Connected strangers({"identity=b", "identity=c"});
  const auto unknown = fido2_hmac_secret(made->descriptor, nullptr, strangers.authenticator());
  ASSERT_FALSE(unknown.has_value());
  expect_error(unknown.error(), ErrorKind::SecondFactorRequired,
               "klucz FIDO2: zaden podlaczony klucz nie zna poswiadczenia tego archiwum (0x8FD0002E)");

  Connected mixed({"identity=b", "identity=a"});
  const auto answer = fido2_hmac_secret(made->descriptor, nullptr, mixed.authenticator());
  ASSERT_TRUE(answer.has_value()) << answer.error().display();
  EXPECT_EQ(bytes_of(*answer), bytes_of(made->hmac_secret_output));
  EXPECT_EQ(mixed.key(0).observed().assertions, 0);
  EXPECT_EQ(mixed.key(1).observed().assertions, 1);
}

struct FailureCase {
  const char* name;
  const char* config;
  std::optional<std::string> typed_pin;
  ErrorKind kind;
  std::string detail;
  int touches;  // announced before the failure
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class SoftKeyCreationFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SoftKeyCreationFailureTest, EndsWithTheTextOfExtraction) {
  Connected connected({GetParam().config}, GetParam().typed_pin);
  std::vector<Fido2Touch> touches;
  const auto made = enrol(connected.authenticator(), &touches);
  ASSERT_FALSE(made.has_value());
  expect_error(made.error(), GetParam().kind, GetParam().detail);
  EXPECT_EQ(static_cast<int>(touches.size()), GetParam().touches);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SoftKeyCreationFailureTest,
    ::testing::Values(
        FailureCase{"TouchRefused", "refuse,ctap20", std::nullopt, ErrorKind::Cancelled, "", 1},
        FailureCase{"VerificationRefused", "refuse", std::nullopt, ErrorKind::Cancelled, "", 1},
        // Known from the key's information before it is touched.
        FailureCase{"NoHmacSecret", "no-hmac-secret", std::nullopt, ErrorKind::SecondFactorRequired,
                    std::string(texts::fido2_no_hmac_secret), 1},
        FailureCase{"WrongPin", "pin=4711", "1234", ErrorKind::SecondFactorRequired,
                    "klucz FIDO2: bledny PIN (0x8FD00031)", 1},
        FailureCase{"NoKeyConnected", "absent", std::nullopt, ErrorKind::SecondFactorRequired,
                    "klucz FIDO2: nie znaleziono podlaczonego klucza (0x8FD0FC18)", 1},
        FailureCase{"NoWayToVerifyTheUser", "no-uv", std::nullopt, ErrorKind::SecondFactorRequired,
                    "klucz FIDO2: klucz nie ma PIN-u ani wbudowanej weryfikacji uzytkownika (0x8FD0FC16)", 1}),
    [](const auto& p) { return std::string(p.param.name); });

// Extraction from keys of the archive's identity that behave otherwise.
TEST(SoftKeyTest, ExtractionFailuresReadAsForARealKey) {
  Connected good({""});
  auto made = enrol(good.authenticator());
  ASSERT_TRUE(made.has_value());
  const auto ask = [&](const char* config) {
    Connected connected({config});
    return fido2_hmac_secret(made->descriptor, nullptr, connected.authenticator());
  };
  const auto refused = ask("refuse");
  ASSERT_FALSE(refused.has_value());
  expect_error(refused.error(), ErrorKind::Cancelled, "");
  const auto without = ask("no-hmac-secret");
  ASSERT_FALSE(without.has_value());
  expect_error(without.error(), ErrorKind::SecondFactorRequired, texts::fido2_no_hmac_secret);
}

}  // namespace
}  // namespace quarn::softkey

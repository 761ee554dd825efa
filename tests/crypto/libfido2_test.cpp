// The libfido2 authenticator of native builds: how each status of the
// library reads to the user, and what happens when no key is connected.
#include <fido.h>
#include <gtest/gtest.h>

#include <string>

#include "core/crypto/posix/libfido2_status.h"
#include "core/crypto/second_factors.h"
#include "core/error/detail_texts.h"
#include "tests/crypto/fake_authenticator.h"

namespace quarn {
namespace {

HeaderExtensions fido2_demanded() {
  HeaderExtensions e;
  e.fido2 = Fido2KeyDescriptor{};
  e.fido2->rp_id = std::string(FIDO2_RP_ID);
  e.fido2->credential_id = {0xC1, 0xC2};
  return e;
}

struct StatusCase {
  const char* name;
  int status;
  ErrorKind kind;
  std::string detail;
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.name; }

class Libfido2StatusTest : public ::testing::TestWithParam<StatusCase> {};

// The answer for a status goes through collect_factors, as a key's would.
TEST_P(Libfido2StatusTest, ReadsAsTheUserShouldSeeIt) {
  test::FakeAuthenticator fake;
  fake.answer = libfido2::failure_answer(GetParam().status);
  const auto factors = collect_factors(fido2_demanded(), SecondFactorOptions{}, fake);
  ASSERT_FALSE(factors.has_value());
  EXPECT_EQ(factors.error().kind(), GetParam().kind);
  EXPECT_EQ(factors.error().detail(), GetParam().detail);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, Libfido2StatusTest,
    ::testing::Values(
        StatusCase{"TouchRefused", FIDO_ERR_OPERATION_DENIED, ErrorKind::Cancelled, ""},
        StatusCase{"KeepaliveCancel", FIDO_ERR_KEEPALIVE_CANCEL, ErrorKind::Cancelled, ""},
        StatusCase{"NoKeyConnected", libfido2::status_no_device, ErrorKind::SecondFactorRequired,
                   "klucz FIDO2: nie znaleziono podlaczonego klucza (0x8FD0FC18)"},
        StatusCase{"OtherKey", FIDO_ERR_NO_CREDENTIALS, ErrorKind::SecondFactorRequired,
                   "klucz FIDO2: zaden podlaczony klucz nie zna poswiadczenia tego archiwum (0x8FD0002E)"},
        StatusCase{"WrongPin", FIDO_ERR_PIN_INVALID, ErrorKind::SecondFactorRequired,
                   "klucz FIDO2: bledny PIN (0x8FD00031)"},
        StatusCase{"PinWithoutTerminal", libfido2::status_pin_needs_terminal, ErrorKind::SecondFactorRequired,
                   "klucz FIDO2: klucz wymaga PIN-u, a nie ma terminala, by o niego zapytac (0x8FD0FC17)"},
        StatusCase{"NoWayToVerifyTheUser", libfido2::status_no_user_verification, ErrorKind::SecondFactorRequired,
                   "klucz FIDO2: klucz nie ma PIN-u ani wbudowanej weryfikacji uzytkownika (0x8FD0FC16)"},
        StatusCase{"TimedOut", FIDO_ERR_ACTION_TIMEOUT, ErrorKind::SecondFactorRequired,
                   "klucz FIDO2: minal czas na potwierdzenie na kluczu (0x8FD0003A)"},
        StatusCase{"NoHmacSecret", FIDO_ERR_UNSUPPORTED_EXTENSION, ErrorKind::SecondFactorRequired,
                   std::string(texts::fido2_no_hmac_secret)},
        StatusCase{"LibraryOwnText", FIDO_ERR_INTERNAL, ErrorKind::SecondFactorRequired,
                   std::string("klucz FIDO2: ") + fido_strerr(FIDO_ERR_INTERNAL) + " (0x8FD0FFF7)"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Libfido2AuthenticatorTest, CarriesHmacSecretSoTheFactorIsSupported) {
  EXPECT_GE(platform_fido2_authenticator().api_version(), FIDO2_MIN_API_VERSION);
}

// Test machines have no security key: the request must end with the
// missing key named, not hang or report the factor as unsupported.
TEST(Libfido2AuthenticatorTest, WithoutAKeyTheMissingKeyIsNamed) {
  const auto factors = collect_factors(fido2_demanded(), SecondFactorOptions{});
  ASSERT_FALSE(factors.has_value());
  EXPECT_EQ(factors.error().kind(), ErrorKind::SecondFactorRequired);
  EXPECT_EQ(factors.error().detail(), "klucz FIDO2: nie znaleziono podlaczonego klucza (0x8FD0FC18)");
}

}  // namespace
}  // namespace quarn

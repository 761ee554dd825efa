// soft_key_tool: the software key and our libfido2 code as a program, for
// the check by an independent client (check_with_python_fido2.py).
//   soft_key_tool serve CONFIG
//       the key on standard input and output: each request is a 4-byte
//       big-endian length and a CTAP2 message (command byte, CBOR), each
//       answer a 4-byte length and the status byte with the CBOR response
//   soft_key_tool enrol CONFIG
//       what `quarn create --fido2` does with such a key; prints
//       "<credential id> <salt> <hmac-secret output>" in hexadecimal
//   soft_key_tool assert CONFIG RP_ID CREDENTIAL_HEX SALT_HEX
//       what extraction does; prints the hmac-secret output in hexadecimal
// CONFIG as parse_soft_key_config reads it; its PIN is the one typed.
#include <cstdio>
#include <string>
#include <vector>

#include "core/crypto/fido2_enrolment.h"
#include "core/crypto/posix/libfido2_authenticator.h"
#include "core/crypto/posix/libfido2_status.h"
#include "tests/fido2/soft_key_devices.h"

namespace quarn::softkey {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

std::optional<Bytes> unhex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(std::string(text.substr(i, 2)).c_str(), "%2x", &value) != 1) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return out;
}

bool read_exact(std::uint8_t* out, std::size_t size) { return std::fread(out, 1, size, stdin) == size; }

int serve(SoftAuthenticator& key) {
  for (;;) {
    std::uint8_t head[4];
    if (!read_exact(head, 4)) return 0;
    const std::size_t size = (std::size_t{head[0]} << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
    Bytes request(size);
    if (!read_exact(request.data(), size)) return 1;
    const Bytes answer = key.handle(request);
    const std::uint8_t length[4] = {static_cast<std::uint8_t>(answer.size() >> 24),
                                    static_cast<std::uint8_t>(answer.size() >> 16),
                                    static_cast<std::uint8_t>(answer.size() >> 8),
                                    static_cast<std::uint8_t>(answer.size())};
    std::fwrite(length, 1, 4, stdout);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
  }
}

int run(const std::vector<std::string>& args) {
  if (args.size() < 2) return 2;
  const auto config = parse_soft_key_config(args[1]);
  if (!config) return 2;
  SoftAuthenticator key(*config);
  if (args[0] == "serve") return serve(key);

  SoftKeyDevices devices({&key});
  libfido2::Authenticator authenticator(devices, [&]() -> std::expected<SecretBuffer, int> {
    if (!config->pin) return std::unexpected(libfido2::status_pin_needs_terminal);
    SecretBuffer pin(config->pin->size() + 1);
    std::copy(config->pin->begin(), config->pin->end(), pin.mutable_view().begin());
    return pin;
  });
  if (args[0] == "enrol") {
    auto made = enrol_fido2_key(authenticator, [](Fido2Touch) {});
    if (!made) {
      std::fprintf(stderr, "%s\n", made.error().display().c_str());
      return 1;
    }
    std::printf("%s %s %s\n", hex(made->descriptor.credential_id).c_str(), hex(made->descriptor.salt).c_str(),
                hex(made->hmac_secret_output.view()).c_str());
    return 0;
  }
  if (args[0] == "assert" && args.size() == 5) {
    const auto credential = unhex(args[3]);
    const auto salt = unhex(args[4]);
    if (!credential || !salt || salt->size() != 32) return 2;
    Fido2KeyDescriptor descriptor;
    descriptor.rp_id = args[2];
    descriptor.credential_id = *credential;
    std::copy(salt->begin(), salt->end(), descriptor.salt.begin());
    const auto output = fido2_hmac_secret(descriptor, nullptr, authenticator);
    if (!output) {
      std::fprintf(stderr, "%s\n", output.error().display().c_str());
      return 1;
    }
    std::printf("%s\n", hex(output->view()).c_str());
    return 0;
  }
  return 2;
}

}  // namespace
}  // namespace quarn::softkey

int main(int argc, char** argv) { return quarn::softkey::run(std::vector<std::string>(argv + 1, argv + argc)); }

// quarn_with_soft_key: the command-line tool with software FIDO2 keys in
// place of the system's, for the end-to-end tests of the FIDO2 factor. A
// test program only: it is built in the test tree and never installed, and
// the real quarn has no way to reach a software key.
//
// QUARN_SOFT_KEYS lists the connected keys, separated by ';', each as
// parse_soft_key_config reads it; a key marked "absent" is not connected.
// Unset: one key with the default settings. A PIN is asked for on the
// terminal, as quarn asks for it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "core/crypto/posix/libfido2_authenticator.h"
#include "core/platform/platform.h"
#include "tests/fido2/soft_key_devices.h"

int main(int argc, char** argv) {
  using namespace quarn;
  platform::prepare_console_output();
  const char* listed = std::getenv("QUARN_SOFT_KEYS");
  std::string_view text = listed ? listed : "";
  std::vector<std::unique_ptr<softkey::SoftAuthenticator>> keys;
  do {
    const std::size_t end = text.find(';');
    const auto config = softkey::parse_soft_key_config(text.substr(0, end));
    if (!config) {
      std::fprintf(stderr, "QUARN_SOFT_KEYS: cannot read %s\n", listed);
      return 2;
    }
    if (!config->absent) keys.push_back(std::make_unique<softkey::SoftAuthenticator>(*config));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  } while (!text.empty());

  std::vector<softkey::SoftAuthenticator*> connected;
  for (auto& key : keys) connected.push_back(key.get());
  softkey::SoftKeyDevices devices(connected);
  libfido2::Authenticator authenticator(devices, libfido2::pin_from_terminal);
  return cli::run_quarn(platform::command_line_arguments(argc, argv), authenticator);
}

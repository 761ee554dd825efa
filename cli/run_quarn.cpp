// The command line's dispatch: help, version, and each command.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/help.h"
#include "cli/terminal_text.h"
#include "quarn_version.h"

namespace quarn::cli {

int fail(const std::string& display_text) {
  std::fflush(stdout);
  // Error texts quote entry paths and library messages about the archive's
  // bytes; line ends inside are spelled out too, so the text stays one line.
  std::fprintf(stderr, "%s\n", terminal_text(display_text).c_str());
  return exit_failure;
}

int usage_error(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return exit_usage;
}

namespace {

int run_command(const std::vector<std::string>& args, Fido2Authenticator& fido2);

}  // namespace

// What a command prints is its result (a listing redirected to a file, say):
// output that could not be written is a failure, whatever the command made
// of its own work.
int run_quarn(const std::vector<std::string>& args, Fido2Authenticator& fido2) {
  const int status = run_command(args, fido2);
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const int error = errno;
  std::fprintf(stderr, "Nie udało się zapisać na standardowe wyjście%s%s\n", error != 0 ? ": " : ".",
               error != 0 ? std::strerror(error) : "");
  return status == exit_ok ? exit_failure : status;
}

namespace {

int run_command(const std::vector<std::string>& args, Fido2Authenticator& fido2) {
  const auto print_help = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    const std::string_view statuses = exit_status_help();
    std::fwrite(statuses.data(), 1, statuses.size(), stdout);
    return exit_ok;
  };
  if (args.empty()) {
    const std::string_view text = general_help();
    std::fwrite(text.data(), 1, text.size(), stderr);
    return usage_error("Podaj polecenie, np. quarn info ARCHIWUM.");
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--version" || command == "-V") {
    std::fputs("quarn " QUARN_VERSION "\n", stdout);
    return exit_ok;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    if (rest.size() == 1 && command_help(rest[0])) return print_help(*command_help(rest[0]));
    return print_help(general_help());
  }
  for (const std::string& arg : rest) {
    if (arg == "--") break;
    if ((arg == "--help" || arg == "-h") && command_help(command)) return print_help(*command_help(command));
  }
  if (command == "info") return run_info(rest);
  if (command == "list") return run_list(rest, fido2);
  if (command == "create") return run_create(rest, fido2);
  if (command == "extract") return run_extract(rest, fido2);
  if (command == "test") return run_test(rest, fido2);
  return usage_error("Nieznane polecenie: " + command + ". Lista poleceń: quarn --help.");
}

}  // namespace

}  // namespace quarn::cli

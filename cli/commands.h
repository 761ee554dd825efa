// The subcommands of `quarn`. Each takes its arguments (after the command
// name), prints to the given streams and returns the process exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/crypto/second_factors.h"

namespace quarn::cli {

inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Commands that may meet a FIDO2 key ask it through `fido2`.
int run_info(const std::vector<std::string>& args);
int run_list(const std::vector<std::string>& args, Fido2Authenticator& fido2);
int run_create(const std::vector<std::string>& args, Fido2Authenticator& fido2);
int run_extract(const std::vector<std::string>& args, Fido2Authenticator& fido2);
int run_test(const std::vector<std::string>& args, Fido2Authenticator& fido2);

// The whole tool: `args` are the command line without the program's name.
// quarn passes the platform's authenticator; only a test build passes another.
int run_quarn(const std::vector<std::string>& args, Fido2Authenticator& fido2);

// Prints the error's text, made safe for a terminal (terminal_text), as the
// last line of stderr and returns exit_failure.
int fail(const std::string& display_text);
int usage_error(const std::string& text);

}  // namespace quarn::cli

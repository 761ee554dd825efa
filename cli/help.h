// The Polish help texts of quarn and of each command.
#pragma once

#include <optional>
#include <string_view>

namespace quarn::cli {

std::string_view general_help();

// Nothing for an unknown command.
std::optional<std::string_view> command_help(std::string_view command);

// The exit statuses, shown after every help text.
std::string_view exit_status_help();

}  // namespace quarn::cli

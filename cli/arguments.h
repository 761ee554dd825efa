// A small parser for `quarn COMMAND [options] ARGS...`: options may come in
// any order before, between or after the positional arguments; "--" ends them.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quarn::cli {

struct ParsedArguments {
  std::map<std::string, std::string> values;  // options that take a value
  std::set<std::string> flags;                 // options without one
  std::vector<std::string> positional;
  std::string error;                           // empty when parsing succeeded

  std::optional<std::string> value(const std::string& name) const;
  bool flag(const std::string& name) const { return flags.contains(name); }
};

// `with_value` and `without_value` list long names with their dashes
// ("--output"); `aliases` maps short names ("-o") to long ones.
ParsedArguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& with_value,
                                const std::set<std::string>& without_value,
                                const std::map<std::string, std::string>& aliases = {});

// "4M", "512K", "1G", "1000" (bytes) -> bytes; nullopt when malformed or zero.
std::optional<std::uint64_t> parse_size(const std::string& text);
std::optional<std::uint64_t> parse_number(const std::string& text);

}  // namespace quarn::cli

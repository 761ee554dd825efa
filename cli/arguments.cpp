#include "cli/arguments.h"

#include <cstdint>

namespace quarn::cli {

std::optional<std::string> ParsedArguments::value(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

ParsedArguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& with_value,
                                const std::set<std::string>& without_value,
                                const std::map<std::string, std::string>& aliases) {
  ParsedArguments parsed;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::optional<std::string> inline_value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    if (const auto alias = aliases.find(arg); alias != aliases.end()) arg = alias->second;
    if (with_value.contains(arg)) {
      if (!inline_value) {
        if (i + 1 == args.size()) {
          parsed.error = "Opcja " + arg + " wymaga wartości.";
          return parsed;
        }
        inline_value = args[++i];
      }
      if (parsed.values.contains(arg)) {
        parsed.error = "Opcja " + arg + " podana dwa razy.";
        return parsed;
      }
      parsed.values[arg] = *inline_value;
    } else if (without_value.contains(arg) && !inline_value) {
      parsed.flags.insert(arg);
    } else {
      parsed.error = "Nieznana opcja: " + args[i] + ".";
      return parsed;
    }
  }
  return parsed;
}

std::optional<std::uint64_t> parse_number(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::optional<std::uint64_t> parse_size(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t unit = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'K': case 'k': unit = 1ull << 10; break;
    case 'M': case 'm': unit = 1ull << 20; break;
    case 'G': case 'g': unit = 1ull << 30; break;
    default: break;
  }
  if (unit != 1) digits.pop_back();
  const auto number = parse_number(digits);
  if (!number || *number == 0 || *number > UINT64_MAX / unit) return std::nullopt;
  return *number * unit;
}

}  // namespace quarn::cli

// `quarn list ARCHIVE`: the file list, one line per entry, then totals.
#include <cstdio>
#include <string>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/open_archive.h"
#include "cli/terminal_text.h"
#include "core/platform/platform.h"

namespace quarn::cli {
namespace {

// FILETIME ticks as "YYYY-MM-DD HH:MM" in UTC; dashes when not recorded.
std::string time_text(std::uint64_t ticks) {
  if (ticks < platform::unix_epoch_ticks) return "----------------";
  const std::int64_t seconds = static_cast<std::int64_t>((ticks - platform::unix_epoch_ticks) / 10000000);
  // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
  const std::int64_t z = seconds / 86400 + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  const std::int64_t minute_of_day = (seconds % 86400) / 60;
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(minute_of_day / 60),
                static_cast<long long>(minute_of_day % 60));
  return text;
}

}  // namespace

int run_list(const std::vector<std::string>& args, Fido2Authenticator& fido2) {
  const auto parsed = parse_arguments(args, {"--password-file", "--key-file"}, {});
  if (!parsed.error.empty()) return usage_error(parsed.error + " Zobacz: quarn list --help.");
  if (parsed.positional.size() != 1) return usage_error("Użycie: quarn list [--password-file PLIK] [--key-file PLIK] ARCHIWUM");

  KeySources keys;
  if (const auto f = parsed.value("--password-file")) keys.password_file = platform::path_from_argument(*f);
  if (const auto f = parsed.value("--key-file")) keys.key_file = platform::path_from_argument(*f);
  keys.fido2 = &fido2;
  auto archive = open_archive(platform::path_from_argument(parsed.positional[0]), keys);
  if (!archive) return fail(archive.error().display());

  std::uint64_t files = 0, directories = 0, bytes = 0;
  std::string out;
  for (const Entry& e : archive->loaded.manifest.entries) {
    const bool dir = e.kind == EntryKind::Dir;
    char size[32];
    std::snprintf(size, sizeof size, "%15llu", static_cast<unsigned long long>(e.size));
    out += dir ? "folder " : "plik   ";
    out += dir ? std::string(15, ' ') : std::string(size);
    out += "  " + time_text(e.modified) + "  " + terminal_text(e.path, Backslashes::Doubled) + "\n";
    if (dir) {
      ++directories;
    } else {
      ++files;
      bytes += e.size;
    }
  }
  out += "Razem: " + std::to_string(files) + " plików, " + std::to_string(directories) + " folderów, " +
         std::to_string(bytes) + " B\n";
  std::fputs(out.c_str(), stdout);
  return exit_ok;
}

}  // namespace quarn::cli

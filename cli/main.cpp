// quarn: the command-line front door to Quarn archives.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "core/platform/platform.h"

namespace quarn::cli {
namespace {

constexpr const char* help_text =
    "Quarn - zaszyfrowane archiwa i programy samorozpakowujące.\n"
    "\n"
    "Użycie: quarn POLECENIE [ARGUMENTY]\n"
    "\n"
    "Polecenia:\n"
    "  info ARCHIWUM     pokazuje, czym jest archiwum (tryb szyfrowania, parametry)\n"
    "  list ARCHIWUM     wypisuje pliki i foldery archiwum\n"
    "  extract ARCHIWUM  rozpakowuje archiwum (-o FOLDER; domyślnie obok archiwum)\n"
    "  test ARCHIWUM     sprawdza całe archiwum, niczego nie zapisując\n"
    "  create -o WYJŚCIE PLIK_LUB_FOLDER...\n"
    "                    tworzy archiwum (także wieloczęściowe lub samorozpakowujące)\n"
    "\n"
    "ARCHIWUM to plik archiwum, dowolna część archiwum wieloczęściowego\n"
    "(nazwa.001, nazwa.002, ...) albo program samorozpakowujący.\n"
    "\n"
    "Przykłady:\n"
    "  quarn info umowa.exe\n"
    "  quarn create -o umowa.qrn --mode aes dokumenty/\n"
    "  quarn list --password-file haslo.txt umowa.qrn\n"
    "\n"
    "Kody wyjścia: 0 - sukces, 1 - błąd (opis w ostatnim wierszu stderr),\n"
    "2 - niepoprawne użycie.\n";

}  // namespace

int fail(const std::string& display_text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", display_text.c_str());
  return exit_failure;
}

int usage_error(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return exit_usage;
}

}  // namespace quarn::cli

int main(int argc, char** argv) {
  using namespace quarn::cli;
  quarn::platform::prepare_console_output();
  const std::vector<std::string> args = quarn::platform::command_line_arguments(argc, argv);
  if (args.empty()) {
    std::fputs(help_text, stderr);
    return usage_error("Podaj polecenie, np. quarn info ARCHIWUM.");
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(help_text, stdout);
    return exit_ok;
  }
  if (command == "info") return run_info(rest);
  if (command == "list") return run_list(rest);
  if (command == "create") return run_create(rest);
  if (command == "extract") return run_extract(rest);
  if (command == "test") return run_test(rest);
  return usage_error("Nieznane polecenie: " + command + ". Lista poleceń: quarn --help.");
}

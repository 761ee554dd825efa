#include "cli/help.h"

namespace quarn::cli {
namespace {

constexpr std::string_view exit_statuses =
    "\nKody wyjścia: 0 - sukces, 1 - błąd (jego opis jest w ostatnim wierszu stderr)\n"
    "albo plik z niezgodną sumą SHA-256 (extract, test), 2 - niepoprawne użycie.\n";

constexpr std::string_view general =
    "Quarn - zaszyfrowane archiwa i programy samorozpakowujące.\n"
    "\n"
    "Użycie: quarn POLECENIE [OPCJE] [ARGUMENTY]\n"
    "\n"
    "Polecenia:\n"
    "  create   tworzy archiwum (także wieloczęściowe lub samorozpakowujące)\n"
    "  info     pokazuje, czym jest archiwum, zanim poda się hasło\n"
    "  list     wypisuje pliki i foldery archiwum\n"
    "  test     sprawdza całe archiwum (ramki, uwierzytelnienie, SHA-256), niczego nie zapisując\n"
    "  extract  rozpakowuje archiwum i sprawdza SHA-256 każdego pliku\n"
    "\n"
    "Szczegóły polecenia: quarn POLECENIE --help\n"
    "Wersja programu: quarn --version\n"
    "\n"
    "ARCHIWUM to plik archiwum, dowolna część archiwum wieloczęściowego\n"
    "(nazwa.001, nazwa.002, ...) albo program samorozpakowujący.\n"
    "\n"
    "Przykłady:\n"
    "  quarn create -o umowa.qrn dokumenty/\n"
    "  quarn list umowa.qrn\n"
    "  quarn extract umowa.qrn\n";

constexpr std::string_view create =
    "Użycie: quarn create -o WYJŚCIE [OPCJE] PLIK_LUB_FOLDER...\n"
    "\n"
    "Tworzy archiwum z podanych plików i folderów (każdy pod własną nazwą).\n"
    "Hasło jest pytane dwa razy w terminalu, bez wyświetlania.\n"
    "\n"
    "Opcje:\n"
    "  -o, --output WYJŚCIE       plik archiwum (z --split: początek nazw części)\n"
    "  --mode TRYB                none, aes (domyślny), chacha-aes, twofish, serpent,\n"
    "                             serpent-twofish-aes\n"
    "  --password-file PLIK       hasło z pliku (bez końcowego znaku nowego wiersza)\n"
    "  --key-file PLIK            plik-klucz jako drugi składnik\n"
    "  --fido2                    klucz FIDO2 z rozszerzeniem hmac-secret jako drugi składnik\n"
    "                             (także razem z --key-file); klucza dotyka się dwa razy\n"
    "  --block-size ROZMIAR       rozmiar bloku, np. 4M (domyślnie), od 1 B do 64M\n"
    "  --level N                  poziom kompresji Zstandard 1-22 (domyślnie 3), 0 - bez kompresji\n"
    "  --argon2-memory KIB        pamięć Argon2id w KiB (domyślnie 262144)\n"
    "  --argon2-passes N          przebiegi Argon2id (domyślnie 3)\n"
    "  --argon2-lanes N           wątki Argon2id (domyślnie 4)\n"
    "  --split ROZMIAR            dzieli archiwum na części WYJŚCIE.001, WYJŚCIE.002, ...\n"
    "  --sfx PROGRAM              tworzy program samorozpakowujący z podanego programu;\n"
    "                             auto - z quarn-sfx.exe zainstalowanego razem z quarn\n"
    "  --format-version 1|2       wersja formatu (domyślnie 2)\n"
    "  --threads N                wątki kompresji i szyfrowania (domyślnie: wszystkie procesory)\n"
    "  --overwrite                pozwala zastąpić istniejący plik albo zestaw części\n"
    "                             (stare części o dalszych numerach są usuwane)\n"
    "  -q, --quiet                bez paska postępu i podsumowania\n"
    "\n"
    "Przykłady:\n"
    "  quarn create -o umowa.qrn dokumenty/\n"
    "  quarn create -o kopia --split 100M --mode serpent-twofish-aes zdjecia/\n"
    "  quarn create -o umowa.exe --sfx auto --fido2 dokumenty/\n";

constexpr std::string_view info =
    "Użycie: quarn info ARCHIWUM\n"
    "\n"
    "Pokazuje nazwę i tryb szyfrowania archiwum, wersję formatu, rozmiar bloku,\n"
    "parametry Argon2id i drugie składniki, których wymaga. Nie pyta o hasło.\n"
    "\n"
    "Przykład:\n"
    "  quarn info umowa.exe\n";

constexpr std::string_view list =
    "Użycie: quarn list [--password-file PLIK] [--key-file PLIK] ARCHIWUM\n"
    "\n"
    "Wypisuje wpisy archiwum (rodzaj, rozmiar, czas modyfikacji UTC, ścieżka),\n"
    "a na końcu ich liczbę i łączny rozmiar.\n"
    "\n"
    "Przykład:\n"
    "  quarn list --password-file haslo.txt umowa.qrn\n";

constexpr std::string_view test =
    "Użycie: quarn test [--password-file PLIK] [--key-file PLIK] [-q] ARCHIWUM\n"
    "\n"
    "Odczytuje całe archiwum tak jak przy rozpakowywaniu - sprawdza każdą ramkę,\n"
    "jej uwierzytelnienie i SHA-256 każdego pliku - ale niczego nie zapisuje.\n"
    "Kod wyjścia 1 także wtedy, gdy suma SHA-256 któregoś pliku się nie zgadza.\n"
    "\n"
    "Przykład:\n"
    "  quarn test umowa.qrn\n";

constexpr std::string_view extract =
    "Użycie: quarn extract [--password-file PLIK] [--key-file PLIK] [-o FOLDER] [-q] ARCHIWUM\n"
    "\n"
    "Rozpakowuje archiwum do FOLDERU (domyślnie: obok archiwum, pod jego nazwą bez\n"
    "rozszerzenia). Niczego nie nadpisuje: plik, który już istnieje, dostaje nową\n"
    "nazwę, np. raport (2).pdf. Sprawdza SHA-256 każdego pliku. Na końcu stdout\n"
    "jest podsumowanie; wcześniej zmienione nazwy, podejrzane nazwy i pliki\n"
    "z niezgodną sumą. Ctrl-C przerywa (\"Przerwano.\"); zapisane pliki zostają.\n"
    "Kod wyjścia 1 także wtedy, gdy suma SHA-256 któregoś pliku się nie zgadza.\n"
    "Archiwum związane z kluczem FIDO2 prosi o jego dotknięcie (i PIN, gdy klucz\n"
    "nie ma własnej weryfikacji użytkownika).\n"
    "\n"
    "Przykłady:\n"
    "  quarn extract umowa.qrn\n"
    "  quarn extract -o ~/Pobrane/umowa --password-file haslo.txt umowa.exe\n";

}  // namespace

std::string_view general_help() { return general; }

std::optional<std::string_view> command_help(std::string_view command) {
  if (command == "create") return create;
  if (command == "info") return info;
  if (command == "list") return list;
  if (command == "test") return test;
  if (command == "extract") return extract;
  return std::nullopt;
}

std::string_view exit_status_help() { return exit_statuses; }

}  // namespace quarn::cli

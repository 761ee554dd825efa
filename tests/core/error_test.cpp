#include <gtest/gtest.h>

#include "core/error/archive_error.h"
#include "core/error/detail_texts.h"

namespace quarn {
namespace {

struct DisplayCase {
  const char* name;
  ArchiveError error;
  const char* expected;
};

TEST(ArchiveError, EveryKindDisplaysItsPolishSentence) {
  const DisplayCase cases[] = {
      {"io_with_code", ArchiveError::io({5, "Input/output error", false}),
       "Błąd odczytu/zapisu: Input/output error (os error 5)"},
      {"io_without_code", ArchiveError::io({0, "nieoczekiwany koniec pliku", false}),
       "Błąd odczytu/zapisu: nieoczekiwany koniec pliku"},
      {"not_archive", ArchiveError::not_archive(), "To nie jest archiwum Quarn."},
      {"version_3", ArchiveError::unsupported_version(3),
       "Archiwum ma wersję formatu 3, nowszą niż obsługiwana. Zaktualizuj Quarn."},
      {"version_65535", ArchiveError::unsupported_version(65535),
       "Archiwum ma wersję formatu 65535, nowszą niż obsługiwana. Zaktualizuj Quarn."},
      {"password_required", ArchiveError::password_required(), "Archiwum jest zaszyfrowane. Podaj hasło."},
      {"wrong_password", ArchiveError::wrong_password(), "Nieprawidłowe hasło."},
      {"corrupt", ArchiveError::corrupt(std::string(texts::truncated)),
       "Archiwum jest uszkodzone: archiwum jest uciete"},
      {"integrity_frame_12", ArchiveError::integrity(texts::frame_out_of_place(12)),
       "Naruszona integralność archiwum: ramka 12 jest nie na swoim miejscu"},
      {"unsafe_path", ArchiveError::unsafe_path("../etc/passwd"),
       "Niebezpieczna ścieżka w archiwum: ../etc/passwd"},
      {"cancelled", ArchiveError::cancelled(), "Przerwano."},
      {"message_unchanged", ArchiveError::message("Plik-klucz musi miec od 1 B do 64 MiB."),
       "Plik-klucz musi miec od 1 B do 64 MiB."},
      {"unsupported", ArchiveError::unsupported(std::string(texts::fido2_platform_too_old)),
       "Nieobsługiwane: klucz FIDO2 z hmac-secret wymaga Windows 10 21H1 lub nowszego"},
      {"second_factor", ArchiveError::second_factor_required(std::string(texts::key_file)),
       "Archiwum wymaga drugiego składnika: plik-klucz"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.display(), c.expected) << c.name;
}

TEST(DetailTexts, TemplatesInsertDecimalNumbersAndHexCodes) {
  EXPECT_EQ(texts::archive_length_mismatch(1000, 900),
            "rozmiar pliku (1000 B) nie zgadza sie z zapisanym (900 B) - plik uciety albo dopisany");
  EXPECT_EQ(texts::frame_bad_size(7), "ramka 7 ma niedozwolony rozmiar");
  EXPECT_EQ(texts::frame_crc_mismatch(18446744073709551615u),
            "suma CRC32C ramki 18446744073709551615 sie nie zgadza (uszkodzony nosnik?)");
  EXPECT_EQ(texts::frame_decompression(0), "nie mozna rozpakowac ramki 0");
  EXPECT_EQ(texts::frame_bad_length(3), "ramka 3 ma zla dlugosc");
  EXPECT_EQ(texts::missing_first_part("/a/b.001"), "Brak pierwszej czesci archiwum (/a/b.001).");
  EXPECT_EQ(texts::inconsistent_entry("a/b.txt"), "niespojny wpis w spisie: a/b.txt");
  EXPECT_EQ(texts::random_generator_failure(0xC0000001), "Systemowy generator losowy zwrocil blad 0xC0000001.");
  EXPECT_EQ(texts::fido2_failure("odmowa", 0x1F), "klucz FIDO2: odmowa (0x0000001F)");
  EXPECT_EQ(texts::argon2_failure("Memory allocation error"), "Argon2id: Memory allocation error");
  EXPECT_EQ(texts::key_file_unreadable("k.bin", "No such file"), "nie mozna odczytac pliku-klucza k.bin: No such file");
}

TEST(ArchiveError, KindAndPayloadSurviveAMove) {
  ArchiveError original = ArchiveError::integrity("x");
  ArchiveError moved = std::move(original);
  EXPECT_EQ(moved.kind(), ErrorKind::Integrity);
  EXPECT_EQ(moved.detail(), "x");
  EXPECT_EQ(ArchiveError::unsupported_version(9).version(), 9);
}

}  // namespace
}  // namespace quarn

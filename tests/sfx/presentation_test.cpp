#include <gtest/gtest.h>

#include "core/error/detail_texts.h"
#include "core/platform/platform.h"
#include "sfx/destination.h"
#include "sfx/presentation.h"
#include "sfx/summary.h"

namespace quarn::sfx {
namespace {

TEST(ComposeSummary, ThreePartsInOrderWithoutAFinalLineFeed) {
  ExtractionReport empty;
  EXPECT_EQ(compose_summary(empty, "C:\\Pobrane\\umowa"),
            "Rozpakowano 0 plików do:\nC:\\Pobrane\\umowa\n\nIntegralność potwierdzona: SHA-256 zgodne dla 0 plików.");

  ExtractionReport one;
  one.files_completed = 1;
  one.files_verified = 1;
  one.files_marked = 1;
  EXPECT_EQ(compose_summary(one, "D"),
            "Rozpakowano 1 plików do:\nD\n\nIntegralność potwierdzona: SHA-256 zgodne dla 1 plików.\n"
            "Pliki oznaczono jako pochodzące z internetu (Mark-of-the-Web).");

  ExtractionReport mismatched;
  mismatched.files_completed = 10;
  mismatched.files_verified = 8;
  mismatched.mismatches = {"a", "b"};
  EXPECT_EQ(compose_summary(mismatched, "D"),
            "Rozpakowano 10 plików do:\nD\n\nUWAGA: sumy kontrolne części plików się nie zgadzają - nie ufaj tym plikom.");
}

TEST(Present, EachOutcomeKindGetsItsTextStatusAndAfterwards) {
  struct Case {
    const char* label;
    JobOutcome outcome;
    std::string text;
    std::string status;
    MessageIcon icon;
    bool ends;
  };
  const std::string integrity_text =
      "Wykryto zmianę treści - nie otwieraj tych plików.\n\nNaruszona integralność archiwum: ramka 3 jest nie na swoim miejscu";
  const std::string second = "To archiwum wymaga pliku-klucza albo klucza FIDO2 - otwórz je programem Quarn.";
  const Case cases[] = {
      {"success", JobSuccess{"C:\\x", "Rozpakowano 1 plików do:\nC:\\x\n\nZ"}, "Rozpakowano 1 plików do:\nC:\\x\n\nZ",
       "Gotowe.", MessageIcon::Information, true},
      {"wrong_password", ArchiveError::wrong_password(), "Nieprawidłowe hasło. Poproś nadawcę o nie ponownie.",
       "Nieprawidłowe hasło. Poproś nadawcę o nie ponownie.", MessageIcon::Error, false},
      {"integrity", ArchiveError::integrity(texts::frame_out_of_place(3)), integrity_text,
       "Wykryto zmianę treści - nie otwieraj tych plików.", MessageIcon::Error, false},
      {"key_file", ArchiveError::second_factor_required(std::string(texts::key_file)), second, second,
       MessageIcon::Error, false},
      {"fido2", ArchiveError::second_factor_required(texts::fido2_failure("x", 1)), second, second,
       MessageIcon::Error, false},
      {"corrupt", ArchiveError::corrupt(std::string(texts::truncated)), "Archiwum jest uszkodzone: archiwum jest uciete",
       "Archiwum jest uszkodzone: archiwum jest uciete", MessageIcon::Error, false},
      {"multi_line_message", ArchiveError::message("a\r\nb"), "a\r\nb", "a", MessageIcon::Error, false},
  };
  for (const auto& c : cases) {
    const Presentation p = present(c.outcome);
    EXPECT_EQ(p.text, c.text) << c.label;
    EXPECT_EQ(p.status, c.status) << c.label;
    EXPECT_EQ(p.icon, c.icon) << c.label;
    EXPECT_EQ(p.open_folder_and_end, c.ends) << c.label;
  }
  EXPECT_EQ(present(JobSuccess{"C:\\Pobrane\\umowa", "m"}).folder, "C:\\Pobrane\\umowa");
}

TEST(FirstLine, StopsAtTheFirstLineFeedAndDropsACarriageReturnBeforeIt) {
  EXPECT_EQ(first_line(""), "");
  EXPECT_EQ(first_line("one"), "one");
  EXPECT_EQ(first_line("one\ntwo"), "one");
  EXPECT_EQ(first_line("one\r\ntwo"), "one");
  EXPECT_EQ(first_line("\nx"), "");
  EXPECT_EQ(first_line("a\rb\nc"), "a\rb");
}

TEST(Validation, WarningsForAnEmptyDestinationOrPassword) {
  EXPECT_EQ(destination_warning(trim_destination(" \t\u3000 ")), "Podaj folder docelowy.");
  EXPECT_FALSE(destination_warning(trim_destination(" C:\\x ")));
  EXPECT_EQ(password_warning(true, 0), "Wpisz hasło otrzymane od nadawcy.");
  EXPECT_FALSE(password_warning(true, 1));
  EXPECT_FALSE(password_warning(false, 0));
  EXPECT_EQ(explorer_parameters("C:\\a b"), "\"C:\\a b\"");
}

TEST(Destination, DefaultIsTheStemBesideTheProgram) {
  const auto p = [](const char* text) { return platform::path_from_utf8(text); };
  EXPECT_EQ(default_destination(p("dir/umowa.exe")), platform::path_to_utf8(p("dir") / "umowa"));
  EXPECT_EQ(default_destination(p("dir/raport.2024.exe")), platform::path_to_utf8(p("dir") / "raport.2024"));
  EXPECT_EQ(default_destination(p("dir/.profile")), platform::path_to_utf8(p("dir") / ".profile"));
  EXPECT_EQ(default_destination(p("dir/bez")), platform::path_to_utf8(p("dir") / "bez"));
  EXPECT_EQ(default_destination(p("dir/")), platform::path_to_utf8(p("dir") / "archiwum"));
  EXPECT_EQ(default_destination(p("umowa.exe")), "");
}

TEST(Destination, TrimmingRemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_destination("\u00A0\u2003 C:\\a b \t\n\u3000"), "C:\\a b");
  EXPECT_EQ(trim_destination("\u200B x \u200B"), "\u200B x \u200B");  // a zero-width space is not white space
  EXPECT_EQ(trim_destination(""), "");
}

}  // namespace
}  // namespace quarn::sfx

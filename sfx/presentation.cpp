#include "sfx/presentation.h"

namespace quarn::sfx {

std::string first_line(std::string_view text) {
  const auto feed = text.find('\n');
  if (feed == std::string_view::npos) return std::string(text);
  std::string_view line = text.substr(0, feed);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(line);
}

Presentation present(const JobOutcome& outcome) {
  Presentation p;
  if (const auto* success = std::get_if<JobSuccess>(&outcome)) {
    p.text = success->message;
    p.status = "Gotowe.";
    p.icon = MessageIcon::Information;
    p.open_folder_and_end = true;
    p.folder = success->folder;
    return p;
  }
  const ArchiveError& error = std::get<ArchiveError>(outcome);
  switch (error.kind()) {
    case ErrorKind::WrongPassword:
      p.text = "Nieprawidłowe hasło. Poproś nadawcę o nie ponownie.";
      break;
    case ErrorKind::Integrity:
      p.text = "Wykryto zmianę treści - nie otwieraj tych plików.\n\n" + error.display();
      break;
    case ErrorKind::SecondFactorRequired:
      p.text = "To archiwum wymaga pliku-klucza albo klucza FIDO2 - otwórz je programem Quarn.";
      break;
    default:
      p.text = error.display();
      break;
  }
  p.status = first_line(p.text);
  p.icon = MessageIcon::Error;
  return p;
}

std::optional<std::string> destination_warning(std::string_view destination) {
  if (destination.empty()) return "Podaj folder docelowy.";
  return std::nullopt;
}

std::optional<std::string> password_warning(bool encrypted, std::size_t password_length) {
  if (encrypted && password_length == 0) return "Wpisz hasło otrzymane od nadawcy.";
  return std::nullopt;
}

std::string explorer_parameters(std::string_view folder) { return "\"" + std::string(folder) + "\""; }

}  // namespace quarn::sfx

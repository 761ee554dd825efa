#include "sfx/summary.h"

namespace quarn::sfx {

std::string compose_summary(const ExtractionReport& report, const std::string& destination) {
  std::string text = "Rozpakowano " + std::to_string(report.files_completed) + " plików do:\n" + destination + "\n\n";
  if (report.mismatches.empty()) {
    text += "Integralność potwierdzona: SHA-256 zgodne dla " + std::to_string(report.files_verified) + " plików.";
  } else {
    text += "UWAGA: sumy kontrolne części plików się nie zgadzają - nie ufaj tym plikom.";
  }
  if (report.files_marked > 0) text += "\nPliki oznaczono jako pochodzące z internetu (Mark-of-the-Web).";
  return text;
}

}  // namespace quarn::sfx

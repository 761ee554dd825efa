// compose_summary: the one text that tells a user what an extraction did.
#pragma once

#include <string>

#include "core/archive/output_writer.h"

namespace quarn::sfx {

// "Rozpakowano N plików do:\nDEST\n\n", then the integrity sentence (or the
// warning when any file mismatched), then the mark sentence when files were
// marked. No line feed at the end.
std::string compose_summary(const ExtractionReport& report, const std::string& destination);

}  // namespace quarn::sfx

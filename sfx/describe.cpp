#include "sfx/describe.h"

#include "core/platform/platform.h"

namespace quarn::sfx {

std::string describe_archive(const std::filesystem::path& own_path, EncryptionMode mode) {
  std::string text = "Archiwum: ";
  text += platform::path_to_utf8(own_path.filename());
  text += "  \u00B7  ";
  text += display_name(mode);
  return text;
}

}  // namespace quarn::sfx

#include "core/platform/platform.h"

namespace quarn::platform {

std::string OsError::display() const {
  if (code == 0) return message;
  return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace quarn::platform

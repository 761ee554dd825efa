// What the window shows for an outcome, and its input checks: pure
// decisions, shared by the window and its tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sfx/job.h"

namespace quarn::sfx {

enum class MessageIcon { Information, Warning, Error };

struct Presentation {
  std::string text;        // the message box text
  std::string status;      // the status line
  MessageIcon icon = MessageIcon::Error;
  bool open_folder_and_end = false;  // success: Explorer on `folder`, then the window is destroyed
  std::string folder;
};

Presentation present(const JobOutcome& outcome);

// The text up to the first line feed, without it and without a carriage
// return right before it; the whole text without a line feed.
std::string first_line(std::string_view text);

// The warning to show instead of starting a job, if any. `destination` is
// already trimmed.
std::optional<std::string> destination_warning(std::string_view destination);
std::optional<std::string> password_warning(bool encrypted, std::size_t password_length);

// The parameters handed to Explorer: the folder in double quotes.
std::string explorer_parameters(std::string_view folder);

}  // namespace quarn::sfx

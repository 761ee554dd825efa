#include "cli/progress.h"

#include <cstdio>
#include <string>

#include "core/platform/platform.h"

namespace quarn::cli {

Progress::Progress(std::uint64_t total, bool wanted)
    : total_(total),
      enabled_(wanted && platform::stderr_is_terminal()),
      pacer_(std::chrono::milliseconds(200)) {}

void Progress::update(std::uint64_t done) {
  if (!enabled_) return;
  const auto now = sfx::ProgressClock::now();
  if (!pacer_.due(now, false)) return;
  rate_.add(now, done);
  // Narrow enough that the whole line fits 80 columns in all but extreme cases.
  constexpr int width = 14;
  std::string bar(static_cast<std::size_t>(sfx::scaled_position(done, total_, width)), '#');
  bar.resize(width, '.');
  std::string line = "\r[" + bar + "] " + std::to_string(sfx::percent_done(done, total_)) + " %  " +
                     sfx::human_bytes(done) + " z " + sfx::human_bytes(total_);
  if (const auto rate = rate_.bytes_per_second())
    line += "  " + sfx::human_bytes(static_cast<std::uint64_t>(*rate)) + "/s";
  if (const auto left = rate_.seconds_left(total_); left && done < total_)
    line += "  zostało ok. " + sfx::human_duration(*left);
  // Blanks over whatever a longer line before left behind.
  const std::size_t length = line.size();
  if (length < drawn_length_) line.append(drawn_length_ - length, ' ');
  drawn_length_ = length;
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void Progress::finish() {
  if (!enabled_ || drawn_length_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_length_), "");
  std::fflush(stderr);
}

}  // namespace quarn::cli

#include "cli/progress.h"

#include <cstdio>
#include <string>

#include "core/platform/platform.h"

namespace quarn::cli {

Progress::Progress(std::uint64_t total, bool wanted)
    : total_(total), enabled_(wanted && platform::stderr_is_terminal()), start_(std::chrono::steady_clock::now()) {}

void Progress::update(std::uint64_t done) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < std::chrono::milliseconds(200)) return;
  last_draw_ = now;
  drawn_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double fraction = total_ ? static_cast<double>(done) / static_cast<double>(total_) : 1.0;
  constexpr int width = 30;
  const int filled = static_cast<int>(fraction * width + 0.5);
  std::string bar(static_cast<std::size_t>(filled > width ? width : filled), '#');
  bar.resize(width, '.');
  std::string eta = "--";
  if (rate > 0 && total_ >= done) {
    const auto left = static_cast<long long>(static_cast<double>(total_ - done) / rate);
    eta = std::to_string(left / 60) + ":" + (left % 60 < 10 ? "0" : "") + std::to_string(left % 60);
  }
  std::fprintf(stderr, "\r[%s] %3d%%  %.1f MB/s  pozostało %s ", bar.c_str(), static_cast<int>(fraction * 100),
               rate / 1e6, eta.c_str());
  std::fflush(stderr);
}

void Progress::finish() {
  if (!enabled_ || !drawn_) return;
  std::fprintf(stderr, "\r%70s\r", "");
  std::fflush(stderr);
}

}  // namespace quarn::cli

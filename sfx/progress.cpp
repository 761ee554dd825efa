#include "sfx/progress.h"

#include <algorithm>
#include <cmath>

namespace quarn::sfx {
namespace {

// Samples older than this no longer count for the rate, so that the estimate
// follows a disk that slows down once its cache is full.
constexpr auto rate_window = std::chrono::seconds(10);
// A shorter span gives estimates that jump about.
constexpr auto rate_minimum_span = std::chrono::seconds(2);

// Beyond this a time left means nothing more than "very long".
constexpr double longest_duration = 1e7;

double shown_value(double value) { return value < 99.95 ? std::round(value * 10) / 10 : std::round(value); }

}  // namespace

std::string human_bytes(std::uint64_t bytes) {
  static constexpr const char* units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) return std::to_string(bytes) + " B";
  std::size_t unit = 1;
  double value = static_cast<double>(bytes) / 1000;
  // 2^64 is 18.4 EB, so the last unit always holds it.
  while (unit + 1 < std::size(units) && shown_value(value) >= 1000) {
    value /= 1000;
    ++unit;
  }
  std::string digits;
  if (value < 99.95) {
    const long long tenths = std::llround(value * 10);
    digits = std::to_string(tenths / 10) + "," + std::to_string(tenths % 10);
  } else {
    digits = std::to_string(std::llround(value));
  }
  return digits + " " + units[unit];
}

std::string human_duration(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  if (seconds > longest_duration) seconds = longest_duration;
  const long long five_seconds = std::max(1LL, static_cast<long long>(std::ceil(seconds / 5)));
  if (five_seconds < 12) return std::to_string(five_seconds * 5) + " s";
  const long long minutes = std::max(1LL, std::llround(seconds / 60));
  if (minutes < 60) return std::to_string(minutes) + " min";
  const long long rest = minutes % 60;
  return std::to_string(minutes / 60) + " godz." + (rest ? " " + std::to_string(rest) + " min" : "");
}

int percent_done(std::uint64_t done, std::uint64_t total) { return scaled_position(done, total, 100); }

int scaled_position(std::uint64_t done, std::uint64_t total, int scale) {
  if (total == 0 || done >= total) return scale;
  // 128 bits: done * scale overflows 64 bits for totals in the petabytes.
  __extension__ using Wide = unsigned __int128;
  return static_cast<int>(static_cast<Wide>(done) * static_cast<unsigned>(scale) / total);
}

void RateEstimator::add(ProgressClock::time_point when, std::uint64_t done) {
  samples_.push_back({when, done});
  // Keep the newest sample at least rate_window old, so the rate covers the
  // whole window once there is that much history.
  while (samples_.size() > 2 && when - samples_[1].when >= rate_window) samples_.pop_front();
}

std::optional<double> RateEstimator::bytes_per_second() const {
  if (samples_.size() < 2) return std::nullopt;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  if (last.when - first.when < rate_minimum_span || last.done <= first.done) return std::nullopt;
  const double seconds = std::chrono::duration<double>(last.when - first.when).count();
  return static_cast<double>(last.done - first.done) / seconds;
}

std::optional<double> RateEstimator::seconds_left(std::uint64_t total) const {
  if (!samples_.empty() && samples_.back().done >= total) return 0.0;
  const std::optional<double> rate = bytes_per_second();
  if (!rate) return std::nullopt;
  return static_cast<double>(total - samples_.back().done) / *rate;
}

std::string extraction_status(std::uint64_t done, std::uint64_t total, std::optional<double> seconds_left) {
  std::string text = "Rozpakowywanie: " + std::to_string(percent_done(done, total)) + " % (" + human_bytes(done) +
                     " z " + human_bytes(total) + ")";
  if (seconds_left && done < total) text += ", zostało ok. " + human_duration(*seconds_left);
  return text;
}

bool UpdatePacer::due(ProgressClock::time_point now, bool final) {
  if (!final && last_ && now - *last_ < interval_) return false;
  last_ = now;
  return true;
}

}  // namespace quarn::sfx

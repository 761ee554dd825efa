// Progress of a long job as a person reads it: byte counts in human units,
// the rate and the time left from timed samples, the window's status line,
// and the pacing of updates. Shared by the window and the command line, so
// that both say the same thing about the same job.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace quarn::sfx {

using ProgressClock = std::chrono::steady_clock;

// Decimal units with a Polish decimal comma, one decimal below 100 of a unit
// and none from 100 on: "0 B", "999 B", "1,0 kB", "42,5 MB", "512 MB",
// "18,4 EB". A value that would round to 1000 is shown in the next unit.
std::string human_bytes(std::uint64_t bytes);

// A time left, coarse on purpose: "5 s" to "55 s" (rounded up to 5 s),
// "1 min" to "59 min", "2 godz. 5 min", "3 godz.".
std::string human_duration(double seconds);

// done / total as a whole percent, rounded down, so that 100 means finished;
// a total of 0 counts as finished. `done` above `total` counts as `total`.
int percent_done(std::uint64_t done, std::uint64_t total);

// The same fraction on 0..scale, for a progress bar's range.
int scaled_position(std::uint64_t done, std::uint64_t total, int scale);

// The rate over the last ten seconds of samples, and the time left at that
// rate. Not thread-safe: one owner feeds it and asks it.
class RateEstimator {
 public:
  // Samples come in time order with `done` never decreasing; the first one
  // marks the start (typically 0 bytes when the first byte is due).
  void add(ProgressClock::time_point when, std::uint64_t done);
  // Nothing until the samples span two seconds, or when nothing moved.
  std::optional<double> bytes_per_second() const;
  // 0 once `total` is reached; nothing while the rate is unknown.
  std::optional<double> seconds_left(std::uint64_t total) const;

 private:
  struct Sample {
    ProgressClock::time_point when;
    std::uint64_t done;
  };
  std::deque<Sample> samples_;
};

// The window's status line while bytes are written:
// "Rozpakowywanie: 42 % (1,2 GB z 2,9 GB), zostało ok. 1 min", without the
// time left while it is unknown or once everything is written.
std::string extraction_status(std::uint64_t done, std::uint64_t total, std::optional<double> seconds_left);

// Lets through at most one update per interval, and always the first and
// the final one (so that a bar reaches its end).
class UpdatePacer {
 public:
  explicit UpdatePacer(ProgressClock::duration interval) : interval_(interval) {}
  bool due(ProgressClock::time_point now, bool final);

 private:
  ProgressClock::duration interval_;
  std::optional<ProgressClock::time_point> last_;
};

}  // namespace quarn::sfx

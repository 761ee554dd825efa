// A one-line progress bar on stderr, drawn only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>

namespace quarn::cli {

class Progress {
 public:
  Progress(std::uint64_t total, bool wanted);
  // At most a few redraws a second, whatever the call rate.
  void update(std::uint64_t done);
  void update(std::uint64_t done, std::uint64_t total) {
    total_ = total;
    update(done);
  }
  // Clears the line.
  void finish();

 private:
  std::uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace quarn::cli

// A one-line progress bar on stderr, drawn only when stderr is a terminal.
// Its figures (units, rate, time left) come from sfx/progress.h, as the
// window's do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sfx/progress.h"

namespace quarn::cli {

class Progress {
 public:
  Progress(std::uint64_t total, bool wanted);
  // At most five redraws a second, whatever the call rate.
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
  std::size_t drawn_length_ = 0;  // of the line on the terminal, 0 before the first
  sfx::UpdatePacer pacer_;
  sfx::RateEstimator rate_;
};

}  // namespace quarn::cli

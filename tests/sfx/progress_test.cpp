#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sfx/progress.h"

namespace quarn::sfx {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(HumanBytes, DecimalUnitsWithAPolishCommaAndNoRoundingToAThousand) {
  const struct {
    std::uint64_t bytes;
    const char* expected;
  } cases[] = {
      {0, "0 B"},
      {999, "999 B"},
      {1000, "1,0 kB"},
      {42'540, "42,5 kB"},
      {99'940, "99,9 kB"},
      {99'960, "100 kB"},
      {999'499, "999 kB"},
      {999'500, "1,0 MB"},  // would be "1000 kB"
      {1'234'567'890, "1,2 GB"},
      {2'900'000'000, "2,9 GB"},
      {1'500'000'000'000, "1,5 TB"},
      {999'600'000'000'000, "1,0 PB"},
      {std::numeric_limits<std::uint64_t>::max(), "18,4 EB"},
  };
  for (const auto& c : cases) EXPECT_EQ(human_bytes(c.bytes), c.expected) << c.bytes;
}

TEST(HumanDuration, SecondsInFivesThenMinutesThenHours) {
  const struct {
    double seconds;
    const char* expected;
  } cases[] = {
      {0, "5 s"},       {4.2, "5 s"},       {5.1, "10 s"},         {54, "55 s"},
      {56, "1 min"},    {89, "1 min"},      {91, "2 min"},         {59 * 60 + 29, "59 min"},
      {59 * 60 + 31, "1 godz."},            {2 * 3600 + 5 * 60, "2 godz. 5 min"},
      {std::nan(""), "5 s"},                {1e300, "2777 godz. 47 min"},
  };
  for (const auto& c : cases) EXPECT_EQ(human_duration(c.seconds), c.expected) << c.seconds;
}

TEST(ExtractionStatus, PercentBytesAndTheTimeLeftOnlyWhenKnownAndNotFinished) {
  const struct {
    std::uint64_t done, total;
    std::optional<double> left;
    const char* expected;
  } cases[] = {
      {0, 2'900'000'000, std::nullopt, "Rozpakowywanie: 0 % (0 B z 2,9 GB)"},
      {1'220'000'000, 2'900'000'000, 75, "Rozpakowywanie: 42 % (1,2 GB z 2,9 GB), zostało ok. 1 min"},
      {1'220'000'000, 2'900'000'000, std::nullopt, "Rozpakowywanie: 42 % (1,2 GB z 2,9 GB)"},
      {2'899'999'999, 2'900'000'000, 0.1, "Rozpakowywanie: 99 % (2,9 GB z 2,9 GB), zostało ok. 5 s"},
      {2'900'000'000, 2'900'000'000, 0, "Rozpakowywanie: 100 % (2,9 GB z 2,9 GB)"},
      {0, 0, std::nullopt, "Rozpakowywanie: 100 % (0 B z 0 B)"},
      {1'500'000'000'000, 3'000'000'000'000, 3600, "Rozpakowywanie: 50 % (1,5 TB z 3,0 TB), zostało ok. 1 godz."},
      // done * 100 does not fit 64 bits here
      {(1ULL << 63) - 1, std::numeric_limits<std::uint64_t>::max(), std::nullopt,
       "Rozpakowywanie: 49 % (9,2 EB z 18,4 EB)"},
  };
  for (const auto& c : cases) EXPECT_EQ(extraction_status(c.done, c.total, c.left), c.expected);
}

TEST(ScaledPosition, EndsOnlyWhenDone) {
  EXPECT_EQ(scaled_position(0, 1000, 10000), 0);
  EXPECT_EQ(scaled_position(999, 1000, 10000), 9990);
  EXPECT_EQ(scaled_position(1000, 1000, 10000), 10000);
  EXPECT_EQ(scaled_position(0, 0, 10000), 10000);
  EXPECT_EQ(scaled_position(std::numeric_limits<std::uint64_t>::max() - 1, std::numeric_limits<std::uint64_t>::max(),
                            10000),
            9999);
}

TEST(RateEstimator, UnknownUntilTwoSecondsOfMovingBytesThenFollowsTheLastTenSeconds) {
  const ProgressClock::time_point start{};
  RateEstimator rate;
  EXPECT_FALSE(rate.bytes_per_second());
  EXPECT_FALSE(rate.seconds_left(1000));
  rate.add(start, 0);
  rate.add(start + milliseconds(1900), 190);
  EXPECT_FALSE(rate.bytes_per_second()) << "under two seconds";
  rate.add(start + seconds(2), 200);
  ASSERT_TRUE(rate.bytes_per_second());
  EXPECT_DOUBLE_EQ(*rate.bytes_per_second(), 100);
  EXPECT_DOUBLE_EQ(*rate.seconds_left(1000), 8);

  // Ten seconds at 100 B/s, then ten at 1000 B/s, sampled ten times a second:
  // the rate is the new one, not the average of both.
  RateEstimator changing;
  std::uint64_t done = 0;
  for (int tick = 0; tick <= 200; ++tick) {
    changing.add(start + milliseconds(100 * tick), done);
    done += tick < 100 ? 10 : 100;
  }
  EXPECT_NEAR(*changing.bytes_per_second(), 1000, 1);

  RateEstimator stalled;
  stalled.add(start, 500);
  stalled.add(start + seconds(5), 500);
  EXPECT_FALSE(stalled.bytes_per_second());
  EXPECT_FALSE(stalled.seconds_left(1000));
  EXPECT_EQ(stalled.seconds_left(500), 0.0);
}

TEST(UpdatePacer, AtMostOnePerIntervalButAlwaysTheFirstAndTheFinal) {
  UpdatePacer pacer(milliseconds(100));
  const ProgressClock::time_point start{};
  int due = 0;
  // An update every 7 ms for a second: due at 0, 105, 210, ..., 945.
  for (int t = 0; t < 1000; t += 7) due += pacer.due(start + milliseconds(t), false);
  EXPECT_EQ(due, 10);
  EXPECT_TRUE(pacer.due(start + milliseconds(1001), true)) << "the final update is never held back";
  EXPECT_FALSE(pacer.due(start + milliseconds(1002), false));
}

}  // namespace
}  // namespace quarn::sfx

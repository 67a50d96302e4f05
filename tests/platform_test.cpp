// The Linux clocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

#include "platform/clock.h"

namespace varnock {
namespace {

TEST(SystemClock, SleepUntilNeverEndsBeforeTheDeadline) {
  SystemClock clock;
  // Several sleeps, so that the wake-latency estimate has moved.
  for (const int64_t ahead_ns : {2'000'000, 2'000'000, 500'000, 0, -1'000'000, 2'000'000}) {
    const int64_t deadline = clock.monotonic_nanoseconds() + ahead_ns;
    clock.sleep_until(deadline);
    EXPECT_GE(clock.monotonic_nanoseconds(), deadline) << "sleep of " << ahead_ns << " ns";
  }
}

TEST(SystemClock, CalendarAndWallClockAgree) {
  SystemClock clock;
  const int64_t before = clock.calendar_seconds();
  const int64_t ms = clock.wall_milliseconds();
  const int64_t after = clock.calendar_seconds();
  // time() may trail the precise clock by a tick, never lead it.
  EXPECT_GE(ms / 1000, before);
  EXPECT_LE(ms / 1000, after + 1);
  EXPECT_GT(before, 1'600'000'000);
}

}  // namespace
}  // namespace varnock

// The Linux clocks.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <ctime>

#include "platform/clock.h"
#include "platform/signals.h"

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

// Held signals neither kill nor stop the process; a sleep takes them, one a
// sleep, each cutting it short. Run in a process of its own (as ctest does):
// the signals stay held.
TEST(HeldSignals, WaitForASleepToTakeThem) {
  std::signal(SIGHUP, SIG_IGN);  // as nohup leaves it
  hold_run_signals();
  std::raise(SIGTERM);
  std::raise(SIGTSTP);
  std::raise(SIGHUP);
  EXPECT_EQ(received_stop_signal(), 0);
  EXPECT_FALSE(take_suspend_request());

  SystemClock clock;
  const int64_t start = clock.monotonic_nanoseconds();
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(sleep_taking_held_signals(5'000'000'000)) << i;
  // SIGCONT clears a pending stop signal, so it comes on its own.
  std::raise(SIGCONT);
  EXPECT_FALSE(take_resume_notice());
  EXPECT_FALSE(sleep_taking_held_signals(5'000'000'000));
  EXPECT_LT(clock.monotonic_nanoseconds() - start, 1'000'000'000) << "a sleep ran its time";
  EXPECT_EQ(received_stop_signal(), SIGTERM);
  EXPECT_TRUE(take_suspend_request());
  EXPECT_FALSE(take_suspend_request());
  EXPECT_TRUE(take_resume_notice());
  EXPECT_FALSE(take_resume_notice());
  // SIGHUP, ignored at the start, stayed ignored: nothing is left to take.
  EXPECT_TRUE(sleep_taking_held_signals(1'000'000));
  EXPECT_TRUE(sleep_taking_held_signals(0));
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

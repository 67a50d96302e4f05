#include <sys/prctl.h>

#include <ctime>

#include "platform/clock.h"

namespace varnock {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

int64_t read_nanoseconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return int64_t{ts.tv_sec} * kNanosPerSecond + ts.tv_nsec;
}

}  // namespace

SystemClock::SystemClock() {
  // The default 50 us slack would stretch every 2 ms pause by that much.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

int64_t SystemClock::calendar_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t SystemClock::wall_milliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // Seconds and nanoseconds separately: tv_nsec is never negative, so this
  // truncates toward zero for every time after 1970.
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1'000'000;
}

int64_t SystemClock::wall_nanoseconds() { return read_nanoseconds(CLOCK_REALTIME); }

int64_t SystemClock::monotonic_nanoseconds() { return read_nanoseconds(CLOCK_MONOTONIC); }

}  // namespace varnock

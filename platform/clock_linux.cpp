#include <sys/prctl.h>

#include <algorithm>
#include <ctime>

#include "platform/clock.h"
#include "platform/signals.h"

namespace varnock {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// Never wait awake longer than this, whatever the latency measured.
constexpr int64_t kMaxWakeLatencyNs = 200'000;
// How far one sleep moves the wake-latency estimate.
constexpr int64_t kLatencyStepNs = 1'000;

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

int64_t SystemClock::monotonic_nanoseconds() { return read_nanoseconds(CLOCK_MONOTONIC); }

void SystemClock::sleep_until(int64_t deadline_ns) {
  const int64_t wake_ns = deadline_ns - wake_latency_ns_;
  if (const int64_t now = monotonic_nanoseconds(); now < wake_ns) {
    // A signal taken is the caller's cue to check for a stop request.
    if (!sleep_taking_held_signals(wake_ns - now)) return;
    // A step toward this sleep's lateness: the estimate settles where sleeps
    // end early as often as late (the median), which one very late wake, as
    // under load, moves by a step only.
    const int64_t late = monotonic_nanoseconds() - wake_ns;
    wake_latency_ns_ = std::clamp<int64_t>(
        wake_latency_ns_ + (late > wake_latency_ns_ ? kLatencyStepNs : -kLatencyStepNs), 0,
        kMaxWakeLatencyNs);
  }
  // The few microseconds left are waited out on the clock: giving up the
  // processor here instead could hand it to another process for a whole
  // time slice.
  while (monotonic_nanoseconds() < deadline_ns) {
  }
}

void SystemClock::take_pending_signals() { sleep_taking_held_signals(0); }

}  // namespace varnock

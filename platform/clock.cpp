#include "platform/clock.h"

#include <algorithm>

#include "platform/signals.h"

namespace varnock {
namespace {

// Never wait awake longer than this, whatever the latency measured.
constexpr int64_t kMaxWakeLatencyNs = 200'000;
// How far one sleep moves the wake-latency estimate.
constexpr int64_t kLatencyStepNs = 1'000;

}  // namespace

void SystemClock::sleep_until(int64_t deadline_ns) {
  const int64_t wake_ns = deadline_ns - wake_latency_ns_;
  if (const int64_t now = monotonic_nanoseconds(); now < wake_ns) {
    // A signal taken is the caller's cue to check for a stop request.
    if (wait_taking_signals(-1, wake_ns - now) == Wake::kSignal) return;
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

void SystemClock::take_pending_signals() { wait_taking_signals(-1, 0); }

}  // namespace varnock

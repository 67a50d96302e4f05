// Clocks and the sleep the publisher needs, behind a seam tests replace.
#ifndef VARNOCK_PLATFORM_CLOCK_H_
#define VARNOCK_PLATFORM_CLOCK_H_

#include <cstdint>

namespace varnock {

class Clock {
 public:
  virtual ~Clock() = default;
  // Calendar seconds since 1970-01-01 UTC.
  virtual int64_t calendar_seconds() = 0;
  // Wall-clock milliseconds since 1970-01-01 UTC, truncated.
  virtual int64_t wall_milliseconds() = 0;
  // Wall-clock nanoseconds since 1970-01-01 UTC, as finely as the clock
  // reads them: a clock that knows only milliseconds gives those.
  virtual int64_t wall_nanoseconds() { return wall_milliseconds() * 1'000'000; }
  // Monotonic nanoseconds from an arbitrary origin.
  virtual int64_t monotonic_nanoseconds() = 0;
  // Sleeps until the monotonic clock reaches `deadline_ns`; may return early
  // when a signal arrives. Where a run takes the signals it holds.
  virtual void sleep_until(int64_t deadline_ns) = 0;
  // Takes the held signals already pending, as sleep_until does, without
  // sleeping: for a loop whose deadline passed before it could sleep (the
  // only other place signals are taken).
  virtual void take_pending_signals() = 0;
};

// The operating system's clocks. On Linux, constructing one sets the calling
// thread's timer slack to its minimum; on Windows the monotonic clock is the
// performance counter and the wall clock the precise system time. sleep_until
// ends on time despite the kernel's wake-up latency: it sleeps until that
// latency (the median of earlier sleeps') before the deadline, then waits out
// the rest awake, reading the clock. Its sleep is wait_taking_signals
// (platform/signals.h) and returns when that takes a signal. Use one from
// the thread that holds the signals.
class SystemClock final : public Clock {
 public:
  SystemClock();
  int64_t calendar_seconds() override;
  int64_t wall_milliseconds() override;
  int64_t wall_nanoseconds() override;
  int64_t monotonic_nanoseconds() override;
  void sleep_until(int64_t deadline_ns) override;
  void take_pending_signals() override;

 private:
  int64_t wake_latency_ns_ = 0;  // running median of how late sleeps end
};

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_CLOCK_H_

// Scripted stand-ins for the clock and the console.
#ifndef VARNOCK_TESTS_SUPPORT_FAKE_PLATFORM_H_
#define VARNOCK_TESTS_SUPPORT_FAKE_PLATFORM_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/send_drops.h"

namespace varnock::testing {

// Calendar seconds come from a script, one reading per call (the last one
// repeats). The monotonic clock only moves when slept on, by at most
// `sleep_step_ns` a call, so early wakes can be staged.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::vector<int64_t> seconds) : seconds_(std::move(seconds)) {}

  int64_t calendar_seconds() override {
    const int64_t s = seconds_[std::min(next_second_, seconds_.size() - 1)];
    ++next_second_;
    return s;
  }
  int64_t wall_milliseconds() override { return wall_ms_ += 7; }
  int64_t monotonic_nanoseconds() override { return monotonic_ns_; }
  void sleep_until(int64_t deadline_ns) override {
    ++sleeps;
    monotonic_ns_ = std::min(deadline_ns, monotonic_ns_ + sleep_step_ns);
  }
  void take_pending_signals() override { ++signal_polls; }

  int64_t sleep_step_ns = INT64_MAX / 2;
  int sleeps = 0;
  int signal_polls = 0;
  int64_t wall_ms_ = 1'700'000'000'000;
  int64_t monotonic_ns_ = 5'000;

 private:
  std::vector<int64_t> seconds_;
  size_t next_second_ = 0;
};

// A key is waiting from the `key_at`-th key test on (0 = the start-up test).
// A stop signal, when set, arrives at the `stop_at`-th stop test.
class FakeConsole final : public Console {
 public:
  explicit FakeConsole(int key_at, int stop_signal = 0, int stop_at = 0)
      : key_at_(key_at), stop_signal_(stop_signal), stop_at_(stop_at) {}

  void write(std::string_view text) override { output.append(text); }
  bool key_waiting() override { return key_tests++ >= key_at_; }
  int stop_signal() override {
    return (stop_signal_ != 0 && stop_tests++ >= stop_at_) ? stop_signal_ : 0;
  }

  std::string output;
  int key_tests = 0;
  int stop_tests = 0;

 private:
  int key_at_;
  int stop_signal_;
  int stop_at_;
};

// The host's send counters as scripted: each reading, SndbufErrors has risen
// by `per_reading` since the last and FragFails by half as much, as when
// unfragmented and fragmented datagrams are both dropped; all unknown while
// `per_reading` is negative.
class FakeSendDrops final : public SendDropSource {
 public:
  SendCounters read() override {
    if (per_reading < 0) return {};
    const SendCounters c{1000 + readings_ * per_reading, 7 + readings_ * per_reading / 2, -1};
    ++readings_;
    return c;
  }
  int64_t per_reading = -1;

 private:
  int64_t readings_ = 0;
};

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_FAKE_PLATFORM_H_

// The publisher loop with a scripted clock and console, publishing on an
// in-process bus.
#include "app/publisher.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/exit_status.h"
#include "tests/support/bus_capture.h"
#include "tests/support/fake_platform.h"
#include "tests/support/wire_check.h"

namespace varnock {
namespace {

using testing::BusCapture;
using testing::FakeClock;
using testing::FakeConsole;

// The scripted clock, with each sleep's length as the run asked it.
class PauseRecorder final : public Clock {
 public:
  PauseRecorder(FakeClock& clock, std::vector<int64_t>* asked) : clock_(clock), asked_(asked) {}
  int64_t calendar_seconds() override { return clock_.calendar_seconds(); }
  int64_t wall_milliseconds() override { return clock_.wall_milliseconds(); }
  int64_t monotonic_nanoseconds() override { return clock_.monotonic_nanoseconds(); }
  void sleep_until(int64_t deadline_ns) override {
    asked_->push_back(deadline_ns - clock_.monotonic_nanoseconds());
    clock_.sleep_until(deadline_ns);
  }
  void take_pending_signals() override { clock_.take_pending_signals(); }

 private:
  FakeClock& clock_;
  std::vector<int64_t>* asked_;
};

// The scripted console, with a stop signal that arrives once the monotonic
// clock reaches `at_ns` (never when `signo` is 0).
class StopAtConsole final : public Console {
 public:
  StopAtConsole(FakeConsole& console, const FakeClock& clock, int signo, int64_t at_ns)
      : console_(console), clock_(clock), signo_(signo), at_ns_(at_ns) {}
  void write(std::string_view text) override { console_.write(text); }
  bool key_waiting() override { return console_.key_waiting(); }
  int stop_signal() override { return clock_.monotonic_ns_ >= at_ns_ ? signo_ : 0; }

 private:
  FakeConsole& console_;
  const FakeClock& clock_;
  int signo_;
  int64_t at_ns_;
};

// Runs `cycles` cycles; `seconds` holds the start-up reading, then one per cycle.
struct PublisherRun {
  PublisherRun(std::vector<int64_t> seconds, int cycles)
      : clock(std::move(seconds)), console(cycles) {}
  int go() {
    PauseRecorder recorded(clock, &pauses);
    StopAtConsole stopping(console, clock, stop_signal, stop_at_ns);
    const int status = run_publisher(capture.bus(), recorded, stopping, drops);
    capture.drain();
    return status;
  }
  BusCapture capture;
  FakeClock clock;
  FakeConsole console;
  testing::FakeSendDrops drops;
  std::vector<int64_t> pauses;  // each sleep's length as asked
  int stop_signal = 0;
  int64_t stop_at_ns = 0;
};

TEST(Publisher, KeyWaitingAtStartPublishesNothing) {
  PublisherRun run({100}, 0);
  run.console = FakeConsole(0);
  EXPECT_EQ(run.go(), kExitOk);
  EXPECT_TRUE(run.capture.messages().empty());
  EXPECT_EQ(run.console.output, "");
}

TEST(Publisher, EachCyclePublishesStatusThenFrameAndPauses2ms) {
  PublisherRun run({100, 100, 100, 100}, 3);
  EXPECT_EQ(run.go(), kExitOk);
  const auto& messages = run.capture.messages();
  ASSERT_EQ(messages.size(), 6u);
  int64_t wall_ms = 1'700'000'000'000;
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const auto& status = messages[2 * static_cast<size_t>(k)];
    const auto& frame = messages[2 * static_cast<size_t>(k) + 1];
    EXPECT_EQ(status.channel, "RECSTAT");
    EXPECT_EQ(frame.channel, "TFIMAGE");
    int64_t second = 0;
    int64_t ms = 0;
    EXPECT_EQ(testing::check_status(status.bytes, &second), "");
    EXPECT_EQ(second, 100);
    EXPECT_EQ(testing::check_frame(frame.bytes, 60 + k, &ms), "");
    EXPECT_EQ(ms, wall_ms += 7);  // one wall-clock reading per frame
  }
  EXPECT_EQ(run.pauses, std::vector<int64_t>(3, kPauseNanoseconds));
  EXPECT_EQ(run.clock.monotonic_ns_, 5'000 + 3 * kPauseNanoseconds);
  EXPECT_EQ(run.console.output, "");
}

// Woken early, the pause asks for the rest of its 2 ms, no more.
TEST(Publisher, PauseSleepsAgainAfterAnEarlyWake) {
  PublisherRun run({100, 100}, 1);
  run.clock.sleep_step_ns = 700'000;
  EXPECT_EQ(run.go(), kExitOk);
  EXPECT_EQ(run.pauses, (std::vector<int64_t>{2'000'000, 1'300'000, 600'000}));
  EXPECT_EQ(run.clock.monotonic_ns_, 5'000 + kPauseNanoseconds);
  EXPECT_EQ(run.capture.messages().size(), 2u);
}

TEST(Publisher, RateReport) {
  struct Case {
    const char* name;
    std::vector<int64_t> seconds;  // start-up reading, then one per cycle
    std::string expected;
  };
  const Case cases[] = {
      {"first report counts the cycles since start-up",
       {100, 100, 100, 101, 101},
       "101 frame rate: 2\n"},
      {"every change of second reports",
       {100, 100, 101, 102, 102, 102, 103},
       "101 frame rate: 1\n102 frame rate: 1\n103 frame rate: 3\n"},
      {"a backward jump reports", {100, 100, 99, 99, 100}, "99 frame rate: 1\n100 frame rate: 2\n"},
      {"seconds with no cycle start give no line", {100, 100, 103, 103}, "103 frame rate: 1\n"},
      {"a start on a second's edge reports 0", {100, 101, 101}, "101 frame rate: 0\n"},
      {"no change of second, no line", {100, 100, 100}, ""},
      {"negative seconds", {-2, -2, -1}, "-1 frame rate: 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int cycles = static_cast<int>(c.seconds.size()) - 1;
    PublisherRun run(c.seconds, cycles);
    EXPECT_EQ(run.go(), kExitOk);
    EXPECT_EQ(run.console.output, c.expected);
    // Each status record carries its cycle's reading, the one any report of
    // that cycle shows.
    const auto& messages = run.capture.messages();
    ASSERT_EQ(messages.size(), 2 * static_cast<size_t>(cycles));
    for (int k = 0; k < cycles; ++k) {
      int64_t second = 0;
      EXPECT_EQ(testing::check_status(messages[2 * static_cast<size_t>(k)].bytes, &second), "");
      EXPECT_EQ(second, c.seconds[static_cast<size_t>(k) + 1]);
    }
  }
}

// A stop that arrives during a pause cuts the pause short and ends the run
// with the cycle it followed complete: no cycle begun and left half done.
TEST(Publisher, StopSignalEndsTheRunAfterTheCycleCompletes) {
  PublisherRun run({100, 100, 100, 100, 100}, 10);
  run.clock.sleep_step_ns = 700'000;
  // During the second pause, between its first and second wakes.
  run.stop_signal = SIGINT;
  run.stop_at_ns = 5'000 + kPauseNanoseconds + 1'000'000;
  EXPECT_EQ(run.go(), exit_status_for_signal(SIGINT));
  EXPECT_EQ(exit_status_for_signal(SIGINT), 130);
  ASSERT_EQ(run.capture.messages().size(), 4u);
  EXPECT_EQ(run.capture.messages()[3].channel, "TFIMAGE");
  EXPECT_EQ(run.pauses,
            (std::vector<int64_t>{2'000'000, 1'300'000, 600'000, 2'000'000, 1'300'000}));
  EXPECT_LT(run.clock.monotonic_ns_, 5'000 + 2 * kPauseNanoseconds) << "pause was not cut short";
  EXPECT_EQ(run.console.output, "");
}

// The host dropping what LCM reported sent: standard output keeps exactly
// its rate lines, standard error gets one warning with the count at the
// first rate line that sees drops.
TEST(Publisher, SendDropsWarnOnceOnStandardError) {
  PublisherRun run({100, 100, 101, 101, 102, 103}, 5);
  run.drops.per_reading = 4;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run.go(), kExitOk);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(run.console.output, "101 frame rate: 1\n102 frame rate: 2\n103 frame rate: 1\n");
  EXPECT_EQ(err, send_drop_warning(4));
  EXPECT_NE(err.find("dropped 4 datagrams"), std::string::npos) << err;
}

TEST(Varnock, BusThatCannotBeCreatedExits1AfterTheBanner) {
  FakeClock clock({100});
  FakeConsole console(0);
  testing::FakeSendDrops drops;
  EXPECT_EQ(run_varnock("nosuchprovider://", clock, console, drops), kExitNoBus);
  EXPECT_EQ(console.output, "varnock\n");
}

TEST(Varnock, BannerThenRunOnTheGivenBus) {
  FakeClock clock({100, 100, 101});
  FakeConsole console(2);
  testing::FakeSendDrops drops;
  EXPECT_EQ(run_varnock("memq://", clock, console, drops), kExitOk);
  EXPECT_EQ(console.output, "varnock\n101 frame rate: 1\n");
}

}  // namespace
}  // namespace varnock

// varnock-pace's parts: its options, the schedule of its cycles, and its run
// with a clock whose time moves only when the run sleeps or works.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "messages/cycle.h"
#include "pace/options.h"
#include "pace/pacer.h"
#include "pace/schedule.h"
#include "tests/support/bus_capture.h"
#include "tests/support/fake_platform.h"
#include "tests/support/wire_check.h"

namespace varnock::pace {
namespace {

constexpr int64_t kMs = 1'000'000;

TEST(PaceOptions, Table) {
  struct Case {
    std::vector<const char*> args;
    const char* error;  // "" when accepted; otherwise a part of the message
    double rate_hz = 0;
    FrameSize size = {};
    int64_t seconds = 0;
  };
  const Case cases[] = {
      {{}, ""},
      {{"--rate", "30"}, "", 30},
      {{"--rate=29.97"}, "", 29.97},
      {{"--rate", "max"}, "", 0},
      {{"--rate", "0"}, "", 0},
      {{"--rate", "0.01"}, "", 0.01},
      {{"--rate", "500"}, "", 500},
      {{"--width", "1024", "--height=1200", "--seconds", "5"}, "", 0, {1024, 1200}, 5},
      {{"--width", "2147483607", "--height", "1"}, "", 0, {2'147'483'607, 1}},
      {{"--rate", "-1"}, "--rate needs cycles a second from 0.01 to 500, or max"},
      {{"--rate", "-1"}, "not '-1'"},
      {{"--rate", "500.5"}, "not '500.5'"},
      {{"--rate", "0.001"}, "not '0.001'"},
      {{"--rate", "30Hz"}, "not '30Hz'"},
      {{"--rate", "nan"}, "not 'nan'"},
      {{"--rate="}, "not ''"},
      {{"--rate"}, "--rate needs a value"},
      {{"--width", "0"}, "--width needs a number of pixels from 1 to 2147483607, not '0'"},
      {{"--height", "-480"}, "--height needs a number of pixels from 1 to 2147483607, not '-480'"},
      {{"--width", "2147483608"}, "not '2147483608'"},
      {{"--width", "99999999999999999999"}, "not '99999999999999999999'"},
      {{"--width", "100000", "--height", "100000"},
       "--width 100000 --height 100000: a frame of 100000 x 100000 pixels is larger than a frame "
       "can carry"},
      {{"--width", "2000000"}, "--width 2000000 --height 1280: a frame of"},
      {{"--seconds", "0"}, "--seconds needs a whole number of seconds from 1 to 31622400"},
      {{"--url", ""}, "--url needs a value"},
      {{"--help=yes"}, "--help takes no value"},
      {{"--frames", "3"}, "unknown argument '--frames'"},
      {{"30"}, "unknown argument '30'"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"varnock-pace"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string joined;
    for (const char* a : c.args) joined += std::string(a) + " ";
    SCOPED_TRACE(joined);
    Options o;
    const std::string error = parse_options(static_cast<int>(argv.size()), argv.data(), &o);
    if (std::string(c.error).empty()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(o.rate_hz, c.rate_hz);
      EXPECT_EQ(o.size.width, c.size.width);
      EXPECT_EQ(o.size.height, c.size.height);
      EXPECT_EQ(o.seconds, c.seconds);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

// Starts of `cycles` cycles, each taking work(k) nanoseconds, where each
// cycle starts when the schedule says or when the last one ended, if later.
std::vector<int64_t> starts(double rate_hz, int cycles, const std::function<int64_t(int)>& work) {
  const int64_t start = 1'000 * kMs;
  CycleSchedule schedule(rate_hz, start);
  std::vector<int64_t> out = {start};
  for (int k = 0; k + 1 < cycles; ++k) {
    const int64_t ended = out.back() + work(k);
    out.push_back(std::max(ended, schedule.after(out.back(), ended)));
  }
  return out;
}

TEST(CycleSchedule, RateIsKeptOnDeadlinesWithoutDrift) {
  // 30 Hz is no whole number of nanoseconds: a period added up would drift.
  const std::vector<int64_t> s = starts(30, 30'001, [](int k) { return (k % 7 + 1) * kMs; });
  for (size_t k = 0; k < s.size(); k += 1000) {
    EXPECT_EQ(s[k] - s[0], std::llround(static_cast<double>(k) * 1e9 / 30)) << k;
  }
  EXPECT_EQ(s.back() - s.front(), int64_t{1000} * 1'000'000'000);
}

TEST(CycleSchedule, ACycleLateByLessThanAPeriodIsCaughtUpWith) {
  // 100 Hz; cycle 3 takes 15 ms: cycle 4 starts as it ends, cycle 5 on time.
  const std::vector<int64_t> s = starts(100, 8, [](int k) { return k == 3 ? 15 * kMs : 1 * kMs; });
  const std::vector<int64_t> expected = {0, 10, 20, 30, 45, 50, 60, 70};
  for (size_t k = 0; k < s.size(); ++k) EXPECT_EQ(s[k] - s[0], expected[k] * kMs) << k;
}

TEST(CycleSchedule, ASlowCycleIsNotFollowedByABurst) {
  // 100 Hz; cycle 3 takes 35 ms, past the deadlines at 40, 50 and 60 ms.
  // Catching up would start four cycles within 6 ms; the missed deadlines
  // are skipped instead: one cycle at once, then the schedule again.
  const std::vector<int64_t> s = starts(100, 9, [](int k) { return k == 3 ? 35 * kMs : 1 * kMs; });
  const std::vector<int64_t> expected = {0, 10, 20, 30, 65, 70, 80, 90, 100};
  for (size_t k = 0; k < s.size(); ++k) EXPECT_EQ(s[k] - s[0], expected[k] * kMs) << k;
  // Over a long run with many slow cycles, no window of a period holds more
  // than two starts, and no two are closer than 2 ms.
  const std::vector<int64_t> many =
      starts(100, 2000, [](int k) { return (k % 13 == 0 ? 10 + 7 * (k % 5) : 1) * kMs; });
  for (size_t k = 1; k < many.size(); ++k) {
    EXPECT_GE(many[k] - many[k - 1], kPauseNanoseconds) << k;
    if (k >= 2) {
      EXPECT_GE(many[k] - many[k - 2], 10 * kMs) << k;
    }
  }
}

TEST(CycleSchedule, StartsStayTwoMillisecondsApart) {
  // 500 Hz with 3 ms cycles cannot keep its deadlines: each cycle starts as
  // the last ends, never sooner than 2 ms after it started.
  const std::vector<int64_t> slow = starts(500, 5, [](int) { return 3 * kMs; });
  for (size_t k = 1; k < slow.size(); ++k) EXPECT_EQ(slow[k] - slow[k - 1], 3 * kMs);
  // A cycle 1.5 ms late at 500 Hz: the next one still waits its 2 ms.
  const std::vector<int64_t> late =
      starts(500, 4, [](int k) { return k == 1 ? 3'500'000 : 100'000; });
  const std::vector<int64_t> expected = {0, 2'000'000, 5'500'000, 7'500'000};
  for (size_t k = 0; k < late.size(); ++k) EXPECT_EQ(late[k] - late[0], expected[k]) << k;
}

TEST(CycleSchedule, AsFastAsPossiblePausesTwoMillisecondsAfterEachCycle) {
  const std::vector<int64_t> s = starts(0, 4, [](int k) { return (k + 1) * kMs; });
  const std::vector<int64_t> expected = {0, 3, 7, 12};
  for (size_t k = 0; k < s.size(); ++k) EXPECT_EQ(s[k] - s[0], expected[k] * kMs) << k;
}

// Time moves only when the run sleeps or when a cycle works: a cycle's work
// (work(k) ns) is done as it reads the wall clock for its frame's stamp.
// Calendar seconds and wall milliseconds follow the monotonic clock, from
// 100.5 s on.
class CycleClock final : public Clock {
 public:
  explicit CycleClock(std::function<int64_t(int)> work) : work_(std::move(work)) {}
  int64_t calendar_seconds() override { return wall_ns() / 1'000'000'000; }
  int64_t wall_milliseconds() override {
    const int64_t stamp = wall_ns() / kMs;
    monotonic_ns_ += work_(cycles_++);
    return stamp;
  }
  int64_t monotonic_nanoseconds() override { return monotonic_ns_; }
  void sleep_until(int64_t deadline_ns) override {
    ++sleeps;
    monotonic_ns_ = std::max(monotonic_ns_, deadline_ns);
  }
  void take_pending_signals() override { ++signal_polls; }

  int sleeps = 0;
  int signal_polls = 0;

 private:
  int64_t wall_ns() const { return 100'500 * kMs + monotonic_ns_; }
  std::function<int64_t(int)> work_;
  int64_t monotonic_ns_ = 0;
  int cycles_ = 0;
};

struct PaceRun {
  PaceRun(double rate_hz, int64_t seconds, std::function<int64_t(int)> work, int key_at = 1 << 30)
      : clock(std::move(work)), console(key_at) {
    options.rate_hz = rate_hz;
    options.seconds = seconds;
    options.size = {64, 48};
  }
  int go() {
    const int status = run_cycles(capture.bus(), options, clock, console);
    capture.drain();
    return status;
  }
  // The frames' stamps, each cycle's messages checked on the way.
  std::vector<int64_t> stamps() const {
    std::vector<int64_t> out;
    const auto& m = capture.messages();
    for (size_t i = 0; i + 1 < m.size(); i += 2) {
      int64_t second = 0;
      int64_t ms = 0;
      EXPECT_EQ(m[i].channel, kStatusChannel);
      EXPECT_EQ(m[i + 1].channel, kImageChannel);
      EXPECT_EQ(testing::check_status(m[i].bytes, &second), "");
      const auto period = static_cast<int32_t>(60 + i / 2);
      EXPECT_EQ(testing::check_frame(m[i + 1].bytes, period, &ms, 64, 48), "") << i;
      EXPECT_EQ(second, ms / 1000);
      out.push_back(ms);
    }
    EXPECT_EQ(m.size() % 2, 0u);
    return out;
  }
  Options options;
  testing::BusCapture capture;
  CycleClock clock;
  testing::FakeConsole console;
};

TEST(PaceRun, SecondsEndTheRunAfterRateTimesSecondsCycles) {
  PaceRun run(50, 3, [](int) { return 1 * kMs; });
  EXPECT_EQ(run.go(), kPaceDone);
  const std::vector<int64_t> stamps = run.stamps();
  ASSERT_EQ(stamps.size(), 150u);
  for (size_t k = 0; k < stamps.size(); ++k) EXPECT_EQ(stamps[k], 100'500 + 20 * int64_t(k)) << k;
  // The run began at 100.5 s: lines as cycles start in 101, 102 and 103,
  // each over the cycles since the last; the total over the whole 3 s.
  EXPECT_EQ(run.console.output,
            "101 rate: requested 50 achieved 50.0\n"
            "102 rate: requested 50 achieved 50.0\n"
            "103 rate: requested 50 achieved 50.0\n"
            "total: 150 cycles in 3.000 s: requested 50 achieved 50.0\n");
  // Every wait took the signals pending.
  EXPECT_EQ(run.clock.signal_polls, 150);
}

TEST(PaceRun, AsFastAsPossibleWithVarnocksPause) {
  PaceRun run(0, 1, [](int) { return 1 * kMs; });
  EXPECT_EQ(run.go(), kPaceDone);
  const std::vector<int64_t> stamps = run.stamps();
  ASSERT_EQ(stamps.size(), 334u);  // one every 3 ms: 0, 3, ... 999
  EXPECT_EQ(stamps[1] - stamps[0], 3);
  EXPECT_NE(run.console.output.find("101 rate: requested max achieved 333.3\n"), std::string::npos)
      << run.console.output;
  EXPECT_NE(run.console.output.find("total: 334 cycles in 1.000 s: requested max achieved 334.0"),
            std::string::npos)
      << run.console.output;
}

TEST(PaceRun, SlowCyclesLowerTheAchievedRateWithoutBursts) {
  // 100 Hz; every tenth cycle takes 45 ms, skipping three deadlines.
  PaceRun run(100, 2, [](int k) { return (k % 10 == 9 ? 45 : 1) * kMs; });
  EXPECT_EQ(run.go(), kPaceDone);
  const std::vector<int64_t> stamps = run.stamps();
  for (size_t k = 2; k < stamps.size(); ++k) EXPECT_GE(stamps[k] - stamps[k - 2], 10) << k;
  // Ten cycles take 130 ms instead of 100 (nine on time, one 45 ms and
  // three deadlines skipped, one caught up): about 77 a second.
  EXPECT_NEAR(static_cast<double>(stamps.size()), 2 * 1000.0 / 130 * 10, 3);
  EXPECT_NE(run.console.output.find("requested 100 achieved 7"), std::string::npos)
      << run.console.output;
  // Late cycles have no time to sleep; signals are taken all the same.
  EXPECT_EQ(run.clock.signal_polls, static_cast<int>(stamps.size()));
}

TEST(PaceRun, AKeyEndsTheRun) {
  PaceRun run(
      30, 0, [](int) { return 1 * kMs; }, 4);  // the start-up test, then one per cycle
  EXPECT_EQ(run.go(), kPaceDone);
  EXPECT_EQ(run.stamps().size(), 4u);
  EXPECT_EQ(run.console.output, "total: 4 cycles in 0.133 s: requested 30 achieved 30.0\n");
}

TEST(PaceRun, AKeyWaitingAtStartPublishesNothing) {
  PaceRun run(
      30, 0, [](int) { return 1 * kMs; }, 0);
  EXPECT_EQ(run.go(), kPaceDone);
  EXPECT_TRUE(run.capture.messages().empty());
}

TEST(PaceRun, AStopSignalEndsTheRunBetweenCycles) {
  PaceRun run(30, 0, [](int) { return 1 * kMs; });
  // Each wait tests once before it sleeps, then the run once after it:
  // the third wait's test sees the signal, and the wait ends at once.
  run.console = testing::FakeConsole(1 << 30, SIGTERM, 4);
  EXPECT_EQ(run.go(), exit_status_for_signal(SIGTERM));
  EXPECT_EQ(run.stamps().size(), 3u);
  EXPECT_EQ(run.clock.sleeps, 2);
}

TEST(PaceRun, BusThatCannotBeOpenedExits1) {
  CycleClock clock([](int) { return 0; });
  testing::FakeConsole console(0);
  Options options;
  options.url = "nosuchprovider://";
  EXPECT_EQ(run_pace(options, clock, console), kPaceNoRun);
  EXPECT_EQ(console.output,
            "varnock-pace: 1280 x 1280 frames (1638440 bytes a message) at max Hz on "
            "nosuchprovider://\n");
}

}  // namespace
}  // namespace varnock::pace

// varnock-pace's parts: its options, the schedule of its cycles, and its run
// with a clock whose time moves only when the run sleeps or works.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/exit_status.h"
#include "messages/cycle.h"
#include "messages/stream_message_t.h"
#include "pace/cycles.h"
#include "pace/options.h"
#include "pace/pacer.h"
#include "pace/report.h"
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
    bool json = false;
    int64_t message_bytes = 0;
    int32_t channels = 1;
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
      {{"--json", "--rate", "20"}, "", 20, {}, 0, true},
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
      {{"--json=1"}, "--json takes no value"},
      {{"--messages", "44"}, "", 0, {}, 0, false, 44},
      {{"--messages=65536", "--channels", "256", "--rate", "100000"},
       "",
       100'000,
       {},
       0,
       false,
       65'536,
       256},
      {{"--rate", "20000", "--channels=3", "--messages", "200"}, "", 20'000, {}, 0, false, 200, 3},
      {{"--messages", "43"},
       "--messages needs a message size in bytes from 44 (a message with an empty payload) to "
       "65536, not '43'"},
      {{"--messages", "65537"}, "not '65537'"},
      {{"--messages", "64k"}, "not '64k'"},
      {{"--messages"}, "--messages needs a value"},
      {{"--messages", "64", "--channels", "0"},
       "--channels needs a number of channels from 1 to 256, not '0'"},
      {{"--messages", "64", "--channels", "257"}, "not '257'"},
      {{"--channels", "2"}, "--channels needs --messages"},
      {{"--messages", "64", "--width", "64"},
       "--messages publishes messages instead of frames: --width and --height do not apply"},
      {{"--height", "48", "--messages", "64"}, "--width and --height do not apply"},
      {{"--rate", "1000"},
       "--rate needs cycles a second from 0.01 to 500, or max (or 0) for as fast as possible, not "
       "'1000': frames stay at least 2 ms apart; --messages goes up to 100000"},
      {{"--messages", "64", "--rate", "100001"},
       "--rate needs cycles a second from 0.01 to 100000, or max (or 0) for as fast as possible, "
       "not '100001'"},
      {{"--messages", "64", "--rate", "0.001"}, "not '0.001'"},
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
      EXPECT_EQ(o.json, c.json);
      EXPECT_EQ(o.message_bytes, c.message_bytes);
      EXPECT_EQ(o.channels, c.channels);
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
// 100.5 s on. A stop signal, when staged, arrives at `signal_at_ns` and, as
// with the system's clock, is taken only by a sleep (which it cuts short)
// or by take_pending_signals.
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
    if (signo_ != 0 && signal_at_ns_ < deadline_ns) {
      monotonic_ns_ = std::max(monotonic_ns_, signal_at_ns_);
      take_pending_signals();
      return;
    }
    monotonic_ns_ = std::max(monotonic_ns_, deadline_ns);
  }
  void take_pending_signals() override {
    if (signo_ != 0 && monotonic_ns_ >= signal_at_ns_) taken_signal = signo_;
  }
  void stage_signal(int signo, int64_t at_ns) {
    signo_ = signo;
    signal_at_ns_ = at_ns;
  }

  int taken_signal = 0;  // what the console reports as its stop signal

 private:
  int64_t wall_ns() const { return 100'500 * kMs + monotonic_ns_; }
  std::function<int64_t(int)> work_;
  int64_t monotonic_ns_ = 0;
  int cycles_ = 0;
  int signo_ = 0;
  int64_t signal_at_ns_ = 0;
};

// Keys as scripted: a key is waiting from the `key_at`-th test on (0 = the
// start-up test). The stop signal is the one the clock has taken.
class CycleConsole final : public Console {
 public:
  CycleConsole(const CycleClock& clock, int key_at) : clock_(clock), key_at_(key_at) {}
  void write(std::string_view text) override { output.append(text); }
  bool key_waiting() override { return key_tests_++ >= key_at_; }
  int stop_signal() override { return clock_.taken_signal; }

  std::string output;

 private:
  const CycleClock& clock_;
  int key_at_;
  int key_tests_ = 0;
};

struct PaceRun {
  PaceRun(double rate_hz, int64_t seconds, std::function<int64_t(int)> work, int key_at = 1 << 30)
      : clock(std::move(work)), console(clock, key_at) {
    options.rate_hz = rate_hz;
    options.seconds = seconds;
    options.size = {64, 48};
  }
  int go() {
    const int status = run_cycles(capture.bus(), options, clock, console, drops);
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
  CycleConsole console;
  testing::FakeSendDrops drops;
};

TEST(PaceRun, SecondsEndTheRunAfterRateTimesSecondsCycles) {
  PaceRun run(50, 3, [](int) { return 1 * kMs; });
  EXPECT_EQ(run.go(), kExitOk);
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
}

// Datagrams the host dropped while LCM reported them sent: each second's
// line has those of its second, the total those of the run.
TEST(PaceRun, TheHostsSendDropsAreCountedBySecondAndInTotal) {
  PaceRun run(50, 3, [](int) { return 1 * kMs; });
  run.drops.per_reading = 6;
  EXPECT_EQ(run.go(), kExitOk);
  EXPECT_EQ(run.console.output,
            "101 rate: requested 50 achieved 50.0, send drops 6\n"
            "102 rate: requested 50 achieved 50.0, send drops 6\n"
            "103 rate: requested 50 achieved 50.0, send drops 6\n"
            "total: 150 cycles in 3.000 s: requested 50 achieved 50.0, send drops 24\n");
}

TEST(SendDrops, TheLargestRiseOfTheThreeCounters) {
  struct Case {
    const char* name;
    SendCounters before, after;
    int64_t drops;
  };
  const Case cases[] = {
      {"fragmented datagrams raise all three", {10, 20, 30}, {15, 25, 35}, 5},
      {"unfragmented ones only the send buffer's", {10, 20, 30}, {18, 22, 32}, 8},
      {"nothing dropped", {10, 20, 30}, {10, 20, 30}, 0},
      {"one counter unreadable", {-1, 20, 30}, {-1, 21, 30}, 1},
      {"a counter that went back tells nothing", {10, 20, 30}, {5, 20, 31}, 1},
      {"none known", {}, {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(send_drops_between(c.before, c.after), c.drops);
  }
}

TEST(PaceRun, AsFastAsPossibleWithVarnocksPause) {
  PaceRun run(0, 1, [](int) { return 1 * kMs; });
  EXPECT_EQ(run.go(), kExitOk);
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
  EXPECT_EQ(run.go(), kExitOk);
  const std::vector<int64_t> stamps = run.stamps();
  for (size_t k = 2; k < stamps.size(); ++k) EXPECT_GE(stamps[k] - stamps[k - 2], 10) << k;
  // Ten cycles take 130 ms instead of 100 (nine on time, one 45 ms and
  // three deadlines skipped, one caught up): about 77 a second.
  EXPECT_NEAR(static_cast<double>(stamps.size()), 2 * 1000.0 / 130 * 10, 3);
  EXPECT_NE(run.console.output.find("requested 100 achieved 7"), std::string::npos)
      << run.console.output;
}

TEST(PaceRun, AKeyEndsTheRun) {
  PaceRun run(
      30, 0, [](int) { return 1 * kMs; }, 4);  // the start-up test, then one per cycle
  EXPECT_EQ(run.go(), kExitOk);
  EXPECT_EQ(run.stamps().size(), 4u);
  EXPECT_EQ(run.console.output, "total: 4 cycles in 0.133 s: requested 30 achieved 30.0\n");
}

TEST(PaceRun, AKeyWaitingAtStartPublishesNothing) {
  PaceRun run(
      30, 0, [](int) { return 1 * kMs; }, 0);
  EXPECT_EQ(run.go(), kExitOk);
  EXPECT_TRUE(run.capture.messages().empty());
}

// A stop signal ends the run at the first wait after it arrives: no cycle
// starts after it, the cycle it arrived in is whole, and the total counts
// up to when it was taken. Late cycles have no time to sleep, and take it
// all the same.
TEST(PaceRun, AStopSignalEndsTheRunAtTheNextWait) {
  struct Case {
    const char* name;
    double rate_hz;
    int64_t work_ms;
    int64_t signal_at_us;
    size_t cycles;
    const char* total;
  };
  const Case cases[] = {
      // 50 Hz, 1 ms cycles: starts at 0, 20 and 40 ms; the third cycle's
      // wait takes the signal at once, as the cycle ends.
      {"during a cycle", 50, 1, 40'500, 3, "total: 3 cycles in 0.041 s"},
      // The same, the signal cutting the third wait short.
      {"during a wait", 50, 1, 50'000, 3, "total: 3 cycles in 0.050 s"},
      // 100 Hz, 15 ms cycles: every cycle ends past the next deadline, so
      // no wait sleeps; the second cycle's wait takes the signal.
      {"in late cycles", 100, 15, 20'000, 2, "total: 2 cycles in 0.030 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PaceRun run(c.rate_hz, 10, [&c](int) { return c.work_ms * kMs; });
    run.clock.stage_signal(SIGTERM, c.signal_at_us * 1000);
    EXPECT_EQ(run.go(), exit_status_for_signal(SIGTERM));
    EXPECT_EQ(run.stamps().size(), c.cycles);
    EXPECT_EQ(run.console.output.rfind(c.total, 0), 0u) << run.console.output;
  }
}

TEST(PaceRun, BusThatCannotBeOpenedExits1AfterTheStartLine) {
  CycleClock clock([](int) { return 0; });
  CycleConsole console(clock, 0);
  Options options;
  options.url = "nosuchprovider://";
  testing::FakeSendDrops drops;
  EXPECT_EQ(run_pace(options, clock, console, drops), kExitNoBus);
  EXPECT_EQ(console.output,
            "varnock-pace: 1280 x 1280 frames (1638440 bytes a message) at max Hz on "
            "nosuchprovider://\n");
}

// A wall clock read off the monotonic one by `wall_of`; sleeps take no time.
class WallClockOf final : public Clock {
 public:
  explicit WallClockOf(int64_t (*wall_of)(int64_t monotonic_ns)) : wall_of_(wall_of) {}
  int64_t calendar_seconds() override { return wall_milliseconds() / 1000; }
  int64_t wall_milliseconds() override { return wall_of_(monotonic_ns_); }
  int64_t monotonic_nanoseconds() override { return monotonic_ns_; }
  void sleep_until(int64_t deadline_ns) override {
    monotonic_ns_ = std::max(monotonic_ns_, deadline_ns);
  }
  void take_pending_signals() override {}

 private:
  int64_t (*wall_of_)(int64_t);
  int64_t monotonic_ns_ = 0;
};

// What a one-second run of 64 x 48 frames at full rate publishes on `clock`.
std::vector<testing::Published> one_second_run(Clock& clock) {
  CycleClock unused([](int) { return 0; });
  CycleConsole console(unused, 1 << 30);
  Options options;
  options.seconds = 1;
  options.size = {64, 48};
  testing::BusCapture capture;
  testing::FakeSendDrops drops;
  EXPECT_EQ(run_cycles(capture.bus(), options, clock, console, drops), kExitOk);
  capture.drain();
  return capture.messages();
}

// A wall clock that stands still, as one read late in a cycle and on time
// in the next may seem to: stamps still step by a cycle's 2 ms.
TEST(PaceRun, StampsStayTwoMillisecondsApart) {
  WallClockOf clock([](int64_t) -> int64_t { return 1'700'000'000'000; });
  int64_t last = 0;
  int frames = 0;
  for (const testing::Published& m : one_second_run(clock)) {
    if (m.channel != kImageChannel) continue;
    int64_t ms = 0;
    EXPECT_EQ(testing::check_frame(m.bytes, 60 + frames, &ms, 64, 48), "");
    if (frames++ > 0) {
      EXPECT_EQ(ms - last, 2) << frames;
    }
    last = ms;
  }
  EXPECT_EQ(frames, 500);
}

// After the clock steps back the stamps go on rising, and each status
// record still carries its own frame's second, as a checker pairs them.
TEST(PaceRun, AStatusRecordCarriesItsFramesSecondThroughAClockStep) {
  // An NTP step sets the clock back 3 s half a second into the run.
  WallClockOf clock([](int64_t monotonic_ns) -> int64_t {
    const int64_t ms = 1'700'000'000'000 + monotonic_ns / 1'000'000;
    return monotonic_ns < 500'000'000 ? ms : ms - 3'000;
  });
  const std::vector<testing::Published> m = one_second_run(clock);
  ASSERT_GT(m.size(), 400u);
  int64_t last_ms = 0;
  for (size_t i = 0; i + 1 < m.size(); i += 2) {
    int64_t second = 0;
    int64_t ms = 0;
    ASSERT_EQ(testing::check_status(m[i].bytes, &second), "");
    ASSERT_EQ(testing::check_frame(m[i + 1].bytes, static_cast<int32_t>(60 + i / 2), &ms, 64, 48),
              "");
    ASSERT_EQ(second, ms / 1000) << "cycle " << i / 2;
    ASSERT_GT(ms, last_ms);
    last_ms = ms;
  }
}

// Frames carry their sequence number while their period (60 and up) is
// below their pixels.
TEST(PaceRun, FramesTooSmallForTheirSequenceAreWarnedOf) {
  struct Case {
    int32_t width, height;
    double rate_hz;
    int64_t seconds;
    const char* contains;  // "" for no warning
  };
  const Case cases[] = {
      {1, 1, 30, 10, "1 x 1 frames are too small to carry a sequence number"},
      {6, 10, 30, 10, "too small"},
      {8, 8, 30, 10, "8 x 8 frames carry their sequence number for the first 4 cycles only"},
      {64, 48, 50, 60, ""},
      {64, 48, 50, 62, "first 3012 cycles only"},
      {64, 48, 0, 10, "first 3012 cycles only"},
      {1280, 1280, 0, 0, ""},
      {640, 480, 0, 0, ""},
      {320, 240, 0, 0, "first 76740 cycles only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Options o;
    o.size = {c.width, c.height};
    o.rate_hz = c.rate_hz;
    o.seconds = c.seconds;
    const std::string warning = sequence_warning(o);
    if (std::string_view(c.contains).empty()) {
      EXPECT_EQ(warning, "");
    } else {
      EXPECT_NE(warning.find(c.contains), std::string::npos) << warning;
      EXPECT_NE(warning.find("lower bound"), std::string::npos) << warning;
    }
  }
}

// One cycle of a run at 0.01 Hz ended after a second achieved the rate
// asked, not one a second.
TEST(PaceRun, AShortRunAtALowRateAchievesTheRateAsked) {
  PaceRun run(0.01, 1, [](int) { return 1 * kMs; });
  EXPECT_EQ(run.go(), kExitOk);
  EXPECT_EQ(run.console.output, "total: 1 cycles in 1.000 s: requested 0.01 achieved 0.01\n");
}

// A bus LCM opens but cannot send on refuses the first cycle: no run, no
// summary, exit 1.
TEST(PaceRun, ABusThatRefusesTheFirstCycleExits1) {
  CycleClock clock([](int) { return 0; });
  CycleConsole console(clock, 1 << 30);
  Options options;
  options.url = "tcpq://127.0.0.1:1";
  options.seconds = 1;
  testing::FakeSendDrops drops;
  EXPECT_EQ(run_pace(options, clock, console, drops), kExitNoBus);
  EXPECT_EQ(console.output.find("total:"), std::string::npos) << console.output;
}

// With --json, every line a run writes is a JSON object carrying the figures
// of the text lines of the same run.
TEST(PaceRun, JsonLinesCarryTheTextLinesFigures) {
  const auto work = [](int k) { return (k % 10 == 9 ? 45 : 1) * kMs; };
  PaceRun text(100, 3, work);
  PaceRun json_run(100, 3, work);
  json_run.options.json = true;
  text.drops.per_reading = 3;
  json_run.drops.per_reading = 3;
  EXPECT_EQ(text.go(), kExitOk);
  EXPECT_EQ(json_run.go(), kExitOk);
  EXPECT_EQ(json_run.stamps(), text.stamps());

  std::vector<nlohmann::json> seconds;
  nlohmann::json summary;
  std::istringstream json_lines(json_run.console.output);
  std::string line;
  while (std::getline(json_lines, line)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_TRUE(j.is_object()) << line;
    if (j["type"] == "second") seconds.push_back(j);
    if (j["type"] == "summary") summary = j;
  }
  std::istringstream text_lines(text.console.output);
  size_t at = 0;
  while (std::getline(text_lines, line)) {
    char buffer[160];
    if (line.starts_with("total: ")) {
      ASSERT_FALSE(summary.is_null());
      std::snprintf(buffer, sizeof buffer,
                    "total: %lld cycles in %.3f s: requested 100 achieved %.1f, send drops %lld",
                    summary["cycles"].get<long long>(), summary["seconds"].get<double>(),
                    summary["achieved_hz"].get<double>(), summary["send_drops"].get<long long>());
      EXPECT_EQ(line, buffer);
      EXPECT_EQ(summary["rate_hz"], 100);
      EXPECT_EQ(summary["cycles"], text.stamps().size());
      continue;
    }
    ASSERT_LT(at, seconds.size()) << line;
    const nlohmann::json& j = seconds[at++];
    EXPECT_EQ(j.size(), 5u) << j;
    std::snprintf(buffer, sizeof buffer, "%lld rate: requested 100 achieved %.1f, send drops %lld",
                  j["second"].get<long long>(), j["achieved_hz"].get<double>(),
                  j["send_drops"].get<long long>());
    EXPECT_EQ(line, buffer);
  }
  EXPECT_EQ(at, seconds.size());
  EXPECT_EQ(at, 3u);
  // The seconds' cycles add up to the run's, but for the cycles of the
  // last second, which no line closes.
  int64_t counted = 0;
  for (const nlohmann::json& j : seconds) counted += j["cycles"].get<int64_t>();
  EXPECT_GT(counted, 0);
  EXPECT_LT(counted, summary["cycles"].get<int64_t>());
}

TEST(PaceReport, JsonStartLine) {
  struct Case {
    double rate_hz;
    int64_t seconds;
    const char* rate;  // as JSON
    const char* seconds_json;
  };
  const Case cases[] = {
      {29.97, 10, "29.97", "10"},
      {0, 0, "null", "null"},
      {0.01, 31'622'400, "0.01", "31622400"},
  };
  for (const Case& c : cases) {
    const StartFacts facts{
        {1024, 1200}, 1'228'840, c.rate_hz, c.seconds, "udpm://239.255.76.67:7667?ttl=1"};
    const std::string line = start_line(Format::kJson, facts);
    SCOPED_TRACE(line);
    ASSERT_TRUE(line.ends_with("}\n"));
    nlohmann::json j = nlohmann::json::parse(line);
    // The version is the build's, which the end-to-end test compares with --version.
    EXPECT_TRUE(j["version"].is_string());
    j.erase("version");
    EXPECT_EQ(j, nlohmann::json::parse(std::string(R"({"type":"start",)") +
                                       R"("url":"udpm://239.255.76.67:7667?ttl=1","width":1024,)"
                                       R"("height":1200,"message_bytes":1228840,"rate_hz":)" +
                                       c.rate + R"(,"seconds":)" + c.seconds_json + "}"));
  }
}

TEST(PaceReport, MessagesStartLine) {
  const StartFacts facts{{}, 200, 1000, 0, "memq://", 3};
  EXPECT_EQ(start_line(Format::kText, facts),
            "varnock-pace: 200-byte messages on VARNOCK_MSG_0 (to VARNOCK_MSG_2, 3 channels) at "
            "1000 Hz on memq://\n");
  const StartFacts one{{}, 44, 0, 5, "memq://", 1};
  EXPECT_EQ(start_line(Format::kText, one),
            "varnock-pace: 44-byte messages on VARNOCK_MSG_0 at max Hz on memq://\n");
  nlohmann::json j = nlohmann::json::parse(start_line(Format::kJson, facts));
  j.erase("version");
  EXPECT_EQ(j, nlohmann::json::parse(R"({"type":"start","url":"memq://","channels":3,)"
                                     R"("message_bytes":200,"rate_hz":1000,"seconds":null})"));
}

// The stream of --messages as a receiver reads it: per channel, each
// message's sequence number, send time and payload.
struct Received {
  int64_t publisher = 0;
  int64_t run_start_ns = 0;
  std::vector<std::vector<int64_t>> sequences;  // by channel
  std::vector<std::vector<int64_t>> send_ns;    // by channel
};

// Decodes and checks every message in `messages` (all `bytes` long, on
// VARNOCK_MSG_0 to VARNOCK_MSG_<channels - 1>, of one publisher run, with a
// valid payload); what is wrong fails the test.
Received receive(const std::vector<testing::Published>& messages, int64_t bytes, int channels) {
  Received r;
  r.sequences.resize(static_cast<size_t>(channels));
  r.send_ns.resize(static_cast<size_t>(channels));
  for (const testing::Published& p : messages) {
    int k = -1;
    for (int c = 0; c < channels; ++c) {
      if (p.channel == "VARNOCK_MSG_" + std::to_string(c)) k = c;
    }
    EXPECT_GE(k, 0) << p.channel;
    EXPECT_EQ(std::ssize(p.bytes), bytes) << p.channel;
    stream_message_t m;
    const char* why = "";
    if (k < 0 || !stream_message_t::decode(p.bytes.data(), std::ssize(p.bytes), &m, &why)) {
      ADD_FAILURE() << p.channel << ": " << why;
      continue;
    }
    if (r.publisher == 0) {
      r.publisher = m.publisher;
      r.run_start_ns = m.run_start_ns;
    }
    EXPECT_EQ(m.publisher, r.publisher);
    EXPECT_EQ(m.run_start_ns, r.run_start_ns);
    EXPECT_EQ(stream_payload_problem(m.publisher, m.sequence, m.payload), "");
    r.sequences[static_cast<size_t>(k)].push_back(m.sequence);
    r.send_ns[static_cast<size_t>(k)].push_back(m.send_time_ns);
  }
  EXPECT_NE(r.publisher, 0);
  return r;
}

// Every message LCM refuses, as the test's publish function tells, keeps
// its sequence number for the channel's next: what LCM took is numbered
// 0, 1, 2, ... on each channel, and the cycles count only what it took.
namespace refusing {
std::vector<testing::Published> taken;
int calls = 0;
int publish(lcm_t* /*bus*/, const char* channel, const void* data, unsigned int size) {
  // Refuses calls 1, 4, 7, ...: on two channels, each channel in turn.
  if (calls++ % 3 == 1) return -1;
  const auto* bytes = static_cast<const uint8_t*>(data);
  taken.push_back({channel, {bytes, bytes + size}});
  return 0;
}
}  // namespace refusing

TEST(MessageCycles, ARefusedMessageKeepsItsSequenceNumber) {
  Options options;
  options.message_bytes = 60;
  options.channels = 2;
  CycleClock clock([](int) { return 0; });
  MessageCycles cycles(options, 99, 5, refusing::publish);
  int64_t taken = 0;
  for (int cycle = 0; cycle < 30; ++cycle) {
    cycles.start(clock);
    const Sent sent = cycles.publish(nullptr, clock);
    EXPECT_EQ(sent.offered, 2);
    taken += sent.taken;
  }
  EXPECT_EQ(taken, 40);  // 60 offered, one in three refused
  ASSERT_EQ(std::ssize(refusing::taken), taken);
  const Received r = receive(refusing::taken, 60, 2);
  EXPECT_EQ(r.publisher, 99);
  EXPECT_EQ(r.run_start_ns, 5);
  for (const auto& sequences : r.sequences) {
    ASSERT_EQ(sequences.size(), 20u);
    for (size_t i = 0; i < sequences.size(); ++i) EXPECT_EQ(sequences[i], int64_t(i));
  }
}

// A clock for the stream: the monotonic and wall clocks move together (the
// wall from 100.5 s on), by `per_reading_ns` at each wall reading (the work
// of stamping and publishing a message) and by sleeps; the other readings
// take no time. A stop signal, when
// staged, is taken by the first sleep or take_pending_signals at or after
// `signal_at_ns`.
class StreamClock final : public Clock {
 public:
  explicit StreamClock(int64_t per_reading_ns) : per_reading_ns_(per_reading_ns) {}
  int64_t calendar_seconds() override { return wall() / 1'000'000'000; }
  int64_t wall_milliseconds() override { return wall() / kMs; }
  int64_t wall_nanoseconds() override {
    const int64_t ns = wall();
    monotonic_ns_ += per_reading_ns_;
    return ns;
  }
  int64_t monotonic_nanoseconds() override { return monotonic_ns_; }
  void sleep_until(int64_t deadline_ns) override {
    ++sleeps;
    if (signo_ != 0 && signal_at_ns_ < deadline_ns) {
      monotonic_ns_ = std::max(monotonic_ns_, signal_at_ns_);
      take_pending_signals();
      return;
    }
    monotonic_ns_ = std::max(monotonic_ns_, deadline_ns);
  }
  void take_pending_signals() override {
    if (signo_ != 0 && monotonic_ns_ >= signal_at_ns_) taken_signal = signo_;
  }
  void stage_signal(int signo, int64_t at_ns) {
    signo_ = signo;
    signal_at_ns_ = at_ns;
  }

  int taken_signal = 0;
  int sleeps = 0;

 private:
  int64_t wall() const { return 100'500 * kMs + monotonic_ns_; }
  int64_t per_reading_ns_;
  int64_t monotonic_ns_ = 0;
  int signo_ = 0;
  int64_t signal_at_ns_ = 0;
};

// A key is waiting once the clock reaches `key_at_ns`; the stop signal is
// the one the clock has taken.
class StreamConsole final : public Console {
 public:
  StreamConsole(const StreamClock& clock, int64_t key_at_ns)
      : clock_(clock), key_at_ns_(key_at_ns) {}
  void write(std::string_view text) override { output.append(text); }
  bool key_waiting() override {
    return const_cast<StreamClock&>(clock_).monotonic_nanoseconds() >= key_at_ns_;
  }
  int stop_signal() override { return clock_.taken_signal; }

  std::string output;

 private:
  const StreamClock& clock_;
  int64_t key_at_ns_;
};

struct StreamRun {
  StreamRun(double rate_hz, int channels, int64_t per_reading_ns,
            int64_t key_at_ns = std::numeric_limits<int64_t>::max())
      : clock(per_reading_ns), console(clock, key_at_ns) {
    options.rate_hz = rate_hz;
    options.seconds = 1;
    options.message_bytes = 64;
    options.channels = channels;
  }
  int go() {
    const int status = run_cycles(capture.bus(), options, clock, console, drops);
    capture.drain();
    return status;
  }
  Options options;
  testing::BusCapture capture;
  StreamClock clock;
  StreamConsole console;
  testing::FakeSendDrops drops;
};

// 20 kHz on two channels: every cycle on its deadline, 50 us apart, far
// closer than the frames' 2 ms; each channel numbered from 0 without a gap;
// each message stamped as it is handed to LCM.
TEST(PaceMessages, TwentyKilohertzOnDeadlines) {
  StreamRun run(20'000, 2, 1'000);  // 1 us a clock reading
  EXPECT_EQ(run.go(), kExitOk);
  ASSERT_EQ(run.capture.messages().size(), 40'000u);
  const Received r = receive(run.capture.messages(), 64, 2);
  // Each cycle reads the clock for its second and its first message, then
  // once for each message after it.
  const int64_t first_ns = r.send_ns[0][0];
  EXPECT_EQ(r.run_start_ns, 100'500 * kMs);
  EXPECT_EQ(first_ns, r.run_start_ns + 1'000);
  for (size_t k = 0; k < 2; ++k) {
    ASSERT_EQ(r.sequences[k].size(), 20'000u);
    for (size_t i = 0; i < r.sequences[k].size(); ++i) {
      ASSERT_EQ(r.sequences[k][i], int64_t(i)) << k;
      ASSERT_EQ(r.send_ns[k][i], first_ns + int64_t(k) * 1'000 + int64_t(i) * 50'000) << k;
    }
  }
  // The run began at 100.5 s: one line as the first cycle of 101 starts.
  EXPECT_EQ(run.console.output,
            "101 rate: requested 20000 achieved 20000.0, messages sent 20000\n"
            "total: 20000 cycles in 1.000 s: requested 20000 achieved 20000.0, messages sent "
            "40000\n");
}

// As fast as possible, cycles follow each other without a pause; a key or
// a stop signal still ends the run within a millisecond.
TEST(PaceMessages, AsFastAsPossibleWithoutAPause) {
  struct Case {
    const char* name;
    int64_t key_at_ns;
    int signal;
    int64_t signal_at_ns;
    int status;
    int64_t ends_by_ns;  // the last message is sent by then, and less than 1.1 ms before
  };
  const Case cases[] = {
      {"--seconds", std::numeric_limits<int64_t>::max(), 0, 0, kExitOk, 1'000'000'000},
      {"a key", 300'000'000, 0, 0, kExitOk, 301'000'000},
      {"a stop signal", std::numeric_limits<int64_t>::max(), SIGTERM, 700'000'000,
       exit_status_for_signal(SIGTERM), 701'000'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamRun run(0, 1, 20'000, c.key_at_ns);  // 20 us a cycle: one reading
    if (c.signal != 0) run.clock.stage_signal(c.signal, c.signal_at_ns);
    EXPECT_EQ(run.go(), c.status);
    const Received r = receive(run.capture.messages(), 64, 1);
    ASSERT_FALSE(r.send_ns[0].empty());
    for (size_t i = 1; i < r.send_ns[0].size(); ++i) {
      ASSERT_EQ(r.send_ns[0][i] - r.send_ns[0][i - 1], 20'000) << i;
    }
    const int64_t last_sent = r.send_ns[0].back() - r.run_start_ns;
    EXPECT_LE(last_sent, c.ends_by_ns);
    EXPECT_GT(last_sent, c.ends_by_ns - 1'100'000);
    EXPECT_EQ(run.clock.sleeps, 0);
    EXPECT_NE(
        run.console.output.find("messages sent " + std::to_string(r.send_ns[0].size()) + "\n"),
        std::string::npos)
        << run.console.output;
  }
}

TEST(PaceMessages, ABusThatCannotBeOpenedExits1AfterTheStartLine) {
  StreamClock clock(0);
  StreamConsole console(clock, 0);
  Options options;
  options.url = "nosuchprovider://";
  options.message_bytes = 100;
  options.channels = 1;
  options.rate_hz = 1000;
  testing::FakeSendDrops drops;
  EXPECT_EQ(run_pace(options, clock, console, drops), kExitNoBus);
  EXPECT_EQ(console.output,
            "varnock-pace: 100-byte messages on VARNOCK_MSG_0 at 1000 Hz on nosuchprovider://\n");
}

// docs/output-fields.md's table of varnock-pace's JSON lines lists, for each
// line type, every field that frames or --messages write, and no other.
TEST(PaceReport, TheDocumentListsEveryJsonField) {
  std::map<std::string, std::set<std::string>> documented;
  std::ifstream doc(OUTPUT_FIELDS_DOC);
  ASSERT_TRUE(doc) << OUTPUT_FIELDS_DOC;
  bool in_section = false;
  std::string type;
  for (std::string line; std::getline(doc, line);) {
    if (line.starts_with("## ")) in_section = line == "## varnock-pace's JSON lines";
    if (!in_section || !line.starts_with("| ") || line.starts_with("| line")) continue;
    std::vector<std::string> cells;
    for (size_t at = 1; at < line.size();) {
      const size_t end = line.find(" | ", at);
      cells.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 2;
    }
    if (cells.size() < 2) continue;
    if (const size_t at = cells[0].find('`'); at != std::string::npos) {
      type = cells[0].substr(at + 1, cells[0].find('`', at + 1) - at - 1);
    }
    for (size_t at = cells[1].find('`'); at != std::string::npos;) {
      const size_t end = cells[1].find('`', at + 1);
      documented[type].insert(cells[1].substr(at + 1, end - at - 1));
      at = cells[1].find('`', end + 1);
    }
  }
  std::map<std::string, std::set<std::string>> written;
  for (const int32_t channels : {0, 2}) {
    const StartFacts facts{{64, 48}, 3112, 30, 10, "memq://", channels};
    const int64_t messages = channels > 0 ? 40 : -1;
    for (const std::string& line :
         {start_line(Format::kJson, facts), second_line(Format::kJson, 5, 30, 20, 1, 0, messages),
          summary_line(Format::kJson, 30, 20, 1, 0, messages)}) {
      const nlohmann::json j = nlohmann::json::parse(line);
      for (const auto& [key, value] : j.items()) {
        if (key != "type") written[j["type"]].insert(key);
      }
    }
  }
  EXPECT_EQ(documented, written);
}

}  // namespace
}  // namespace varnock::pace

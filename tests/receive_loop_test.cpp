// The receive loop over a real LCM log, with a clock that tests move.
#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <lcm/lcm.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "account/account.h"
#include "account/stream_account.h"
#include "account/stream_join.h"
#include "messages/stream_message_t.h"
#include "pattern/frames.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "receive/loop.h"
#include "receive/subscription.h"
#include "report/output.h"
#include "tests/support/crafted_messages.h"

namespace varnock::receive {
namespace {

using account::Account;
using account::SecondReport;
using account::StreamAccount;
using account::StreamChannelFigures;
using account::StreamJoin;
using account::Summary;
using testing::Bytes;
using testing::status;

// A clock for the receive loop: monotonic time moves `step_ms` at every
// reading of it; the wall clock follows, plus `jump_ms` from the `jump_at`-th
// monotonic reading on.
class SteppingClock final : public Clock {
 public:
  SteppingClock(int64_t step_ms, int jump_at, int64_t jump_ms)
      : step_ms_(step_ms), jump_at_(jump_at), jump_ms_(jump_ms) {}
  int64_t calendar_seconds() override { return wall_milliseconds() / 1000; }
  int64_t wall_milliseconds() override {
    return 1'700'000'000'000 + mono_ms_ + (readings_ >= jump_at_ ? jump_ms_ : 0);
  }
  int64_t monotonic_nanoseconds() override {
    ++readings_;
    mono_ms_ += step_ms_;
    return mono_ms_ * 1'000'000;
  }
  void sleep_until(int64_t /*deadline_ns*/) override {}
  void take_pending_signals() override {}

 private:
  int64_t step_ms_;
  int jump_at_;
  int64_t jump_ms_;
  int64_t mono_ms_ = 0;
  int readings_ = 0;
};

// An LCM log of `cycles` cycles as varnock publishes them, 3 ms apart, to be
// replayed as fast as it can be read; `more`, when given, writes what else
// each cycle carries after its frame.
using Write = std::function<void(const char* channel, const Bytes& m)>;
std::string write_log(const std::filesystem::path& path, int cycles,
                      const std::function<void(const Write&, int cycle)>& more = {}) {
  lcm_eventlog_t* log = lcm_eventlog_create(path.c_str(), "w");
  if (log == nullptr) return "cannot write " + path.string();
  const Write write = [&](const char* channel, const Bytes& m) {
    lcm_eventlog_event_t e{};
    e.timestamp = 1'700'000'000'000'000;
    e.channellen = static_cast<int32_t>(std::strlen(channel));
    e.datalen = static_cast<int32_t>(m.size());
    e.channel = const_cast<char*>(channel);   // NOLINT: LCM's API is not const
    e.data = const_cast<uint8_t*>(m.data());  // NOLINT
    lcm_eventlog_write_event(log, &e);
  };
  TestPatternFrames pattern;
  for (int i = 0; i < cycles; ++i) {
    const int64_t stamp = 1'700'000'000'000 + int64_t{3} * i;
    write("RECSTAT", status(stamp / 1000));
    const auto bytes = pattern.next(stamp).encoded_in_place();
    write("TFIMAGE", Bytes(bytes.begin(), bytes.end()));
    if (more) more(write, i);
  }
  lcm_eventlog_destroy(log);
  return "";
}

// The receive loop over a real LCM log with the clock above: it ends at the
// end of the log, and a step of the wall clock either way gives one row.
TEST(ReceiveLoop, ReadsALogToItsEndThroughClockSteps) {
  struct Case {
    const char* name;
    int64_t jump_ms;
    int64_t expect_step_s;
  };
  const Case cases[] = {
      {"steady clock", 0, 0},
      {"a day forward", 86'400'000, 86'400},
      {"a day back", -86'400'000, -86'400},
  };
  const auto dir =
      std::filesystem::temp_directory_path() / ("varnock-loop-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ASSERT_EQ(write_log(dir / "run.log", 300), "");
  // The jump at each reading of a loop's: whether the clock steps before a
  // message is handled or after, no message is stamped with a step unseen.
  for (const int jump_at : {600, 601, 602})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " at reading " + std::to_string(jump_at));
      // 5 ms a monotonic reading, two readings a message: 10 ms a message,
      // 6 s for the whole log; the jump comes half way.
      SteppingClock clock(5, jump_at, c.jump_ms);
      const std::string url = "file://" + (dir / "run.log").string() + "?speed=0";
      lcm_t* bus = lcm_create(url.c_str());
      ASSERT_NE(bus, nullptr);
      ASSERT_GE(lcm_get_fileno(bus), 0);
      std::FILE* sink = std::tmpfile();
      ASSERT_NE(sink, nullptr);
      Account account(clock.wall_milliseconds(), clock.monotonic_nanoseconds() / 1'000'000);
      report::ReportOutput out(sink, true, nullptr, "");
      LoopEnd end = LoopEnd::kSignal;
      {
        const Subscription subscription(bus, account, clock, nullptr);
        end = receive(bus, 0, clock, account, [&out](const SecondReport& r) {
          out.row(r);
          return out.error() == 0;
        });
      }
      for (const SecondReport& r : account.finish(clock.wall_milliseconds())) out.row(r);
      lcm_destroy(bus);
      EXPECT_EQ(end, LoopEnd::kEndOfInput);
      EXPECT_EQ(out.error(), 0);

      std::rewind(sink);
      std::vector<nlohmann::json> rows;
      char line[4096];
      while (std::fgets(line, sizeof line, sink) != nullptr)
        rows.push_back(nlohmann::json::parse(line));
      std::fclose(sink);
      int64_t frames = 0;
      int64_t statuses = 0;
      int64_t lost = 0;
      int steps = 0;
      for (const nlohmann::json& r : rows) {
        frames += r["frames"].get<int64_t>();
        statuses += r["status_records"].get<int64_t>();
        lost += r["lost"].get<int64_t>();
        if (r["clock_step_s"].get<int64_t>() != 0) {
          ++steps;
          EXPECT_EQ(r["clock_step_s"].get<int64_t>(), c.expect_step_s);
        }
      }
      EXPECT_EQ(frames, 300);
      EXPECT_EQ(statuses, 300);
      EXPECT_EQ(lost, 0);
      EXPECT_EQ(steps, c.expect_step_s == 0 ? 0 : 1);
      EXPECT_LE(rows.size(), 12u) << "a row for every second jumped over";
      const Summary s = account.summary(6);
      EXPECT_EQ(s.totals.runs, 1);
      EXPECT_EQ(s.totals.lost, 0);
    }
  std::filesystem::remove_all(dir);
}

TEST(StreamChannels, NamesAndNumbers) {
  const std::pair<const char*, int> cases[] = {
      {"VARNOCK_MSG_0", 0},     {"VARNOCK_MSG_7", 7},
      {"VARNOCK_MSG_255", 255}, {"VARNOCK_MSG_256", -1},
      {"VARNOCK_MSG_1000", -1}, {"VARNOCK_MSG_", -1},
      {"VARNOCK_MSG_07", -1},   {"VARNOCK_MSG_00", -1},
      {"VARNOCK_MSG_-1", -1},   {"VARNOCK_MSG_+1", -1},
      {"VARNOCK_MSG_1a", -1},   {"VARNOCK_MSG_ 1", -1},
      {"VARNOCK_MSG_1 ", -1},   {"varnock_msg_1", -1},
      {"TFIMAGE", -1},          {"VARNOCK_MSG_99999999999999999999", -1},
  };
  for (const auto& [name, k] : cases) EXPECT_EQ(stream_channel_number(name), k) << name;
}

// Streams beside frames in a log: each channel's messages are accounted,
// joined to the rows by second, a corrupt one told and counted, and a
// channel that names no stream not subscribed.
TEST(ReceiveLoop, StreamsAreAccountedAndJoinedToTheRows) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("varnock-streams-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  StreamMessageWriter channel0(1, 0, 64);
  StreamMessageWriter channel3(2, 0, 200);
  // Channel 0 misses 100-104; one more of its messages has a payload byte
  // changed; one message goes to a channel that is none.
  ASSERT_EQ(write_log(dir / "run.log", 300,
                      [&](const Write& write, int i) {
                        const int64_t sent = (1'700'000'000'000 + int64_t{3} * i) * 1'000'000;
                        if (i < 100 || i > 104) {
                          const auto m = channel0.message(i, sent);
                          write("VARNOCK_MSG_0", Bytes(m.begin(), m.end()));
                        }
                        const auto m = channel3.message(i, sent);
                        write("VARNOCK_MSG_3", Bytes(m.begin(), m.end()));
                        if (i == 150) write("VARNOCK_MSG_03", Bytes(m.begin(), m.end()));
                        if (i == 200) {
                          Bytes bad(m.begin(), m.end());
                          bad.back() ^= 1;
                          write("VARNOCK_MSG_0", bad);
                        }
                      }),
            "");
  SteppingClock clock(5, 0, 0);
  const std::string url = "file://" + (dir / "run.log").string() + "?speed=0";
  lcm_t* bus = lcm_create(url.c_str());
  ASSERT_NE(bus, nullptr);
  Account account(clock.wall_milliseconds(), clock.monotonic_nanoseconds() / 1'000'000);
  StreamAccount stream_account(clock.wall_milliseconds(), 30);
  StreamJoin join;
  const Streams streams{stream_account, join};
  std::vector<SecondReport> rows;
  std::vector<std::string> problems;
  {
    SubscriptionSettings settings;
    settings.streams = &stream_account;
    const Subscription subscription(
        bus, account, clock,
        [&problems](std::string_view channel, std::string_view problem) {
          problems.push_back(std::string(channel) + ": " + std::string(problem));
        },
        settings);
    ASSERT_TRUE(subscription.subscribed());
    EXPECT_EQ(receive(
                  bus, 0, clock, account,
                  [&rows](const SecondReport& r) {
                    rows.push_back(r);
                    return true;
                  },
                  nullptr, nullptr, nullptr, &streams),
              LoopEnd::kEndOfInput);
  }
  lcm_destroy(bus);
  std::filesystem::remove_all(dir);
  const int64_t now = clock.wall_milliseconds();
  join.hold(stream_account.finish(now));
  std::vector<SecondReport> last = account.finish(now);
  for (size_t i = 0; i < last.size(); ++i) {
    join.join(last[i], i + 1 == last.size());
    rows.push_back(last[i]);
  }
  EXPECT_EQ(join.held(), 0u);

  ASSERT_EQ(problems.size(), 1u);
  EXPECT_TRUE(problems[0].starts_with("VARNOCK_MSG_0: ")) << problems[0];
  struct Expect {
    int channel;
    int64_t received, lost, corrupt;
  };
  const std::vector<StreamChannelFigures> summary = stream_account.summary().channels;
  ASSERT_EQ(summary.size(), 2u);
  for (const Expect& e : {Expect{0, 295, 5, 1}, Expect{3, 300, 0, 0}}) {
    SCOPED_TRACE(e.channel);
    account::StreamCounts in_rows;
    int64_t seconds_with_channel = 0;
    for (const SecondReport& r : rows) {
      for (const StreamChannelFigures& f : r.messages) {
        if (f.channel != e.channel) continue;
        ++seconds_with_channel;
        in_rows.received += f.counts.received;
        in_rows.lost += f.counts.lost;
        in_rows.corrupt += f.counts.corrupt;
      }
    }
    EXPECT_GT(seconds_with_channel, 1) << "the rows of several seconds carry the channel";
    const StreamChannelFigures& whole = summary[e.channel == 0 ? 0 : 1];
    EXPECT_EQ(whole.channel, e.channel);
    for (const account::StreamCounts& c : {in_rows, whole.counts}) {
      EXPECT_EQ(c.received, e.received);
      EXPECT_EQ(c.lost, e.lost);
      EXPECT_EQ(c.corrupt, e.corrupt);
    }
    EXPECT_EQ(whole.counts.lost_in_lcm, 0);
  }
  EXPECT_EQ(account.summary(6).totals.frames, 300);
}

// A stop that came before the loop's wait, on a bus where nothing arrives,
// ends the loop at that wait, long before its --seconds. In a process of its
// own, which holds the signals.
TEST(ReceiveLoop, AStopPendingBeforeTheWaitEndsTheLoop) {
  EXPECT_EXIT(
      {
        hold_run_signals(RunSignals::kStop);
        SystemClock clock;
        lcm_t* bus = lcm_create("memq://");
        if (bus == nullptr) std::_Exit(2);
        Account account(clock.wall_milliseconds(), clock.monotonic_nanoseconds() / 1'000'000);
        const Subscription subscription(bus, account, clock, nullptr);
        std::raise(SIGTERM);
        const int64_t start = clock.monotonic_nanoseconds();
        const LoopEnd end =
            receive(bus, 60, clock, account, [](const SecondReport& /*r*/) { return true; });
        const bool prompt = clock.monotonic_nanoseconds() - start < 30'000'000'000;
        std::_Exit(end == LoopEnd::kSignal && received_stop_signal() == SIGTERM && prompt ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnock::receive

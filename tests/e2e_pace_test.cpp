// varnock-pace as a user runs it: recording to an LCM log with --json, its
// frames and its --messages stream (its ends at a terminal are in
// e2e_file_test.cpp, beside varnock's); and, inside a network namespace of
// its own, a paced stream of small frames checked whole by varnock-check, a
// stream of messages received whole beside it, and the drops of a link
// slower than the sender counted by varnock-pace and varnock.
#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <lcm/lcm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bus/lcm_log.h"
#include "messages/stream_message_t.h"
#include "tests/support/check_in_namespace.h"
#include "tests/support/child_process.h"
#include "tests/support/run_check.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace varnock {
namespace {

using nlohmann::json;
using testing::CheckOutput;
using testing::ChildProcess;
using testing::parse_check_output;

// The achieved rates of the "<second> rate: requested R achieved A" lines.
std::vector<double> achieved_rates(const std::string& output) {
  std::vector<double> rates;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (const size_t at = line.find(" achieved ");
        at != std::string::npos && line.find(" rate: requested ") != std::string::npos &&
        line.rfind("total: ", 0) != 0) {
      rates.push_back(std::atof(line.c_str() + at + 10));
    }
  }
  return rates;
}

// A receiver of varnock-pace's --messages stream that lets nothing pass:
// every message on VARNOCK_MSG_0 to VARNOCK_MSG_<channels - 1>, `bytes`
// long, of one publisher run, its sequence the next of its channel (nothing
// lost or out of order), its send time not before the last, its payload
// valid.
class StreamReceiver {
 public:
  StreamReceiver(int64_t bytes, int channels)
      : bytes_(bytes), next_(static_cast<size_t>(channels), 0), last_ns_(next_.size(), 0) {}

  // Takes one message; "" or the first thing wrong with it.
  std::string add(std::string_view channel, std::span<const uint8_t> bytes) {
    const std::string where = std::string(channel) + " message " + std::to_string(received_++);
    size_t k = next_.size();
    for (size_t c = 0; c < next_.size(); ++c) {
      if (channel == "VARNOCK_MSG_" + std::to_string(c)) k = c;
    }
    if (k == next_.size()) return where + ": not one of the run's channels";
    if (std::ssize(bytes) != bytes_) return where + ": " + std::to_string(bytes.size()) + " bytes";
    stream_message_t m;
    const char* why = "";
    if (!stream_message_t::decode(bytes.data(), std::ssize(bytes), &m, &why)) {
      return where + ": " + why;
    }
    if (publisher_ == 0) {
      publisher_ = m.publisher;
      run_start_ns_ = m.run_start_ns;
    }
    if (m.publisher == 0 || m.publisher != publisher_ || m.run_start_ns != run_start_ns_) {
      return where + ": another publisher run";
    }
    if (m.sequence != next_[k]) {
      return where + ": sequence " + std::to_string(m.sequence) + ", expected " +
             std::to_string(next_[k]);
    }
    if (m.send_time_ns < std::max(last_ns_[k], run_start_ns_)) {
      return where + ": sent at " + std::to_string(m.send_time_ns) + " ns, before the last";
    }
    if (std::string e = stream_payload_problem(m.publisher, m.sequence, m.payload); !e.empty()) {
      return where + ": " + e;
    }
    ++next_[k];
    last_ns_[k] = m.send_time_ns;
    return "";
  }

  // Messages received on each channel.
  const std::vector<int64_t>& per_channel() const { return next_; }
  int64_t received() const { return received_; }

 private:
  int64_t bytes_;
  std::vector<int64_t> next_;
  std::vector<int64_t> last_ns_;
  int64_t publisher_ = 0;
  int64_t run_start_ns_ = 0;
  int64_t received_ = 0;
};

// varnock-pace's JSON lines, each parsed.
std::vector<json> json_lines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(json::parse(line));
  return lines;
}

class PaceRunTest : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.path(name); }

  testing::TempDir dir_{"varnock-pace"};
};

// With --json, standard output is JSON lines only: the start line names the
// run, each second's line counts the cycles the log shows for the seconds
// since the last one, and the summary counts every cycle in the log.
TEST_F(PaceRunTest, JsonLinesAccountForEveryCyclePublished) {
  struct Case {
    const char* rate;
    int64_t seconds;
    json rate_hz;
  };
  const Case cases[] = {{"40", 2, 40}, {"max", 1, nullptr}};
  ChildProcess version_run({PACE_BINARY, "--version"}, path("version"), path("version.err"));
  ASSERT_EQ(version_run.wait_exit(std::chrono::seconds(10)), 0);
  // "varnock-pace VERSION\nLCM ...\n"
  const std::string text = testing::read_file(path("version"));
  const std::string first_line = text.substr(0, text.find('\n'));
  const std::string version = first_line.substr(first_line.find(' ') + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string log = path("run.log");
    const std::string url = "file://" + log + "?mode=w";
    ChildProcess pace({PACE_BINARY, "--json", "--rate", c.rate, "--width", "64", "--height", "48",
                       "--seconds", std::to_string(c.seconds), "--url", url},
                      path("pace.out"), path("pace.err"));
    ASSERT_EQ(pace.wait_exit(std::chrono::seconds(20)), 0) << testing::read_file(path("pace.err"));
    std::vector<int64_t> cycle_seconds;
    ASSERT_EQ(testing::check_log(log, &cycle_seconds, 64, 48), "");

    std::vector<json> lines;
    std::istringstream out(testing::read_file(path("pace.out")));
    std::string line;
    while (std::getline(out, line)) {
      json j;
      ASSERT_NO_THROW(j = json::parse(line)) << line;
      lines.push_back(j);
    }
    ASSERT_GE(lines.size(), 2u);
    const json& start = lines.front();
    const json& summary = lines.back();
    EXPECT_EQ(start, json({{"type", "start"},
                           {"version", version},
                           {"url", url},
                           {"width", 64},
                           {"height", 48},
                           {"message_bytes", 3112},
                           {"rate_hz", c.rate_hz},
                           {"seconds", c.seconds}}));
    ASSERT_EQ(summary["type"], "summary") << summary;
    EXPECT_EQ(summary["cycles"], cycle_seconds.size());
    EXPECT_EQ(summary["seconds"], c.seconds);
    EXPECT_EQ(summary["rate_hz"], c.rate_hz);
    EXPECT_NEAR(summary["achieved_hz"].get<double>(),
                static_cast<double>(cycle_seconds.size()) / static_cast<double>(c.seconds), 0.05);

    size_t cycle = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
      const json& second = lines[i];
      ASSERT_EQ(second["type"], "second") << second;
      const size_t before = cycle;
      while (cycle < cycle_seconds.size() && cycle_seconds[cycle] < second["second"]) ++cycle;
      EXPECT_EQ(second["cycles"], cycle - before) << second;
    }
  }
}

// --messages recorded by LCM's file provider: every message LCM took is in
// the log, numbered per channel from 0 without a gap, whole and checkable,
// and the JSON lines count them: cycles, and messages sent on all channels
// together.
TEST_F(PaceRunTest, MessagesAreRecordedWholeAndCounted) {
  struct Case {
    int64_t bytes;
    int channels;
    const char* rate;
    int seconds;
    json rate_hz;
  };
  const Case cases[] = {
      {44, 1, "2000", 1, 2000},
      {200, 3, "1000", 2, 1000},
      {64, 2, "max", 1, nullptr},
      {65536, 2, "100", 1, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " bytes on " + std::to_string(c.channels) +
                 " channels at " + c.rate);
    const std::string log = path("messages.log");
    const std::string url = "file://" + log + "?mode=w";
    ChildProcess pace({PACE_BINARY, "--json", "--messages", std::to_string(c.bytes), "--channels",
                       std::to_string(c.channels), "--rate", c.rate, "--seconds",
                       std::to_string(c.seconds), "--url", url},
                      path("pace.out"), path("pace.err"));
    ASSERT_EQ(pace.wait_exit(std::chrono::seconds(30)), 0) << testing::read_file(path("pace.err"));
    EXPECT_EQ(testing::read_file(path("pace.err")), "");

    const std::vector<json> lines = json_lines(testing::read_file(path("pace.out")));
    ASSERT_GE(lines.size(), 2u);
    json start = lines.front();
    start.erase("version");
    EXPECT_EQ(start, json({{"type", "start"},
                           {"url", url},
                           {"channels", c.channels},
                           {"message_bytes", c.bytes},
                           {"rate_hz", c.rate_hz},
                           {"seconds", c.seconds}}));
    const json& summary = lines.back();
    ASSERT_EQ(summary["type"], "summary") << summary;
    const auto cycles = summary["cycles"].get<int64_t>();
    EXPECT_GT(cycles, 0);
    EXPECT_EQ(summary["messages_sent"], cycles * c.channels);
    if (c.rate_hz.is_number()) {
      // Paced, never ahead of the deadlines.
      EXPECT_LE(cycles, c.rate_hz.get<int64_t>() * c.seconds + 1);
    }
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
      ASSERT_EQ(lines[i]["type"], "second") << lines[i];
      EXPECT_EQ(lines[i]["messages_sent"], lines[i]["cycles"].get<int64_t>() * c.channels)
          << lines[i];
    }

    // The log whole, as LCM's reader reads it, and every event checked.
    std::ifstream in(log, std::ios::binary);
    const bus::LogWalk walk = bus::walk_lcm_log(in, [] { return false; });
    EXPECT_EQ(walk.end, bus::LogEnd::kWhole) << walk.why;
    EXPECT_EQ(walk.events, summary["messages_sent"]);
    std::unique_ptr<lcm_eventlog_t, void (*)(lcm_eventlog_t*)> reader(
        lcm_eventlog_create(log.c_str(), "r"), lcm_eventlog_destroy);
    ASSERT_TRUE(reader);
    StreamReceiver receiver(c.bytes, c.channels);
    while (lcm_eventlog_event_t* e = lcm_eventlog_read_next_event(reader.get())) {
      const std::string problem = receiver.add(
          std::string_view(e->channel, static_cast<size_t>(e->channellen)),
          std::span(static_cast<const uint8_t*>(e->data), static_cast<size_t>(e->datalen)));
      lcm_eventlog_free_event(e);
      ASSERT_EQ(problem, "");
    }
    EXPECT_EQ(receiver.received(), walk.events);
    for (const int64_t n : receiver.per_channel()) EXPECT_EQ(n, cycles);
  }
}

// 1 x 1 frames carry no sequence number: varnock-pace warns, and
// varnock-check labels the loss a lower bound and will not judge a limit by
// it unless asked to.
TEST_F(PaceRunTest, LimitsOnFramesWithoutSequenceNumbersAreNotJudged) {
  const std::string log = path("tiny.log");
  ChildProcess pace({PACE_BINARY, "--rate", "100", "--width", "1", "--height", "1", "--seconds",
                     "1", "--url", "file://" + log + "?mode=w"},
                    path("pace.out"), path("pace.err"));
  ASSERT_EQ(pace.wait_exit(std::chrono::seconds(20)), 0);
  EXPECT_NE(testing::read_file(path("pace.err")).find("too small to carry a sequence number"),
            std::string::npos)
      << testing::read_file(path("pace.err"));
  struct Case {
    std::vector<std::string> limits;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"--max-loss", "1"}, 4, "the loss cannot be known"},
      {{"--min-frames", "1"}, 4, "the loss cannot be known"},
      {{"--max-loss", "1", "--allow-unsequenced"}, 0, ""},
      {{}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limits.empty() ? "no limit" : c.limits[0] + " " + c.limits.back());
    std::vector<std::string> args = {CHECK_BINARY, "--json", "--url", "file://" + log + "?speed=0"};
    args.insert(args.end(), c.limits.begin(), c.limits.end());
    ChildProcess check(args, path("check.out"), path("check.err"));
    EXPECT_EQ(check.wait_exit(std::chrono::seconds(20)), c.status);
    const std::string err = testing::read_file(path("check.err"));
    if (*c.says != '\0') {
      EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    const CheckOutput out = parse_check_output(testing::read_file(path("check.out")));
    ASSERT_FALSE(out.summary.is_null()) << out.text;
    EXPECT_EQ(out.summary["lost_lower_bound"], true);
    EXPECT_GE(out.total("unsequenced"), 90);
    for (const nlohmann::json& row : out.rows) EXPECT_EQ(row["lost_lower_bound"], true);
  }
}

// On multicast inside a network namespace of the test's own.
class PaceInNamespace : public testing::CheckInNamespace {};

TEST_F(PaceInNamespace, PacedSmallFramesAreCheckedWhole) {
  auto check = start_check({}, {"--json", "--seconds", "5", "--url",
                                "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304"});
  ChildProcess pace({PACE_BINARY, "--rate", "50", "--width", "640", "--height", "480", "--seconds",
                     "3", "--url", "udpm://239.255.76.67:7667?ttl=0"},
                    path("pace.out"), path("pace.err"));
  EXPECT_EQ(pace.wait_exit(std::chrono::seconds(10)), 0) << testing::read_file(path("pace.err"));
  EXPECT_EQ(check->wait_exit(std::chrono::seconds(10)), 0) << testing::read_file(path("check.err"));

  const std::string published = testing::read_file(path("pace.out"));
  EXPECT_NE(
      published.find("total: 150 cycles in 3.000 s: requested 50 achieved 50.0, send drops 0\n"),
      std::string::npos)
      << published;
  for (const double rate : achieved_rates(published)) EXPECT_NEAR(rate, 50, 5) << published;

  json summary;
  std::vector<json> rows;
  std::istringstream lines(testing::read_file(path("check.out")));
  std::string line;
  while (std::getline(lines, line)) {
    json j = json::parse(line);
    if (j["type"] == "second") rows.push_back(j);
    if (j["type"] == "summary") summary = j;
  }
  ASSERT_FALSE(summary.is_null());
  EXPECT_EQ(summary["frames"], 150);
  EXPECT_EQ(summary["status_records"], 150);
  EXPECT_EQ(summary["lost"], 0);
  EXPECT_EQ(summary["corrupt"], 0);
  EXPECT_EQ(summary["runs"], 1);
  EXPECT_EQ(summary["run_periods"], json::parse("[[60, 209]]"));
  EXPECT_EQ(summary["bytes"], 150 * (63 + 307'240));
  // About 50 frames in each whole second of the run (the first and last
  // with frames are partly outside it).
  std::vector<int64_t> frames;
  for (const json& r : rows) {
    if (r["frames"] > 0) frames.push_back(r["frames"]);
  }
  ASSERT_GE(frames.size(), 3u);
  for (size_t i = 1; i + 1 < frames.size(); ++i) EXPECT_NEAR(frames[i], 50, 1) << i;
}

// A --messages stream as a separate process beside varnock-pace's frames,
// on one bus: a subscriber of its channels receives every message whole, in
// order, as many as varnock-pace counts sent, and varnock-check the frames
// without loss.
TEST_F(PaceInNamespace, MessagesBesideFramesAreReceivedWhole) {
  const std::string url = "udpm://239.255.76.67:7667?ttl=0";
  const std::string listen = url + "&recv_buf_size=4194304";
  auto check = start_check({}, {"--json", "--seconds", "5", "--url", listen});
  std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus(lcm_create(listen.c_str()), lcm_destroy);
  ASSERT_TRUE(bus);
  struct Taken {
    StreamReceiver receiver{200, 2};
    std::string problem;
  } taken;
  lcm_subscribe(
      bus.get(), "VARNOCK_MSG_.*",
      [](const lcm_recv_buf_t* rbuf, const char* channel, void* self) {
        auto* t = static_cast<Taken*>(self);
        const std::string e = t->receiver.add(
            channel, std::span(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size));
        if (t->problem.empty()) t->problem = e;
      },
      &taken);

  ChildProcess frames({PACE_BINARY, "--rate", "50", "--width", "640", "--height", "480",
                       "--seconds", "3", "--url", url},
                      path("pace.out"), path("pace.err"));
  ChildProcess messages({PACE_BINARY, "--json", "--messages", "200", "--channels", "2", "--rate",
                         "1000", "--seconds", "3", "--url", url},
                        path("messages.out"), path("messages.err"));
  std::optional<int> frames_status;
  std::optional<int> messages_status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  // Until both have ended and the bus has been quiet for a moment.
  while (std::chrono::steady_clock::now() < deadline) {
    if (!frames_status) frames_status = frames.wait_exit(std::chrono::milliseconds(0));
    if (!messages_status) messages_status = messages.wait_exit(std::chrono::milliseconds(0));
    if (lcm_handle_timeout(bus.get(), 200) == 0 && frames_status && messages_status) break;
  }
  EXPECT_EQ(frames_status, 0) << testing::read_file(path("pace.err"));
  ASSERT_EQ(messages_status, 0) << testing::read_file(path("messages.err"));
  EXPECT_EQ(check->wait_exit(std::chrono::seconds(10)), 0) << testing::read_file(path("check.err"));

  EXPECT_EQ(taken.problem, "");
  const std::vector<json> lines = json_lines(testing::read_file(path("messages.out")));
  ASSERT_FALSE(lines.empty());
  const json& summary = lines.back();
  ASSERT_EQ(summary["type"], "summary");
  EXPECT_GT(summary["cycles"].get<int64_t>(), 2'500);
  EXPECT_EQ(taken.receiver.received(), summary["messages_sent"]);
  for (const int64_t n : taken.receiver.per_channel()) EXPECT_EQ(n, summary["cycles"]);

  const CheckOutput out = parse_check_output(testing::read_file(path("check.out")));
  ASSERT_FALSE(out.summary.is_null()) << out.text;
  EXPECT_EQ(out.total("frames"), 150);
  EXPECT_EQ(out.total("lost"), 0);
  EXPECT_EQ(out.total("corrupt"), 0);
}

// A link slower than the publisher with a short queue drops on the sending
// host while LCM reports success: varnock-pace counts the datagrams, and
// varnock warns of them once, its standard output unchanged.
TEST_F(PaceInNamespace, TheSendersDropsAreCounted) {
  fragment_on_loopback();
  ASSERT_EQ(std::system("tc qdisc add dev lo root tbf rate 200mbit burst 64kb latency 5ms"), 0);
  auto pace = start_pace("40", "2", {"--json"});
  EXPECT_EQ(pace->wait_exit(std::chrono::seconds(10)), 0);
  const CheckOutput pace_out = parse_check_output(testing::read_file(path("pace.out")));
  ASSERT_FALSE(pace_out.summary.is_null()) << pace_out.text;
  EXPECT_GT(pace_out.summary["send_drops"].get<int64_t>(), 10) << pace_out.text;
  int64_t by_second = 0;
  for (const json& r : pace_out.rows) by_second += r["send_drops"].get<int64_t>();
  EXPECT_LE(by_second, pace_out.summary["send_drops"].get<int64_t>());

  setenv("LCM_DEFAULT_URL", "udpm://239.255.76.67:7667?ttl=0", 1);
  ChildProcess varnock({VARNOCK_BINARY}, path("varnock.out"), path("varnock.err"));
  unsetenv("LCM_DEFAULT_URL");
  // The warning, and three rate lines after the banner: two seconds more in
  // which a second warning would have come.
  EXPECT_TRUE(testing::wait_until(
      [this] {
        return testing::read_file(path("varnock.err")).find("warning") != std::string::npos &&
               testing::file_lines(path("varnock.out")).size() >= 4;
      },
      std::chrono::seconds(30)))
      << testing::read_file(path("varnock.err")) << testing::read_file(path("varnock.out"));
  varnock.signal(SIGTERM);
  EXPECT_TRUE(varnock.wait_exit(std::chrono::seconds(10)).has_value());
  const std::string err = testing::read_file(path("varnock.err"));
  EXPECT_NE(err.find("varnock: warning: the kernel dropped "), std::string::npos) << err;
  EXPECT_EQ(err.find("warning", err.find("warning") + 1), std::string::npos) << err;
  std::istringstream lines(testing::read_file(path("varnock.out")));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "varnock");
  while (std::getline(lines, line)) {
    EXPECT_NE(line.find(" frame rate: "), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace varnock

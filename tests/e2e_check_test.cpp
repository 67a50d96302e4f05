// varnock-check against the real varnock and LCM, inside network namespaces
// of their own: on one host (multicast over loopback), across hosts joined by
// veth pairs or a bridge, with packets dropped on the way, through outages,
// with a damaged frame, and with the ways a run can end badly.
#include <gtest/gtest.h>
#include <lcm/lcm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/lcm_version.h"
#include "messages/check_report_t.h"
#include "messages/encoding.h"
#include "messages/recstat_t.h"
#include "pattern/frames.h"
#include "tests/support/check_in_namespace.h"
#include "tests/support/child_process.h"
#include "tests/support/pty_process.h"
#include "tests/support/wait.h"

namespace varnock {
namespace {

using nlohmann::json;
using testing::CheckOutput;
using testing::ChildProcess;
using testing::drop_udp;
using testing::nft;
using testing::parse_check_output;
using testing::PtyOptions;
using testing::PtyProcess;

constexpr char kLoopbackUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304";
constexpr char kLanUrl[] = "udpm://239.255.76.67:7667?ttl=1";

int64_t rate_line_total(const std::string& output, int64_t* largest) {
  int64_t total = 0;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" frame rate: ");
    if (at == std::string::npos) continue;
    const int64_t n = std::atoll(line.c_str() + at + 13);
    total += n;
    *largest = std::max(*largest, n);
  }
  return total;
}

// Publishes `cycles` cycles as varnock does, a status record then a frame,
// `cycle_ms` apart, with pattern periods from `first_period` on, by a clock
// `clock_ahead_ms` ahead of this host's, each message `repeats` times (a
// network that repeats datagrams). `before_cycle`, when given, is called
// with each cycle's index just before it is published.
void publish_cycles(const char* url, int32_t first_period, int cycles, int cycle_ms,
                    int64_t clock_ahead_ms = 0, int repeats = 1,
                    const std::function<void(int)>& before_cycle = {}) {
  lcm_t* bus = lcm_create(url);
  ASSERT_NE(bus, nullptr);
  TestPatternFrames frames(first_period);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < cycles; ++i) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(int64_t{cycle_ms} * i));
    if (before_cycle) before_cycle(i);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count() + clock_ahead_ms;
    recstat_t status;
    status.timestamp = ms / 1000;
    status.real_a = 20.0;
    status.real_b = 0.5;
    status.byte_a = 1;
    status.byte_b = 1;
    status.byte_c = 10;
    status.int_b = 1;
    status.int_c = 2;
    status.int_d = 3;
    tfimage_t& frame = frames.next(ms);
    for (int r = 0; r < repeats; ++r) {
      publish_message(bus, "RECSTAT", status);
      publish_message(bus, "TFIMAGE", frame);
    }
  }
  lcm_destroy(bus);
}

// This host's clock, in milliseconds since 1970.
int64_t wall_ms() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

class CheckInNamespace : public testing::CheckInNamespace {
 protected:
  // Runs varnock at a terminal until it has printed `lines` rate lines.
  std::string run_varnock(std::optional<std::string> url, int lines) {
    PtyOptions options;
    options.env.emplace_back("LCM_DEFAULT_URL", std::move(url));
    PtyProcess varnock(VARNOCK_BINARY, options);
    const bool enough = varnock.wait_for_output(
        [lines](const std::string& o) { return std::count(o.begin(), o.end(), '\n') >= lines + 1; },
        std::chrono::seconds(30));
    EXPECT_TRUE(enough) << varnock.output();
    varnock.type("q");
    EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 0);
    return varnock.output();
  }

  // varnock on this host and varnock-check on the peer host, over ttl=1,
  // until varnock has printed `lines` rate lines; returns varnock's output.
  std::string run_across_hosts(int lines, CheckOutput* out) {
    auto check = start_check({"ip", "netns", "exec", hosts_[0]},
                             {"--json", "--url", std::string(kLanUrl) + "&recv_buf_size=4194304"});
    std::string published = run_varnock(kLanUrl, lines);
    *out = stop_check(*check);
    return published;
  }

  // What a stream run sent and what varnock-check made of it.
  struct StreamRun {  // NOLINT(bugprone-exception-escape): json's members may throw
    int64_t sent_per_channel = 0;
    CheckOutput check;
    std::vector<json> channels;       // the summary's "messages", by channel
    std::vector<CheckOutput> others;  // the other checkers', in order
  };

  // varnock-pace's stream, 1 kHz on two channels of 200-byte messages for
  // 3 s, with varnock-check (`check_args` more) listening on loopback; their
  // output in files named after `name`, a run's own: a start line left
  // from a run before would start the publisher too early.
  // With `others`, more checkers listen beside, each with its own arguments.
  // With `frames`, varnock publishes at full rate for the stream's first 2 s
  // (its last second is clean, so that no datagram after a channel's last
  // one received is lost: such loss cannot be seen).
  StreamRun run_stream(const std::string& name, const std::vector<std::string>& check_args,
                       const std::vector<std::vector<std::string>>& others = {},
                       bool frames = false) {
    std::vector<std::unique_ptr<ChildProcess>> checks;
    for (size_t i = 0; i <= others.size(); ++i) {
      std::vector<std::string> args = {"--json", "--url", kLoopbackUrl};
      const std::vector<std::string>& more = i == 0 ? check_args : others[i - 1];
      args.insert(args.end(), more.begin(), more.end());
      checks.push_back(start_check({}, args, "check-" + name + std::to_string(i)));
    }
    std::optional<PtyProcess> varnock;
    if (frames) {
      PtyOptions options;
      options.env.emplace_back("LCM_DEFAULT_URL", "udpm://239.255.76.67:7667?ttl=0");
      varnock.emplace(VARNOCK_BINARY, options);
      EXPECT_TRUE(varnock->wait_for_output(
          [](const std::string& o) { return o.find('\n') != std::string::npos; },
          std::chrono::seconds(30)))
          << varnock->output();
    }
    const std::string pace_out = path(("pace-" + name + ".out").c_str());
    const std::string pace_err = path(("pace-" + name + ".err").c_str());
    ChildProcess pace({PACE_BINARY, "--messages", "200", "--channels", "2", "--rate", "1000",
                       "--seconds", "3", "--json", "--url", "udpm://239.255.76.67:7667?ttl=0"},
                      pace_out, pace_err);
    if (varnock) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      varnock->type("q");
      EXPECT_EQ(varnock->wait_exit(std::chrono::seconds(15)), 0);
    }
    StreamRun run;
    EXPECT_EQ(pace.wait_exit(std::chrono::seconds(20)), 0) << testing::read_file(pace_err);
    const CheckOutput paced = parse_check_output(testing::read_file(pace_out));
    if (!paced.summary.is_null()) {
      const int64_t sent = paced.summary["messages_sent"].get<int64_t>();
      EXPECT_EQ(sent % 2, 0);
      run.sent_per_channel = sent / 2;
    }
    for (size_t i = 0; i < checks.size(); ++i) {
      EXPECT_TRUE(testing::wait_receiver_idle(checks[i]->pid(), std::chrono::seconds(20)));
      checks[i]->signal(SIGTERM);
      CheckOutput out = finished_check(*checks[i], 0, "check-" + name + std::to_string(i));
      if (i == 0) {
        run.check = std::move(out);
      } else {
        run.others.push_back(std::move(out));
      }
    }
    if (!run.check.summary.is_null()) {
      for (const json& c : run.check.summary["messages"]) run.channels.push_back(c);
    }
    return run;
  }

  // Each channel's figure `field` summed over the rows.
  static int64_t stream_row_sum(const CheckOutput& out, const std::string& channel,
                                const char* field) {
    int64_t sum = 0;
    for (const json& r : out.rows) {
      for (const json& c : r["messages"]) {
        if (c["channel"] == channel) sum += c[field].get<int64_t>();
      }
    }
    return sum;
  }

  // Drops `per_10000` of every 10,000 IP fragments as they arrive, before
  // reassembly.
  static void drop_fragments(int per_10000) {
    testing::nft(
        "table inet varnock_test {\n  chain pre {\n    type filter hook prerouting priority -500;\n"
        "    ip frag-off & 0x3fff != 0 numgen random mod 10000 < " +
        std::to_string(per_10000) + " drop\n  }\n}\n");
  }
};

TEST_F(CheckInNamespace, AccountAddsUpWithWhatVarnockPublished) {
  auto check = start_check({}, {"--json", "--url", kLoopbackUrl});
  const std::string published = run_varnock(std::nullopt, 3);
  const CheckOutput out = stop_check(*check);
  EXPECT_EQ(out.start["url"], kLoopbackUrl);
  EXPECT_EQ(out.total("corrupt"), 0);
  EXPECT_EQ(out.total("runs"), 1);
  ASSERT_EQ(out.summary["run_periods"].size(), 1u);
  const int64_t first = out.summary["run_periods"][0][0];
  const int64_t last = out.summary["run_periods"][0][1];
  EXPECT_GE(out.total("frames"), 100);
  // The check listened before varnock began, so it saw the run from its
  // start: what it received and lost is every cycle of the run.
  EXPECT_LT(first - 60, 10);
  // Frames dropped after the last one received are witnessed only by their
  // status records, as estimates beyond the run's last period.
  EXPECT_GE(out.accounted(), last - 59 - 1) << out.text;
  EXPECT_LE(out.accounted(), last - 59 + out.total("lost_estimated") + 1) << out.text;
  // varnock's rate lines count every cycle before its last line's, and the
  // run went on for less than another second's worth after it.
  int64_t largest = 0;
  const int64_t reported = rate_line_total(published, &largest);
  EXPECT_GE(last - 59, reported - 10);
  EXPECT_LE(last - 59, reported + largest + 1);
  // The rows add up to the summary.
  EXPECT_EQ(out.row_sum("frames"), out.total("frames"));
  EXPECT_EQ(out.row_sum("lost"), out.total("lost"));
}

TEST_F(CheckInNamespace, DamagedFrameIsReportedCorruptWithNonZeroExit) {
  auto check = start_check({}, {"--json", "--seconds", "3", "--url", kLoopbackUrl});
  lcm_t* bus = lcm_create("udpm://239.255.76.67:7667?ttl=0");
  ASSERT_NE(bus, nullptr);
  TestPatternFrames frames;
  for (int i = 0; i < 4; ++i) {
    const tfimage_t& f = frames.next(1'700'000'000'000 + int64_t{3} * i);
    if (i == 3) {
      auto damaged = f;
      damaged.data[1'000'001] = 9;
      publish_message(bus, "TFIMAGE", damaged);
    } else {
      publish_message(bus, "TFIMAGE", f);
    }
    // The receive buffer holds two frames: each is taken in before the next.
    ASSERT_TRUE(testing::wait_receiver_idle(check->pid(), std::chrono::seconds(20)))
        << "varnock-check did not take in frame " << i;
  }
  lcm_destroy(bus);
  const CheckOutput out = finished_check(*check, 3);
  EXPECT_EQ(out.total("corrupt"), 1);
  EXPECT_EQ(out.total("frames"), 3);
  EXPECT_NE(testing::read_file(path("check.err")).find("corrupt TFIMAGE message"),
            std::string::npos);
}

TEST_F(CheckInNamespace, TwoHostsFramesArriveIntact) {
  make_peer_host();
  CheckOutput out;
  run_across_hosts(3, &out);
  EXPECT_EQ(out.total("corrupt"), 0);
  EXPECT_GE(out.total("frames"), 100);
  EXPECT_GE(out.total("status_records"), 100);
}

// Several varnocks at once, each on a host of its own: every run is followed
// on its own, and what was received and lost adds up to what each published.
TEST_F(CheckInNamespace, SeveralPublishersAreAccountedRunByRun) {
  for (const int publishers : {2, 3}) {
    SCOPED_TRACE(std::to_string(publishers) + " publishers");
    TearDown();
    hosts_.clear();
    SetUp();
    make_bridged_hosts(publishers);
    if (HasFatalFailure()) return;
    auto check = start_check(
        {}, {"--json", "--url", "udpm://239.255.76.67:7667?ttl=1&recv_buf_size=4194304"});
    setenv("LCM_DEFAULT_URL", kLanUrl, 1);
    std::vector<std::unique_ptr<ChildProcess>> varnocks;
    // Started a little apart, as on separate hosts: publishers started within
    // the same millisecond send the same periods at the same times, and no
    // receiver can tell which run such a frame belongs to. The gap is the
    // set-up itself, not a wait for something to happen.
    for (int i = 0; i < publishers; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(400));
      varnocks.push_back(std::make_unique<ChildProcess>(
          std::vector<std::string>{"ip", "netns", "exec", hosts_[static_cast<size_t>(i)],
                                   VARNOCK_BINARY},
          path(("varnock" + std::to_string(i) + ".out").c_str()), "/dev/null"));
    }
    unsetenv("LCM_DEFAULT_URL");
    // Each publishes for a few seconds: three rate lines after its banner.
    for (int i = 0; i < publishers; ++i) {
      const std::string out = path(("varnock" + std::to_string(i) + ".out").c_str());
      EXPECT_TRUE(testing::wait_until([&] { return testing::file_lines(out).size() >= 4; },
                                      std::chrono::seconds(30)))
          << "varnock " << i << " wrote only:\n"
          << testing::read_file(out);
    }
    for (auto& v : varnocks) v->signal(SIGTERM);
    for (auto& v : varnocks) EXPECT_TRUE(v->wait_exit(std::chrono::seconds(10)).has_value());
    const CheckOutput out = stop_check(*check);
    EXPECT_EQ(out.total("corrupt"), 0);
    EXPECT_EQ(out.total("runs"), publishers) << out.summary.dump();
    ASSERT_EQ(out.summary["run_periods"].size(), static_cast<size_t>(publishers));
    // A run's first frames may be lost with their status records (a busy
    // checker drops both) and nothing then tells of them; frames lost after
    // a run's last received one are witnessed only by their status records.
    int64_t received_span = 0;
    int64_t published = 0;
    for (const json& run : out.summary["run_periods"]) {
      EXPECT_LT(run[0].get<int64_t>() - 60, 100) << "the run began before the check listened";
      received_span += run[1].get<int64_t>() - run[0].get<int64_t>() + 1;
      published += run[1].get<int64_t>() - 59;
    }
    EXPECT_GE(out.accounted(), received_span - int64_t{2} * publishers) << out.text;
    EXPECT_LE(out.accounted(), published + out.total("lost_estimated") + int64_t{2} * publishers)
        << out.text;
    for (const json& r : out.rows) EXPECT_GE(r["lost"].get<int64_t>(), 0);
  }
}

TEST_F(CheckInNamespace, ALogIsReadToItsEnd) {
  const std::string log = path("run.log");
  const std::string published = run_varnock("file://" + log + "?mode=w", 2);
  auto check = start_check({}, {"--json", "--url", "file://" + log + "?speed=0"});
  const CheckOutput out = finished_check(*check, 0);
  // Every cycle the rate lines counted, and less than another second's worth.
  int64_t largest = 0;
  const int64_t reported = rate_line_total(published, &largest);
  EXPECT_GE(out.total("frames"), reported - 10) << published;
  EXPECT_LE(out.total("frames"), reported + largest + 1) << published;
  EXPECT_EQ(out.total("frames"), out.total("status_records"));
  EXPECT_EQ(out.total("lost"), 0);
  EXPECT_EQ(out.total("runs"), 1);
  EXPECT_NE(testing::read_file(path("check.err")).find("end of the log"), std::string::npos);
}

TEST_F(CheckInNamespace, NothingReceivedIsAFailureNamingTheUrl) {
  auto check = start_check({}, {"--json", "--seconds", "1", "--url", kLoopbackUrl});
  const CheckOutput out = finished_check(*check, 4);
  EXPECT_EQ(out.total("status_records") + out.total("frames"), 0);
  EXPECT_NE(testing::read_file(path("check.err"))
                .find(std::string("nothing received on ") + kLoopbackUrl),
            std::string::npos);
}

// No frame gets through (nothing larger than 1000 bytes does) while every
// status record does: the status records tell how many frames were lost.
TEST_F(CheckInNamespace, AllFramesLostAreCountedFromStatusRecords) {
  drop_udp("meta length > 1000");
  auto check = start_check({}, {"--json", "--seconds", "4", "--url", kLoopbackUrl});
  publish_cycles("udpm://239.255.76.67:7667?ttl=0", 60, 200, 10);  // 2 s
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_EQ(out.total("frames"), 0);
  EXPECT_NEAR(out.total("status_records"), 200, 2);
  EXPECT_EQ(out.total("lost"), out.total("status_records"));
  EXPECT_EQ(out.total("lost_estimated"), out.total("lost"));
  EXPECT_EQ(out.row_sum("lost"), out.total("lost"));
}

// Publishers users meet, on a real bus: a board whose clock reads 1970
// beside a publisher with a right clock already at period 5000; one valid
// frame stamped a day ahead during a run; every message twice. Each time
// the account tells what was published: nothing lost.
TEST_F(CheckInNamespace, UnusualPublishersLoseNothing) {
  constexpr char kUrl[] = "udpm://239.255.76.67:7667?ttl=0";
  // What arrived and what was lost make up what was published; a busy host
  // may drop a frame with its status record at the end of a run, which
  // nothing can witness.
  auto expect_truth = [](const CheckOutput& out, int64_t published, int64_t records_sent) {
    const int64_t unseen = records_sent - out.total("status_records");
    EXPECT_NEAR(out.total("frames") - out.total("duplicates") + out.total("lost"), published,
                unseen + 1);
    EXPECT_LE(out.total("lost"), out.total("kernel_drops") + 1);
  };
  {
    SCOPED_TRACE("a 1970 clock beside a right one");
    auto check = start_check({}, {"--json", "--seconds", "5", "--url", kLoopbackUrl});
    std::thread board([&] { publish_cycles(kUrl, 60, 150, 20, 20'000 - wall_ms()); });
    // The two publish a few milliseconds apart, as two hosts' publishers do,
    // not in the same instant: the offset is the set-up, not a wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    publish_cycles(kUrl, 5'000, 150, 20);
    board.join();
    const CheckOutput out = finished_check(*check, 0);
    expect_truth(out, 300, 300);
    EXPECT_EQ(out.total("duplicates"), 0);
    EXPECT_EQ(out.total("runs"), 2);
  }
  {
    SCOPED_TRACE("a stray frame a day ahead");
    auto check = start_check({}, {"--json", "--seconds", "5", "--url", kLoopbackUrl});
    // Halfway through the run, from a publisher of its own.
    publish_cycles(kUrl, 60, 150, 20, 0, 1, [&](int cycle) {
      if (cycle == 75) publish_cycles(kUrl, 200'000, 1, 10, 86'400'000);
    });
    const CheckOutput out = finished_check(*check, 0);
    expect_truth(out, 151, 151);
    EXPECT_EQ(out.total("duplicates"), 0);
    EXPECT_EQ(out.total("runs"), 2);
  }
  {
    SCOPED_TRACE("every message twice");
    auto check =
        start_check({}, {"--json", "--seconds", "4", "--max-loss", "10", "--url", kLoopbackUrl});
    publish_cycles(kUrl, 60, 100, 20, 0, 2);
    const CheckOutput out = finished_check(*check, 0);
    expect_truth(out, 100, 200);
    EXPECT_GE(out.total("duplicates"), 90);
  }
}

// A link slower than the frames: each arrives about 1.3 s after its status
// record, later than a status record waits at first. The frames that came
// take back what their records counted: nothing lost.
TEST_F(CheckInNamespace, ASlowLinkLosesNothing) {
  make_peer_host();
  // 10 Mbit/s with room for every frame queued: 1.6 MB takes 1.3 s.
  ASSERT_EQ(std::system("tc qdisc add dev va root tbf rate 10mbit burst 256kb limit 16mb"), 0);
  auto check = start_check({"ip", "netns", "exec", hosts_[0]},
                           {"--json", "--seconds", "10", "--url",
                            "udpm://239.255.76.67:7667?ttl=1&recv_buf_size=4194304"});
  publish_cycles(kLanUrl, 60, 5, 1'000);
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_EQ(out.total("frames"), 5);
  EXPECT_EQ(out.total("status_records"), 5);
  EXPECT_EQ(out.total("lost"), 0);
  EXPECT_GT(out.summary["delivery_ms_max"].get<double>(), 1'000) << "the link was not slow";
}

// A receive buffer asked for in the URL is judged by the frames that
// arrive: varnock's do not fit 512 KB (a few, or none at all, arrive whole
// while their status records come), and the warning names the URL's
// request; 64 x 64 ones do, and no warning says they will be lost.
TEST_F(CheckInNamespace, ASmallReceiveBufferIsJudgedByTheFramesThatArrive) {
  constexpr char kSmall[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=524288";
  {
    auto check = start_check({}, {"--json", "--seconds", "2", "--url", kSmall});
    publish_cycles("udpm://239.255.76.67:7667?ttl=0", 60, 100, 10);
    finished_check(*check, 0);
    const std::string err = testing::read_file(path("check.err"));
    EXPECT_NE(
        err.find("below the 3276880 that a frame of 1638440 bytes needs: frames will be lost"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("recv_buf_size=524288 in the URL is less than a frame"), std::string::npos)
        << err;
  }
  // The check outlasts the publisher well: a last frame still on its way
  // when the check ends would count as lost.
  auto check = start_check({}, {"--json", "--seconds", "5", "--url", kSmall});
  ChildProcess pace({PACE_BINARY, "--rate", "50", "--width", "64", "--height", "64", "--seconds",
                     "2", "--url", "udpm://239.255.76.67:7667?ttl=0"},
                    path("pace.out"), path("pace.err"));
  EXPECT_EQ(pace.wait_exit(std::chrono::seconds(10)), 0);
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_EQ(out.total("lost"), 0) << out.text;
  EXPECT_GT(out.total("frames"), 90);
  const std::string err = testing::read_file(path("check.err"));
  EXPECT_EQ(err.find("frames will be lost"), std::string::npos) << err;
}

// Past period 1,638,399 frames carry no sequence number: with datagrams
// dropped, the status records still tell how many frames were lost.
TEST_F(CheckInNamespace, FramesPastTheLastSequencedPeriodAreAccounted) {
  drop_udp("numgen random mod 1000 < 3");
  auto check = start_check({}, {"--json", "--seconds", "5", "--url", kLoopbackUrl});
  publish_cycles("udpm://239.255.76.67:7667?ttl=0", 1'638'300, 300, 10);  // 3 s
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_GT(out.total("unsequenced"), 0);
  EXPECT_GT(out.total("lost"), 0);
  EXPECT_GT(out.total("lost_estimated"), 0);
  // Dropped status records hide their frames' loss; there are few of them.
  EXPECT_LE(out.accounted(), 300);
  EXPECT_GE(out.accounted(), 290);
}

// Frames (large datagrams) stop getting through for 2 s in the middle of a
// run and again at its end, while status records still do: each loss shows
// in the seconds it happened, and the end's is counted from status records.
TEST_F(CheckInNamespace, FrameOutagesInTheMiddleAndAtTheEnd) {
  auto check = start_check({}, {"--json", "--seconds", "9", "--url", kLoopbackUrl});
  const int64_t start = std::time(nullptr);
  // The outages are cut at the publisher's cycles, 10 ms apart: the middle
  // one lasts 200 cycles (2 s), the last the run's final 200.
  std::atomic<int> cycle{0};
  std::thread publisher([&cycle] {
    publish_cycles("udpm://239.255.76.67:7667?ttl=0", 60, 700, 10, 0, 1,
                   [&cycle](int i) { cycle = i; });
  });
  const auto at_cycle = [&cycle](int n) {
    EXPECT_TRUE(testing::wait_until([&] { return cycle >= n; }, std::chrono::seconds(30)))
        << "the publisher never reached cycle " << n;
  };
  at_cycle(150);
  drop_udp("meta length > 1000");
  const int64_t cut = std::time(nullptr);
  at_cycle(350);
  drop_udp("");
  const int64_t restored = std::time(nullptr);
  at_cycle(500);
  drop_udp("meta length > 1000");
  publisher.join();
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_NEAR(out.accounted(), 700, 3);
  EXPECT_NEAR(out.total("lost"), 200 + out.total("lost_estimated"), 30);
  EXPECT_GT(out.total("lost_estimated"), 100) << "the loss at the end went uncounted";
  for (const json& r : out.rows) {
    const int64_t second = r["second"];
    EXPECT_GE(r["lost"].get<int64_t>(), 0);
    if (second > cut && second < restored) {
      EXPECT_GT(r["lost"].get<int64_t>(), 80) << "second " << second - start;
      EXPECT_EQ(r["frames"].get<int64_t>(), 0);
    }
  }
}

// SIGINT while a frame is on its way over a slow link: varnock finishes the
// cycle before it ends, so no frame is cut short. At 250 Mbit/s a frame
// takes about 50 ms, nearly all of it inside sendmsg, waiting for the link to
// drain the socket's send buffer (the queue holds more than that buffer, so
// the link itself drops nothing). A cut frame would still have sent some of
// its fragments: the datagrams that left would not be whole cycles.
TEST_F(CheckInNamespace, SignalDuringASlowPublishCutsNoFrame) {
  make_peer_host();
  const std::string setup =
      "tc qdisc add dev va root tbf rate 250mbit burst 256kb limit 16mb && nft -f - <<'EOF'\n"
      "table inet varnock_sent {\n"
      "  chain output {\n"
      "    type filter hook output priority 0;\n"
      "    oifname \"va\" udp dport 7667 counter\n"
      "  }\n"
      "}\n"
      "EOF\n";
  ASSERT_EQ(std::system(setup.c_str()), 0) << setup;
  auto check = start_check({"ip", "netns", "exec", hosts_[0]},
                           {"--json", "--url", std::string(kLanUrl) + "&recv_buf_size=4194304"});
  PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", kLanUrl);
  PtyProcess varnock(VARNOCK_BINARY, options);
  ASSERT_TRUE(varnock.wait_for_output(
      [](const std::string& o) { return std::count(o.begin(), o.end(), '\n') >= 4; },
      std::chrono::seconds(30)))
      << varnock.output();
  // A rate line starts a cycle: some 20 ms later its frame is half sent.
  // The pause aims the signal into the send, which is what is tested.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(varnock.pid(), SIGINT);
  ASSERT_TRUE(varnock.wait_exit(std::chrono::seconds(15)).has_value());
  EXPECT_EQ(varnock.ending(), "killed by SIGINT");
  // The link sends what it queued before the check can take it in.
  EXPECT_TRUE(testing::wait_until(
      [] { return std::system("tc -s qdisc show dev va | grep -q 'backlog 0b 0p'") == 0; },
      std::chrono::seconds(20)))
      << "the slow link still holds datagrams";
  const CheckOutput out = stop_check(*check);
  ASSERT_FALSE(out.summary.is_null());

  const int64_t frames = out.total("frames");
  EXPECT_EQ(out.total("corrupt"), 0);
  EXPECT_EQ(out.total("lost"), 0);
  ASSERT_EQ(out.summary["run_periods"].size(), 1u);
  EXPECT_EQ(out.summary["run_periods"][0][0], 60);
  EXPECT_EQ(out.summary["run_periods"][0][1].get<int64_t>() - 59, frames);
  EXPECT_EQ(out.total("status_records"), frames) << "a cycle's frame is missing";
  int64_t largest = 0;
  EXPECT_GE(frames, rate_line_total(varnock.output(), &largest));

  // Every datagram sent belongs to a cycle that arrived: one status record
  // and as many fragments a frame as every frame has.
  std::FILE* listing = popen("nft list table inet varnock_sent", "r");
  ASSERT_NE(listing, nullptr);
  char text[4096] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, listing);
  pclose(listing);
  const char* packets = std::strstr(text, "packets ");
  ASSERT_NE(packets, nullptr) << std::string(text, n);
  const int64_t datagrams = std::strtoll(packets + 8, nullptr, 10);
  ASSERT_GT(frames, 30);
  EXPECT_EQ((datagrams - frames) % frames, 0)
      << datagrams << " datagrams sent for " << frames << " whole cycles";
  std::system("nft delete table inet varnock_sent");
}

// Loss split by cause. A receive buffer that holds less than a frame: the
// kernel drops datagrams for the socket, and they explain nearly all the
// loss, which --max-loss turns into a failure naming the limit. Datagrams
// dropped on the path between two hosts: loss with no kernel drops, and no
// corrupt frame.
TEST_F(CheckInNamespace, LossIsSplitByCause) {
  {
    auto check = start_check({}, {"--json", "--max-loss", "5", "--url",
                                  "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=524288"});
    run_varnock(std::nullopt, 3);
    EXPECT_TRUE(testing::wait_receiver_idle(check->pid(), std::chrono::seconds(20)))
        << "varnock-check was still receiving 20 s after varnock ended";
    check->signal(SIGTERM);
    const CheckOutput out = finished_check(*check, 4);
    EXPECT_EQ(out.start["receive_buffer_bytes"], 1'048'576);
    EXPECT_GT(out.total("kernel_drops"), 0);
    EXPECT_GT(out.total("lost"), 0);
    EXPECT_GE(out.total("lost_receive_buffer"), out.total("lost") * 9 / 10);
    EXPECT_EQ(out.total("lost_receive_buffer") + out.total("lost_reassembly_memory") +
                  out.total("lost_fragments") + out.total("lost_in_lcm") +
                  out.total("lost_checksum") + out.total("lost_other"),
              out.total("lost"));
    EXPECT_EQ(out.row_sum("kernel_drops"), out.total("kernel_drops"));
    EXPECT_NE(testing::read_file(path("check.err")).find("above --max-loss 5"), std::string::npos);
  }
  make_peer_host();
  nft("table inet varnock {\n  chain input {\n    type filter hook input priority 0;\n"
      "    meta l4proto udp numgen random mod 100 0 drop\n  }\n}\n",
      hosts_[0]);
  CheckOutput out;
  const std::string published = run_across_hosts(4, &out);
  EXPECT_GT(out.total("lost"), 0);
  // Whole datagrams dropped on the way (the veth's MTU carries them
  // unfragmented): what the socket's drops do not explain is elsewhere, and
  // none is the host's reassembly or checksums. (The receiver may fall
  // behind now and then at full rate on a small host.)
  EXPECT_GE(out.total("lost_other"), out.total("lost") - out.total("kernel_drops"))
      << out.summary.dump();
  EXPECT_EQ(out.total("lost_reassembly_memory") + out.total("lost_fragments") +
                out.total("lost_checksum"),
            0);
  EXPECT_EQ(out.total("lost_receive_buffer") + out.total("lost_in_lcm") + out.total("lost_other"),
            out.total("lost"));
  // Dropped datagrams make lost frames, never corrupt ones.
  EXPECT_EQ(out.total("corrupt"), 0);
  EXPECT_GT(out.total("frames"), 0);
  int64_t largest = 0;
  EXPECT_GT(rate_line_total(published, &largest), 0) << "varnock stopped publishing";
}

// A subscriber slower than the publisher: LCM's queue fills and LCM drops
// whole messages, frames and status records alike, with no count of its
// own; the queue's wait and the records lost in step name it.
TEST_F(CheckInNamespace, ASlowHandlerLosesFramesInsideLcm) {
  auto check = start_check({}, {"--json", "--handler-ms", "8", "--url", kLoopbackUrl});
  ChildProcess pace({PACE_BINARY, "--rate", "200", "--width", "640", "--height", "480", "--seconds",
                     "3", "--url", "udpm://239.255.76.67:7667?ttl=0"},
                    path("pace.out"), path("pace.err"));
  EXPECT_EQ(pace.wait_exit(std::chrono::seconds(10)), 0);
  const CheckOutput out = stop_check(*check);
  EXPECT_GT(out.total("lost"), 50);
  EXPECT_GE(out.total("lost_in_lcm"), out.total("lost") / 2);
  EXPECT_GE(out.summary["lcm_queue_ms_max"].get<double>(), 50);
}

// A 1 kHz stream on two channels: every message accounted for per channel,
// in the summary and in the rows alike, with and without loss on the way.
// The loss is exact only up to the last message received, so datagrams
// are dropped only among LCM's first 5,000 (its sequence number, after the
// UDP header), never the last ones a channel sends.
TEST_F(CheckInNamespace, StreamsAreAccountedPerChannel) {
  struct Case {
    const char* name;
    const char* drop;  // an nftables match of datagrams to drop; "" none
  };
  const Case cases[] = {
      {"clean", ""},
      {"dropped", "@th,96,32 < 5000 numgen random mod 100 < 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drop_udp(c.drop);
    // A queue long enough that a checker slowed by a busy host discards
    // nothing.
    const StreamRun run = run_stream(c.name, {"--queue-capacity", "100000"});
    drop_udp("");
    EXPECT_GT(run.sent_per_channel, 2500);
    ASSERT_EQ(run.channels.size(), 2u) << run.check.text;
    int64_t lost = 0;
    for (int k = 0; k < 2; ++k) {
      const json& ch = run.channels[static_cast<size_t>(k)];
      const std::string name = "VARNOCK_MSG_" + std::to_string(k);
      SCOPED_TRACE(name);
      EXPECT_EQ(ch["channel"], name);
      const int64_t received = ch["received"].get<int64_t>();
      EXPECT_EQ(received + ch["lost"].get<int64_t>(), run.sent_per_channel) << run.check.text;
      EXPECT_EQ(ch["duplicates"], 0);
      EXPECT_EQ(ch["corrupt"], 0);
      EXPECT_EQ(ch["lost_in_lcm"], 0);
      EXPECT_EQ(stream_row_sum(run.check, name, "received"), received);
      EXPECT_EQ(stream_row_sum(run.check, name, "lost"), ch["lost"].get<int64_t>());
      EXPECT_TRUE(ch["latency_ms_p99"].is_number());
      lost += ch["lost"].get<int64_t>();
    }
    if (*c.drop == 0) {
      EXPECT_EQ(lost, 0);
    } else {
      EXPECT_GT(lost, 20);
    }
    // Only messages: something was received, and the frames are silent.
    EXPECT_EQ(run.check.total("frames"), 0);
  }
}

// The stream beside varnock at full rate, to a checker of everything and to
// one of the streams alone: each accounts every message per channel, with
// its latency, and only the first checks frames.
TEST_F(CheckInNamespace, StreamsBesideFullRateFrames) {
  const StreamRun run = run_stream("beside", {}, {{"--messages-only"}}, true);
  EXPECT_GT(run.sent_per_channel, 2500);
  ASSERT_EQ(run.others.size(), 1u);
  EXPECT_GT(run.check.total("frames"), 10) << "varnock's frames came";
  EXPECT_EQ(run.others[0].total("frames"), 0);
  EXPECT_EQ(run.others[0].start["messages_only"], true);
  for (const CheckOutput* out : {&run.check, &run.others[0]}) {
    ASSERT_EQ(out->summary["messages"].size(), 2u) << out->text;
    for (const json& ch : out->summary["messages"]) {
      SCOPED_TRACE(ch["channel"].get<std::string>());
      EXPECT_EQ(ch["received"].get<int64_t>() + ch["lost"].get<int64_t>(), run.sent_per_channel);
      EXPECT_EQ(ch["corrupt"], 0);
      EXPECT_GT(ch["latency_ms_p99"].get<double>(), 0);
      EXPECT_GE(ch["delivery_ms_p99"].get<double>(), ch["latency_ms_p50"].get<double>());
    }
  }
}

// A subscriber with a queue of 1 and a 2 ms handler, as Drake's are, on two
// 1 kHz channels: LCM's queue discards most of each stream, and that is
// where the account puts the loss. Only a channel's last messages, after its
// last one received, can go uncounted: with two channels' handlers of 2 ms
// each, a channel is dispatched every 4 ms or so, 4 messages apart.
TEST_F(CheckInNamespace, AQueueOfOneWithASlowHandlerLosesInLcm) {
  const StreamRun run = run_stream("queue", {"--queue-capacity", "1", "--handler-ms", "2"});
  EXPECT_EQ(run.check.start["queue_capacity"], 1);
  ASSERT_EQ(run.channels.size(), 2u) << run.check.text;
  for (const json& ch : run.channels) {
    SCOPED_TRACE(ch["channel"].get<std::string>());
    const int64_t received = ch["received"].get<int64_t>();
    const int64_t lost = ch["lost"].get<int64_t>();
    const int64_t in_lcm = ch["lost_in_lcm"].get<int64_t>();
    EXPECT_GT(in_lcm, run.sent_per_channel / 4);
    EXPECT_LE(received + lost, run.sent_per_channel);
    EXPECT_GE(received + lost, run.sent_per_channel - 8);
    EXPECT_GE(in_lcm, lost * 98 / 100) << "lost " << lost;
    EXPECT_EQ(ch["corrupt"], 0);
  }
}

// A clean run passes its limits; a file log has no kernel drops to tell, so
// the causes are null, not zero.
TEST_F(CheckInNamespace, LimitsPassACleanRunAndCausesAreNullWithoutASocket) {
  const std::string log = path("run.log");
  run_varnock("file://" + log + "?mode=w", 2);
  auto check = start_check({}, {"--json", "--max-loss", "0", "--min-frames", "100", "--url",
                                "file://" + log + "?speed=0"});
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_TRUE(out.summary["kernel_drops"].is_null());
  EXPECT_TRUE(out.summary["lost_receive_buffer"].is_null());
  EXPECT_TRUE(out.start["receive_buffer_bytes"].is_null());
  for (const json& r : out.rows) EXPECT_TRUE(r["lost_other"].is_null());
  auto short_check =
      start_check({}, {"--json", "--min-frames", "1000000", "--url", "file://" + log + "?speed=0"});
  finished_check(*short_check, 4);
  EXPECT_NE(testing::read_file(path("check.err")).find("below --min-frames 1000000"),
            std::string::npos);
}

// The multicast route disappears under a running varnock and comes back:
// varnock keeps cycling and reporting through the outage, frames reach the
// subscriber again afterwards, and the check shows the loss in the seconds
// of the outage.
TEST_F(CheckInNamespace, VarnockRidesOutANetworkOutage) {
  auto check = start_check({}, {"--json", "--url", kLoopbackUrl});
  PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", std::nullopt);
  PtyProcess varnock(VARNOCK_BINARY, options);
  auto lines_at_least = [&varnock](int n) {
    return varnock.wait_for_output(
        [n](const std::string& o) { return std::count(o.begin(), o.end(), '\n') >= n + 1; },
        std::chrono::seconds(30));
  };
  auto wall_second = [] { return static_cast<int64_t>(std::time(nullptr)); };

  ASSERT_TRUE(lines_at_least(2)) << varnock.output();
  ASSERT_EQ(std::system("ip route del 224.0.0.0/4 dev lo"), 0);
  const int64_t cut = wall_second();
  const size_t before_outage = varnock.output().size();
  ASSERT_TRUE(lines_at_least(5)) << "varnock stopped reporting in the outage";
  const std::string during = varnock.output().substr(before_outage);
  ASSERT_EQ(std::system("ip route add 224.0.0.0/4 dev lo"), 0);
  const int64_t restored = wall_second();
  ASSERT_TRUE(lines_at_least(8)) << varnock.output();
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 0);
  const CheckOutput out = stop_check(*check);

  int64_t largest = 0;
  EXPECT_GT(rate_line_total(during, &largest), 100) << "no cycles in the outage:\n" << during;
  EXPECT_EQ(out.total("corrupt"), 0);
  int64_t after = 0;
  for (const json& r : out.rows) {
    const int64_t second = r["second"];
    if (second > cut && second < restored) {
      EXPECT_EQ(r["frames"].get<int64_t>(), 0);
      EXPECT_GT(r["lost"].get<int64_t>(), 100) << "the outage's loss is not in its seconds";
    }
    if (second > restored) after += r["frames"].get<int64_t>();
  }
  EXPECT_GT(after, 100) << "frames did not flow again";
}

// Ends that are not the run's: an output that fails, a reader that goes
// away, a bus LCM cannot receive on. None leaves a report where it does not
// belong, and each says what failed.
TEST_F(CheckInNamespace, OutputsAndBusesThatFail) {
  const std::string check = CHECK_BINARY;
  const std::string csv = path("kept.csv");
  struct Case {
    const char* name;
    std::string shell;  // run by sh -c; $C is varnock-check, $F a CSV file
    int status;
    std::string err_contains;
  };
  const Case cases[] = {
      {"CSV on a full disk", "$C --url memq:// --seconds 1 --csv /dev/full", 6,
       "cannot write to --csv /dev/full: No space left on device"},
      {"standard output on a full disk", "$C --url memq:// --seconds 1 >/dev/full", 6,
       "cannot write to standard output: No space left on device"},
      {"a CSV that cannot be opened", "$C --url memq:// --seconds 1 --csv /nonexistent/x.csv", 6,
       "cannot write --csv /nonexistent/x.csv: No such file or directory"},
      // LCM 1.5 refuses to create a tcpq bus it cannot connect; 1.3 creates
      // one it cannot receive on.
      {"a tcpq server nobody runs", "$C --url tcpq://127.0.0.1:1 --seconds 1 --csv $F", 1,
       bus::lcm_create_fails_on_unreachable_tcpq(bus::loaded_lcm_version())
           ? "cannot open the bus tcpq://127.0.0.1:1"
           : "LCM cannot receive on tcpq://127.0.0.1:1"},
      // A filter whose reader has left ends by SIGPIPE, quietly.
      {"a reader that goes away", "set -o pipefail; $C --url memq:// --seconds 8 | head -c 1",
       128 + SIGPIPE, ""},
      // Stopped while opening a FIFO nobody reads: ended by the signal, with
      // no write error.
      {"a CSV FIFO stopped before a reader came",
       "rm -f $F.fifo; mkfifo $F.fifo; $C --url memq:// --csv $F.fifo & sleep 0.5; kill -TERM $!; "
       "wait $!; s=$?; rm -f $F.fifo; exit $s",
       128 + SIGTERM, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    { std::ofstream(csv) << "kept\n"; }
    std::string script = "C=" + check;
    script += "; F=" + csv + "; " + c.shell;
    ChildProcess p({"bash", "-c", script}, path("out"), path("err"));
    const std::optional<int> status = p.wait_exit(std::chrono::seconds(20));
    const std::string err = testing::read_file(path("err"));
    EXPECT_EQ(status, c.status) << err;
    if (c.err_contains.empty()) {
      EXPECT_EQ(err.find("cannot write"), std::string::npos) << err;
    } else {
      EXPECT_NE(err.find(c.err_contains), std::string::npos) << err;
    }
  }
  EXPECT_EQ(testing::read_file(csv), "kept\n") << "a bus that failed truncated the CSV";

  // With standard output closed, the rows go nowhere: the CSV holds only CSV.
  ChildProcess closed({"sh", "-c", check + " --url memq:// --seconds 3 --csv " + csv + " >&-"},
                      path("out"), path("err"));
  EXPECT_EQ(closed.wait_exit(std::chrono::seconds(20)), 4);
  const std::string rows = testing::read_file(csv);
  EXPECT_EQ(rows.rfind("second,clock_step_s,", 0), 0u) << rows;
  EXPECT_EQ(rows.find("RECSTAT"), std::string::npos) << rows;
  EXPECT_EQ(rows.find("summary"), std::string::npos) << rows;
}

// Each cause of loss on the receiving host, made in this namespace, takes
// most of the loss. Reassembly memory too small for one datagram of a
// frame: the kernel refuses their fragments, and no frame arrives.
TEST_F(CheckInNamespace, ReassemblyMemoryTooSmallForADatagramIsNamed) {
  fragment_on_loopback("net.ipv4.ipfrag_low_thresh=65536 net.ipv4.ipfrag_high_thresh=98304");
  auto check = start_check({}, {"--json", "--seconds", "4", "--url", kLoopbackUrl});
  auto pace = start_pace("10", "2");
  EXPECT_EQ(pace->wait_exit(std::chrono::seconds(10)), 0);
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_EQ(out.total("frames"), 0) << out.text;
  EXPECT_GE(out.total("lost"), 15) << out.text;
  EXPECT_GE(out.total("lost_reassembly_memory"), out.total("lost") * 9 / 10) << out.text;
}

// Fragments lost on the way: each leaves a reassembly queue that is never
// completed, a frame each, whether it times out within the run (a short
// ipfrag_time) or still waits at its end (the default 30 s).
TEST_F(CheckInNamespace, FragmentsLostOnTheWayAreNamed) {
  drop_fragments(4);
  for (const char* seconds : {"1", "30"}) {
    SCOPED_TRACE(std::string("ipfrag_time ") + seconds);
    fragment_on_loopback(std::string("net.ipv4.ipfrag_time=") + seconds);
    auto check = start_check({}, {"--json", "--seconds", "5", "--url", kLoopbackUrl});
    auto pace = start_pace("10", "3");
    EXPECT_EQ(pace->wait_exit(std::chrono::seconds(10)), 0);
    const CheckOutput out = finished_check(*check, 0);
    EXPECT_GE(out.total("lost"), 3) << out.text;
    EXPECT_GE(out.total("lost_fragments"), out.total("lost") * 7 / 10) << out.text;
    EXPECT_GT(out.total("frames"), 0) << out.text;
  }
}

// The same loss with the default ipfrag_time of 30 s: the queues it leaves
// fill the reassembly memory, and from then on the kernel refuses every
// fragment.
TEST_F(CheckInNamespace, AFullReassemblyMemoryIsNamed) {
  fragment_on_loopback("net.ipv4.ipfrag_low_thresh=786432 net.ipv4.ipfrag_high_thresh=1048576");
  drop_fragments(10);
  auto check = start_check({}, {"--json", "--seconds", "5", "--url", kLoopbackUrl});
  auto pace = start_pace("20", "3");
  EXPECT_EQ(pace->wait_exit(std::chrono::seconds(10)), 0);
  const CheckOutput out = finished_check(*check, 0);
  EXPECT_GE(out.total("lost"), 20) << out.text;
  EXPECT_GE(out.total("lost_reassembly_memory"), out.total("lost") / 2) << out.text;
  EXPECT_GT(out.total("lost_reassembly_memory"), out.total("lost_fragments")) << out.text;
}

// --share publishes each settled second and the summary on VARNOCK_CHECK of
// the bus it listens to, with the JSON lines' values; the account is not
// disturbed by it. A log cannot carry them.
TEST_F(CheckInNamespace, SharedReportsCarryTheAccount) {
  lcm_t* listener = lcm_create(kLoopbackUrl);
  ASSERT_NE(listener, nullptr);
  std::vector<check_report_t> reports;
  int malformed = 0;
  std::atomic<int> summaries{0};
  struct Sink {
    std::vector<check_report_t>* reports;
    int* malformed;
    std::atomic<int>* summaries;
  } sink{&reports, &malformed, &summaries};
  lcm_subscribe(
      listener, "VARNOCK_CHECK",
      [](const lcm_recv_buf_t* rbuf, const char*, void* user) {
        auto* to = static_cast<Sink*>(user);
        check_report_t m;
        if (check_report_t::decode(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size, &m)) {
          to->reports->push_back(std::move(m));
          if (to->reports->back().kind == check_report_t::kKindSummary) ++*to->summaries;
        } else {
          ++*to->malformed;
        }
      },
      &sink);
  std::atomic<bool> done{false};
  std::thread pump([&] {
    while (!done) lcm_handle_timeout(listener, 50);
  });

  auto check = start_check(
      {}, {"--json", "--seconds", "4", "--share", "--name", "sub-a", "--url", kLoopbackUrl});
  publish_cycles("udpm://239.255.76.67:7667?ttl=0", 60, 100, 10);
  const CheckOutput out = finished_check(*check, 0);
  // The summary comes three times, each copy the same message.
  EXPECT_TRUE(testing::wait_until([&] { return summaries.load() == 3; }, std::chrono::seconds(10)))
      << summaries.load() << " summary reports on VARNOCK_CHECK";
  done = true;
  pump.join();
  lcm_destroy(listener);

  EXPECT_EQ(out.accounted(), 100) << out.text;
  EXPECT_EQ(out.total("runs"), 1) << out.text;
  EXPECT_EQ(out.total("corrupt"), 0) << out.text;
  EXPECT_EQ(malformed, 0);
  ASSERT_EQ(reports.size(), out.rows.size() + 3);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  for (size_t i = 0; i < reports.size(); ++i) {
    const check_report_t& m = reports[i];
    const bool last = i >= out.rows.size();
    // Numbered from 0, the summary's copies keeping one number; one
    // instance throughout.
    EXPECT_EQ(m.sequence, static_cast<int64_t>(std::min(i, out.rows.size())));
    EXPECT_EQ(m.instance, reports[0].instance);
    EXPECT_NE(m.instance, 0);
    const json& j = last ? out.summary : out.rows[i];
    SCOPED_TRACE(j.dump());
    EXPECT_EQ(m.kind, last ? check_report_t::kKindSummary : check_report_t::kKindSecond);
    EXPECT_EQ(m.name, "sub-a");
    EXPECT_EQ(m.host, host);
    EXPECT_EQ(m.pid, check->pid());
    EXPECT_EQ(m.url, kLoopbackUrl);
    if (!last) {
      EXPECT_EQ(m.second, j["second"].get<int64_t>());
    }
    EXPECT_EQ(m.frames, j["frames"].get<int64_t>());
    EXPECT_EQ(m.status_records, j["status_records"].get<int64_t>());
    EXPECT_EQ(m.lost, j["lost"].get<int64_t>());
    EXPECT_EQ(m.kernel_drops, j["kernel_drops"].get<int64_t>());
    EXPECT_GE(m.send_drops, 0);
  }

  const std::string log = path("run.log");
  publish_cycles(("file://" + log + "?mode=w").c_str(), 60, 3, 1);
  ChildProcess from_log(
      {CHECK_BINARY, "--seconds", "1", "--share", "--url", "file://" + log + "?speed=0"},
      path("check.out"), path("check.err"));
  EXPECT_EQ(from_log.wait_exit(std::chrono::seconds(10)), 2);
  EXPECT_NE(testing::read_file(path("check.err")).find("--share cannot publish on file://"),
            std::string::npos)
      << testing::read_file(path("check.err"));
}

}  // namespace
}  // namespace varnock

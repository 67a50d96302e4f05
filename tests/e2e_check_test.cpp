// varnock-check against the real varnock, inside network namespaces of their
// own: on one host (multicast over loopback), across two hosts joined by a
// veth pair, with packets dropped on the way, and with a damaged frame.
#include <gtest/gtest.h>
#include <lcm/lcm.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "messages/encoding.h"
#include "pattern/frames.h"
#include "tests/support/child_process.h"
#include "tests/support/netns.h"
#include "tests/support/pty_process.h"

namespace varnock {
namespace {

using testing::ChildProcess;
using testing::PtyOptions;
using testing::PtyProcess;

constexpr char kLoopbackUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304";
constexpr char kLanUrl[] = "udpm://239.255.76.67:7667?ttl=1";

// The integer after "key": in a JSON line; fails the test when absent.
int64_t json_int(const std::string& line, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const size_t at = line.find(needle);
  EXPECT_NE(at, std::string::npos) << key << " missing in " << line;
  return at == std::string::npos ? -1
                                 : std::strtoll(line.c_str() + at + needle.size(), nullptr, 10);
}

struct CheckOutput {
  std::vector<std::string> rows;
  std::string summary;
};

CheckOutput parse_check_output(const std::string& out) {
  CheckOutput o;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    (line.find("\"summary\":true") != std::string::npos ? o.summary : line) = line;
    if (line.find("\"second\":") != std::string::npos) o.rows.push_back(line);
  }
  return o;
}

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

class CheckInNamespace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { skip_reason_ = testing::enter_multicast_namespace(); }

  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_ << ": namespace test skipped";
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnock-check-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!peer_.empty()) {
      std::system(("ip netns del " + peer_ + " 2>/dev/null").c_str());
      std::system("ip route replace 224.0.0.0/4 dev lo");
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string path(const char* name) const { return (dir_ / name).string(); }

  // Starts varnock-check with `args` (prefixed, e.g. by "ip netns exec"),
  // and waits until it has opened the bus.
  std::unique_ptr<ChildProcess> start_check(std::vector<std::string> prefix,
                                            const std::vector<std::string>& args) {
    prefix.emplace_back(CHECK_BINARY);
    prefix.insert(prefix.end(), args.begin(), args.end());
    auto check = std::make_unique<ChildProcess>(prefix, path("check.out"), path("check.err"));
    for (int i = 0; i < 100 && testing::read_file(path("check.err")).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
    return check;
  }

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

  // Lets the last frames arrive, stops varnock-check with SIGTERM and reads
  // what it wrote; it must exit 0 (nothing corrupt) with a summary.
  CheckOutput stop_check(ChildProcess& check) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    check.signal(SIGTERM);
    EXPECT_EQ(check.wait_exit(std::chrono::seconds(10)), 0);
    CheckOutput out = parse_check_output(testing::read_file(path("check.out")));
    EXPECT_FALSE(out.summary.empty()) << testing::read_file(path("check.err"));
    return out;
  }

  // varnock on this host and varnock-check on the peer host, over ttl=1,
  // until varnock has printed `lines` rate lines; returns varnock's output.
  std::string run_across_hosts(int lines, CheckOutput* out) {
    auto check = start_check({"ip", "netns", "exec", peer_},
                             {"--json", "--url", std::string(kLanUrl) + "&recv_buf_size=4194304"});
    std::string published = run_varnock(kLanUrl, lines);
    *out = stop_check(*check);
    return published;
  }

  // Makes a second host: a namespace joined to this one by a veth pair, with
  // multicast routed over it on both sides.
  void make_peer_host() {
    peer_ = "varnock-peer-" + std::to_string(getpid());
    const std::string n = " -n " + peer_ + " ";
    const std::string script =
        "ip netns add " + peer_ + " && ip link add va type veth peer name vb netns " + peer_ +
        " && ip addr add 10.231.0.1/24 dev va && ip link set va mtu 65535 up" +
        " && ip route replace 224.0.0.0/4 dev va" + " && ip" + n + "link set lo up && ip" + n +
        "addr add 10.231.0.2/24 dev vb && ip" + n + "link set vb mtu 65535 up && ip" + n +
        "route add 224.0.0.0/4 dev vb";
    ASSERT_EQ(std::system(script.c_str()), 0) << script;
  }

  static std::string skip_reason_;
  std::filesystem::path dir_;
  std::string peer_;
};
std::string CheckInNamespace::skip_reason_;

TEST_F(CheckInNamespace, AccountAddsUpWithWhatVarnockPublished) {
  auto check = start_check({}, {"--json", "--url", kLoopbackUrl});
  const std::string published = run_varnock(std::nullopt, 3);
  const CheckOutput out = stop_check(*check);
  ASSERT_FALSE(out.summary.empty());
  const std::string& s = out.summary;
  EXPECT_EQ(json_int(s, "corrupt"), 0);
  const int64_t frames = json_int(s, "frames");
  const int64_t first = json_int(s, "first_period");
  const int64_t last = json_int(s, "last_period");
  EXPECT_GE(frames, 100);
  EXPECT_EQ(json_int(s, "restarts"), 0);
  // Received and lost cover every period from the first received to the last.
  EXPECT_EQ(frames - json_int(s, "duplicates") - json_int(s, "unsequenced") + json_int(s, "lost"),
            last - first + 1);
  // The check listened before varnock began, so it saw the run from its start;
  // varnock's rate lines count every cycle before its last line's, and the
  // run went on for less than another second's worth after it.
  EXPECT_LT(first - 60, 10);
  int64_t largest = 0;
  const int64_t reported = rate_line_total(published, &largest);
  EXPECT_GE(last - 59, reported - 10);
  EXPECT_LE(last - 59, reported + largest + 1);
  // The rows add up to the summary.
  int64_t row_frames = 0;
  for (const std::string& row : out.rows) row_frames += json_int(row, "frames");
  EXPECT_EQ(row_frames, frames);
}

TEST_F(CheckInNamespace, DamagedFrameIsReportedCorruptWithNonZeroExit) {
  auto check = start_check({}, {"--json", "--seconds", "3", "--url", kLoopbackUrl});
  lcm_t* bus = lcm_create("udpm://239.255.76.67:7667?ttl=0");
  ASSERT_NE(bus, nullptr);
  TestPatternFrames frames;
  for (int i = 0; i < 4; ++i) {
    const tfimage_t& f = frames.next(1'700'000'000'000 + i);
    if (i == 3) {
      auto damaged = f;
      damaged.data[1'000'001] = 9;
      publish_message(bus, "TFIMAGE", damaged);
    } else {
      publish_message(bus, "TFIMAGE", f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  lcm_destroy(bus);
  EXPECT_EQ(check->wait_exit(std::chrono::seconds(10)), 3);
  const CheckOutput out = parse_check_output(testing::read_file(path("check.out")));
  EXPECT_EQ(json_int(out.summary, "corrupt"), 1);
  EXPECT_EQ(json_int(out.summary, "frames"), 3);
  EXPECT_NE(testing::read_file(path("check.err")).find("corrupt TFIMAGE message"),
            std::string::npos);
}

TEST_F(CheckInNamespace, TwoHostsFramesArriveIntact) {
  make_peer_host();
  CheckOutput out;
  run_across_hosts(3, &out);
  EXPECT_EQ(json_int(out.summary, "corrupt"), 0);
  EXPECT_GE(json_int(out.summary, "frames"), 100);
  EXPECT_GE(json_int(out.summary, "status_records"), 100);
}

TEST_F(CheckInNamespace, DroppedPacketsAreLostFramesNotCorruptOnes) {
  make_peer_host();
  const std::string nft = "ip netns exec " + peer_ + " nft -f -";
  std::FILE* rules = popen(nft.c_str(), "w");
  ASSERT_NE(rules, nullptr);
  std::fputs(
      "table inet varnock {\n"
      "  chain input {\n"
      "    type filter hook input priority 0;\n"
      "    meta l4proto udp numgen random mod 100 0 drop\n"
      "  }\n"
      "}\n",
      rules);
  ASSERT_EQ(pclose(rules), 0) << "nftables could not load the rule";
  CheckOutput out;
  const std::string published = run_across_hosts(4, &out);
  EXPECT_EQ(json_int(out.summary, "corrupt"), 0);
  EXPECT_GT(json_int(out.summary, "lost"), 0);
  EXPECT_GT(json_int(out.summary, "frames"), 0);
  int64_t largest = 0;
  EXPECT_GT(rate_line_total(published, &largest), 0) << "varnock stopped publishing";
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
  auto check = start_check({"ip", "netns", "exec", peer_},
                           {"--json", "--url", std::string(kLanUrl) + "&recv_buf_size=4194304"});
  PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", kLanUrl);
  PtyProcess varnock(VARNOCK_BINARY, options);
  ASSERT_TRUE(varnock.wait_for_output(
      [](const std::string& o) { return std::count(o.begin(), o.end(), '\n') >= 4; },
      std::chrono::seconds(30)))
      << varnock.output();
  // A rate line starts a cycle: some 20 ms later its frame is half sent.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(varnock.pid(), SIGINT);
  ASSERT_TRUE(varnock.wait_exit(std::chrono::seconds(15)).has_value());
  EXPECT_EQ(varnock.ending(), "killed by SIGINT");
  const CheckOutput out = stop_check(*check);
  ASSERT_FALSE(out.summary.empty());

  const std::string& s = out.summary;
  const int64_t frames = json_int(s, "frames");
  EXPECT_EQ(json_int(s, "corrupt"), 0);
  EXPECT_EQ(json_int(s, "lost"), 0);
  EXPECT_EQ(json_int(s, "first_period"), 60);
  EXPECT_EQ(json_int(s, "last_period") - 59, frames);
  EXPECT_EQ(json_int(s, "status_records"), frames) << "a cycle's frame is missing";
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
}

// The multicast route disappears under a running varnock and comes back:
// varnock keeps cycling and reporting through the outage (a failed publish is
// not its concern), and frames reach the subscriber again afterwards.
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
  ASSERT_FALSE(out.summary.empty());
  EXPECT_EQ(json_int(out.summary, "corrupt"), 0);
  int64_t in_outage = 0;
  int64_t after = 0;
  for (const std::string& row : out.rows) {
    const int64_t second = json_int(row, "second");
    if (second > cut && second < restored) in_outage += json_int(row, "frames");
    if (second > restored) after += json_int(row, "frames");
  }
  EXPECT_EQ(in_outage, 0);
  EXPECT_GT(after, 100) << "frames did not flow again";
}

}  // namespace
}  // namespace varnock

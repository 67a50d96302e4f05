// varnock-check --diagnose against real set-ups inside a network namespace of
// its own: no multicast route, loopback without its multicast flag, a receive
// buffer too small for a frame, and a good set-up with varnock running; and
// the kernel's drop counter of LCM's receiving socket, read in this process.
#include <gtest/gtest.h>
#include <lcm/lcm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "host/receive_buffer.h"
#include "host/receive_socket_linux.h"
#include "messages/tfimage_t.h"
#include "tests/support/child_process.h"
#include "tests/support/netns.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace varnock {
namespace {

using testing::ChildProcess;

constexpr char kGoodUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608";
constexpr char kTinyUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=65536";

struct Diagnosis {
  std::optional<int> status;
  std::vector<std::string> lines;
  std::string err;

  // The line about `subject` ("FAIL  route: ..."); empty when there is none.
  std::string line(const std::string& subject) const {
    for (const std::string& l : lines) {
      if (l.size() > 6 && l.compare(6, subject.size() + 1, subject + ":") == 0) return l;
    }
    return "";
  }
  std::string all() const {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text + err;
  }
};

int64_t read_sysctl(const char* path) {
  std::ifstream in(path);
  int64_t v = -1;
  in >> v;
  return v;
}

// A UDP socket bound to port 7667 with SO_REUSEADDR, as LCM's receiving
// socket is, on the lowest free descriptor; -1 when it cannot be made.
int socket_like_lcms() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(7667);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class DiagnoseInNamespace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("LCM_DEFAULT_URL");
    skip_reason_ = testing::enter_multicast_namespace();
  }

  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_ << ": namespace test skipped";
  }
  void TearDown() override {
    varnock_.reset();
    if (!skip_reason_.empty()) return;
    // Each test starts from the namespace's good set-up.
    std::system(
        "ip link set lo multicast on mtu 65536 && ip route replace 224.0.0.0/4 dev lo && sysctl "
        "-qw net.ipv4.ipfrag_high_thresh=4194304 net.ipv4.ipfrag_low_thresh=3145728");
  }

  std::string path(const char* name) const { return dir_.path(name); }

  // Starts varnock (until the test ends) and waits until it publishes: its
  // first rate line follows its banner once it cycles.
  void start_varnock() {
    varnock_ = std::make_unique<ChildProcess>(std::vector<std::string>{VARNOCK_BINARY},
                                              path("varnock.out"), path("varnock.err"));
    EXPECT_TRUE(
        testing::wait_for_line(path("varnock.out"), " frame rate: ", std::chrono::seconds(20)))
        << "varnock does not cycle: " << testing::read_file(path("varnock.out"))
        << testing::read_file(path("varnock.err"));
  }

  Diagnosis diagnose(const std::string& url) {
    ChildProcess check({CHECK_BINARY, "--diagnose", "--seconds", "2", "--url", url},
                       path("check.out"), path("check.err"));
    Diagnosis d;
    d.status = check.wait_exit(std::chrono::seconds(30));
    std::istringstream out(testing::read_file(path("check.out")));
    for (std::string l; std::getline(out, l);) d.lines.push_back(l);
    d.err = testing::read_file(path("check.err"));
    EXPECT_FALSE(d.lines.empty());
    if (!d.lines.empty()) {
      EXPECT_EQ(d.lines.back().rfind("verdict: ", 0), 0u) << d.all();
    }
    return d;
  }

  static std::string skip_reason_;
  testing::TempDir dir_{"varnock-diag"};
  std::unique_ptr<ChildProcess> varnock_;
};
std::string DiagnoseInNamespace::skip_reason_;

TEST_F(DiagnoseInNamespace, NoRouteNamesTheRouteToAdd) {
  ASSERT_EQ(std::system("ip route del 224.0.0.0/4 dev lo"), 0);
  const Diagnosis d = diagnose(kGoodUrl);
  EXPECT_EQ(d.status, kExitNoBus) << d.all();
  EXPECT_EQ(d.line("route").rfind("FAIL  ", 0), 0u) << d.all();
  EXPECT_NE(d.line("route").find("fix: ip route add 224.0.0.0/4 dev lo"), std::string::npos)
      << d.all();
  EXPECT_EQ(d.line("bus").rfind("FAIL  ", 0), 0u) << d.all();
}

// Linux carries multicast over lo without the flag all the same: the line
// names the fix as a warning, and traffic still arrives.
TEST_F(DiagnoseInNamespace, LoopbackWithoutMulticastFlagIsNamed) {
  ASSERT_EQ(std::system("ip link set lo multicast off"), 0);
  start_varnock();
  const Diagnosis d = diagnose(kGoodUrl);
  EXPECT_EQ(d.line("multicast flag"),
            "warn  multicast flag: lo has multicast off; LCM's set-up guide asks for it on; "
            "fix: ip link set lo multicast on")
      << d.all();
  EXPECT_EQ(d.line("route").rfind("ok    ", 0), 0u) << d.all();
  EXPECT_EQ(d.line("status records").rfind("ok    ", 0), 0u) << d.all();
}

TEST_F(DiagnoseInNamespace, SmallReceiveBufferFailsWithKernelDrops) {
  start_varnock();
  const Diagnosis d = diagnose(kTinyUrl);
  EXPECT_EQ(d.status, kExitDiagnoseFailed) << d.all();
  EXPECT_EQ(d.line("recv_buf_size").rfind("FAIL  ", 0), 0u) << d.all();
  EXPECT_NE(d.line("recv_buf_size").find("fix: recv_buf_size=8388608"), std::string::npos)
      << d.all();
  // The kernel doubles the request: 131,072 bytes.
  EXPECT_NE(d.line("receive buffer").find("granted LCM's socket 131,072 bytes"), std::string::npos)
      << d.all();
  const std::string drops = d.line("kernel drops");
  ASSERT_EQ(drops.rfind("FAIL  kernel drops: the kernel dropped ", 0), 0u) << d.all();
  EXPECT_GT(std::atoll(drops.c_str() + std::strlen("FAIL  kernel drops: the kernel dropped ")), 0)
      << d.all();
  EXPECT_EQ(d.line("status records").rfind("ok    ", 0), 0u) << d.all();
}

TEST_F(DiagnoseInNamespace, NothingPublishedFails) {
  const Diagnosis d = diagnose(kGoodUrl);
  EXPECT_EQ(d.status, kExitDiagnoseFailed) << d.all();
  EXPECT_NE(d.line("frames").find("FAIL  frames: no frames (TFIMAGE) in 2 s: is varnock running"),
            std::string::npos)
      << d.all();
}

TEST_F(DiagnoseInNamespace, GoodSetUpWithTrafficPasses) {
  const int64_t rmem_max = read_sysctl("/proc/sys/net/core/rmem_max");
  if (rmem_max < host::buffer_need(kFrameBytes).request) {
    GTEST_SKIP() << "net.core.rmem_max is " << rmem_max
                 << ", too low for a good set-up; the test changes no host setting";
  }
  // varnock's frames at 100 Hz: a set-up test, not one of how many a
  // second this host can take.
  ChildProcess pace({PACE_BINARY, "--rate", "100", "--seconds", "6", "--url", kGoodUrl},
                    path("pace.out"), path("pace.err"));
  const Diagnosis d = diagnose(kGoodUrl);
  EXPECT_EQ(d.status, kExitOk) << d.all();
  for (const std::string& l : d.lines) EXPECT_EQ(l.find("FAIL"), std::string::npos) << d.all();
  EXPECT_EQ(d.lines.back(), "verdict: all well, and traffic arrived whole");
  EXPECT_EQ(d.line("frames").rfind("ok    frames: ", 0), 0u) << d.all();
  EXPECT_EQ(d.line("kernel drops"), "ok    kernel drops: none for LCM's socket") << d.all();
}

// In this process: LCM opens its receiving socket only when asked to receive;
// then the socket is found (not the sending one), its granted buffer read,
// and the kernel's drops counted while varnock overflows it.
TEST_F(DiagnoseInNamespace, ReceiveSocketReadsTheKernelsDrops) {
  lcm_t* bus = lcm_create(kTinyUrl);
  ASSERT_NE(bus, nullptr);
  const char hello[] = "hello";
  ASSERT_EQ(lcm_publish(bus, "HELLO", hello, sizeof hello), 0);  // binds the sending socket
  EXPECT_FALSE(host::find_receive_socket(7667)) << "found before any subscription";
  lcm_subscription_t* subscription = lcm_subscribe(
      bus, "TFIMAGE", [](const lcm_recv_buf_t*, const char*, void*) {}, nullptr);
  ASSERT_NE(subscription, nullptr);
  const std::unique_ptr<host::ReceiveCounters> socket = host::find_receive_socket(7667);
  ASSERT_TRUE(socket);
  EXPECT_EQ(socket->receive_buffer_bytes(), 2 * 65'536);
  EXPECT_FALSE(host::find_receive_socket(7668));
  const int64_t before = socket->drops();
  EXPECT_GE(before, 0);

  start_varnock();
  EXPECT_TRUE(
      testing::wait_until([&] { return socket->drops() > before; }, std::chrono::seconds(20)))
      << "no drop counted while varnock overflowed the socket";
  varnock_.reset();  // it inherited the socket
  lcm_destroy(bus);
  EXPECT_EQ(socket->drops(), -1) << "a closed socket has no counters";
  // Other sockets on the freed descriptors, bound to the same port, are not
  // the socket that was found.
  std::vector<int> reused(16);
  for (int& fd : reused) fd = socket_like_lcms();
  EXPECT_GE(*std::min_element(reused.begin(), reused.end()), 0);
  EXPECT_EQ(socket->drops(), -1) << "read the counters of a socket now on its descriptor";
  for (const int fd : reused) close(fd);
}

// The preflight keeps the account of a checking run: two publishers at
// different rates lose nothing, though their sequences interleave.
TEST_F(DiagnoseInNamespace, TwoPublishersPass) {
  std::vector<std::unique_ptr<ChildProcess>> pace;
  for (const char* rate : {"30", "100"}) {
    pace.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{PACE_BINARY, "--rate", rate, "--width", "64", "--height", "64",
                                 "--seconds", "8", "--url", kGoodUrl},
        path(rate), path(rate) + ".err"));
    // Its start line comes as it opens the bus.
    EXPECT_TRUE(testing::wait_for_line(path(rate), "varnock-pace: ", std::chrono::seconds(20)))
        << testing::read_file(path(rate) + ".err");
  }
  const Diagnosis d = diagnose(kGoodUrl);
  EXPECT_EQ(d.status, 0) << d.all();
  EXPECT_EQ(d.line("frames").rfind("ok    frames: ", 0), 0u) << d.all();
}

// Loopback at an Ethernet MTU fragments a frame as a LAN does: the MTU line
// tells what that costs; reassembly memory too small for one datagram of a
// frame fails, with the fix.
TEST_F(DiagnoseInNamespace, AtMtu1500TheFragmentSettingsAreJudged) {
  const int64_t rmem_max = read_sysctl("/proc/sys/net/core/rmem_max");
  if (rmem_max < host::buffer_need(kFrameBytes).request) {
    GTEST_SKIP() << "net.core.rmem_max is " << rmem_max
                 << ", too low for a good set-up; the test changes no host setting";
  }
  ASSERT_EQ(std::system("ip link set lo mtu 1500"), 0);
  ChildProcess pace({PACE_BINARY, "--rate", "20", "--seconds", "9", "--url", kGoodUrl},
                    path("pace.out"), path("pace.err"));
  const Diagnosis defaults = diagnose(kGoodUrl);
  EXPECT_EQ(defaults.status, kExitOk) << defaults.all();
  EXPECT_EQ(defaults.line("mtu").rfind("warn  mtu: lo has MTU 1,500: a frame of 1,638,440 bytes is "
                                       "26 datagrams of up to 45 IP fragments, 1,126 packets",
                                       0),
            0u)
      << defaults.all();
  EXPECT_EQ(defaults.line("ipfrag_high_thresh"), "") << defaults.all();
  EXPECT_EQ(defaults.line("frames").rfind("ok    frames: ", 0), 0u) << defaults.all();

  ASSERT_EQ(std::system("sysctl -qw net.ipv4.ipfrag_low_thresh=65536 "
                        "net.ipv4.ipfrag_high_thresh=98304"),
            0);
  const Diagnosis small = diagnose(kGoodUrl);
  EXPECT_EQ(small.status, kExitDiagnoseFailed) << small.all();
  EXPECT_EQ(small.line("ipfrag_high_thresh").rfind("FAIL  ipfrag_high_thresh: ", 0), 0u)
      << small.all();
  EXPECT_NE(small.line("ipfrag_high_thresh").find("fix: sysctl -w net.ipv4.ipfrag_high_thresh="),
            std::string::npos)
      << small.all();
  // The frames' size is known from their status records' pace alone: none
  // arrived, and the frames line says why in general terms.
  EXPECT_EQ(small.line("frames").rfind("FAIL  frames: no frames", 0), 0u) << small.all();
}

}  // namespace
}  // namespace varnock

// The lines of varnock-check --diagnose: the set-up checks against facts of
// a host, the traffic seen, and the verdict; and the facts read through the
// host interface.
#include "diagnose/diagnose.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bus/lcm_url.h"
#include "diagnose/verdicts.h"
#include "host/host.h"
#include "messages/tfimage_t.h"

namespace varnock::diagnose {
namespace {

using bus::LcmUrl;
using bus::parse_lcm_url;

in_addr address(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

// varnock's frames, when none arrived to judge by.
constexpr FrameFacts kVarnockFrame{kFrameBytes, false};

LcmUrl udpm(const std::string& text) {
  LcmUrl url;
  EXPECT_EQ(parse_lcm_url(text, &url), "") << text;
  return url;
}

SetupFacts good_loopback() {
  SetupFacts f;
  f.route.destination = address("224.0.0.0");
  f.route.prefix_length = 4;
  f.route.interface_index = 1;
  f.route.interface = "lo";
  f.interface = {true, true, true, true};
  f.rmem_max = 4'194'304;
  f.rmem_default = 212'992;
  return f;
}

SetupFacts lan(bool multicast = true) {
  SetupFacts f = good_loopback();
  f.route.interface = "eth0";
  f.interface = {true, true, multicast, false};
  return f;
}

TEST(SetupLines, EachProblemFailsOrWarnsWithItsFix) {
  using M = DiagnoseLine::Mark;
  constexpr char kGood[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608";
  struct Case {
    const char* name;
    std::string url;
    SetupFacts facts;
    std::string subject;
    M mark;
    const char* text_or_fix_contains;
  };
  SetupFacts no_route = good_loopback();
  no_route.route_error = "Network is unreachable";
  SetupFacts lo_off = good_loopback();
  lo_off.interface.multicast = false;
  SetupFacts lo_down = good_loopback();
  lo_down.interface.up = false;
  SetupFacts low_max = good_loopback();
  low_max.rmem_max = 212'992;
  SetupFacts big_default = good_loopback();
  big_default.rmem_default = 4'194'304;
  SetupFacts unknown = good_loopback();
  unknown.interface = {};
  unknown.rmem_max = -1;
  const Case cases[] = {
      {"a good set-up: route", kGood, good_loopback(), "route", M::kOk, "via 224.0.0.0/4 dev lo"},
      {"a good set-up: ttl", kGood, good_loopback(), "ttl", M::kOk, "this host only"},
      {"a good set-up: buffer", kGood, good_loopback(), "recv_buf_size", M::kOk, "8,388,608"},
      {"no route", kGood, no_route, "route", M::kFail, "ip route add 224.0.0.0/4 dev lo"},
      {"lo multicast off", kGood, lo_off, "multicast flag", M::kWarn,
       "ip link set lo multicast on"},
      {"LAN interface multicast off", kGood, lan(false), "multicast flag", M::kWarn,
       "ip link set eth0 multicast on"},
      {"lo down", kGood, lo_down, "interface", M::kFail, "ip link set lo up"},
      {"ttl 1 on lo", "udpm://239.255.76.67:7667?ttl=1&recv_buf_size=8388608", good_loopback(),
       "ttl", M::kWarn, "stays on this host"},
      {"ttl 0 on a LAN", kGood, lan(), "ttl", M::kWarn, "ttl=1"},
      {"ttl 1 on a LAN", "udpm://239.255.76.67:7667?ttl=1&recv_buf_size=8388608", lan(), "ttl",
       M::kOk, "reaches the LAN"},
      {"rmem_max low", kGood, low_max, "rmem_max", M::kFail, "sysctl -w net.core.rmem_max=8388608"},
      {"a large request cut by rmem_max", kGood, low_max, "recv_buf_size", M::kFail,
       "sysctl -w net.core.rmem_max=8388608"},
      {"recv_buf_size small", "udpm://239.255.76.67:7667?recv_buf_size=524288", good_loopback(),
       "recv_buf_size", M::kFail, "recv_buf_size=8388608 in the URL"},
      {"recv_buf_size one frame", "udpm://239.255.76.67:7667?recv_buf_size=1638440",
       good_loopback(), "recv_buf_size", M::kOk, "3,276,880"},
      {"recv_buf_size a byte short", "udpm://239.255.76.67:7667?recv_buf_size=1638439",
       good_loopback(), "recv_buf_size", M::kFail, "recv_buf_size=8388608"},
      {"no recv_buf_size, small rmem_default", "udpm://239.255.76.67:7667", good_loopback(),
       "recv_buf_size", M::kFail, "add recv_buf_size=8388608 to the URL"},
      {"recv_buf_size=0 leaves rmem_default", "udpm://239.255.76.67:7667?recv_buf_size=0",
       good_loopback(), "recv_buf_size", M::kFail, "rmem_default"},
      {"no recv_buf_size, large rmem_default", "udpm://239.255.76.67:7667", big_default,
       "recv_buf_size", M::kOk, "4,194,304"},
      {"unreadable flags", kGood, unknown, "interface", M::kWarn, "cannot read"},
      {"unreadable rmem_max", kGood, unknown, "rmem_max", M::kWarn, "cannot read"},
  };
  for (const Case& c : cases) {
    std::vector<DiagnoseLine> lines = setup_lines(udpm(c.url), c.facts);
    for (DiagnoseLine& l : buffer_lines(udpm(c.url), c.facts, kVarnockFrame)) {
      lines.push_back(std::move(l));
    }
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&](const DiagnoseLine& l) { return l.subject == c.subject; });
    ASSERT_NE(line, lines.end()) << c.name;
    EXPECT_EQ(line->mark, c.mark) << c.name << ": " << format_line(*line);
    EXPECT_NE((line->text + line->fix).find(c.text_or_fix_contains), std::string::npos)
        << c.name << ": " << format_line(*line);
    if (c.mark == M::kFail) {
      EXPECT_FALSE(line->fix.empty()) << c.name;
    }
  }
  // Without a route there is no interface to check.
  for (const DiagnoseLine& l : setup_lines(udpm(kGood), no_route)) {
    EXPECT_TRUE(l.subject != "interface" && l.subject != "ttl") << format_line(l);
  }
  // A good set-up fails nothing.
  for (const DiagnoseLine& l : setup_lines(udpm(kGood), good_loopback())) {
    EXPECT_EQ(l.mark, M::kOk) << format_line(l);
  }
  for (const DiagnoseLine& l : buffer_lines(udpm(kGood), good_loopback(), kVarnockFrame)) {
    EXPECT_EQ(l.mark, M::kOk) << format_line(l);
  }
}

// The buffer is judged by the frames that arrived: small ones fit what
// varnock's do not, and larger ones need more than varnock's, with a fix
// sized for them.
TEST(BufferLines, AgainstTheFramesThatArrived) {
  using M = DiagnoseLine::Mark;
  const LcmUrl small = udpm("udpm://239.255.76.67:7667?recv_buf_size=524288");
  const LcmUrl good = udpm("udpm://239.255.76.67:7667?recv_buf_size=8388608");
  const FrameFacts tiny{4'136, true};       // 64 x 64
  const FrameFacts huge{16'777'256, true};  // 4096 x 4096
  SetupFacts big_rmem = good_loopback();
  big_rmem.rmem_max = 67'108'864;
  struct Case {
    const char* name;
    LcmUrl url;
    SetupFacts facts;
    FrameFacts frame;
    M recv_buf_size, rmem_max;
    const char* contains;
  };
  const Case cases[] = {
      {"small frames, small buffer", small, good_loopback(), tiny, M::kOk, M::kOk,
       "the largest that arrived"},
      {"varnock's frames, small buffer", small, good_loopback(), kVarnockFrame, M::kFail, M::kOk,
       "none arrived"},
      {"large frames, a buffer for varnock's", good, good_loopback(), huge, M::kFail, M::kFail,
       "recv_buf_size=68157440"},
      {"large frames, rmem_max raised, a buffer for varnock's", good, big_rmem, huge, M::kFail,
       M::kOk, "33,554,512"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    for (const DiagnoseLine& l : buffer_lines(c.url, c.facts, c.frame)) {
      text += format_line(l);
      if (l.subject == "recv_buf_size") {
        EXPECT_EQ(l.mark, c.recv_buf_size) << format_line(l);
      }
      if (l.subject == "rmem_max") {
        EXPECT_EQ(l.mark, c.rmem_max) << format_line(l);
      }
    }
    EXPECT_NE(text.find(c.contains), std::string::npos) << text;
  }
  EXPECT_EQ(granted_buffer_line(1'048'576, tiny).mark, DiagnoseLine::kOk);
  EXPECT_EQ(granted_buffer_line(16'777'216, huge).mark, DiagnoseLine::kFail);
}

// A route over a LAN interface at `mtu` with the kernel's default
// reassembly settings.
SetupFacts lan_at(int64_t mtu) {
  SetupFacts f = lan();
  f.interface.mtu = mtu;
  f.ipfrag_high_thresh = 4'194'304;
  f.ipfrag_time = 30;
  f.ipfrag_max_dist = 64;
  return f;
}

TEST(FragmentLines, TheMtuAndTheReassemblySettings) {
  using M = DiagnoseLine::Mark;
  SetupFacts loopback = good_loopback();
  loopback.interface.mtu = 65'536;
  SetupFacts short_time = lan_at(1500);
  short_time.ipfrag_time = 1;
  SetupFacts no_room = lan_at(1500);
  no_room.ipfrag_high_thresh = 98'304;
  SetupFacts max_dist = lan_at(9000);
  max_dist.ipfrag_max_dist = 0;
  SetupFacts unknown_mtu = lan();
  struct Case {
    const char* name;
    SetupFacts facts;
    double cycles_per_second;
    const char* subject;
    M mark;
    const char* contains;
  };
  const Case cases[] = {
      {"loopback: nothing fragmented", loopback, 100, "mtu", M::kOk, "26 datagrams, none"},
      {"MTU 1500: what a packet loss costs", lan_at(1500), 100, "mtu", M::kWarn,
       "1,126 packets: losing 0.01% of packets loses 10.6% of frames, 0.1% 67.6%; fix: jumbo"},
      {"MTU 1500, defaults: a small loss fills the reassembly memory", lan_at(1500), 100,
       "reassembly", M::kWarn, "ipfrag_high_thresh, 4,194,304 bytes: once it is full"},
      {"... and the fix is a short ipfrag_time", lan_at(1500), 100, "reassembly", M::kWarn,
       "fix: sysctl -w net.ipv4.ipfrag_time=1\n"},
      {"a short ipfrag_time rides it out", short_time, 100, "reassembly", M::kOk, "within"},
      {"too little memory for one datagram", no_room, 100, "ipfrag_high_thresh", M::kFail,
       "103,680 bytes while it is reassembled (45 fragments): no frame can arrive; fix: sysctl -w "
       "net.ipv4.ipfrag_high_thresh=2097152 net.ipv4.ipfrag_time=1"},
      {"no rate known: a long ipfrag_time still warns", lan_at(1500), 0, "ipfrag_time", M::kWarn,
       "30 s; fix: sysctl -w net.ipv4.ipfrag_time=1"},
      {"jumbo frames", max_dist, 100, "mtu", M::kOk, "201 packets"},
      {"ipfrag_max_dist 0", max_dist, 100, "ipfrag_max_dist", M::kWarn, "ipfrag_max_dist=64"},
      {"unknown MTU", unknown_mtu, 100, "mtu", M::kWarn, "cannot read the MTU of eth0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    const DiagnoseLine* line = nullptr;
    const std::vector<DiagnoseLine> lines =
        fragment_lines(c.facts, kVarnockFrame, c.cycles_per_second);
    for (const DiagnoseLine& l : lines) {
      text += format_line(l);
      if (l.subject == c.subject) line = &l;
    }
    ASSERT_NE(line, nullptr) << text;
    EXPECT_EQ(line->mark, c.mark) << text;
    EXPECT_NE(format_line(*line).find(c.contains), std::string::npos) << text;
  }
  // Small frames are not fragmented into many packets: nothing to warn of.
  for (const DiagnoseLine& l : fragment_lines(lan_at(1500), {4'136, true}, 100)) {
    EXPECT_NE(l.mark, M::kFail) << format_line(l);
    if (l.subject == "mtu") {
      EXPECT_EQ(l.mark, M::kOk) << format_line(l);
    }
  }
}

TEST(GrantedBuffer, AgainstTwoFrames) {
  EXPECT_EQ(granted_buffer_line(131'072, kVarnockFrame).mark, DiagnoseLine::kFail);
  EXPECT_EQ(granted_buffer_line(3'276'879, kVarnockFrame).mark, DiagnoseLine::kFail);
  EXPECT_EQ(granted_buffer_line(3'276'880, kVarnockFrame).mark, DiagnoseLine::kOk);
  EXPECT_EQ(granted_buffer_line(-1, kVarnockFrame).mark, DiagnoseLine::kWarn);
}

TEST(TrafficLines, FailuresAndTheVerdict) {
  using M = DiagnoseLine::Mark;
  TrafficFacts good;
  good.seconds = 3;
  good.status_records = 1300;
  good.frames = 1300;
  good.kernel_drops = 0;
  struct Case {
    const char* name;
    TrafficFacts facts;
    std::vector<M> marks;  // status records, frames, kernel drops
    Verdict verdict;
  };
  TrafficFacts silent = good;
  silent.status_records = silent.frames = 0;
  TrafficFacts corrupt = good;
  corrupt.frames_corrupt = 1;
  corrupt.first_problem = "pixels off the pattern";
  TrafficFacts dropped = good;
  dropped.kernel_drops = 10'060;
  dropped.frames_lost = 400;
  TrafficFacts unknown_drops = good;
  unknown_drops.kernel_drops.reset();
  TrafficFacts frames_lost = good;
  frames_lost.frames = 0;
  TrafficFacts slow = good;
  slow.status_records = slow.frames = 2;
  const Case cases[] = {
      {"all well", good, {M::kOk, M::kOk, M::kOk}, Verdict::kPassed},
      {"nothing arrived", silent, {M::kFail, M::kFail, M::kWarn, M::kOk}, Verdict::kFailed},
      {"only frames missing", frames_lost, {M::kOk, M::kFail, M::kOk}, Verdict::kFailed},
      {"a slow stream", slow, {M::kOk, M::kOk, M::kWarn, M::kOk}, Verdict::kPassed},
      {"a corrupt frame", corrupt, {M::kOk, M::kFail, M::kOk}, Verdict::kCorrupt},
      {"kernel drops", dropped, {M::kOk, M::kFail, M::kFail}, Verdict::kFailed},
      {"drops unknown", unknown_drops, {M::kOk, M::kOk, M::kWarn}, Verdict::kPassed},
  };
  for (const Case& c : cases) {
    const std::vector<DiagnoseLine> lines = traffic_lines(c.facts);
    ASSERT_EQ(lines.size(), c.marks.size()) << c.name;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].mark, c.marks[i]) << c.name << ": " << format_line(lines[i]);
    }
    const bool any_corrupt = c.facts.status_corrupt + c.facts.frames_corrupt > 0;
    EXPECT_EQ(verdict_of(lines, true, any_corrupt), c.verdict) << c.name;
  }
  EXPECT_NE(format_line(traffic_lines(corrupt)[1]).find("pixels off the pattern"),
            std::string::npos);
  EXPECT_NE(format_line(traffic_lines(silent)[0]).find("is varnock running"), std::string::npos);
  // Status records without frames: the frames were lost on the way, and
  // varnock is running.
  const std::string lost_on_the_way = format_line(traffic_lines(frames_lost)[1]);
  EXPECT_NE(
      lost_on_the_way.find("though 1300 status records came: the frames were lost on the way"),
      std::string::npos)
      << lost_on_the_way;
  // Two cycles in 3 s: ten would take 15.
  EXPECT_EQ(traffic_lines(slow)[2].fix, "listen longer, e.g. --seconds 15");
  EXPECT_EQ(verdict_of(traffic_lines(good), false, false), Verdict::kNoBus);
  TrafficFacts file = good;
  file.udpm = false;
  EXPECT_EQ(traffic_lines(file).size(), 2u);  // no kernel drops line
}

TEST(DiagnoseLine, Format) {
  EXPECT_EQ(format_line({DiagnoseLine::kOk, "route", "239.255.76.67 via 224.0.0.0/4 dev lo", ""}),
            "ok    route: 239.255.76.67 via 224.0.0.0/4 dev lo\n");
  EXPECT_EQ(format_line({DiagnoseLine::kFail, "multicast flag", "lo has multicast off",
                         "ip link set lo multicast on"}),
            "FAIL  multicast flag: lo has multicast off; fix: ip link set lo multicast on\n");
  EXPECT_EQ(format_line({DiagnoseLine::kWarn, "ttl", "t", ""}), "warn  ttl: t\n");
}

// A host whose facts a test sets.
class FakeHost final : public host::Host {
 public:
  std::string route_error;
  host::Route route;
  host::InterfaceState interface;
  int64_t rmem_max = 4'194'304;
  int64_t rmem_default = 212'992;

  std::string name() const override { return "fake"; }
  std::string lookup_route(in_addr /*group*/, host::Route* out) const override {
    if (route_error.empty()) *out = route;
    return route_error;
  }
  host::InterfaceState interface_state(const std::string& name) const override {
    return name == route.interface ? interface : host::InterfaceState {};
  }
  int64_t setting(std::string_view name) const override {
    if (name == "net.core.rmem_max") return rmem_max;
    if (name == "net.core.rmem_default") return rmem_default;
    return -1;
  }
  host::NetworkCounters network_counters() const override { return {}; }
  std::unique_ptr<host::ReceiveCounters> find_receive_socket(uint16_t /*port*/) const override {
    return nullptr;
  }
};

// The facts come from the host interface, by the names the kernel gives
// them, and decide the lines: no root and no network needed.
TEST(SetupFacts, ReadThroughTheHostInterface) {
  using M = DiagnoseLine::Mark;
  const LcmUrl url = udpm("udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608");
  FakeHost good;
  good.route = good_loopback().route;
  good.interface = {true, true, true, true};
  struct Case {
    const char* name;
    FakeHost host;
    const char* subject;
    M mark;
  };
  FakeHost no_route = good;
  no_route.route_error = "Network is unreachable";
  FakeHost small_rmem = good;
  small_rmem.rmem_max = 212'992;
  FakeHost unreadable = good;
  unreadable.rmem_max = -1;
  FakeHost interface_down = good;
  interface_down.interface.up = false;
  const Case cases[] = {
      {"good", good, "route", M::kOk},
      {"no route", no_route, "route", M::kFail},
      {"small rmem_max", small_rmem, "rmem_max", M::kFail},
      {"rmem_max unreadable", unreadable, "rmem_max", M::kWarn},
      {"interface down", interface_down, "interface", M::kFail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SetupFacts facts = read_setup_facts(url, c.host);
    std::vector<DiagnoseLine> lines = setup_lines(url, facts);
    for (DiagnoseLine& l : buffer_lines(url, facts, kVarnockFrame)) lines.push_back(std::move(l));
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&c](const DiagnoseLine& l) { return l.subject == c.subject; });
    ASSERT_NE(line, lines.end());
    EXPECT_EQ(line->mark, c.mark) << format_line(*line);
  }
}

}  // namespace
}  // namespace varnock::diagnose

namespace varnock::diagnose {
namespace {

// The LCM line names the release loaded and what its receive path does with
// fragments out of order, which changed in 1.5.0.
TEST(LcmLine, NamesTheReleaseAndItsFragmentRule) {
  EXPECT_EQ(format_line(lcm_line(bus::LcmVersion{1, 3, 1})),
            "ok    lcm: 1.3.1, the library loaded now: it keeps 30 messages a subscription and "
            "discards a message whose fragments arrive out of order\n");
  EXPECT_EQ(format_line(lcm_line(bus::LcmVersion{1, 5, 2})),
            "ok    lcm: 1.5.2, the library loaded now: it keeps 30 messages a subscription and "
            "reassembles a message whose fragments arrive out of order\n");
  EXPECT_NE(format_line(lcm_line(std::nullopt)).find("cannot be told"), std::string::npos);
}

}  // namespace
}  // namespace varnock::diagnose

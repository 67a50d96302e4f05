// The parts of varnock-check --diagnose that read text and decide: LCM URLs,
// the kernel's UDP socket table and route replies, and the checks' verdicts.
#include "check/diagnose.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "check/options.h"
#include "check/route.h"
#include "check/run.h"
#include "check/socket_stats.h"
#include "check/udpm_url.h"

namespace varnock::check {
namespace {

TEST(LcmUrl, ReadsWhatLcmReads) {
  struct Case {
    const char* url;
    const char* group;
    uint16_t port;
    int ttl;
    int64_t recv_buf_size;  // -1: none
  };
  const Case cases[] = {
      {"udpm://239.255.76.67:7667?ttl=0", "239.255.76.67", 7667, 0, -1},
      {"udpm://", "239.255.76.67", 7667, 0, -1},  // LCM's default network
      {"udpm://?ttl=1", "239.255.76.67", 7667, 1, -1},
      {"udpm://239.255.76.68:7000?ttl=1&recv_buf_size=8388608", "239.255.76.68", 7000, 1,
       8'388'608},
      // Numbers as strtol(..., 0) reads them.
      {"udpm://239.255.76.67:0x1DF3?ttl=0x2&recv_buf_size=010", "239.255.76.67", 7667, 2, 8},
      {"udpm://224.0.0.1:+7667?ttl=255&recv_buf_size=2147483647", "224.0.0.1", 7667, 255,
       2'147'483'647},
      // Every '?' and '&' separates options; a later value wins; empty ones are skipped.
      {"udpm://239.255.76.67:7667?ttl=1?recv_buf_size=5&&ttl=0&", "239.255.76.67", 7667, 0, 5},
      {"udpm://239.255.76.67:7667?recv_buf_size=0", "239.255.76.67", 7667, 0, 0},
  };
  for (const Case& c : cases) {
    LcmUrl url;
    ASSERT_EQ(parse_lcm_url(c.url, &url), "") << c.url;
    EXPECT_TRUE(url.udpm());
    EXPECT_EQ(url.group_text, c.group) << c.url;
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &url.group, text.data(), text.size());
    EXPECT_STREQ(text.data(), c.group) << c.url;
    EXPECT_EQ(url.port, c.port) << c.url;
    EXPECT_EQ(url.ttl, c.ttl) << c.url;
    EXPECT_EQ(url.recv_buf_size.value_or(-1), c.recv_buf_size) << c.url;
    EXPECT_TRUE(url.unknown_options.empty()) << c.url;
  }
}

TEST(LcmUrl, OtherProvidersAreNotErrors) {
  for (const char* text : {"file:///tmp/run.log?mode=w", "memq://", "tcpq://localhost:7700"}) {
    LcmUrl url;
    ASSERT_EQ(parse_lcm_url(text, &url), "") << text;
    EXPECT_FALSE(url.udpm()) << text;
    EXPECT_EQ(url.provider, std::string(text).substr(0, std::string(text).find(':')));
  }
}

TEST(LcmUrl, UnknownOptionsAreNamedAndBounded) {
  LcmUrl url;
  ASSERT_EQ(parse_lcm_url("udpm://239.255.76.67:7667?recv_buf_sz=8388608&transmit_only=1", &url),
            "");
  EXPECT_EQ(url.unknown_options, std::vector<std::string>{"recv_buf_sz"});
  EXPECT_FALSE(url.recv_buf_size);
  std::string many = "udpm://239.255.76.67:7667?";
  for (int i = 0; i < 100; ++i) many += std::to_string(i) + "k=1&";
  ASSERT_EQ(parse_lcm_url(many, &url), "");
  EXPECT_EQ(url.unknown_options.size(), 8u);
}

TEST(LcmUrl, MalformedUrlsAreErrorsThatSayWhy) {
  struct Case {
    const char* url;
    const char* error_contains;
  };
  const Case cases[] = {
      {"239.255.76.67:7667", "PROVIDER://"},
      {"", "PROVIDER://"},
      {"udpm://239.255.76.67", "no port"},
      {"udpm://239.255.76.67?ttl=0", "no port"},
      {"udpm://239.255.76.67:", "port ''"},
      {"udpm://239.255.76.67:0", "port '0'"},
      {"udpm://239.255.76.67:65536", "port '65536'"},
      {"udpm://239.255.76.67:7667x", "port '7667x'"},
      {"udpm://239.255.76.67:-7667", "port '-7667'"},
      {"udpm://239.255.76.67:99999999999999999999999999", "port '9999"},
      {"udpm://10.0.0.1:7667", "not a multicast address"},
      {"udpm://239.255.76.67 x:7667", "not an IPv4 address"},
      {"udpm://lcm.example:7667", "not an IPv4 address"},
      {"udpm://239.255.76.300:7667", "not an IPv4 address"},
      {"udpm://:7667", "not an IPv4 address"},
      {"udpm://239.255.76.67:7667?ttl=256", "ttl '256'"},
      {"udpm://239.255.76.67:7667?ttl=-1", "ttl '-1'"},
      {"udpm://239.255.76.67:7667?ttl=abc", "ttl 'abc'"},
      {"udpm://239.255.76.67:7667?ttl", "ttl ''"},
      {"udpm://239.255.76.67:7667?ttl=1x", "ttl '1x'"},
      {"udpm://239.255.76.67:7667?ttl=08", "ttl '08'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=2147483648", "recv_buf_size '2147483648'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=99999999999999999999999", "recv_buf_size '9999"},
      {"udpm://239.255.76.67:7667?recv_buf_size=-5", "recv_buf_size '-5'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=0x", "recv_buf_size '0x'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=8M", "recv_buf_size '8M'"},
  };
  for (const Case& c : cases) {
    LcmUrl url;
    const std::string error = parse_lcm_url(c.url, &url);
    EXPECT_NE(error.find(c.error_contains), std::string::npos)
        << c.url << " gave '" << error << "'";
  }
}

// /proc/net/udp as the kernel writes it (trailing spaces included), and udp6.
constexpr char kUdpTable[] =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode ref pointer drops            \n"
    "15118: 00000000:1DF3 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "76428 2 00000000bc4deb94 0         \n"
    "  412: 00000000:1DF3 00000000:0000 07 00000000:0001F400 00:00000000 00000000     0        0 "
    "76430 2 00000000bc4deb95 10060     \n"
    "  413: 0100007F:A1B2 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "76431 2 00000000bc4deb96 4294967295\n"
    // Malformed rows: a column missing, a bad port, drops past 64 bits, a column too many.
    "  414: 00000000:1DF3 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "76432 2 00000000bc4deb97\n"
    "  415: 00000000:1DG3 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "76433 2 00000000bc4deb98 0\n"
    "  416: 00000000:1DF3 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "76434 2 00000000bc4deb99 99999999999999999999999\n"
    "  417: 00000000:1DF3 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
    "76435 2 00000000bc4deb9a 0 7\n"
    "garbage\n"
    "\n"
    "15119: 00000000000000000000000000000000:1DF4 00000000000000000000000000000000:0000 07 "
    "00000000:00000000 00:00000000 00000000     0        0 76429 2 000000008ede1b2b 3";

TEST(UdpTable, FindsTheRowOfAnInode) {
  struct Case {
    uint64_t inode;
    bool found;
    uint16_t port;
    uint64_t rx_queue;
    uint64_t drops;
  };
  const Case cases[] = {
      {76428, true, 7667, 0, 0},
      {76430, true, 7667, 0x1F400, 10060},
      {76431, true, 0xA1B2, 0, 4'294'967'295},
      {76429, true, 7668, 0, 3},  // an IPv6 row, the last line without a newline
      {76432, false, 0, 0, 0},
      {76433, false, 0, 0, 0},
      {76434, false, 0, 0, 0},
      {76435, false, 0, 0, 0},
      {1, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const std::optional<UdpRow> row = find_udp_row(kUdpTable, c.inode);
    ASSERT_EQ(row.has_value(), c.found) << c.inode;
    if (!row) continue;
    EXPECT_EQ(row->local_port, c.port) << c.inode;
    EXPECT_EQ(row->rx_queue, c.rx_queue) << c.inode;
    EXPECT_EQ(row->drops, c.drops) << c.inode;
  }
  EXPECT_FALSE(find_udp_row("", 76428));
  EXPECT_FALSE(
      parse_udp_row("   sl  local_address rem_address   st tx_queue rx_queue tr "
                    "tm->when retrnsmt   uid  timeout inode ref pointer drops"));
}

// A netlink reply: header, rtmsg or nlmsgerr, then attributes.
class Reply {
 public:
  explicit Reply(uint16_t type) { header_.nlmsg_type = type; }
  Reply& body(const void* data, size_t size) {
    append(data, size);
    return *this;
  }
  Reply& attribute(uint16_t type, const void* data, size_t size) {
    rtattr a{};
    a.rta_type = type;
    a.rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
    append(&a, sizeof a);
    append(data, size);
    return *this;
  }
  std::vector<uint8_t> bytes() const {
    nlmsghdr h = header_;
    h.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + payload_.size());
    std::vector<uint8_t> out(h.nlmsg_len);
    std::memcpy(out.data(), &h, sizeof h);
    if (!payload_.empty()) std::memcpy(out.data() + NLMSG_HDRLEN, payload_.data(), payload_.size());
    return out;
  }

 private:
  void append(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    payload_.insert(payload_.end(), p, p + size);
    payload_.resize(NLMSG_ALIGN(payload_.size()));
  }
  nlmsghdr header_{};
  std::vector<uint8_t> payload_;
};

in_addr address(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

TEST(RouteReply, ReadsTheMatchingRoute) {
  rtmsg multicast{};
  multicast.rtm_family = AF_INET;
  multicast.rtm_dst_len = 4;
  multicast.rtm_type = RTN_MULTICAST;
  const in_addr net = address("224.0.0.0");
  const int lo = 1;
  Route route;
  ASSERT_EQ(parse_route_reply(Reply(RTM_NEWROUTE)
                                  .body(&multicast, sizeof multicast)
                                  .attribute(RTA_DST, &net, sizeof net)
                                  .attribute(RTA_OIF, &lo, sizeof lo)
                                  .bytes(),
                              &route),
            "");
  EXPECT_EQ(route.prefix_length, 4);
  EXPECT_EQ(route.destination.s_addr, net.s_addr);
  EXPECT_EQ(route.interface_index, 1);
  EXPECT_FALSE(route.gateway);

  rtmsg default_route{};
  default_route.rtm_family = AF_INET;
  const in_addr gateway = address("10.0.0.1");
  const int eth0 = 2;
  ASSERT_EQ(parse_route_reply(Reply(RTM_NEWROUTE)
                                  .body(&default_route, sizeof default_route)
                                  .attribute(RTA_GATEWAY, &gateway, sizeof gateway)
                                  .attribute(RTA_OIF, &eth0, sizeof eth0)
                                  .bytes(),
                              &route),
            "");
  EXPECT_EQ(route.prefix_length, 0);
  ASSERT_TRUE(route.gateway);
  EXPECT_EQ(route.gateway->s_addr, gateway.s_addr);
  EXPECT_EQ(route.interface_index, 2);
}

TEST(RouteReply, ErrorsAndMalformedReplies) {
  nlmsgerr unreachable{};
  unreachable.error = -ENETUNREACH;
  Route route;
  EXPECT_EQ(
      parse_route_reply(Reply(NLMSG_ERROR).body(&unreachable, sizeof unreachable).bytes(), &route),
      std::strerror(ENETUNREACH));

  rtmsg r{};
  r.rtm_dst_len = 4;
  std::vector<uint8_t> cut = Reply(RTM_NEWROUTE).body(&r, sizeof r).bytes();
  cut.pop_back();  // shorter than its header says
  EXPECT_NE(parse_route_reply(cut, &route), "");
  EXPECT_NE(parse_route_reply({}, &route), "");
  // An attribute whose length runs past the message.
  std::vector<uint8_t> long_attribute =
      Reply(RTM_NEWROUTE).body(&r, sizeof r).attribute(RTA_OIF, &r, 4).bytes();
  long_attribute[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof r)] = 200;
  EXPECT_NE(parse_route_reply(long_attribute, &route).find("malformed"), std::string::npos);
  EXPECT_NE(parse_route_reply(Reply(RTM_NEWLINK).body(&r, sizeof r).bytes(), &route), "");
}

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
  f.interface_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_MULTICAST;
  f.rmem_max = 4'194'304;
  f.rmem_default = 212'992;
  return f;
}

SetupFacts lan(int flags = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST) {
  SetupFacts f = good_loopback();
  f.route.interface = "eth0";
  f.interface_flags = flags;
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
  lo_off.interface_flags &= ~IFF_MULTICAST;
  SetupFacts lo_down = good_loopback();
  lo_down.interface_flags &= ~IFF_UP;
  SetupFacts low_max = good_loopback();
  low_max.rmem_max = 212'992;
  SetupFacts big_default = good_loopback();
  big_default.rmem_default = 4'194'304;
  SetupFacts unknown = good_loopback();
  unknown.interface_flags = -1;
  unknown.rmem_max = -1;
  const Case cases[] = {
      {"a good set-up: route", kGood, good_loopback(), "route", M::kOk, "via 224.0.0.0/4 dev lo"},
      {"a good set-up: ttl", kGood, good_loopback(), "ttl", M::kOk, "this host only"},
      {"a good set-up: buffer", kGood, good_loopback(), "recv_buf_size", M::kOk, "8,388,608"},
      {"no route", kGood, no_route, "route", M::kFail, "ip route add 224.0.0.0/4 dev lo"},
      {"lo multicast off", kGood, lo_off, "multicast flag", M::kWarn,
       "ip link set lo multicast on"},
      {"LAN interface multicast off", kGood, lan(IFF_UP), "multicast flag", M::kWarn,
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
    const std::vector<DiagnoseLine> lines = setup_lines(udpm(c.url), c.facts);
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
}

TEST(GrantedBuffer, AgainstTwoFrames) {
  EXPECT_EQ(granted_buffer_line(131'072).mark, DiagnoseLine::kFail);
  EXPECT_EQ(granted_buffer_line(3'276'879).mark, DiagnoseLine::kFail);
  EXPECT_EQ(granted_buffer_line(3'276'880).mark, DiagnoseLine::kOk);
  EXPECT_EQ(granted_buffer_line(-1).mark, DiagnoseLine::kWarn);
}

TEST(TrafficLines, FailuresAndTheExitStatus) {
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
    int status;
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
  const Case cases[] = {
      {"all well", good, {M::kOk, M::kOk, M::kOk}, kCheckOk},
      {"nothing arrived", silent, {M::kFail, M::kFail, M::kOk}, kDiagnoseFailed},
      {"a corrupt frame", corrupt, {M::kOk, M::kFail, M::kOk}, kCheckCorrupt},
      {"kernel drops", dropped, {M::kOk, M::kFail, M::kFail}, kDiagnoseFailed},
      {"drops unknown", unknown_drops, {M::kOk, M::kOk, M::kWarn}, kCheckOk},
  };
  for (const Case& c : cases) {
    const std::vector<DiagnoseLine> lines = traffic_lines(c.facts);
    ASSERT_EQ(lines.size(), c.marks.size()) << c.name;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].mark, c.marks[i]) << c.name << ": " << format_line(lines[i]);
    }
    const bool any_corrupt = c.facts.status_corrupt + c.facts.frames_corrupt > 0;
    EXPECT_EQ(diagnose_exit_status(lines, true, any_corrupt), c.status) << c.name;
  }
  EXPECT_NE(format_line(traffic_lines(corrupt)[1]).find("pixels off the pattern"),
            std::string::npos);
  EXPECT_NE(format_line(traffic_lines(silent)[0]).find("is varnock running"), std::string::npos);
  EXPECT_EQ(diagnose_exit_status(traffic_lines(good), false, false), kCheckNoBus);
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

TEST(DiagnoseOption, ParsedAndAlone) {
  Options o;
  const char* argv[] = {"varnock-check", "--diagnose", "--seconds=2"};
  ASSERT_EQ(parse_options(3, argv, &o), "");
  EXPECT_TRUE(o.diagnose);
  EXPECT_EQ(o.seconds, 2);
  const char* with_json[] = {"varnock-check", "--diagnose", "--json"};
  EXPECT_NE(parse_options(3, with_json, &o), "");
  const char* with_value[] = {"varnock-check", "--diagnose=yes"};
  EXPECT_NE(parse_options(2, with_value, &o), "");
}

}  // namespace
}  // namespace varnock::check
